// Takes the README's screenshot: the window after it has found the simulated cameras, with the first
// one chosen and its streams read and checked. Run by scripts/screenshot inside the private network, under
// Xvfb.
#include <QApplication>
#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QPixmap>
#include <QTableView>
#include <cstdio>

#include "QuorviDlg.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: quorvi-screenshot OUTPUT.png DEVICES\n");
        return 2;
    }
    const int devices = std::atoi(argv[2]);
    quorvi::CQuorviDlg dlg;
    dlg.show();
    QElapsedTimer waited;
    waited.start();
    while (dlg.Devices().rowCount() < devices && waited.elapsed() < 15000) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    if (dlg.Devices().rowCount() < devices) {
        std::fprintf(stderr, "quorvi-screenshot: only %d devices found\n", dlg.Devices().rowCount());
        return 1;
    }
    auto* list = dlg.findChild<QTableView*>("IDC_LIST_DEVICES");
    const QModelIndex first = dlg.Devices().index(0, 0);
    list->selectionModel()->select(first, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    dlg.OnNMDblclkListDevices(first);
    dlg.OnBnClickedGet();
    // "get" answers on its own time; the picture waits for it.
    waited.restart();
    while ((dlg.GetRunning() || dlg.CheckRunning()) && waited.elapsed() < 15000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!dlg.grab().save(QString::fromLocal8Bit(argv[1]))) return 1;
    dlg.reject();
    return 0;
}
