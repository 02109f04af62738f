// UI-thread time to merge one discovery cycle's sightings into the window's list, view attached and
// repainted, for 1000 and 20,000 devices seen for the first time and then again; the window's start-up
// to its first paint; how long a "get" against a slow device holds the UI thread up; "Show picture" to the
// picture's first paint, and the memory of 20 picture windows. Runs inside the private test network.
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "QuorviDlg.h"
#include "TestSupport.h"

using namespace quorvi;

namespace {

double Merge(CQuorviDlg& dlg, int devices, int round) {
    std::vector<TimedSighting> cycle;
    for (int i = 0; i < devices; ++i) {
        char endpoint[64];
        std::snprintf(endpoint, sizeof endpoint, "urn:uuid:9694417f-73fd-4817-b04d-%012d", i);
        cycle.push_back({Sighting{endpoint,
                                  "http://198.18.0.1:8080/cam" + std::to_string(i) +
                                      "/onvif/device_service?r=" + std::to_string(round),
                                  {},
                                  {}},
                         std::time(nullptr)});
    }
    QElapsedTimer timer;
    timer.start();
    // In the batches the hand-off gives the window.
    for (std::size_t from = 0; from < cycle.size(); from += 512) {
        MergeSightings(dlg.Devices(),
                       std::vector<TimedSighting>(
                           cycle.begin() + static_cast<long>(from),
                           cycle.begin() + static_cast<long>(std::min(cycle.size(), from + 512))));
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

// A network on which one exchange brings `devices` replies at once (every one a new id from the second
// exchange on when `unique`), as the real worker hands them on.
DiscoverySources Answering(int devices, bool unique, std::atomic<int>& exchanges) {
    return DiscoverySources(
        [] { return AdapterList{"198.18.0.1"}; },
        [devices, unique, &exchanges](const char*, ReplyList& out, const std::atomic<bool>*) {
            const int round = exchanges++;
            for (int i = 0; i < devices; ++i) {
                const std::string id = std::to_string(unique ? round * devices + i : i);
                out.push_back("<wsa:Address>urn:uuid:9694417f-73fd-4817-b04d-" + id +
                              "</wsa:Address><d:XAddrs>http://198.18.0.1:8080/cam" + id +
                              "/onvif/device_service</d:XAddrs>");
            }
            return devices;
        });
}

// The longest the UI thread went without getting to a 1 ms timer while 20,000 devices answering at once
// came through the real worker and hand-off into the window's list.
double LongestStallFor20000() {
    std::atomic<int> exchanges{0};
    const DiscoverySources sources = Answering(20000, false, exchanges);
    DiscoverySources once = sources;
    once.probe = [probe = sources.probe, &exchanges](const char* a, ReplyList& out,
                                                     const std::atomic<bool>* running) {
        if (exchanges > 0) {
            while (running->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return 0;
        }
        return probe(a, out, running);
    };
    CQuorviDlg dlg(nullptr, once);
    dlg.show();
    QApplication::processEvents();
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTick.elapsed());
        sinceTick.restart();
    });
    sinceTick.start();
    tick.start(1);
    while (dlg.Devices().rowCount() < 20000) QApplication::processEvents(QEventLoop::AllEvents, 5);
    longest = std::max(longest, sinceTick.elapsed());
    dlg.reject();
    return static_cast<double>(longest);
}

// Key presses posted every 50 ms from another thread, as the window system would deliver them, while a
// flood of new ids goes into a full list: the longest a key waited for the window.
struct KeyWatch : QObject {
    std::atomic<qint64> postedAt{0};
    qint64 longest = 0;
    int keys = 0;
    QElapsedTimer clock;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            longest = std::max(longest, clock.elapsed() - postedAt.load());
            ++keys;
        }
        return false;
    }
};

double KeyLatencyDuringAFlood(int seconds) {
    std::atomic<int> exchanges{0};
    CQuorviDlg dlg(nullptr, Answering(30000, true, exchanges));
    dlg.show();
    for (int i = 0; i < DeviceListModel::kMaxRows; ++i)
        dlg.Devices().Merge("urn:full:" + QByteArray::number(i), "http://198.18.0.1/", "12:00:00");
    QApplication::processEvents();
    auto* uri = dlg.findChild<QLineEdit*>("IDC_EDIT_URI");
    KeyWatch watch;
    watch.clock.start();
    uri->installEventFilter(&watch);
    std::atomic<bool> stop{false};
    delete new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier,
                         "a");  // its keyboard made on this thread
    std::thread typist([&] {
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            watch.postedAt = watch.clock.elapsed();
            QCoreApplication::postEvent(uri, new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a"));
        }
    });
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < seconds * 1000) QApplication::processEvents(QEventLoop::AllEvents, 5);
    stop = true;
    typist.join();
    QApplication::processEvents();
    std::printf("  (%d exchanges of 30,000 new ids, %d keys)\n", exchanges.load(), watch.keys);
    dlg.reject();
    return static_cast<double>(watch.longest);
}

// The resident memory of this process, in MB.
double ResidentMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

// Waits for the picture label's first paint with a picture in it.
struct PicturePaint : QObject {
    bool seen = false;
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* label = qobject_cast<QLabel*>(watched);
        if (event->type() == QEvent::Paint && label && !label->pixmap().isNull()) seen = true;
        return false;
    }
};

QModelIndex BenchRow(CQuorviDlg& dlg, const std::string& service, int i) {
    DeviceIdentity who;
    who.name = "Camera " + std::to_string(i);
    dlg.Devices().Merge("urn:uuid:bench-" + QByteArray::number(i), QByteArray::fromStdString(service),
                        "12:00:00", who, 1);
    return dlg.Devices().index(0, 0);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

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

    std::vector<double> stalls;
    for (int i = 0; i < 3; ++i) stalls.push_back(LongestStallFor20000());
    std::printf(
        "20,000 devices at once through the worker and hand-off: longest UI stall %.0f ms (median of 3)\n",
        Median(stalls));
    std::vector<double> keys;
    for (int i = 0; i < 3; ++i) keys.push_back(KeyLatencyDuringAFlood(10));
    std::printf("a key during a flood of new ids into the full list: waits at most %.0f ms (median of 3)\n",
                Median(keys));
    std::fflush(stdout);

    {
        // "Probe addresses...": a /16 on top of a /16, UI time.
        CQuorviDlg dlg(nullptr, quiet);
        dlg.AddProbeTargets("10.1.0.0/16");
        QElapsedTimer timer;
        timer.start();
        dlg.AddProbeTargets("10.2.0.0/16");
        std::printf("\"Probe addresses...\" adding a /16 next to a /16: %.1f ms\n",
                    static_cast<double>(timer.nsecsElapsed()) / 1e6);
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

    // "Show picture" against a device answering each request after 50 ms, to the picture's first paint.
    test::FakeDevice cameras({"--auth", "both", "--delay-ms", "50", "--devices", "20"}, "198.18.0.1", 18701);
    if (!cameras.Ready()) return 1;
    std::vector<double> toPaint;
    for (int i = 0; i < 5; ++i) {
        CQuorviDlg window(nullptr, quiet);
        window.findChild<QLineEdit*>("IDC_EDIT_USERNAME")->setText("admin");
        window.findChild<QLineEdit*>("IDC_EDIT_PASSWORD")->setText("40718");
        window.show();
        QApplication::processEvents();
        const QModelIndex row = BenchRow(window, cameras.Url(i), i);
        QElapsedTimer timer;
        timer.start();
        CPictureDlg* picture = window.ShowPicture(row);
        PicturePaint painted;
        picture->findChild<QLabel*>("IDC_PICTURE")->installEventFilter(&painted);
        while (!painted.seen && timer.elapsed() < 20000)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        toPaint.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        window.reject();
    }
    std::printf("\"Show picture\" at 50 ms per answer, to the picture's first paint: %.0f ms (median of 5)\n",
                Median(toPaint));

    // The memory 20 open picture windows take, each with its device's 1920x1080 picture.
    CQuorviDlg window(nullptr, quiet);
    window.findChild<QLineEdit*>("IDC_EDIT_USERNAME")->setText("admin");
    window.findChild<QLineEdit*>("IDC_EDIT_PASSWORD")->setText("40718");
    window.show();
    QApplication::processEvents();
    const double before = ResidentMb();
    std::vector<CPictureDlg*> open;
    for (int i = 0; i < 20; ++i) open.push_back(window.ShowPicture(BenchRow(window, cameras.Url(i), i)));
    QElapsedTimer all;
    all.start();
    while (all.elapsed() < 30000 &&
           std::any_of(open.begin(), open.end(), [](CPictureDlg* p) { return p->Fetching(); }))
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    for (int i = 0; i < 20; ++i) QApplication::processEvents();
    const auto pictures =
        std::count_if(open.begin(), open.end(), [](CPictureDlg* p) { return p->PictureSize().isValid(); });
    std::printf(
        "20 picture windows open (%lld with their picture, in %.1f s): %.0f MB more resident memory\n",
        static_cast<long long>(pictures), static_cast<double>(all.elapsed()) / 1000.0, ResidentMb() - before);
    window.reject();
    return 0;
}
