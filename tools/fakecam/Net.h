#pragma once

// The simulated device's own address (--bind): IPv4, or IPv6 with its interface as a zone
// (fe80::1%q0, 2001:db8::1%q0), as a device on an IPv6 network has one.
#include <sys/socket.h>

#include <string>

namespace fakecam {

bool IsIpv6(const std::string& bind);
// The address without its zone: what the device writes into its own replies (it knows no client's zone).
std::string WithoutZone(const std::string& bind);
// The address as the host part of a URL: "198.18.0.1" or "[fe80::1]".
std::string UrlHost(const std::string& bind);
// The interface of an IPv6 address: its zone; 0 when it names none.
unsigned InterfaceIndex(const std::string& bind);
// `bind`:`port` as a socket address; false when `bind` is not an address.
bool SocketAddress(const std::string& bind, int port, sockaddr_storage& out, socklen_t& length);

}  // namespace fakecam
