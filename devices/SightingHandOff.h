#pragma once

#include <QObject>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "DeviceList.h"
#include "DiscoveryCycle.h"

namespace quorvi {

// Sightings merged by the owner's thread in one turn at most; then input and painting get their turn.
constexpr int kSightingsPerTurn = 2048;
// The longest the owner's thread merges in one turn.
constexpr std::chrono::milliseconds kMergeTurn{8};
// Sightings waiting for the owner's thread may hold this much; beyond it the worker waits for room.
constexpr std::size_t kMaxPendingBytes = 64u << 20;

// Carries sightings from the discovery worker to the thread of `receiver`, in batches: the worker appends
// to a queue and never waits for that thread, unless kMaxPendingBytes are waiting (then it waits for room
// or for `running` to clear); the receiver's thread takes what has come, up to kSightingsPerTurn or
// kMergeTurn at a time, and lets everything else in its event loop run before it takes more. What is
// still queued when `receiver` is destroyed is dropped with it.
class SightingHandOff {
public:
    using Deliver = std::function<void(std::vector<TimedSighting>&&)>;
    SightingHandOff(QObject* receiver, Deliver deliver);
    // For the worker; `running` is what it runs by. The hand-off must outlive the sink.
    SightingSink Sink(const std::atomic<bool>& running) const;
    // Any record (a sighting, a Bye, the end of a cycle), stamped with the time it is handed on.
    void Hand(const std::atomic<bool>& running, TimedSighting item) const;
    // On the receiver's thread: everything that is waiting, now.
    void DeliverAll();

private:
    struct Queue;
    std::shared_ptr<Queue> m_queue;
};

}  // namespace quorvi
