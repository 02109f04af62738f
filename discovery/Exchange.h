#pragma once

// What the multicast and the directed probe exchanges share: their socket and the collecting of replies.
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ProbeExchange.h"

namespace quorvi {

// Closes the socket on every path out of the exchange.
struct SocketGuard {
    int fd;
    ~SocketGuard() {
        if (fd >= 0) ::close(fd);
    }
};

// A UDP socket bound to `address`:`port`, with room for a burst of replies; -1 when it cannot be had.
int OpenExchangeSocket(in_addr address, uint16_t port);
// The same on an IPv6 link's address (its scope id in `address`), sending multicast out of that link.
int OpenExchangeSocket6(const sockaddr_in6& address);

// Replies kept by one exchange: every datagram that answers one of its Probes, once, up to the byte cap.
// A directed probe also names the addresses it probed: a datagram from any other address answers nothing
// it sent.
class ReplyCollector {
public:
    ReplyCollector(int fd, std::vector<std::string> messageIds, ReplyList& replies,
                   const std::unordered_set<uint32_t>* sources = nullptr);

    // Waits for replies and keeps them until `until`; false when the exchange is to end at once (a stop
    // request, or the socket failing).
    bool CollectUntil(std::chrono::steady_clock::time_point until, const std::atomic<bool>* running);

private:
    void Drain();
    bool FirstOfItsKind(std::string_view datagram, uint64_t source);
    struct PairHash {
        std::size_t operator()(const std::pair<uint64_t, uint64_t>& p) const {
            return static_cast<std::size_t>(p.first ^ (p.second * 31));
        }
    };

    int m_fd;
    std::unordered_set<std::pair<uint64_t, uint64_t>, PairHash> m_bodies;
    std::vector<std::string> m_messageIds;  // of the Probes this exchange sent
    ReplyList& m_replies;
    const std::unordered_set<uint32_t>* m_sources;
    std::string m_buffer;
    std::size_t m_kept = 0;
};

}  // namespace quorvi
