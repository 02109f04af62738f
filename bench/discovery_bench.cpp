// Discovery figures: devices found in the first cycle, time the UI thread spends merging a cycle's
// sightings, and CPU time of the discovering process while nobody answers. Runs only inside the
// private test network (bench/run).
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

#include "DeviceList.h"
#include "TestSupport.h"

using namespace quorvi;

namespace {

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void FirstCycle(int devices, int maxDelayMs) {
    test::ChildProcess fakecam({test::FakecamPath(), "--devices", std::to_string(devices), "--max-delay-ms",
                                std::to_string(maxDelayMs), "--no-http", "--extra-scopes", "4"});
    if (!fakecam.WaitForLine("ready")) {
        std::printf("fakecam did not start\n");
        std::exit(1);
    }
    std::vector<Sighting> sightings;
    std::atomic<bool> running{true};
    RunDiscoveryCycles(running, DiscoverySources{}, [&](const Sighting& s) { sightings.push_back(s); }, 1);
    std::set<std::string> found;
    for (const auto& s : sightings) found.insert(s.endpoint);

    DeviceListModel model;
    QElapsedTimer timer;
    timer.start();
    for (const auto& s : sightings) AddDeviceRow(model, s.endpoint, s.service);
    const double firstMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    timer.restart();
    for (const auto& s : sightings) AddDeviceRow(model, s.endpoint, s.service);
    const double againMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    std::printf("%5d devices, replies within %3d ms: found %5zu in the first cycle; merge %7.2f ms (new rows), "
                "%7.2f ms (refresh of %d rows)\n",
                devices, maxDelayMs, found.size(), firstMs, againMs, model.rowCount());
}

void IdleCpu() {
    std::atomic<bool> running{true};
    std::thread worker([&] { RunDiscoveryCycles(running, DiscoverySources{}, [](const Sighting&) {}); });
    const double cpuStart = CpuSeconds();
    QElapsedTimer wall;
    wall.start();
    std::this_thread::sleep_for(std::chrono::seconds(8));
    const double cpu = CpuSeconds() - cpuStart;
    const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
    running = false;
    worker.join();
    std::printf("no device answering: %.2f ms CPU per second of discovery (over %.1f s)\n", cpu * 1000.0 / seconds,
                seconds);
}

}  // namespace

int main(int argc, char** argv) {
    test::RequirePrivateNetwork();
    QCoreApplication app(argc, argv);
    FirstCycle(1, 500);
    FirstCycle(100, 500);
    FirstCycle(1000, 500);
    FirstCycle(1000, 0);
    IdleCpu();
    return 0;
}
