// Quorvi: the window.
#include <QApplication>

#include "QuorviDlg.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvi"));
    QApplication::setApplicationVersion(QStringLiteral(QUORVI_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quorvi"));
    quorvi::CQuorviDlg dialog;
    dialog.exec();
    return 0;
}
