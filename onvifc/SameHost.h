#pragma once

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <string>

namespace onvifc {

namespace detail {

// A host in the form it is compared in: lower case without brackets; an address literal as its bytes
// (with any zone after them), so that every way of writing one address is the same text.
inline std::string CanonicalHost(const std::string& host) {
    std::string h = host;
    for (char& c : h) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    std::string zone;
    if (const auto percent = h.find('%'); percent != std::string::npos) {
        zone = h.substr(percent + 1);
        if (zone.rfind("25", 0) == 0) zone.erase(0, 2);  // %25 is how a URL writes the %
        h.erase(percent);
    }
    unsigned char bytes[16];
    if (::inet_pton(AF_INET6, h.c_str(), bytes) == 1) {
        // An IPv4-mapped IPv6 address is that IPv4 address.
        static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(bytes, kMapped, 12) == 0)
            return "4:" + std::string(reinterpret_cast<char*>(bytes + 12), 4);
        return "6:" + std::string(reinterpret_cast<char*>(bytes), 16) + "%" + zone;
    }
    if (::inet_pton(AF_INET, h.c_str(), bytes) == 1)
        return "4:" + std::string(reinterpret_cast<char*>(bytes), 4);
    if (!h.empty() && h.back() == '.') h.pop_back();  // the root's dot
    return "n:" + h;
}

}  // namespace detail

// Whether two hosts, as URLs write them, are one and the same: names without regard to letter case,
// address literals as the addresses they are (brackets, zeros and IPv4-mapped forms aside). Never for an
// empty host. This decides where credentials may go: a host that merely begins like another is another.
inline bool SameHost(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    return detail::CanonicalHost(a) == detail::CanonicalHost(b);
}

}  // namespace onvifc
