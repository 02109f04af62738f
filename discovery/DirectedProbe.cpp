#include "DirectedProbe.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <unordered_set>

#include "Exchange.h"
#include "MessageId.h"

namespace quorvi {

namespace {

std::optional<uint32_t> ParseAddress(const std::string& text) {
    in_addr a{};
    if (text.empty() || ::inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return ntohl(a.s_addr);
}

// Plain decimal digits only.
std::optional<int> ParsePrefix(const std::string& text) {
    if (text.empty() || text.size() > 2) return std::nullopt;
    int n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

// Why an address may not be probed, or nothing.
const char* Refusal(uint32_t a) {
    if ((a >> 24) == 127) return "loopback";
    if ((a >> 24) == 0) return "\"this network\" (0.0.0.0/8)";
    if ((a >> 28) == 0xE) return "multicast";
    if (a == 0xFFFFFFFFu) return "broadcast";
    if ((a >> 28) == 0xF) return "reserved (240.0.0.0/4)";
    return nullptr;
}

}  // namespace

std::string FormatAddress(uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

namespace {

// The addresses one SPEC names, first to last; `block` when it is a block with its own network and
// broadcast addresses. Nothing, with the reason in `error`, when it names no addresses we probe.
struct TargetRange {
    uint64_t first = 0;
    uint64_t last = 0;
    bool block = false;
};

std::optional<TargetRange> ReadTargetRange(const std::string& spec, std::string& error) {
    TargetRange r;
    const auto dash = spec.find('-');
    const auto slash = spec.find('/');
    if (dash != std::string::npos && slash == std::string::npos) {
        const auto a = ParseAddress(spec.substr(0, dash));
        const auto b = ParseAddress(spec.substr(dash + 1));
        if (!a || !b || *a > *b) {
            error = "not a range of IPv4 addresses from low to high: " + spec;
            return std::nullopt;
        }
        r.first = *a;
        r.last = *b;
    } else if (slash != std::string::npos && dash == std::string::npos) {
        const auto a = ParseAddress(spec.substr(0, slash));
        const auto n = ParsePrefix(spec.substr(slash + 1));
        if (!a || !n || *n > 32) {
            error = "not an IPv4 block (A.B.C.D/N): " + spec;
            return std::nullopt;
        }
        if (*n < 16) {
            error = "a block larger than /16 is not probed: " + spec;
            return std::nullopt;
        }
        const uint64_t size = uint64_t{1} << (32 - *n);
        r.first = *a & ~(size - 1);
        r.last = r.first + size - 1;
        r.block = *n < 31;
    } else {
        const auto a = ParseAddress(spec);
        if (!a || dash != std::string::npos) {
            error = "not an IPv4 address, range or block: " + spec;
            return std::nullopt;
        }
        r.first = r.last = *a;
    }
    if (r.last - r.first + 1 > kMaxTargetsPerSpec) {
        error = "more than 65536 addresses (a /16) in one range: " + spec;
        return std::nullopt;
    }
    for (uint64_t a = r.first; a <= r.last; ++a) {
        if (const char* why = Refusal(static_cast<uint32_t>(a))) {
            error = spec + " reaches a " + why + " address (" + FormatAddress(static_cast<uint32_t>(a)) +
                    "), which is not probed";
            return std::nullopt;
        }
    }
    return r;
}

}  // namespace

std::optional<TargetList> ParseTargets(const std::vector<std::string>& specs, std::string& error) {
    TargetList targets;
    std::unordered_set<uint32_t> seen;
    for (const std::string& spec : specs) {
        auto range = ReadTargetRange(spec, error);
        if (!range) return std::nullopt;
        // A block's own network and broadcast addresses are no device's.
        if (range->block) {
            ++range->first;
            --range->last;
        }
        for (uint64_t a = range->first; a <= range->last; ++a) {
            if (seen.insert(static_cast<uint32_t>(a)).second) targets.push_back(static_cast<uint32_t>(a));
        }
        if (targets.size() > kMaxTargets) {
            error = "more than 262144 addresses in all";
            return std::nullopt;
        }
    }
    return targets;
}

using Clock = std::chrono::steady_clock;

int ProbeTargets(const TargetList& targets, int rate, ReplyList& replies, const std::atomic<bool>* running) {
    // Any address, an ephemeral port: the routing table picks the way out.
    SocketGuard sock{OpenExchangeSocket(in_addr{INADDR_ANY}, 0)};
    if (sock.fd < 0) return -1;
    // Probes to absent hosts of an attached network wait in the kernel for address resolution, for
    // seconds; room for many of them keeps the sending going at its rate.
    const int sendBuffer = 4 << 20;
    ::setsockopt(sock.fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);

    const std::string messageId = MakeMessageId();
    const std::string deviceId = MakeMessageId();
    const std::string probes[] = {BuildProbe(messageId), BuildDeviceProbe(deviceId)};
    const std::unordered_set<uint32_t> probed(targets.begin(), targets.end());
    ReplyCollector collector(sock.fd, {messageId, deviceId}, replies, &probed);
    const auto interval = std::chrono::microseconds(1000000 / std::max(1, rate));
    auto nextSend = Clock::now();
    for (const uint32_t target : targets) {
        if (!collector.CollectUntil(nextSend, running)) return static_cast<int>(replies.size());
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kDiscoveryPort);
        to.sin_addr.s_addr = htonl(target);
        // Both Probes, one after the other: the rate counts targets. A target that cannot be reached (no
        // route) is simply not answered. When the send buffer is full, wait for room while still taking
        // replies and heeding a stop request, never blocked in sendto.
        for (const std::string& probe : probes) {
            for (int tries = 0;
                 tries < 300 &&
                 ::sendto(sock.fd, probe.data(), probe.size(), MSG_DONTWAIT,
                          reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0 &&
                 (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ENOBUFS);
                 ++tries) {
                if (!collector.CollectUntil(Clock::now() + std::chrono::milliseconds(10), running)) {
                    return static_cast<int>(replies.size());
                }
            }
        }
        nextSend = std::max(nextSend + interval, Clock::now() - interval);
    }
    collector.CollectUntil(Clock::now() + kProbeWindow, running);
    return static_cast<int>(replies.size());
}

}  // namespace quorvi
