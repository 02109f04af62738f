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

#include "CApi.h"
#include "Call.h"
#include "RtspCheck.h"
#include "TestSupport.h"

using namespace quorvi;

namespace {

constexpr int kRuns = 7;

template <typename T>
T Median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Measure(const char* auth, int profiles, int delayMs, bool openServices, int port,
             const char* media = "both", bool inventory = false) {
    std::vector<std::string> args{"--delay-ms", std::to_string(delayMs),
                                  "--profiles", std::to_string(profiles),
                                  "--auth",     auth,
                                  "--media",    media};
    if (openServices) args.push_back("--open-services");
    test::FakeDevice fakecam(args, "127.0.0.1", port);
    if (!fakecam.Ready()) return;
    const std::string url = fakecam.Url();
    std::vector<double> ms;
    std::vector<int> requests, connections, rounds;
    int code = 0;
    for (int i = 0; i < kRuns; ++i) {
        const int requestsBefore = fakecam.Count("request ");
        const int connectionsBefore = fakecam.Count("connection ");
        const auto start = std::chrono::steady_clock::now();
        const onvifc::CallResult r = onvifc::GetStreamUris(url, "admin", "40718", inventory);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        code = r.code;
        rounds.push_back(r.stats.rounds);
        requests.push_back(fakecam.Count("request ") - requestsBefore);
        connections.push_back(fakecam.Count("connection ") - connectionsBefore);
    }
    const std::string offered = std::string(inventory ? "inventory " : "media ") + media;
    std::printf(
        "%-6s %-10s %-19s %2d profiles, %2d ms per answer: %2d items in %6.1f ms; %2d requests, %d "
        "connections "
        "(at most %d), %d round trips\n",
        auth, offered.c_str(), openServices ? "(open GetServices)" : "", profiles, delayMs, code, Median(ms),
        Median(requests), Median(connections), *std::max_element(connections.begin(), connections.end()),
        Median(rounds));
}

// The stream check of both streams: its wall time and what it asked; then "get" and the check together.
void MeasureCheck(int delayMs, int port, int rtspPort) {
    test::FakeDevice fakecam(
        {"--delay-ms", std::to_string(delayMs), "--auth", "both", "--rtsp-port", std::to_string(rtspPort)},
        "127.0.0.1", port);
    if (!fakecam.Ready()) return;
    const std::string url = fakecam.Url();
    const onvifc::CallResult streams = onvifc::GetStreamUris(url, "admin", "40718");
    if (streams.code < 2) return;
    const std::vector<std::string> uris{streams.items[0].uri, streams.items[1].uri};
    std::vector<double> ms, together;
    int requests = 0, connections = 0;
    bool played = true;
    for (int i = 0; i < 5; ++i) {
        const int connectionsBefore = fakecam.Count("port=" + std::to_string(rtspPort));
        const auto start = std::chrono::steady_clock::now();
        const auto checks = onvifc::CheckStreams(uris, url, "admin", "40718");
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        requests = std::max(checks[0].requests, checks[1].requests);
        connections = fakecam.Count("port=" + std::to_string(rtspPort)) - connectionsBefore;
        played = played && checks[0].state == onvifc::StreamState::Plays &&
                 checks[1].state == onvifc::StreamState::Plays;

        const auto both = std::chrono::steady_clock::now();
        const onvifc::CallResult r = onvifc::GetStreamUris(url, "admin", "40718");
        onvifc::CheckStreams({r.items[0].uri, r.items[1].uri}, url, "admin", "40718");
        together.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - both).count());
    }
    std::printf(
        "check of both streams, %2d ms per answer: %6.1f ms (%s); %d DESCRIBEs per stream one after another, "
        "%d connections for two streams; \"get\" and check %6.1f ms (median of 5)\n",
        delayMs, Median(ms), played ? "both play" : "NOT PLAYING", requests, connections, Median(together));
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
    // Which media service is asked: a device that offers only Media 1, only Media 2, or both.
    for (const char* media : {"1", "2"}) {
        for (int profiles : {2, 10}) Measure("digest", profiles, 50, false, port++, media);
    }
    // A survey's row: the streams with the inventory, in the same login.
    for (const char* auth : {"wsse", "digest"}) {
        for (bool open : {false, true}) {
            for (int profiles : {2, 10}) Measure(auth, profiles, 50, open, port++, "both", true);
        }
    }
    MeasureCheck(0, port++, 18990);
    MeasureCheck(50, port++, 18991);
    return 0;
}
