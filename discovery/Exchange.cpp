#include "Exchange.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "ReplyExtraction.h"

namespace quorvi {

namespace {

using Clock = std::chrono::steady_clock;

void EnlargeReceiveBuffer(int fd) {
    // Linux caps the request at net.core.rmem_max; asking for a lot gets us as much as allowed.
    for (int size : {64 << 20, 16 << 20, 4 << 20, 1 << 20}) {
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0) return;
    }
}

}  // namespace

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

int OpenExchangeSocket6(const sockaddr_in6& address) {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    const unsigned link = address.sin6_scope_id;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0 ||
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &link, sizeof link) < 0) {
        ::close(fd);
        return -1;
    }
    EnlargeReceiveBuffer(fd);
    return fd;
}

ReplyCollector::ReplyCollector(int fd, std::vector<std::string> messageIds, ReplyList& replies,
                               const std::unordered_set<uint32_t>* sources)
    : m_fd(fd),
      m_messageIds(std::move(messageIds)),
      m_replies(replies),
      m_sources(sources),
      m_buffer(kMaxDatagram + 1, '\0') {}

bool ReplyCollector::CollectUntil(Clock::time_point until, const std::atomic<bool>* running) {
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

// Takes everything that is waiting, so a burst does not overflow the socket's queue.
void ReplyCollector::Drain() {
    for (;;) {
        sockaddr_storage from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(m_fd, m_buffer.data(), m_buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // EAGAIN: drained; anything else: try again on the next wake-up
        }
        const auto size = static_cast<std::size_t>(n);
        char source[INET6_ADDRSTRLEN + IF_NAMESIZE + 1] = {};
        uint64_t sourceKey = 0;
        if (from.ss_family == AF_INET) {
            const auto& v4 = reinterpret_cast<const sockaddr_in&>(from);
            if (m_sources && !m_sources->count(ntohl(v4.sin_addr.s_addr))) continue;
            ::inet_ntop(AF_INET, &v4.sin_addr, source, sizeof source);
            sourceKey = v4.sin_addr.s_addr;
        } else if (from.ss_family == AF_INET6 && !m_sources) {
            // An IPv6 source as a URL's host is written: a link-local one with its link as zone.
            const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
            ::inet_ntop(AF_INET6, &v6.sin6_addr, source, INET6_ADDRSTRLEN);
            char link[IF_NAMESIZE] = {};
            if (IN6_IS_ADDR_LINKLOCAL(&v6.sin6_addr) && ::if_indextoname(v6.sin6_scope_id, link))
                std::strcat(std::strcat(source, "%"), link);
            sourceKey = std::hash<std::string_view>{}(source) | (uint64_t{1} << 63);
        } else {
            continue;
        }
        // Replies to another client's Probe are not ours to count; past the byte cap nothing is kept.
        const std::string_view datagram(m_buffer.data(), size);
        if (n > 0 && m_kept + size <= kMaxReplyBytesPerExchange &&
            std::any_of(m_messageIds.begin(), m_messageIds.end(),
                        [&](const std::string& id) { return RepliesToProbe(datagram, id); }) &&
            FirstOfItsKind(datagram, sourceKey)) {
            m_replies.Add(std::string(datagram), source);
            m_kept += size;
        }
    }
}

// False for a datagram from the same source whose body (from its SOAP Body on) was already kept: a
// device answering both Probes, or sending its answer twice, says the same thing again. Its headers
// (MessageID, RelatesTo, AppSequence) differ; what becomes a row does not.
bool ReplyCollector::FirstOfItsKind(std::string_view datagram, uint64_t source) {
    const auto body = datagram.find("Body>");
    const std::string_view part = body == std::string_view::npos ? datagram : datagram.substr(body);
    uint64_t fnv = 1469598103934665603ull;
    for (const char c : part) fnv = (fnv ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    const uint64_t other = std::hash<std::string_view>{}(part) ^ (source << 17);
    return m_bodies.insert({fnv ^ source, other}).second;
}

}  // namespace quorvi
