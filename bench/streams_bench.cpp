// Time to the stream addresses of a device, and what it costs the device: the median of several calls,
// with HTTP requests and connections as fakecam counted them and the client's round trips one after
// another. Runs inside the private test network.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Client.h"
#include "TestSupport.h"

using namespace quorvi;

namespace {

constexpr int kRuns = 7;

int CountLines(const std::string& path, const std::string& prefix) {
    std::ifstream in(path);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

template <typename T>
T Median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Measure(const char* auth, int profiles, int delayMs, bool openServices, int port) {
    const std::string log = "/tmp/quorvi-streams-bench-" + std::to_string(::getpid()) + ".log";
    std::remove(log.c_str());
    std::vector<std::string> args{test::FakecamPath(),
                                  "--bind",
                                  "127.0.0.1",
                                  "--http-port",
                                  std::to_string(port),
                                  "--no-discovery",
                                  "--delay-ms",
                                  std::to_string(delayMs),
                                  "--profiles",
                                  std::to_string(profiles),
                                  "--auth",
                                  auth,
                                  "--log",
                                  log};
    if (openServices) args.push_back("--open-services");
    test::ChildProcess fakecam(args);
    if (!fakecam.WaitForLine("ready")) {
        std::printf("fakecam did not start\n");
        return;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cam0/onvif/device_service";
    std::vector<double> ms;
    std::vector<int> requests, connections, rounds;
    int code = 0;
    for (int i = 0; i < kRuns; ++i) {
        const int requestsBefore = CountLines(log, "request ");
        const int connectionsBefore = CountLines(log, "connection ");
        const auto start = std::chrono::steady_clock::now();
        const onvifc::CallResult r = onvifc::GetStreamUris(url, "admin", "40718");
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        code = r.code;
        rounds.push_back(r.stats.rounds);
        requests.push_back(CountLines(log, "request ") - requestsBefore);
        connections.push_back(CountLines(log, "connection ") - connectionsBefore);
    }
    std::printf(
        "%-6s %-19s %2d profiles, %2d ms per answer: %2d items in %6.1f ms; %2d requests, %d connections (at "
        "most %d), %d round trips\n",
        auth, openServices ? "(open GetServices)" : "", profiles, delayMs, code, Median(ms), Median(requests),
        Median(connections), *std::max_element(connections.begin(), connections.end()), Median(rounds));
    std::remove(log.c_str());
}

}  // namespace

int main() {
    test::RequirePrivateNetwork();
    std::printf("median of %d calls; requests and connections as the device counted them\n", kRuns);
    int port = 18900;
    for (int delay : {0, 50}) {
        for (int profiles : {2, 10}) {
            for (const char* auth : {"wsse", "digest"}) {
                for (bool open : {false, true}) Measure(auth, profiles, delay, open, port++);
            }
        }
    }
    return 0;
}
