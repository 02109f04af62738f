#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "DiscoveryCycle.h"

namespace quorvi {

enum DeviceColumn { kColumnId = 0, kColumnTimeOnline = 1, kColumnOnvif = 2, kColumnCount = 3 };

// The device list's rows: one per endpoint address, newest first. It is the only store of found
// devices; the window shows it in its report list and the command line prints it.
//
// A row is found through an index and a new row goes on top without moving the others, so merging a
// sighting costs the same with a hundred rows or a hundred thousand. The list holds at most kMaxRows:
// when it is full, a new device takes the place of the row seen longest ago. Texts are kept as the
// 8-bit bytes they came as and decoded with the locale's codec when shown.
class DeviceListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kMaxRows = 100000;

    // A sighting as the list merges it: the texts as they came, the clock text and when it was seen.
    struct Entry {
        QByteArray endpoint;
        QByteArray service;
        QByteArray clock;
        DeviceIdentity identity;
        std::time_t seen = 0;
    };

    explicit DeviceListModel(QObject* parent = nullptr);
    ~DeviceListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    QString Cell(int row, int column) const;  // empty for a cell that does not exist

    // One sighting: the row whose id is `endpoint` is refreshed, or a new row goes on top (taking the
    // place of the row seen longest ago when the list is full); then its "time online" and "onvif", and
    // who the device says it is (the latest reply's word), seen at `seen` (seconds since the epoch).
    void Merge(const QByteArray& endpoint, const QByteArray& service, const QByteArray& clock,
               const DeviceIdentity& identity = {}, std::time_t seen = 0);
    // Many sightings at once, each doing to its row what Merge does, with a few model operations for all
    // of them: one removal per run of evicted rows, one insertion of the new rows on top (the last one
    // first seen topmost), one change over the refreshed rows. A device seen several times in the batch
    // counts its last sighting; a row refreshed by the batch is never the one a new row evicts.
    void MergeBatch(const std::vector<Entry>& batch);

    // Who the device of a row is, as its latest reply said; shown as the row's tooltip.
    struct Identity {
        QString name;
        QString hardware;
        QString location;
        QStringList xaddrs;
        QString host;          // the service address's host
        QString lastSeen;      // ISO 8601, local time with its offset
        bool gone = false;     // it said goodbye (Bye) and has not been seen since
        QString goneAt;        // HH:MM:SS of the goodbye
        int unseenCycles = 0;  // whole discovery cycles since the one it was last seen in
        QString movedFrom;     // the host its service address had before the latest change, if any
        QString movedAt;       // ISO 8601 time of that change
        bool Stale() const { return unseenCycles >= kStaleCycles; }
    };
    Identity RowIdentity(int row) const;

    // A row unseen for this many whole cycles is drawn greyed.
    static constexpr int kStaleCycles = 3;
    // What a view draws a row as: "gone", "stale" or nothing, under this role.
    static constexpr int RowStateRole = Qt::UserRole + 1;

    // The device said goodbye at `at`: its row (if it has one) is drawn greyed until it is seen again.
    void MarkGone(const QByteArray& endpoint, std::time_t at);
    // A discovery cycle ended: rows not seen for kStaleCycles of them are greyed.
    void CycleEnded();

private:
    struct Row;
    Row* RowAt(int row) const;
    int RowOf(const Row* row) const;
    void Count(std::size_t slot, int delta);
    int LiveUpTo(std::size_t count) const;  // live rows among the first `count` slots
    void MarkSeen(Row* row);                // the most recently seen row now
    void EvictStalest(std::size_t count);
    Row* AddRow(const QByteArray& id);
    void MergeChunk(const std::vector<Entry>& batch, std::size_t from, std::size_t to);
    void Compact();

    std::vector<std::unique_ptr<Row>> m_slots;  // in the order rows were added: the last is the top row
    std::vector<int> m_tree;                    // Fenwick tree over m_slots: 1 for a live row
    int m_live = 0;
    int m_cycles = 0;  // discovery cycles ended
    QHash<QByteArray, Row*> m_byId;
    std::list<Row*> m_bySeen;  // least recently seen first
};

using LocalTimeFunction = std::tm* (*)(const std::time_t*, std::tm*);

// HH:MM:SS of the local time of `seconds` since the epoch; "00:00:00" when the conversion fails.
std::string FormatClockTime(uint32_t seconds, LocalTimeFunction localTime = ::localtime_r);

// Merges one sighting into the list: the row whose id equals the endpoint address is refreshed, or a
// new row goes on top (DeviceListModel::Merge); then "time online" and "onvif" are written. 8-bit texts
// are decoded with the locale's codec. Runs on the thread that owns the model, as one step.
void AddDeviceRow(DeviceListModel& model, const std::string& endpoint, const std::string& service);
// The same for a whole sighting, identity included.
void AddDeviceRow(DeviceListModel& model, const Sighting& sighting);

// "2026-12-09T15:43:40+01:00": local time with its offset from UTC.
QString IsoTimeWithOffset(std::time_t seconds);

// A sighting as the worker handed it on, with the moment it did.
struct TimedSighting {
    Sighting sighting;
    std::time_t seen = 0;
    // A reply or a Hello; a Bye (only the endpoint counts); or the end of a discovery cycle.
    enum Kind { Reply, Bye, CycleEnd } kind = Reply;
};

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

// Many sightings at once, each with the time the worker handed it on (DeviceListModel::MergeBatch).
void MergeSightings(DeviceListModel& model, std::vector<TimedSighting> sightings);

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
    // One sighting into the model, on the owner's thread.
    void AddDeviceRow(const std::string& endpoint, const std::string& service);
    // Merges what the worker has handed on and is still waiting, at once (after Stop, say).
    void MergePending();
    // Addresses probed by unicast in every cycle from the next on, besides those the sources name: each
    // once, in the order first added. All or nothing: refused, with the reason in `error`, when together
    // they would be more than kMaxTargets. Safe from any thread.
    bool AddTargets(const TargetList& targets, std::string& error);
    TargetList Targets() const;

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
};

}  // namespace quorvi
