#include "Announcements.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <vector>

#include "ProbeExchange.h"

namespace quorvi {

namespace {

std::string_view UpToNul(std::string_view text) {
    return text.substr(0, std::min(text.find('\0'), text.size()));
}

// Types that a video device's Hello may name: none, or NetworkVideoTransmitter or Device in any prefix.
bool VideoTypes(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return true;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto start = text.find_first_not_of(" \t\r\n", at);
        if (start == std::string_view::npos) break;
        const auto end = std::min(text.find_first_of(" \t\r\n", start), text.size());
        std::string_view word = text.substr(start, end - start);
        if (const auto colon = word.rfind(':'); colon != std::string_view::npos)
            word.remove_prefix(colon + 1);
        if (word == "NetworkVideoTransmitter" || word == "Device") return true;
        at = end;
    }
    return false;
}

struct SocketGuard {
    int fd;
    ~SocketGuard() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::optional<Announcement> ReadAnnouncement(std::string_view datagram, std::string_view source) {
    const std::string_view text = UpToNul(datagram);
    constexpr std::string_view kDiscovery = "http://schemas.xmlsoap.org/ws/2005/04/discovery/";
    const auto action = ElementText(text, ":Action>");
    if (!action) return std::nullopt;
    // The action names the message; its body element must be there too.
    auto actionIs = [&](std::string_view name) {
        const auto a = action->find_first_not_of(" \t\r\n");
        return a != std::string_view::npos &&
               action->substr(a).rfind(std::string(kDiscovery) + std::string(name), 0) == 0;
    };
    if (actionIs("Hello") && text.find(":Hello>") != std::string_view::npos) {
        if (const auto types = ElementText(text, ":Types>"); types && !VideoTypes(*types))
            return std::nullopt;
        auto sighting = ExtractSighting(text, source);
        if (!sighting) return std::nullopt;
        return Announcement{Announcement::Hello, std::move(*sighting)};
    }
    if (actionIs("Bye") && text.find(":Bye>") != std::string_view::npos) {
        const auto reference = text.find(":EndpointReference>");
        if (reference == std::string_view::npos) return std::nullopt;
        const auto endpoint = ElementText(text.substr(reference), ":Address>");
        if (!endpoint || endpoint->size() > kMaxSightingText) return std::nullopt;
        Announcement bye;
        bye.kind = Announcement::Bye;
        bye.sighting.endpoint = std::string(*endpoint);
        bye.sighting.source = std::string(source);
        return bye;
    }
    return std::nullopt;
}

namespace {

// The IPv4 socket: bound to 239.255.255.250:3702, joined on every local address (again when called
// later, for new ones). -1, with the reason, when it cannot be had.
struct Ipv4Listener {
    SocketGuard sock{-1};
    std::set<std::string> joined;
    sockaddr_in local{};

    bool Open(std::string& error) {
        sock.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock.fd < 0) {
            error = std::string("no socket for announcements: ") + std::strerror(errno);
            return false;
        }
        const int one = 1;
        ::setsockopt(sock.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        local.sin_family = AF_INET;
        local.sin_port = htons(kDiscoveryPort);
        ::inet_pton(AF_INET, kDiscoveryGroup, &local.sin_addr);
        if (::bind(sock.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
            error = std::string("cannot listen for announcements on 239.255.255.250:3702: ") +
                    std::strerror(errno);
            return false;
        }
        return true;
    }
    void Join(const AdapterSource& adapters) {
        for (const std::string& address : adapters()) {
            if (address == "0.0.0.0" || joined.count(address)) continue;
            ip_mreq membership{};
            membership.imr_multiaddr = local.sin_addr;
            if (::inet_pton(AF_INET, address.c_str(), &membership.imr_interface) != 1) continue;
            if (::setsockopt(sock.fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0 ||
                errno == EADDRINUSE) {
                joined.insert(address);
            }
        }
    }
};

// A socket per IPv6 link, bound to [ff02::c%link]:3702 and joined there, so only the group's datagrams
// reach it.
struct Ipv6Listener {
    std::vector<std::pair<Ipv6Link, int>> sockets;
    ~Ipv6Listener() {
        for (const auto& s : sockets) ::close(s.second);
    }
    void Join(const Ipv6LinkSource& links) {
        if (!links) return;
        for (const Ipv6Link& link : links()) {
            if (std::any_of(sockets.begin(), sockets.end(),
                            [&](const auto& s) { return s.first.index == link.index; }))
                continue;
            const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (fd < 0) continue;
            const int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
            sockaddr_in6 local{};
            local.sin6_family = AF_INET6;
            local.sin6_port = htons(kDiscoveryPort);
            local.sin6_scope_id = link.index;
            ipv6_mreq membership{};
            membership.ipv6mr_interface = link.index;
            if (::inet_pton(AF_INET6, kDiscoveryGroup6, &local.sin6_addr) != 1 ||
                ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
                ::close(fd);
                continue;
            }
            membership.ipv6mr_multiaddr = local.sin6_addr;
            if (::setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &membership, sizeof membership) < 0 &&
                errno != EADDRINUSE) {
                ::close(fd);
                continue;
            }
            sockets.emplace_back(link, fd);
        }
    }
};

// Reads every datagram waiting on `fd` and hands on the announcements among them.
void ReadWaiting(int fd, const Ipv6Link* link, std::vector<char>& buffer, const AnnouncementSink& sink) {
    for (;;) {
        sockaddr_storage from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n <= 0) break;
        std::string source;
        if (from.ss_family == AF_INET) {
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(from).sin_addr, text, sizeof text);
            source = text;
        } else if (from.ss_family == AF_INET6 && link) {
            const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
            char text[INET6_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
            source = text;
            if (IN6_IS_ADDR_LINKLOCAL(&v6.sin6_addr)) source += "%" + link->name;
        } else {
            continue;
        }
        if (auto a = ReadAnnouncement(std::string_view(buffer.data(), static_cast<std::size_t>(n)), source))
            sink(*a);
    }
}

}  // namespace

bool ListenForAnnouncements(const std::atomic<bool>& running, const AdapterSource& adapters,
                            const Ipv6LinkSource& links6, const AnnouncementSink& sink, std::string& error) {
    Ipv4Listener v4;
    bool v4ok = v4.Open(error);
    if (v4ok) {
        v4.Join(adapters);
        if (v4.joined.empty()) {
            error = "cannot join 239.255.255.250 for announcements on any local address";
            v4ok = false;
        }
    }
    Ipv6Listener v6;
    v6.Join(links6);
    if (!v4ok && v6.sockets.empty()) return false;
    std::vector<char> buffer(kMaxDatagram + 1);
    auto nextJoin = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (running.load()) {
        // Adapters and links come and go: join the group on new ones now and then.
        if (std::chrono::steady_clock::now() >= nextJoin) {
            if (v4ok) v4.Join(adapters);
            v6.Join(links6);
            nextJoin = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        }
        timeval tv{0, static_cast<suseconds_t>(std::chrono::microseconds(kStopPollInterval).count())};
        fd_set readSet;
        FD_ZERO(&readSet);
        int highest = -1;
        if (v4ok) {
            FD_SET(v4.sock.fd, &readSet);
            highest = v4.sock.fd;
        }
        for (const auto& s : v6.sockets) {
            if (s.second >= FD_SETSIZE) continue;
            FD_SET(s.second, &readSet);
            highest = std::max(highest, s.second);
        }
        const int ready = ::select(highest + 1, &readSet, nullptr, nullptr, &tv);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (v4ok && FD_ISSET(v4.sock.fd, &readSet)) ReadWaiting(v4.sock.fd, nullptr, buffer, sink);
        for (const auto& s : v6.sockets) {
            if (s.second < FD_SETSIZE && FD_ISSET(s.second, &readSet))
                ReadWaiting(s.second, &s.first, buffer, sink);
        }
    }
    return true;
}

}  // namespace quorvi
