#include "DeviceList.h"

#include <QDateTime>
#include <QMetaObject>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace quorvi {

struct DeviceListModel::Row {
    std::array<QByteArray, kColumnCount> cells;
    // Name, hardware, location and the service addresses (space-separated), NUL between them: one block a
    // row, as a flood of invented devices makes a hundred thousand of them. Empty when none was given.
    QByteArray identity;
    std::time_t lastSeen = 0;
    std::size_t slot = 0;
    std::list<Row*>::iterator seen;
};

DeviceListModel::DeviceListModel(QObject* parent) : QAbstractTableModel(parent) {}

DeviceListModel::~DeviceListModel() = default;

int DeviceListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_live; }

int DeviceListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant DeviceListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    if (role == Qt::DisplayRole) return Cell(index.row(), index.column());
    if (role != Qt::ToolTipRole || !RowAt(index.row())) return {};
    const Identity who = RowIdentity(index.row());
    QStringList lines;
    auto line = [&](const char* label, const QString& text) {
        if (!text.isEmpty()) lines << QString::fromLatin1(label) + text;
    };
    line("name: ", who.name);
    line("hardware: ", who.hardware);
    line("location: ", who.location);
    line("addresses: ", who.xaddrs.join(' '));
    line("host: ", who.host);
    line("last seen: ", who.lastSeen);
    // A tooltip that looks like markup is rendered as rich text, and every text here came from the
    // network: escaped, a name like <img src=...> is shown as it is written and loads nothing.
    return QStringLiteral("<p style='white-space:pre'>") + lines.join('\n').toHtmlEscaped() +
           QStringLiteral("</p>");
}

DeviceListModel::Identity DeviceListModel::RowIdentity(int row) const {
    const Row* r = RowAt(row);
    if (!r) return {};
    Identity who;
    const QList<QByteArray> parts = r->identity.split('\0');
    if (parts.size() == 4) {
        who.name = QString::fromUtf8(parts[0]);
        who.hardware = QString::fromUtf8(parts[1]);
        who.location = QString::fromUtf8(parts[2]);
        who.xaddrs = QString::fromLocal8Bit(parts[3]).split(' ', Qt::SkipEmptyParts);
    }
    who.host = QUrl(QString::fromLocal8Bit(r->cells[kColumnOnvif])).host();
    if (r->lastSeen != 0) who.lastSeen = IsoTimeWithOffset(r->lastSeen);
    return who;
}

QVariant DeviceListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return {};
    switch (section) {
        case kColumnId:
            return QStringLiteral("id");
        case kColumnTimeOnline:
            return QStringLiteral("time online");
        case kColumnOnvif:
            return QStringLiteral("onvif");
        default:
            return {};
    }
}

void DeviceListModel::Count(std::size_t slot, int delta) {
    for (std::size_t i = slot + 1; i <= m_tree.size() - 1; i += i & (~i + 1)) m_tree[i] += delta;
}

int DeviceListModel::LiveUpTo(std::size_t count) const {
    int sum = 0;
    for (std::size_t i = count; i > 0; i -= i & (~i + 1)) sum += m_tree[i];
    return sum;
}

DeviceListModel::Row* DeviceListModel::RowAt(int row) const {
    if (row < 0 || row >= m_live) return nullptr;
    // The top row is the newest: the k-th live slot counted from the oldest.
    int k = m_live - row;
    std::size_t at = 0;
    std::size_t step = 1;
    while (step * 2 < m_tree.size()) step *= 2;
    for (; step > 0; step /= 2) {
        if (at + step < m_tree.size() && m_tree[at + step] < k) {
            at += step;
            k -= m_tree[at];
        }
    }
    return m_slots[at].get();
}

int DeviceListModel::RowOf(const Row* row) const { return m_live - LiveUpTo(row->slot + 1); }

QString DeviceListModel::Cell(int row, int column) const {
    const Row* r = RowAt(row);
    if (!r || column < 0 || column >= kColumnCount) return {};
    const QByteArray& text = r->cells[static_cast<std::size_t>(column)];
    return QString::fromLocal8Bit(text);
}

void DeviceListModel::Evict(Row* row) {
    const int at = RowOf(row);
    beginRemoveRows(QModelIndex(), at, at);
    Count(row->slot, -1);
    --m_live;
    m_byId.remove(row->cells[kColumnId]);
    m_bySeen.erase(row->seen);
    m_slots[row->slot].reset();
    endRemoveRows();
    if (m_slots.size() > 2 * static_cast<std::size_t>(m_live) + 1024) Compact();
}

void DeviceListModel::Compact() {
    // Rows keep their order; only the empty slots of removed rows go.
    std::vector<std::unique_ptr<Row>> kept;
    kept.reserve(static_cast<std::size_t>(m_live));
    for (auto& r : m_slots) {
        if (!r) continue;
        r->slot = kept.size();
        kept.push_back(std::move(r));
    }
    m_slots = std::move(kept);
    m_tree.assign(m_slots.size() + 1, 0);
    for (std::size_t i = 1; i < m_tree.size(); ++i) {
        m_tree[i] += 1;
        const std::size_t parent = i + (i & (~i + 1));
        if (parent < m_tree.size()) m_tree[parent] += m_tree[i];
    }
}

void DeviceListModel::Merge(const QByteArray& endpoint, const QByteArray& service, const QByteArray& clock,
                            const DeviceIdentity& identity, std::time_t seen) {
    // Ids are compared as the text they show: bytes the codec cannot read compare as what it makes of them.
    QByteArray id = QString::fromLocal8Bit(endpoint).toLocal8Bit();
    if (id == endpoint) id = endpoint;
    Row* row = m_byId.value(id, nullptr);
    if (row) {
        m_bySeen.splice(m_bySeen.end(), m_bySeen, row->seen);
    } else {
        if (m_live >= kMaxRows) Evict(m_bySeen.front());
        beginInsertRows(QModelIndex(), 0, 0);
        auto fresh = std::make_unique<Row>();
        row = fresh.get();
        row->cells[kColumnId] = id;
        row->slot = m_slots.size();
        row->seen = m_bySeen.insert(m_bySeen.end(), row);
        m_slots.push_back(std::move(fresh));
        if (m_tree.empty()) m_tree.push_back(0);
        // The new node covers the slots (i - lowbit(i), i]: itself and the live rows just before it.
        const std::size_t i = m_tree.size();
        m_tree.push_back(1 + LiveUpTo(i - 1) - LiveUpTo(i - (i & (~i + 1))));
        ++m_live;
        m_byId.insert(id, row);
        endInsertRows();
    }
    row->cells[kColumnTimeOnline] = clock;
    row->cells[kColumnOnvif] = service;
    row->identity.clear();
    if (!identity.name.empty() || !identity.hardware.empty() || !identity.location.empty() ||
        !identity.xaddrs.empty()) {
        QByteArray block = QByteArray::fromStdString(identity.name) + '\0' +
                           QByteArray::fromStdString(identity.hardware) + '\0' +
                           QByteArray::fromStdString(identity.location) + '\0';
        for (std::size_t i = 0; i < identity.xaddrs.size(); ++i) {
            block += (i ? " " : "") + QByteArray::fromStdString(identity.xaddrs[i]);
        }
        row->identity = block;
    }
    row->lastSeen = seen;
    const int at = RowOf(row);
    emit dataChanged(index(at, kColumnTimeOnline), index(at, kColumnOnvif), {Qt::DisplayRole});
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
    AddDeviceRow(model, Sighting{endpoint, service, {}});
}

void AddDeviceRow(DeviceListModel& model, const Sighting& sighting) {
    const std::time_t now = std::time(nullptr);
    const std::string clock = FormatClockTime(static_cast<uint32_t>(now));
    model.Merge(QByteArray(sighting.endpoint.data(), static_cast<qsizetype>(sighting.endpoint.size())),
                QByteArray(sighting.service.data(), static_cast<qsizetype>(sighting.service.size())),
                QByteArray(clock.c_str()), sighting.identity, now);
}

QString IsoTimeWithOffset(std::time_t seconds) {
    const QDateTime local = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds));
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + (offset < 0 ? '-' : '+') +
           QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QChar('0')).arg(minutes % 60, 2, 10, QChar('0'));
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
    m_sources = std::move(sources);
    m_maxCycles = maxCycles;
    m_bRunning = true;
    try {
        m_searchThread = boost::thread([this] { SearchThread(); });
    } catch (...) {
        m_bRunning = false;
        throw;
    }
}

void DiscoveryHost::SearchThread() {
    RunDiscoveryCycles(m_bRunning, m_sources,
                       QueueSightings(this, [this](const Sighting& s) { quorvi::AddDeviceRow(m_model, s); }),
                       m_maxCycles);
    // Queued behind every sighting of the run, so a receiver sees them all before this.
    QMetaObject::invokeMethod(
        this, [this] { emit finished(); }, Qt::QueuedConnection);
}

void DiscoveryHost::AddDeviceRow(const std::string& endpoint, const std::string& service) {
    quorvi::AddDeviceRow(m_model, endpoint, service);
}

void DiscoveryHost::Stop() {
    m_bRunning = false;
    if (m_searchThread.joinable()) m_searchThread.join();
}

}  // namespace quorvi
