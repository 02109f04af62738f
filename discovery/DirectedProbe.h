#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ProbeExchange.h"

namespace quorvi {

// IPv4 addresses in host byte order.
using TargetList = std::vector<uint32_t>;

// The largest block one SPEC may name (a /16), and how many addresses all SPECs together may name.
constexpr std::size_t kMaxTargetsPerSpec = 65536;
constexpr std::size_t kMaxTargets = 4 * kMaxTargetsPerSpec;
constexpr int kDefaultProbeRate = 1000;  // probes a second

// Reads target SPECs: an IPv4 address, a range "A-B", or a CIDR block "A/N" with N from 16 to 32 (a
// block's network and broadcast addresses are left out when N < 31). Refuses, with a message in `error`,
// anything else, blocks larger than /16, and any SPEC that reaches loopback (127/8), "this network" (0/8),
// multicast (224/4), the reserved 240/4 or the broadcast address. Duplicates are kept once, in order.
std::optional<TargetList> ParseTargets(const std::vector<std::string>& specs, std::string& error);

std::string FormatAddress(uint32_t address);

// A directed WS-Discovery probe: the same Probe, by unicast, to UDP port 3702 of every target, at most
// `rate` a second, from an ephemeral port; collects the replies to it that come from one of the targets
// (as ProbeOnAddress does otherwise) until
// kProbeWindow after the last Probe went out. Returns -1 when the socket cannot be made, otherwise the
// number of replies. Ends early, within kStopPollInterval, once `running` (when given) turns false.
int ProbeTargets(const TargetList& targets, int rate, ReplyList& replies,
                 const std::atomic<bool>* running = nullptr);

}  // namespace quorvi
