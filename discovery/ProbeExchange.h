#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace quorvi {

using ReplyList = std::vector<std::string>;

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

// The Probe for NetworkVideoTransmitter devices with the given MessageID in place.
std::string BuildProbe(const std::string& messageId);

// Sends one Probe from `localAddress` (dotted IPv4), port 3704, to the discovery group and collects
// every datagram that reaches that port during the probe window, in arrival order. Returns -1 when
// the socket cannot be made, bound or the Probe not sent; otherwise the number of replies in `replies`.
// Ends early, within kStopPollInterval, once `running` (when given) turns false.
int ProbeOnAddress(const char* localAddress, ReplyList& replies, const std::atomic<bool>* running = nullptr);

}  // namespace quorvi
