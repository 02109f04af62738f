// Discovery figures: devices found in the first cycle, time the UI thread spends merging a cycle's
// sightings, a directed probe of a /24 (with QUORVI_NETNS_ROUTED=1), and CPU time of the discovering
// process while nobody answers. Runs only inside the
// private test network (bench/run).
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "DeviceList.h"
#include "DiscoveryHost.h"
#include "TestSupport.h"

using namespace quorvi;

namespace {

void FirstCycle(int devices, int maxDelayMs) {
    std::vector<std::string> args = test::ProbeAnswerer(devices, maxDelayMs);
    args.insert(args.end(), {"--extra-scopes", "4"});
    test::ChildProcess fakecam(args);
    if (!fakecam.WaitForLine("ready")) {
        std::printf("fakecam did not start\n");
        std::exit(1);
    }
    std::vector<Sighting> sightings;
    std::atomic<bool> running{true};
    RunDiscoveryCycles(
        running, DiscoverySources{}, [&](const Sighting& s) { sightings.push_back(s); }, 1);
    std::set<std::string> found;
    for (const auto& s : sightings) found.insert(s.endpoint);

    // Merging one cycle's sightings on the UI thread, in the hand-off's batches: new rows, then a refresh
    // of them all; median of 5.
    std::vector<std::vector<TimedSighting>> batches;
    for (std::size_t i = 0; i < sightings.size(); ++i) {
        if (i % 512 == 0) batches.emplace_back();
        batches.back().push_back({sightings[i], std::time(nullptr)});
    }
    std::vector<double> first, again;
    for (int run = 0; run < 5; ++run) {
        DeviceListModel model;
        QElapsedTimer timer;
        timer.start();
        for (const auto& b : batches) MergeSightings(model, b);
        first.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        timer.restart();
        for (const auto& b : batches) MergeSightings(model, b);
        again.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(first.begin(), first.end());
    std::sort(again.begin(), again.end());
    std::printf(
        "%5d devices, replies within %3d ms: found %5zu in the first cycle; merge %7.2f ms (new rows), "
        "%7.2f ms (refresh), median of 5\n",
        devices, maxDelayMs, found.size(), first[2], again[2]);
    std::fflush(stdout);
}

// A directed probe of a /24 on the second network, where one address answers as `devices` devices.
void DirectedSlash24(int devices) {
    test::ChildProcess fakecam(test::ProbeAnswerer(devices, 500, "198.18.1.9"));
    if (!fakecam.WaitForLine("ready")) {
        std::printf("fakecam did not start\n");
        return;
    }
    std::string error;
    const auto targets = ParseTargets({"198.18.1.0/24"}, error);
    ReplyList replies;
    QElapsedTimer timer;
    timer.start();
    ProbeTargets(*targets, kDefaultProbeRate, replies);
    std::set<std::string> found;
    for (const auto& r : replies) {
        if (const auto s = ExtractSighting(r)) found.insert(s->endpoint);
    }
    std::printf(
        "directed probe of a /24 at %d a second: %zu probes sent in %.2f s with the window; %zu devices "
        "found "
        "of %d\n",
        kDefaultProbeRate, targets->size(), static_cast<double>(timer.elapsed()) / 1000.0, found.size(),
        devices);
}

void IdleCpu() {
    std::atomic<bool> running{true};
    std::thread worker([&] { RunDiscoveryCycles(running, DiscoverySources{}, [](const Sighting&) {}); });
    const double cpuStart = test::CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    std::this_thread::sleep_for(std::chrono::seconds(8));
    const double cpu = test::CpuSeconds() - cpuStart;
    const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
    running = false;
    worker.join();
    std::printf("no device answering: %.2f ms CPU per second of discovery (over %.1f s)\n",
                cpu * 1000.0 / seconds, seconds);
}

// From a device's Hello (fakecam, started while nothing else is due) to its row, median of 5.
void HelloToRow() {
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) {
        DiscoveryHost host;
        host.Start(DiscoverySources([] { return AdapterList{"198.18.0.1"}; },
                                    [](const char*, ReplyList&, const std::atomic<bool>* running) {
                                        while (running->load())
                                            std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                        return 0;
                                    }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        test::ChildProcess fakecam(
            {test::FakecamPath(), "--devices", "1", "--hello", "--no-http", "--seed", std::to_string(i + 1)});
        // The Hello goes out right after "ready".
        if (!fakecam.WaitForLine("ready")) return;
        QElapsedTimer timer;
        timer.start();
        while (host.Model().rowCount() == 0 && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        ms.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("a Hello to its row: %.1f ms (median of 5)\n", ms[2]);
}

}  // namespace

int main(int argc, char** argv) {
    test::RequirePrivateNetwork();
    QCoreApplication app(argc, argv);
    FirstCycle(1, 500);
    FirstCycle(100, 500);
    FirstCycle(1000, 500);
    FirstCycle(1000, 0);
    FirstCycle(5000, 500);
    FirstCycle(5000, 0);
    FirstCycle(20000, 500);
    const char* routed = std::getenv("QUORVI_NETNS_ROUTED");
    if (routed && std::string(routed) == "1") DirectedSlash24(50);
    HelloToRow();
    IdleCpu();
    return 0;
}
