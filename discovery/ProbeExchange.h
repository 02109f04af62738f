#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "LocalAdapters.h"

namespace quorvi {

// The datagrams of one exchange, in arrival order, and where each came from (dotted IPv4; `from` may be
// shorter than the list when the replies were not read off a socket, and an unknown source is empty).
struct ReplyList : std::vector<std::string> {
    using std::vector<std::string>::vector;
    std::vector<std::string> from;
    void Add(std::string datagram, std::string source) {
        from.resize(size());
        push_back(std::move(datagram));
        from.push_back(std::move(source));
    }
    std::string From(std::size_t i) const { return i < from.size() ? from[i] : std::string(); }
};

constexpr const char* kDiscoveryGroup = "239.255.255.250";
constexpr unsigned short kDiscoveryPort = 3702;
constexpr unsigned short kProbeLocalPort = 3704;
// How long an exchange listens for replies after its Probe has gone out.
constexpr std::chrono::milliseconds kProbeWindow{3500};
// Largest UDP payload over IPv4; replies are kept whole up to this size.
constexpr std::size_t kMaxDatagram = 65507;
// Bytes of replies kept per exchange; any beyond are read and dropped, so a flood cannot exhaust memory
// (20,000 real replies of a few KB each stay well inside it).
constexpr std::size_t kMaxReplyBytesPerExchange = 32u << 20;
// A stop request is noticed within this time, even inside an exchange.
constexpr std::chrono::milliseconds kStopPollInterval{100};

// The Probe for NetworkVideoTransmitter devices with the given MessageID in place: the 768 bytes every
// exchange sends first.
std::string BuildProbe(const std::string& messageId);
// The same Probe asking for the device type (tds:Device), which newer devices and recorders answer
// although they do not match NetworkVideoTransmitter; sent right after the first.
std::string BuildDeviceProbe(const std::string& messageId);

// Sends one Probe from `localAddress` (dotted IPv4), port 3704, to the discovery group and collects
// every datagram that reaches that port during the probe window, in arrival order. Returns -1 when
// the socket cannot be made, bound or the Probe not sent; otherwise the number of replies in `replies`.
// Ends early, within kStopPollInterval, once `running` (when given) turns false.
int ProbeOnAddress(const char* localAddress, ReplyList& replies, const std::atomic<bool>* running = nullptr);

constexpr const char* kDiscoveryGroup6 = "ff02::c";
// The same exchange on an IPv6 link: both Probes to [ff02::c]:3702 out of that link, from its link-local
// address (port kProbeLocalPort), replies collected as above; their sources are written with the link as
// zone ("fe80::5%eth0"). -1 when no socket can be had there.
int ProbeOnLink(const Ipv6Link& link, ReplyList& replies, const std::atomic<bool>* running = nullptr);

}  // namespace quorvi
