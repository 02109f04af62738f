#include "ProbeExchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <unordered_set>
#include <vector>

#include "DirectedProbe.h"
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

// A UDP socket bound to `address`:`port`, with room for a burst of replies; -1 when it cannot be had.
int OpenExchangeSocket(in_addr address, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr = address;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        ::close(fd);
        return -1;
    }
    EnlargeReceiveBuffer(fd);
    return fd;
}

}  // namespace

std::string BuildProbe(const std::string& messageId) {
    std::string probe;
    probe.reserve(sizeof kProbeHead + sizeof kProbeTail + messageId.size());
    probe.append(kProbeHead).append(messageId).append(kProbeTail);
    return probe;
}

std::string BuildDeviceProbe(const std::string& messageId) {
    std::string probe = BuildProbe(messageId);
    // The same envelope; the type asked for is the device service's.
    const std::string nvt = "<Types>dn:NetworkVideoTransmitter</Types>";
    probe.replace(probe.find(nvt), nvt.size(), "<Types>tds:Device</Types>");
    const std::string dn = "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\"";
    probe.replace(probe.find(dn), dn.size(), "xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\"");
    return probe;
}

namespace {

using Clock = std::chrono::steady_clock;

// Replies kept by one exchange: every datagram that answers its Probe, up to the byte cap. A directed
// probe also names the addresses it probed: a datagram from any other address answers nothing it sent.
class ReplyCollector {
public:
    ReplyCollector(int fd, std::vector<std::string> messageIds, ReplyList& replies,
                   const std::unordered_set<uint32_t>* sources = nullptr)
        : m_fd(fd),
          m_messageIds(std::move(messageIds)),
          m_replies(replies),
          m_sources(sources),
          m_buffer(kMaxDatagram + 1, '\0') {}

    // Waits for replies and keeps them until `until`; false when the exchange is to end at once (a stop
    // request, or the socket failing).
    bool CollectUntil(Clock::time_point until, const std::atomic<bool>* running) {
        for (;;) {
            if (running != nullptr && !running->load()) return false;
            const auto now = Clock::now();
            if (now >= until) return true;
            auto wait = std::chrono::duration_cast<std::chrono::microseconds>(until - now);
            if (wait > kStopPollInterval) wait = kStopPollInterval;
            timeval tv{};
            tv.tv_sec = static_cast<time_t>(wait.count() / 1000000);
            tv.tv_usec = static_cast<suseconds_t>(wait.count() % 1000000);
            fd_set readSet;
            FD_ZERO(&readSet);
            FD_SET(m_fd, &readSet);
            const int ready = ::select(m_fd + 1, &readSet, nullptr, nullptr, &tv);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (ready > 0 && FD_ISSET(m_fd, &readSet)) Drain();
        }
    }

private:
    // Takes everything that is waiting, so a burst does not overflow the socket's queue.
    void Drain() {
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = ::recvfrom(m_fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;  // EAGAIN: drained; anything else: try again on the next wake-up
            }
            const auto size = static_cast<std::size_t>(n);
            if (m_sources && !m_sources->count(ntohl(from.sin_addr.s_addr))) continue;
            // Replies to another client's Probe are not ours to count; past the byte cap nothing is kept.
            const std::string_view datagram(m_buffer.data(), size);
            if (n > 0 && m_kept + size <= kMaxReplyBytesPerExchange &&
                std::any_of(m_messageIds.begin(), m_messageIds.end(),
                            [&](const std::string& id) { return RepliesToProbe(datagram, id); }) &&
                FirstOfItsKind(datagram, from.sin_addr.s_addr)) {
                char source[INET_ADDRSTRLEN] = {};
                ::inet_ntop(AF_INET, &from.sin_addr, source, sizeof source);
                m_replies.Add(std::string(datagram), source);
                m_kept += size;
            }
        }
    }

    // False for a datagram from the same source whose body (from its SOAP Body on) was already kept: a
    // device answering both Probes, or sending its answer twice, says the same thing again. Its
    // headers (MessageID, RelatesTo, AppSequence) differ; what becomes a row does not.
    bool FirstOfItsKind(std::string_view datagram, uint32_t source) {
        const auto body = datagram.find("Body>");
        const std::string_view part = body == std::string_view::npos ? datagram : datagram.substr(body);
        uint64_t fnv = 1469598103934665603ull;
        for (const char c : part) fnv = (fnv ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        const uint64_t other = std::hash<std::string_view>{}(part) ^ (uint64_t{source} << 17);
        return m_bodies.insert({fnv ^ source, other}).second;
    }

    struct PairHash {
        std::size_t operator()(const std::pair<uint64_t, uint64_t>& p) const {
            return static_cast<std::size_t>(p.first ^ (p.second * 31));
        }
    };

    int m_fd;
    std::unordered_set<std::pair<uint64_t, uint64_t>, PairHash> m_bodies;
    std::vector<std::string> m_messageIds;  // of the Probes this exchange sent
    ReplyList& m_replies;
    const std::unordered_set<uint32_t>* m_sources;
    std::string m_buffer;
    std::size_t m_kept = 0;
};

}  // namespace

int ProbeOnAddress(const char* localAddress, ReplyList& replies, const std::atomic<bool>* running) {
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kDiscoveryPort);
    ::inet_pton(AF_INET, kDiscoveryGroup, &group.sin_addr);

    in_addr local{};
    if (!ParseDottedAddress(localAddress, local)) return -1;  // nothing to bind: no socket, no draw
    SocketGuard sock{OpenExchangeSocket(local, kProbeLocalPort)};
    if (sock.fd < 0) return -1;

    const auto deadline = Clock::now() + kProbeWindow;
    const std::string messageId = MakeMessageId();
    const std::string probe = BuildProbe(messageId);
    if (::sendto(sock.fd, probe.data(), probe.size(), 0, reinterpret_cast<const sockaddr*>(&group),
                 sizeof group) < 0) {
        return -1;
    }
    // Then the same for the device type; a device answering both is one row all the same.
    const std::string deviceId = MakeMessageId();
    const std::string deviceProbe = BuildDeviceProbe(deviceId);
    ::sendto(sock.fd, deviceProbe.data(), deviceProbe.size(), 0, reinterpret_cast<const sockaddr*>(&group),
             sizeof group);
    ReplyCollector(sock.fd, {messageId, deviceId}, replies).CollectUntil(deadline, running);
    return static_cast<int>(replies.size());
}

int ProbeTargets(const TargetList& targets, int rate, ReplyList& replies, const std::atomic<bool>* running) {
    // Any address, an ephemeral port: the routing table picks the way out.
    SocketGuard sock{OpenExchangeSocket(in_addr{INADDR_ANY}, 0)};
    if (sock.fd < 0) return -1;
    // Probes to absent hosts of an attached network wait in the kernel for address resolution, for
    // seconds; room for many of them keeps the sending going at its rate.
    const int sendBuffer = 4 << 20;
    ::setsockopt(sock.fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);

    const std::string messageId = MakeMessageId();
    const std::string deviceId = MakeMessageId();
    const std::string probes[] = {BuildProbe(messageId), BuildDeviceProbe(deviceId)};
    const std::unordered_set<uint32_t> probed(targets.begin(), targets.end());
    ReplyCollector collector(sock.fd, {messageId, deviceId}, replies, &probed);
    const auto interval = std::chrono::microseconds(1000000 / std::max(1, rate));
    auto nextSend = Clock::now();
    for (const uint32_t target : targets) {
        if (!collector.CollectUntil(nextSend, running)) return static_cast<int>(replies.size());
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kDiscoveryPort);
        to.sin_addr.s_addr = htonl(target);
        // Both Probes, one after the other: the rate counts targets. A target that cannot be reached (no
        // route) is simply not answered. When the send buffer is full, wait for room while still taking
        // replies and heeding a stop request, never blocked in sendto.
        for (const std::string& probe : probes) {
            for (int tries = 0;
                 tries < 300 &&
                 ::sendto(sock.fd, probe.data(), probe.size(), MSG_DONTWAIT,
                          reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0 &&
                 (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ENOBUFS);
                 ++tries) {
                if (!collector.CollectUntil(Clock::now() + std::chrono::milliseconds(10), running)) {
                    return static_cast<int>(replies.size());
                }
            }
        }
        nextSend = std::max(nextSend + interval, Clock::now() - interval);
    }
    collector.CollectUntil(Clock::now() + kProbeWindow, running);
    return static_cast<int>(replies.size());
}

}  // namespace quorvi
