#include "DiscoveryHost.h"

#include <QMetaObject>
#include <algorithm>
#include <ctime>

namespace quorvi {

DiscoveryHost::DiscoveryHost(QObject* parent)
    : QObject(parent), m_handOff(this, [this](std::vector<TimedSighting>&& batch) {
          MergeSightings(m_model, std::move(batch));
      }) {}

DiscoveryHost::~DiscoveryHost() { Stop(); }

bool DiscoveryHost::AddTargets(const TargetList& targets, std::string& error, const std::vector<int>& ports) {
    std::lock_guard<std::mutex> lock(m_targetsMutex);
    std::vector<uint32_t> fresh;
    std::unordered_set<uint32_t> seen;
    for (const uint32_t t : targets) {
        if (!m_targetSet.count(t) && seen.insert(t).second) fresh.push_back(t);
    }
    if (m_targets.size() + fresh.size() > kMaxTargets) {
        error = "more than " + std::to_string(kMaxTargets) + " addresses in all";
        return false;
    }
    for (const uint32_t t : fresh) {
        m_targetSet.insert(t);
        m_targets.push_back(t);
    }
    if (!ports.empty()) {
        for (const uint32_t t : targets) {
            std::vector<int>& own = m_targetPorts[t];
            for (const int p : ports) {
                if (std::find(own.begin(), own.end(), p) == own.end()) own.push_back(p);
            }
        }
    }
    return true;
}

std::vector<int> DiscoveryHost::PortsOf(uint32_t target) const {
    std::lock_guard<std::mutex> lock(m_targetsMutex);
    const auto it = m_targetPorts.find(target);
    return it == m_targetPorts.end() ? std::vector<int>{} : it->second;
}

void DiscoveryHost::MergeNow(const std::vector<Sighting>& sightings) {
    std::vector<TimedSighting> batch;
    const std::time_t now = std::time(nullptr);
    for (const Sighting& s : sightings) batch.push_back({s, now, TimedSighting::Reply});
    MergeSightings(m_model, std::move(batch));
}

TargetList DiscoveryHost::Targets() const {
    std::lock_guard<std::mutex> lock(m_targetsMutex);
    return m_targets;
}

void DiscoveryHost::Start(DiscoverySources sources, int maxCycles) {
    Stop();
    // The targets the sources name, then those added to this owner.
    sources.targets = [this, given = sources.targets] {
        TargetList all = given ? given() : TargetList{};
        const TargetList added = Targets();
        all.insert(all.end(), added.begin(), added.end());
        return all;
    };
    // The ports the sources give every target, then those added to this owner for some.
    if (!sources.portsOf) {
        sources.portsOf = [this, given = sources.ports](uint32_t t) {
            std::vector<int> ports = given;
            for (const int p : PortsOf(t)) {
                if (std::find(ports.begin(), ports.end(), p) == ports.end()) ports.push_back(p);
            }
            return ports;
        };
    }
    m_sources = std::move(sources);
    m_maxCycles = maxCycles;
    m_bRunning = true;
    try {
        m_searchThread = boost::thread([this] { SearchThread(); });
    } catch (...) {
        m_bRunning = false;
        throw;
    }
    // Without a thread for it, discovery goes on by its cycles alone.
    if (m_sources.listen) {
        try {
            m_announcementThread = boost::thread([this] { AnnouncementThread(); });
        } catch (...) {
            emit announcementsUnavailable(QStringLiteral("no thread to listen for announcements"));
        }
    }
}

void DiscoveryHost::AnnouncementThread() {
    std::string why;
    const bool ok = m_sources.listen(
        m_bRunning, m_sources.adapters, m_sources.links6,
        [this](const Announcement& a) {
            m_handOff.Hand(
                m_bRunning,
                {a.sighting, 0, a.kind == Announcement::Bye ? TimedSighting::Bye : TimedSighting::Reply});
        },
        why);
    if (!ok) {
        QMetaObject::invokeMethod(
            this, [this, text = QString::fromStdString(why)] { emit announcementsUnavailable(text); },
            Qt::QueuedConnection);
    }
}

void DiscoveryHost::SearchThread() {
    RunDiscoveryCycles(m_bRunning, m_sources, m_handOff.Sink(m_bRunning), m_maxCycles, [this] {
        m_handOff.Hand(m_bRunning, {{}, 0, TimedSighting::CycleEnd});
    });
    // Every sighting of the run is in the list before anyone hears that it ended.
    QMetaObject::invokeMethod(
        this,
        [this] {
            MergePending();
            emit finished();
        },
        Qt::QueuedConnection);
}

void DiscoveryHost::MergePending() { m_handOff.DeliverAll(); }

void DiscoveryHost::AddDeviceRow(const std::string& endpoint, const std::string& service) {
    quorvi::AddDeviceRow(m_model, endpoint, service);
}

void DiscoveryHost::Stop() {
    m_bRunning = false;
    if (m_searchThread.joinable()) m_searchThread.join();
    if (m_announcementThread.joinable()) m_announcementThread.join();
}

}  // namespace quorvi
