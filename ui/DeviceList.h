#pragma once

#include <QAbstractTableModel>
#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "DiscoveryCycle.h"

namespace quorvi {

enum DeviceColumn { kColumnId = 0, kColumnTimeOnline = 1, kColumnOnvif = 2, kColumnCount = 3 };

// The device list's rows: one per endpoint address, newest first. It is the only store of found
// devices; the window shows it in its report list and the command line prints it.
class DeviceListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    QString Cell(int row, int column) const;  // empty for a cell that does not exist
    int InsertTopRow(const QString& id);      // returns the new row's index (0)
    void SetCell(int row, int column, const QString& text);

private:
    std::vector<std::array<QString, kColumnCount>> m_rows;
};

using LocalTimeFunction = std::tm* (*)(const std::time_t*, std::tm*);

// HH:MM:SS of the local time of `seconds` since the epoch; "00:00:00" when the conversion fails.
std::string FormatClockTime(uint32_t seconds, LocalTimeFunction localTime = ::localtime_r);

// Merges one sighting into the list: the last row whose id equals the endpoint address is refreshed,
// or a new row goes on top; then "time online" and "onvif" are written. 8-bit texts are decoded with
// the locale's codec. Runs on the thread that owns the model, as one step.
void AddDeviceRow(DeviceListModel& model, const std::string& endpoint, const std::string& service);

// A sink for the discovery worker that hands each sighting to `receiver`'s thread as a queued call.
// The worker never waits for that thread, and calls still queued when `receiver` is destroyed are
// dropped. `receiver` must outlive the worker (join the worker before destroying it).
SightingSink QueueSightings(QObject* receiver, std::function<void(const Sighting&)> onReceiverThread);

// Owns a model and one discovery worker that fills it: the pattern the window follows, usable on its
// own by the command line and tests. Stop() (and the destructor) clear the flag and join the worker.
class DiscoveryHost : public QObject {
    Q_OBJECT
public:
    explicit DiscoveryHost(QObject* parent = nullptr);
    ~DiscoveryHost() override;

    void Start(DiscoverySources sources, int maxCycles = 0);
    void Stop();
    DeviceListModel& Model() { return m_model; }

signals:
    void finished();  // the worker returned by itself (maxCycles reached)

private:
    DeviceListModel m_model;
    std::atomic<bool> m_bRunning{false};
    boost::thread m_searchThread;
};

}  // namespace quorvi
