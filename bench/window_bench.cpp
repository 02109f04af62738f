// UI-thread time to merge one discovery cycle's sightings into the window's list, view attached and
// repainted, for 1000 and 20,000 devices seen for the first time and then again.
#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <thread>

#include "QuorviDlg.h"

using namespace quorvi;

namespace {

double Merge(CQuorviDlg& dlg, int devices, int round) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < devices; ++i) {
        char endpoint[64];
        std::snprintf(endpoint, sizeof endpoint, "urn:uuid:9694417f-73fd-4817-b04d-%012d", i);
        dlg.AddDeviceRow(endpoint, "http://198.18.0.1:8080/cam" + std::to_string(i) + "/onvif/device_service?r=" +
                                       std::to_string(round));
    }
    QApplication::processEvents();  // the view's layout and repaint belong to the merge's cost
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // No network: the worker waits in an exchange that never answers.
    DiscoverySources quiet{[] { return AdapterList{"10.99.0.1"}; },
                           [](const char*, ReplyList&, const std::atomic<bool>* running) {
                               while (running && running->load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                               return 0;
                           }};
    for (const int devices : {1000, 20000}) {
        CQuorviDlg dlg(nullptr, quiet);
        dlg.show();
        QApplication::processEvents();
        const double first = Merge(dlg, devices, 0);
        const double again = Merge(dlg, devices, 1);
        std::printf("window list, %5d devices: merge %7.2f ms (new rows), %7.2f ms (refresh), view attached\n",
                    devices, first, again);
        std::fflush(stdout);
        dlg.reject();
    }
    return 0;
}
