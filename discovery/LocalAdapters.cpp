#include "LocalAdapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

namespace quorvi {

int GetLocalAdapters(AdapterList& adapters) {
    ifaddrs* head = nullptr;
    if (::getifaddrs(&head) != 0) return static_cast<int>(adapters.size());
    for (const ifaddrs* it = head; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        if ((it->ifa_flags & IFF_LOOPBACK) != 0) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) adapters.emplace_back(text);
    }
    ::freeifaddrs(head);
    return static_cast<int>(adapters.size());
}

Ipv6LinkList GetIpv6Links() {
    Ipv6LinkList links;
    ifaddrs* head = nullptr;
    if (::getifaddrs(&head) != 0) return links;
    for (const ifaddrs* it = head; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET6 || it->ifa_name == nullptr)
            continue;
        if ((it->ifa_flags & IFF_LOOPBACK) != 0 || (it->ifa_flags & IFF_UP) == 0 ||
            (it->ifa_flags & IFF_MULTICAST) == 0)
            continue;
        const auto* in = reinterpret_cast<const sockaddr_in6*>(it->ifa_addr);
        if (!IN6_IS_ADDR_LINKLOCAL(&in->sin6_addr)) continue;
        const unsigned index = ::if_nametoindex(it->ifa_name);
        if (index == 0 ||
            std::any_of(links.begin(), links.end(), [&](const Ipv6Link& l) { return l.index == index; }))
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text) != nullptr)
            links.push_back({it->ifa_name, index, text});
    }
    ::freeifaddrs(head);
    return links;
}

Ipv6LinkSource SystemIpv6Links() {
    return [] { return GetIpv6Links(); };
}

AdapterSource SystemAdapters() {
    return [] {
        AdapterList list;
        GetLocalAdapters(list);
        return list;
    };
}

}  // namespace quorvi
