#include "DeviceLookup.h"

#include <QMetaObject>
#include <atomic>
#include <mutex>

#include "BackgroundCall.h"

namespace quorvi {

// The look-up a window started: the object it reports to (cleared, under the lock, when that goes) and
// what ends its probe and port look-ups early.
struct CDeviceLookup::Pending {
    std::mutex mutex;
    CDeviceLookup* owner = nullptr;
    std::atomic<bool> running{true};
    std::function<void(const LookupOutcome&)> done;
};

CDeviceLookup::CDeviceLookup(QObject* parent) : QObject(parent) {}

CDeviceLookup::~CDeviceLookup() {
    if (!m_pending) return;
    std::lock_guard<std::mutex> lock(m_pending->mutex);
    m_pending->owner = nullptr;
    m_pending->running = false;
}

bool CDeviceLookup::Start(const QString& address, const DiscoverySources& sources,
                          std::function<void(const LookupOutcome&)> done) {
    if (m_pending) return false;  // one at a time
    std::string error;
    const auto wanted = ParseDeviceAddress(address.toStdString(), error);
    if (!wanted) {
        QMetaObject::invokeMethod(
            this,
            [done, reason = QString::fromStdString(error)] {
                done({{}, 0, {}, reason});
            },
            Qt::QueuedConnection);
        return true;
    }
    auto pending = std::make_shared<Pending>();
    pending->owner = this;
    pending->done = std::move(done);
    m_pending = pending;
    auto call = [pending, wanted = *wanted, probe = sources.directedProbe, lookup = sources.portLookup,
                 rate = sources.rate] {
        LookupOutcome outcome;
        outcome.ports = wanted.ports;
        std::string why;
        const auto host = ResolveDeviceHost(wanted.host, why);
        if (host) {
            // Probed as the cycles probe their targets, then looked for on its ports as they do.
            outcome.address = *host;
            ReplyList replies;
            if (probe) probe({*host}, rate, replies, &pending->running);
            for (std::size_t i = 0; i < replies.size(); ++i) {
                if (auto s = ExtractSighting(replies[i], replies.From(i)))
                    outcome.found.push_back(std::move(*s));
            }
            if (outcome.found.empty() && lookup && pending->running.load()) {
                for (const PortFinding& f : lookup({*host}, wanted.ports, rate, &pending->running))
                    outcome.found.push_back(SightingOf(f));
            }
            if (outcome.found.empty()) why = NothingAnsweredText(wanted.ports);
        }
        outcome.reason = QString::fromStdString(why);
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (pending->owner) {
            QMetaObject::invokeMethod(
                pending->owner,
                [owner = pending->owner, pending, outcome] {
                    if (owner->m_pending == pending) owner->m_pending.reset();
                    pending->done(outcome);
                },
                Qt::QueuedConnection);
        }
    };
    if (!StartBackgroundCall(std::move(call))) {
        m_pending.reset();
        return false;
    }
    return true;
}

}  // namespace quorvi
