#include "SightingHandOff.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QTimer>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace quorvi {

struct SightingHandOff::Queue {
    std::mutex mutex;
    std::condition_variable room;
    std::deque<TimedSighting> waiting;
    std::size_t bytes = 0;
    bool turnDue = false;  // a turn of the receiver's thread is posted or running
    QObject* receiver = nullptr;
    Deliver deliver;

    static std::size_t Size(const Sighting& s) {
        std::size_t n = sizeof(TimedSighting) + s.endpoint.size() + s.service.size() + s.source.size() +
                        s.identity.name.size() + s.identity.hardware.size() + s.identity.location.size();
        for (const std::string& x : s.identity.xaddrs) n += x.size() + sizeof x;
        return n;
    }

    // Takes up to `most` of what waits.
    std::vector<TimedSighting> Take(std::size_t most) {
        std::vector<TimedSighting> taken;
        std::lock_guard<std::mutex> lock(mutex);
        while (!waiting.empty() && taken.size() < most) {
            bytes -= Size(waiting.front().sighting);
            taken.push_back(std::move(waiting.front()));
            waiting.pop_front();
        }
        room.notify_all();
        return taken;
    }

    // One turn on the receiver's thread: batches until the turn's count or time is used, then, if more
    // waits, another turn after the event loop has had its own.
    static void Turn(const std::shared_ptr<Queue>& q) {
        QElapsedTimer turn;
        turn.start();
        std::size_t merged = 0;
        while (merged < static_cast<std::size_t>(kSightingsPerTurn) && turn.elapsed() < kMergeTurn.count()) {
            std::vector<TimedSighting> batch =
                q->Take(std::min<std::size_t>(512, kSightingsPerTurn - merged));
            if (batch.empty()) break;
            merged += batch.size();
            q->deliver(std::move(batch));
        }
        std::lock_guard<std::mutex> lock(q->mutex);
        if (q->waiting.empty()) {
            q->turnDue = false;
            return;
        }
        // A timer, not a posted call: window-system input is read before it fires.
        QTimer::singleShot(1, q->receiver, [q] { Turn(q); });
    }
};

SightingHandOff::SightingHandOff(QObject* receiver, Deliver deliver) : m_queue(std::make_shared<Queue>()) {
    m_queue->receiver = receiver;
    m_queue->deliver = std::move(deliver);
}

void SightingHandOff::Hand(const std::atomic<bool>& running, TimedSighting item) const {
    const std::shared_ptr<Queue>& q = m_queue;
    std::unique_lock<std::mutex> lock(q->mutex);
    // A backlog this large: wait for the receiver to catch up, or for the end of the run.
    while (q->bytes > kMaxPendingBytes && running.load())
        q->room.wait_for(lock, std::chrono::milliseconds(20));
    q->bytes += Queue::Size(item.sighting);
    item.seen = std::time(nullptr);
    q->waiting.push_back(std::move(item));
    if (q->turnDue) return;
    q->turnDue = true;
    QMetaObject::invokeMethod(
        q->receiver, [q] { Queue::Turn(q); }, Qt::QueuedConnection);
}

SightingSink SightingHandOff::Sink(const std::atomic<bool>& running) const {
    return [this, &running](const Sighting& sighting) { Hand(running, {sighting}); };
}

void SightingHandOff::DeliverAll() {
    for (;;) {
        std::vector<TimedSighting> batch = m_queue->Take(4096);
        if (batch.empty()) return;
        m_queue->deliver(std::move(batch));
    }
}

}  // namespace quorvi
