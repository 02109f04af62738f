// Looking for ONVIF on the default ports where nothing answers a Probe: wall time and the most connections
// open at once for a block of silent addresses (their packets go nowhere: each connection costs the whole
// connect limit) and for a block of addresses that refuse at once (the rate of sends is then the bound).
// A /16 of silent addresses is measured as a /24 and scaled; QUORVI_BENCH_WHOLE_16=1 measures it whole
// (well over an hour). Runs only inside the private test network (bench/run).
#include <QElapsedTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "PortLookup.h"

using namespace quorvi;

namespace {

// TCP sockets this process holds: the sockets of its descriptor table (which, unlike /proc/net/tcp alone,
// cannot list one twice while others come and go) that /proc/net/tcp knows.
int OpenTcpSockets() {
    std::set<std::string> mine;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code gone;
        const std::string target = std::filesystem::read_symlink(entry.path(), gone).string();
        if (!gone && target.rfind("socket:[", 0) == 0) mine.insert(target.substr(8, target.size() - 9));
    }
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);  // the header
    int open = 0;
    while (std::getline(tcp, line)) {
        // The inode is the tenth field.
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 10 && fields >> field; ++i) {
        }
        if (mine.erase(field)) ++open;
    }
    return open;
}

void Sweep(const char* what, const std::string& block, double scaleTo16) {
    std::string error;
    const auto targets = ParseTargets({block}, error);
    if (!targets) {
        std::printf("%s: %s\n", block.c_str(), error.c_str());
        std::exit(1);
    }
    std::atomic<bool> done{false};
    int peak = 0;
    std::thread watch([&] {
        while (!done.load()) {
            peak = std::max(peak, OpenTcpSockets());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    QElapsedTimer timer;
    timer.start();
    const auto found = LookForOnvifOnPorts(*targets, DefaultOnvifPorts(), kDefaultProbeRate);
    const double seconds = static_cast<double>(timer.elapsed()) / 1000.0;
    done = true;
    watch.join();
    const std::size_t connections = targets->size() * DefaultOnvifPorts().size();
    std::printf(
        "%s %s: %zu addresses x %zu ports = %zu connections in %.1f s (%.0f a second), at most %d TCP "
        "connections open at once, %zu found\n",
        what, block.c_str(), targets->size(), DefaultOnvifPorts().size(), connections, seconds,
        static_cast<double>(connections) / seconds, peak, found.size());
    if (scaleTo16 > 1)
        std::printf("  a /16 of such addresses: %.0f s (%.1f h) by the same pace\n", seconds * scaleTo16,
                    seconds * scaleTo16 / 3600);
}

}  // namespace

int main() {
    if (!std::getenv("QUORVI_IN_NETNS")) {
        std::printf("ports_bench: runs only inside the private test network (bench/run)\n");
        return 1;
    }
    // Silent: routed through a gateway that never answers ARP, so no SYN gets an answer of any kind.
    // Refusing: addresses of this host with no listener, answered by a reset at once.
    if (std::system("ip route add 10.77.0.0/16 via 198.18.0.250 dev q0") != 0 ||
        std::system("ip route add local 10.78.0.0/16 dev lo") != 0) {
        std::printf("ports_bench: cannot set up the routes\n");
        return 1;
    }
    const bool whole = std::getenv("QUORVI_BENCH_WHOLE_16") != nullptr;
    if (whole)
        Sweep("silent", "10.77.0.0/16", 1);
    else
        Sweep("silent", "10.77.0.0/24", 65534.0 / 254.0);
    Sweep("refusing", "10.78.0.0/20", 65534.0 / 4094.0);
    return 0;
}
