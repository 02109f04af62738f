// Quorvi: the window.
#include <QApplication>
#include <cstdlib>

#include "QuorviDlg.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvi"));
    QApplication::setApplicationVersion(QStringLiteral(QUORVI_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quorvi"));
    {
        quorvi::CQuorviDlg dialog;
        dialog.exec();
    }
    // A "get" still under way would only hold the process up; its window is gone.
    if (quorvi::GetCallsInFlight() > 0) std::_Exit(0);
    return 0;
}
