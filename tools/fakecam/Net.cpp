#include "Net.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace fakecam {

bool IsIpv6(const std::string& bind) { return bind.find(':') != std::string::npos; }

std::string WithoutZone(const std::string& bind) { return bind.substr(0, bind.find('%')); }

std::string UrlHost(const std::string& bind) { return IsIpv6(bind) ? "[" + WithoutZone(bind) + "]" : bind; }

unsigned InterfaceIndex(const std::string& bind) {
    const std::size_t zone = bind.find('%');
    return zone == std::string::npos ? 0 : ::if_nametoindex(bind.substr(zone + 1).c_str());
}

bool SocketAddress(const std::string& bind, int port, sockaddr_storage& out, socklen_t& length) {
    std::memset(&out, 0, sizeof out);
    if (IsIpv6(bind)) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&out);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET6, WithoutZone(bind).c_str(), &a->sin6_addr) != 1) return false;
        a->sin6_scope_id = InterfaceIndex(bind);
        length = sizeof *a;
        return true;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&out);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *a;
    return ::inet_pton(AF_INET, bind.c_str(), &a->sin_addr) == 1;
}

}  // namespace fakecam
