#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quorvi {

using AdapterList = std::vector<std::string>;
// Where a discovery cycle gets its local addresses from; tests hand in fixed lists.
using AdapterSource = std::function<AdapterList()>;

// Appends every IPv4 address of every non-loopback interface to `adapters`, dotted-decimal, in the order
// the system reports them. Returns the number of entries in the list.
int GetLocalAdapters(AdapterList& adapters);

AdapterSource SystemAdapters();

// An IPv6 link: an interface that is up, takes multicast and has a link-local address, where
// WS-Discovery goes to [ff02::c]:3702.
struct Ipv6Link {
    std::string name;     // the interface, as a zone: "eth0"
    unsigned index = 0;   // its index, as a scope id
    std::string address;  // its first link-local address, without the zone: "fe80::1"
};
using Ipv6LinkList = std::vector<Ipv6Link>;
using Ipv6LinkSource = std::function<Ipv6LinkList()>;

// Every such link of the system, in the order the system reports them, each once.
Ipv6LinkList GetIpv6Links();
Ipv6LinkSource SystemIpv6Links();

}  // namespace quorvi
