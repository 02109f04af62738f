// The window under a flood: one host answers with maximum-size datagrams, each naming a new device with
// every text at its bound, for
// QUORVI_FLOOD_SECONDS (default 600). Prints the window process's peak memory, the rows it holds and the
// longest time its UI thread did not get to a 10 ms timer. Runs inside the private test network.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ProbeExchange.h"
#include "QuorviDlg.h"
#include "TestSupport.h"

using namespace quorvi;

namespace {

constexpr int kDatagramsPerSecond = 1000;

// Sends unique maximum-size replies to the window's probe port until `stop`.
void Flood(const std::atomic<bool>& stop, std::atomic<long>& sent) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kProbeLocalPort);
    ::inet_pton(AF_INET, "198.18.0.1", &to.sin_addr);
    std::string datagram;
    long n = 0;
    const auto start = std::chrono::steady_clock::now();
    while (!stop) {
        // Ids and addresses of just under the 1 KiB a sighting may have, padded to the largest datagram.
        const std::string id = "urn:uuid:" + std::to_string(n) + "-" + std::string(1000, 'f');
        // And name, hardware and location at their bound.
        datagram = "<wsa:Address>" + id.substr(0, 1020) +
                   "</wsa:Address><d:Scopes>onvif://www.onvif.org/name/" + std::string(100, 'n') +
                   " onvif://www.onvif.org/hardware/" + std::string(100, 'h') +
                   " onvif://www.onvif.org/location/" + std::string(100, 'l') +
                   "</d:Scopes><d:XAddrs>http://198.18.0.9/" + std::string(990, 'x') +
                   " http://198.18.0.10/" + "</d:XAddrs>";
        datagram.resize(kMaxDatagram, ' ');
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        ++n;
        sent = n;
        const auto due = start + std::chrono::microseconds(n * 1000000 / kDatagramsPerSecond);
        std::this_thread::sleep_until(due);
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    test::RequirePrivateNetwork();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const char* secondsText = std::getenv("QUORVI_FLOOD_SECONDS");
    const int seconds = secondsText ? std::atoi(secondsText) : 600;
    QApplication app(argc, argv);
    CQuorviDlg dlg;  // the real worker on the private network
    dlg.show();

    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    std::thread flooder([&] { Flood(stop, sent); });

    QElapsedTimer sinceTick;
    sinceTick.start();
    qint64 longestStall = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestStall = std::max(longestStall, sinceTick.elapsed());
        sinceTick.restart();
    });
    tick.start(10);
    QElapsedTimer closing;
    QTimer::singleShot(seconds * 1000, [&] {
        closing.start();
        dlg.reject();
        QApplication::quit();
    });
    QApplication::exec();
    const qint64 closeMs = closing.elapsed();
    stop = true;
    flooder.join();

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("flood of %d s, %ld datagrams of %zu bytes with new ids (%d per second):\n", seconds,
                sent.load(), kMaxDatagram, kDatagramsPerSecond);
    std::printf("  rows %d, peak memory %.0f MB, longest UI-thread stall %lld ms, closed in %lld ms\n",
                dlg.Devices().rowCount(), static_cast<double>(usage.ru_maxrss) / 1024.0,
                static_cast<long long>(longestStall), static_cast<long long>(closeMs));
    return 0;
}
