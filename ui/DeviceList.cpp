#include "DeviceList.h"

#include <QMetaObject>
#include <cstdio>
#include <ctime>

namespace quorvi {

int DeviceListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int DeviceListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant DeviceListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    return Cell(index.row(), index.column());
}

QVariant DeviceListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return {};
    switch (section) {
        case kColumnId: return QStringLiteral("id");
        case kColumnTimeOnline: return QStringLiteral("time online");
        case kColumnOnvif: return QStringLiteral("onvif");
        default: return {};
    }
}

QString DeviceListModel::Cell(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumnCount) return {};
    return m_rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

int DeviceListModel::InsertTopRow(const QString& id) {
    beginInsertRows(QModelIndex(), 0, 0);
    m_rows.insert(m_rows.begin(), {id, QString(), QString()});
    endInsertRows();
    return 0;
}

void DeviceListModel::SetCell(int row, int column, const QString& text) {
    if (row < 0 || row >= rowCount() || column < 0 || column >= kColumnCount) return;
    m_rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = text;
    const QModelIndex at = index(row, column);
    emit dataChanged(at, at, {Qt::DisplayRole});
}

std::string FormatClockTime(uint32_t seconds, LocalTimeFunction localTime) {
    const std::time_t value = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (localTime(&value, &parts) == nullptr) return "00:00:00";
    char text[128];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

void AddDeviceRow(DeviceListModel& model, const std::string& endpoint, const std::string& service) {
    const QString id = QString::fromLocal8Bit(endpoint.data(), static_cast<qsizetype>(endpoint.size()));
    int row = -1;
    for (int i = 0; i < model.rowCount(); ++i) {
        if (model.Cell(i, kColumnId) == id) row = i;  // the last match counts
    }
    if (row < 0) row = model.InsertTopRow(id);
    const std::string clock = FormatClockTime(static_cast<uint32_t>(std::time(nullptr)));
    model.SetCell(row, kColumnTimeOnline, QString::fromLocal8Bit(clock.c_str()));
    model.SetCell(row, kColumnOnvif,
                  QString::fromLocal8Bit(service.data(), static_cast<qsizetype>(service.size())));
}

SightingSink QueueSightings(QObject* receiver, std::function<void(const Sighting&)> onReceiverThread) {
    return [receiver, onReceiverThread = std::move(onReceiverThread)](const Sighting& sighting) {
        QMetaObject::invokeMethod(
            receiver, [onReceiverThread, sighting] { onReceiverThread(sighting); }, Qt::QueuedConnection);
    };
}

DiscoveryHost::DiscoveryHost(QObject* parent) : QObject(parent) {}

DiscoveryHost::~DiscoveryHost() { Stop(); }

void DiscoveryHost::Start(DiscoverySources sources, int maxCycles) {
    Stop();
    m_bRunning = true;
    SightingSink sink =
        QueueSightings(this, [this](const Sighting& s) { AddDeviceRow(m_model, s.endpoint, s.service); });
    m_searchThread = boost::thread([this, sources = std::move(sources), sink = std::move(sink), maxCycles] {
        RunDiscoveryCycles(m_bRunning, sources, sink, maxCycles);
        // Queued behind every sighting of the run, so a receiver sees them all before this.
        QMetaObject::invokeMethod(this, [this] { emit finished(); }, Qt::QueuedConnection);
    });
}

void DiscoveryHost::Stop() {
    m_bRunning = false;
    if (m_searchThread.joinable()) m_searchThread.join();
}

}  // namespace quorvi
