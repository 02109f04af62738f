// Time to the stream addresses of a two-profile device that answers each request after 50 ms, and the
// HTTP requests, connections and sequential waits it takes. Runs inside the private test network.
#include <cstdio>
#include <memory>

#include "Client.h"
#include "TestSupport.h"

using namespace quorvi;

namespace {

void Measure(const char* auth, int port) {
    test::ChildProcess fakecam({test::FakecamPath(), "--bind", "127.0.0.1", "--http-port", std::to_string(port),
                                "--no-discovery", "--delay-ms", "50", "--profiles", "2", "--auth", auth});
    if (!fakecam.WaitForLine("ready")) {
        std::printf("fakecam did not start\n");
        return;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cam0/onvif/device_service";
    double best = 1e9;
    onvifc::CallResult last;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        last = onvifc::GetStreamUris(url, "admin", "40718");
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (ms < best) best = ms;
    }
    std::printf("auth %-6s: %d streams in %6.1f ms (best of 5); %d HTTP requests, %d connections, %d sequential waits\n",
                auth, last.code, best, last.stats.requests, last.stats.connections, last.stats.rounds);
}

}  // namespace

int main() {
    test::RequirePrivateNetwork();
    Measure("none", 18901);
    Measure("wsse", 18902);
    Measure("digest", 18903);
    Measure("both", 18904);
    return 0;
}
