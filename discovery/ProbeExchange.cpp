#include "ProbeExchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "MessageId.h"
#include "ReplyExtraction.h"

namespace quorvi {

namespace {

constexpr const char kProbeHead[] =
    "<Envelope xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\" "
    "xmlns=\"http://www.w3.org/2003/05/soap-envelope\"><Header>"
    "<wsa:MessageID xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">";
constexpr const char kProbeTail[] =
    "</wsa:MessageID>"
    "<wsa:To xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
    "urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To>"
    "<wsa:Action xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">"
    "http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</wsa:Action>"
    "</Header><Body><Probe xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\">"
    "<Types>dn:NetworkVideoTransmitter</Types><Scopes/></Probe></Body></Envelope>";

// Closes the socket on every path out of the exchange.
struct SocketGuard {
    int fd;
    ~SocketGuard() {
        if (fd >= 0) ::close(fd);
    }
};

// A dotted IPv4 address that can be an adapter's own. The broadcast address never is, though Linux
// would let a socket bind to it.
bool ParseDottedAddress(const char* text, in_addr& out) {
    return text != nullptr && ::inet_pton(AF_INET, text, &out) == 1 && out.s_addr != htonl(INADDR_BROADCAST);
}

void EnlargeReceiveBuffer(int fd) {
    // Linux caps the request at net.core.rmem_max; asking for a lot gets us as much as allowed.
    for (int size : {64 << 20, 16 << 20, 4 << 20, 1 << 20}) {
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0) return;
    }
}

}  // namespace

std::string BuildProbe(const std::string& messageId) {
    std::string probe;
    probe.reserve(sizeof kProbeHead + sizeof kProbeTail + messageId.size());
    probe.append(kProbeHead).append(messageId).append(kProbeTail);
    return probe;
}

int ProbeOnAddress(const char* localAddress, ReplyList& replies, const std::atomic<bool>* running) {
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryPort);
    ::inet_pton(AF_INET, kDiscoveryGroup, &group.sin_addr);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kProbeLocalPort);
    if (!ParseDottedAddress(localAddress, local.sin_addr)) return -1;  // nothing to bind: no socket, no draw

    SocketGuard sock{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (sock.fd < 0) return -1;
    if (::bind(sock.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) return -1;
    EnlargeReceiveBuffer(sock.fd);

    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + kProbeWindow;
    const std::string messageId = MakeMessageId();
    const std::string probe = BuildProbe(messageId);
    if (::sendto(sock.fd, probe.data(), probe.size(), 0, reinterpret_cast<const sockaddr*>(&group),
                 sizeof group) < 0) {
        return -1;
    }

    std::string buffer(kMaxDatagram + 1, '\0');
    std::size_t keptBytes = 0;
    for (;;) {
        if (running != nullptr && !running->load()) break;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        auto wait = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        if (wait > kStopPollInterval) wait = kStopPollInterval;
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(wait.count() / 1000000);
        tv.tv_usec = static_cast<suseconds_t>(wait.count() % 1000000);
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(sock.fd, &readSet);
        const int ready = ::select(sock.fd + 1, &readSet, nullptr, nullptr, &tv);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0 || !FD_ISSET(sock.fd, &readSet)) continue;
        // Drain everything that is waiting, so a burst does not overflow the socket's queue.
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = ::recvfrom(sock.fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0) {
                if (errno == EINTR) continue;
                break;  // EAGAIN: drained; anything else: try again on the next wake-up
            }
            const auto size = static_cast<std::size_t>(n);
            // Replies to another client's Probe are not ours to count.
            if (n > 0 && replies.size() < kMaxRepliesPerExchange && keptBytes + size <= kMaxReplyBytesPerExchange &&
                RepliesToProbe(std::string_view(buffer.data(), size), messageId)) {
                replies.emplace_back(buffer.data(), size);
                keptBytes += size;
            }
        }
    }
    return static_cast<int>(replies.size());
}

}  // namespace quorvi
