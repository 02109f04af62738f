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
#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <string>
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

    // Who the device of a row is, as its latest reply said; shown as the row's tooltip.
    struct Identity {
        QString name;
        QString hardware;
        QString location;
        QStringList xaddrs;
        QString host;      // the service address's host
        QString lastSeen;  // ISO 8601, local time with its offset
    };
    Identity RowIdentity(int row) const;

private:
    struct Row;
    Row* RowAt(int row) const;
    int RowOf(const Row* row) const;
    void Count(std::size_t slot, int delta);
    int LiveUpTo(std::size_t count) const;  // live rows among the first `count` slots
    void Evict(Row* row);
    void Compact();

    std::vector<std::unique_ptr<Row>> m_slots;  // in the order rows were added: the last is the top row
    std::vector<int> m_tree;                    // Fenwick tree over m_slots: 1 for a live row
    int m_live = 0;
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

// A sink for the discovery worker that hands each sighting to `receiver`'s thread as a queued call.
// The worker never waits for that thread, and calls still queued when `receiver` is destroyed are
// dropped. `receiver` must outlive the worker (join the worker before destroying it).
SightingSink QueueSightings(QObject* receiver, std::function<void(const Sighting&)> onReceiverThread);

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

signals:
    void finished();  // the worker returned by itself (maxCycles reached)

private:
    void SearchThread();  // the whole body of the worker

    DeviceListModel m_model;
    std::atomic<bool> m_bRunning{false};
    boost::thread m_searchThread;
    DiscoverySources m_sources;
    int m_maxCycles = 0;
};

}  // namespace quorvi
