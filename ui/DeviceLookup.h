#pragma once

// "Add device...": one address looked for as probe addresses are, a directed Probe first and then its
// ports, in the background.
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "DiscoveryCycle.h"

namespace quorvi {

struct LookupOutcome {
    std::vector<Sighting> found;  // empty: nothing answered
    uint32_t address = 0;         // the host's, once resolved
    std::vector<int> ports;       // where it was looked for
    QString reason;               // when nothing was found: why
};

class CDeviceLookup : public QObject {
    Q_OBJECT
public:
    explicit CDeviceLookup(QObject* parent = nullptr);
    // A look-up under way reports to nobody any more, and ends early.
    ~CDeviceLookup() override;

    // Looks for `address` (host, host:port or a service address) with the sources' directed probe and port
    // look-up; `done` comes later on this object's thread, also for what is no address. False when one is
    // under way or no thread can be had.
    bool Start(const QString& address, const DiscoverySources& sources,
               std::function<void(const LookupOutcome&)> done);
    bool Running() const { return m_pending != nullptr; }

private:
    struct Pending;
    std::shared_ptr<Pending> m_pending;
};

}  // namespace quorvi
