#include "Announcements.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

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

bool ListenForAnnouncements(const std::atomic<bool>& running, const AdapterSource& adapters,
                            const AnnouncementSink& sink, std::string& error) {
    SocketGuard sock{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (sock.fd < 0) {
        error = std::string("no socket for announcements: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(sock.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kDiscoveryPort);
    ::inet_pton(AF_INET, kDiscoveryGroup, &local.sin_addr);
    if (::bind(sock.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) < 0) {
        error =
            std::string("cannot listen for announcements on 239.255.255.250:3702: ") + std::strerror(errno);
        return false;
    }
    std::set<std::string> joined;
    auto join = [&] {
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
    };
    join();
    if (joined.empty()) {
        error = "cannot join 239.255.255.250 for announcements on any local address";
        return false;
    }
    std::vector<char> buffer(kMaxDatagram + 1);
    auto nextJoin = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (running.load()) {
        // Adapters come and go: join the group on new ones now and then.
        if (std::chrono::steady_clock::now() >= nextJoin) {
            join();
            nextJoin = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        }
        timeval tv{0, static_cast<suseconds_t>(std::chrono::microseconds(kStopPollInterval).count())};
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(sock.fd, &readSet);
        const int ready = ::select(sock.fd + 1, &readSet, nullptr, nullptr, &tv);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = ::recvfrom(sock.fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n <= 0) break;
            char source[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &from.sin_addr, source, sizeof source);
            if (auto a =
                    ReadAnnouncement(std::string_view(buffer.data(), static_cast<std::size_t>(n)), source))
                sink(*a);
        }
    }
    return true;
}

}  // namespace quorvi
