#include "LocalAdapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

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

AdapterSource SystemAdapters() {
    return [] {
        AdapterList list;
        GetLocalAdapters(list);
        return list;
    };
}

}  // namespace quorvi
