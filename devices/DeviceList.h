#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "DeviceRegistry.h"

namespace quorvi {

enum DeviceColumn { kColumnId = 0, kColumnTimeOnline = 1, kColumnOnvif = 2, kColumnCount = 3 };

// The device list as Qt views see it: a thin model over the DeviceRegistry, which holds the rows. It is
// the only store of found devices; the window shows it in its report list and the command line prints
// it. Texts are kept as the 8-bit bytes they came as and decoded with the locale's codec when shown.
class DeviceListModel : public QAbstractTableModel, private RegistryListener {
    Q_OBJECT
public:
    static constexpr int kMaxRows = DeviceRegistry::kMaxRows;
    static constexpr int kStaleCycles = DeviceRegistry::kStaleCycles;
    // What a view draws a row as: "gone", "stale" or nothing, under this role.
    static constexpr int RowStateRole = Qt::UserRole + 1;

    // A sighting as the list merges it: the texts as they came, the clock text and when it was seen.
    struct Entry {
        QByteArray endpoint;
        QByteArray service;
        QByteArray clock;
        DeviceIdentity identity;
        std::time_t seen = 0;
        std::string source;  // where the reply or Hello came from
    };

    explicit DeviceListModel(QObject* parent = nullptr);
    ~DeviceListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    QString Cell(int row, int column) const;  // empty for a cell that does not exist
    const DeviceRegistry& Registry() const { return m_registry; }

    // One sighting (DeviceRegistry::Merge), seen at `seen` (seconds since the epoch).
    void Merge(const QByteArray& endpoint, const QByteArray& service, const QByteArray& clock,
               const DeviceIdentity& identity = {}, std::time_t seen = 0, const std::string& source = {});
    void MergeBatch(const std::vector<Entry>& batch);
    void MarkGone(const QByteArray& endpoint, std::time_t at, const std::string& source);
    void CycleEnded();

    // Who the device of a row is, as its latest reply said, and what the list knows of it; shown as the
    // row's tooltip and printed by the command line.
    struct Identity {
        QString name;
        QString hardware;
        QString location;
        QStringList xaddrs;
        QString host;          // the service address's host
        QString from;          // the address its latest reply or Hello came from
        int foundOnPort = 0;   // found by its ONVIF answer on this port (it answered no Probe)
        QString lastSeen;      // ISO 8601, local time with its offset
        bool gone = false;     // it said goodbye (Bye) and has not been seen since
        QString goneAt;        // HH:MM:SS of the goodbye
        int unseenCycles = 0;  // whole discovery cycles since the one it was last seen in
        QString movedFrom;     // the host its service address had before the latest change, if any
        QString movedAt;       // ISO 8601 time of that change
        bool Stale() const { return unseenCycles >= kStaleCycles; }
    };
    Identity RowIdentity(int row) const;

    // The same from the rows themselves, for those that print them without a view (the command line).
    static Identity RowIdentity(const DeviceRegistry& registry, int row);
    static QString Cell(const DeviceRegistry& registry, int row, int column);

private:
    void BeginRemove(int first, int last) override { beginRemoveRows(QModelIndex(), first, last); }
    void EndRemove() override { endRemoveRows(); }
    void BeginInsert(int first, int last) override { beginInsertRows(QModelIndex(), first, last); }
    void EndInsert() override { endInsertRows(); }
    void Changed(int first, int last, bool stateOnly) override;

    DeviceRegistry m_registry;
};

using LocalTimeFunction = std::tm* (*)(const std::time_t*, std::tm*);

// HH:MM:SS of the local time of `seconds` since the epoch; "00:00:00" when the conversion fails.
std::string FormatClockTime(uint32_t seconds, LocalTimeFunction localTime = ::localtime_r);

// Merges one sighting into the list, seen now (or at `seen`): the row whose id equals the endpoint address
// is refreshed, or a new row goes on top; then "time online" and "onvif" are written. 8-bit texts are
// decoded with the locale's codec. Runs on the thread that owns the model, as one step.
void AddDeviceRow(DeviceListModel& model, const std::string& endpoint, const std::string& service);
// The same for a whole sighting, identity included.
void AddDeviceRow(DeviceListModel& model, const Sighting& sighting, std::time_t seen = 0);

// A sighting as the worker handed it on, with the moment it did.
struct TimedSighting {
    Sighting sighting;
    std::time_t seen = 0;
    // A reply or a Hello; a Bye (only the endpoint counts); or the end of a discovery cycle.
    enum Kind { Reply, Bye, CycleEnd } kind = Reply;
};

// Many sightings at once, each with the time the worker handed it on (DeviceRegistry::Merge).
void MergeSightings(DeviceListModel& model, std::vector<TimedSighting> sightings);

// "2026-12-09T15:43:40+01:00": local time with its offset from UTC.
QString IsoTimeWithOffset(std::time_t seconds);

}  // namespace quorvi
