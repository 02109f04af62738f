#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DeviceList.h"
#include "DiscoveryCycle.h"
#include "SightingHandOff.h"

namespace quorvi {

// The one owner of the discovery worker, used by the window and by the command line: a model and the
// worker that fills it. Start() sets m_bRunning and runs SearchThread() on m_searchThread; Stop() (and
// the destructor) clears the flag and joins the worker, which notices within 100 ms.
class DiscoveryHost : public QObject {
    Q_OBJECT
public:
    explicit DiscoveryHost(QObject* parent = nullptr);
    ~DiscoveryHost() override;

    // Throws what boost::thread throws when no thread can be started.
    void Start(DiscoverySources sources, int maxCycles = 0);
    void Stop();
    bool Running() const { return m_searchThread.joinable(); }
    DeviceListModel& Model() { return m_model; }
    const DeviceListModel& Model() const { return m_model; }
    // One sighting into the model, on the owner's thread.
    void AddDeviceRow(const std::string& endpoint, const std::string& service);
    // Merges what the worker has handed on and is still waiting, at once (after Stop, say).
    void MergePending();
    // Addresses probed by unicast in every cycle from the next on, besides those the sources name: each
    // once, in the order first added. All or nothing: refused, with the reason in `error`, when together
    // they would be more than kMaxTargets. Safe from any thread.
    // `ports`: where those of them that answer no Probe are looked for on ONVIF (PortLookup), added to any
    // ports they already had.
    bool AddTargets(const TargetList& targets, std::string& error, const std::vector<int>& ports = {});
    TargetList Targets() const;
    std::vector<int> PortsOf(uint32_t target) const;
    // Sightings made apart from the cycles (a device added by hand), into the list at once.
    void MergeNow(const std::vector<Sighting>& sightings);

signals:
    void finished();  // the worker returned by itself (maxCycles reached)
    // No Hello or Bye can be heard (the port cannot be bound or the group joined); discovery goes on.
    void announcementsUnavailable(const QString& why);

private:
    void SearchThread();        // the whole body of the worker
    void AnnouncementThread();  // listens for Hello and Bye

    DeviceListModel m_model;
    SightingHandOff m_handOff;
    std::atomic<bool> m_bRunning{false};
    boost::thread m_searchThread;
    boost::thread m_announcementThread;  // hears Hello and Bye while the worker runs
    DiscoverySources m_sources;
    int m_maxCycles = 0;
    mutable std::mutex m_targetsMutex;  // the worker reads the targets at the start of each cycle
    TargetList m_targets;
    std::unordered_set<uint32_t> m_targetSet;
    std::unordered_map<uint32_t, std::vector<int>> m_targetPorts;
};

}  // namespace quorvi
