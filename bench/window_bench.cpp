// UI-thread time to merge one discovery cycle's sightings into the window's list, view attached and
// repainted, for 1000 and 20,000 devices seen for the first time and then again; the window's start-up
// to its first paint; and how long a "get" against a slow device holds the UI thread up. Runs inside the
// private test network.
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "QuorviDlg.h"
#include "TestSupport.h"

using namespace quorvi;

namespace {

double Merge(CQuorviDlg& dlg, int devices, int round) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < devices; ++i) {
        char endpoint[64];
        std::snprintf(endpoint, sizeof endpoint, "urn:uuid:9694417f-73fd-4817-b04d-%012d", i);
        dlg.AddDeviceRow(endpoint, "http://198.18.0.1:8080/cam" + std::to_string(i) +
                                       "/onvif/device_service?r=" + std::to_string(round));
    }
    QApplication::processEvents();  // the view's layout and repaint belong to the merge's cost
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

// Notes the first paint of the widget it watches.
struct FirstPaint : QObject {
    bool seen = false;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) seen = true;
        return false;
    }
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // No network: the worker waits in an exchange that never answers.
    const DiscoverySources quiet = test::QuietNetwork();
    for (const int devices : {1000, 20000}) {
        CQuorviDlg dlg(nullptr, quiet);
        dlg.show();
        QApplication::processEvents();
        const double first = Merge(dlg, devices, 0);
        const double again = Merge(dlg, devices, 1);
        std::printf(
            "window list, %5d devices: merge %7.2f ms (new rows), %7.2f ms (refresh), view attached\n",
            devices, first, again);
        std::fflush(stdout);
        dlg.reject();
    }

    // Start-up: from constructing the window to its first paint, median of 5.
    std::vector<double> startups;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        CQuorviDlg dlg(nullptr, quiet);
        FirstPaint painted;
        dlg.installEventFilter(&painted);
        dlg.show();
        while (!painted.seen) QApplication::processEvents(QEventLoop::AllEvents, 5);
        startups.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        dlg.reject();
    }
    std::sort(startups.begin(), startups.end());
    std::printf("window start-up to first paint: %.1f ms (median of 5)\n", startups[2]);

    // "get" against a device that answers every request after 1 s: how long the UI thread is held up.
    test::FakeDevice fakecam({"--auth", "wsse", "--delay-ms", "1000"}, "198.18.0.1", 18700);
    if (!fakecam.Ready()) return 1;
    CQuorviDlg dlg(nullptr, quiet);
    dlg.show();
    QApplication::processEvents();
    dlg.findChild<QLineEdit*>("IDC_EDIT_URI")->setText("http://198.18.0.1:18700/cam0/onvif/device_service");
    auto* main = dlg.findChild<QLineEdit*>("IDC_EDIT_MAINSTREAM");
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTick.elapsed());
        sinceTick.restart();
    });
    QElapsedTimer call;
    call.start();
    sinceTick.start();
    tick.start(5);
    dlg.findChild<QPushButton*>("IDC_BUTTON_GET")->click();
    longest = std::max(longest, sinceTick.elapsed());
    while (main->text().isEmpty() && call.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    std::printf(
        "get against a device answering each request after 1 s: %.1f s, UI thread held up at most %lld ms\n",
        static_cast<double>(call.elapsed()) / 1000.0, static_cast<long long>(longest));
    dlg.reject();
    return 0;
}
