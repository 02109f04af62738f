// fakecam: simulated ONVIF devices for tests, the demo and benchmarks. Runs only inside the private
// test network (see tests/netns-run).
#include <QGuiApplication>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>

#include "Discovery.h"
#include "Options.h"
#include "Rtsp.h"
#include "Soap.h"

namespace {
std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }
}  // namespace

int main(int argc, char** argv) {
    fakecam::Options options;
    if (!fakecam::ParseOptions(argc, argv, options)) return 2;
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    // Snapshots are drawn (with fonts) but never shown: no display is needed or used.
    std::unique_ptr<QGuiApplication> gui;
    int guiArgc = 1;
    if (!options.noHttp) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        gui = std::make_unique<QGuiApplication>(guiArgc, argv);
    }

    std::unique_ptr<fakecam::SoapServer> soap;
    if (!options.noHttp) {
        soap = std::make_unique<fakecam::SoapServer>(options);
        if (!soap->Start()) {
            std::fprintf(stderr, "fakecam: cannot serve HTTP on %s:%d\n", options.bind.c_str(),
                         options.httpPort);
            return 1;
        }
    }
    std::unique_ptr<fakecam::RtspServer> rtsp;
    if (!options.noHttp && options.rtspPort > 0) {
        rtsp = std::make_unique<fakecam::RtspServer>(options,
                                                     [&soap](const std::string& line) { soap->Log(line); });
        if (!rtsp->Start()) {
            std::fprintf(stderr, "fakecam: cannot serve RTSP on %s:%d\n", options.bind.c_str(),
                         options.rtspPort);
            return 1;
        }
    }
    auto ready = [] {
        std::printf("ready\n");
        std::fflush(stdout);
    };
    bool ok = true;
    if (options.noDiscovery) {
        ready();
        while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else {
        ok = fakecam::RunDiscoveryResponder(options, g_stop, ready);
    }
    if (rtsp) rtsp->Stop();
    if (soap) soap->Stop();
    return ok ? 0 : 1;
}
