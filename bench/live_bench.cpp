// Live view figures: the time to the first frame of a 1280x720 H.264 stream (GStreamer's RTSP server, 10
// frames a second), and the CPU a second of playing it costs this process (decoding and scaling to a
// 640x360 view); the median of 5 each. Runs only inside the private test network (bench/run).
#include <sys/resource.h>

#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "LiveStream.h"
#include "TestSupport.h"

using namespace quorvi;

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    if (!std::getenv("QUORVI_IN_NETNS")) {
        std::printf("live_bench: runs only inside the private test network (bench/run)\n");
        return 1;
    }
    test::ChildProcess server(
        {QUORVI_RTSP_SERVER, "--port", "18700", "--bind", "198.18.0.1", "--auth", "none"});
    if (!server.WaitForLine("ready", std::chrono::seconds(20))) {
        std::printf("live_bench: the RTSP server did not start\n");
        return 1;
    }
    const std::string url = "rtsp://198.18.0.1:18700/main";
    std::vector<double> first, cpu, fps;
    for (int run = 0; run < 5; ++run) {
        live::Reader reader(url, QSize(640, 360));
        std::string detail;
        QElapsedTimer timer;
        timer.start();
        double at = 0, cpuAtFirst = 0, lastFps = 0;
        qint64 firstMs = 0;
        const live::Outcome outcome = reader.Run(
            [&](const live::Frame& f) {
                if (f.number == 1) {
                    firstMs = timer.elapsed();
                    cpuAtFirst = test::CpuSeconds();
                    at = static_cast<double>(timer.nsecsElapsed()) / 1e9;
                }
                lastFps = f.framesPerSecond;
                // Three seconds of playing after the first frame.
                return static_cast<double>(timer.nsecsElapsed()) / 1e9 - at < 3.0;
            },
            detail);
        if (outcome != live::Outcome::Done) {
            std::printf("live_bench: %s: %s\n", live::OutcomeName(outcome), detail.c_str());
            return 1;
        }
        first.push_back(static_cast<double>(firstMs));
        const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9 - at;
        cpu.push_back((test::CpuSeconds() - cpuAtFirst) / seconds * 100.0);
        fps.push_back(lastFps);
    }
    std::printf(
        "live view of a 1280x720 H.264 stream at 10 frames a second, shown at 640x360 (median of 5):\n");
    std::printf("  time to the first frame: %.0f ms\n", Median(first));
    std::printf("  CPU while playing: %.1f%% of one core (%.1f frames a second measured)\n", Median(cpu),
                Median(fps));
    return 0;
}
