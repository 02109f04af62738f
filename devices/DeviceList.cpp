#include "DeviceList.h"

#include <QDateTime>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace quorvi {

namespace {

// Ids are compared as the text they show: bytes the codec cannot read compare as what it makes of them.
std::string ShownId(const std::string& endpoint) {
    // Plain ASCII, as real ids are, reads back as it is.
    if (std::all_of(endpoint.begin(), endpoint.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return endpoint;
    return QString::fromLocal8Bit(endpoint.data(), static_cast<qsizetype>(endpoint.size()))
        .toLocal8Bit()
        .toStdString();
}

QString Shown(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string Bytes(const QByteArray& text) {
    return std::string(text.constData(), static_cast<std::size_t>(text.size()));
}

}  // namespace

DeviceListModel::DeviceListModel(QObject* parent) : QAbstractTableModel(parent), m_registry(ShownId) {
    m_registry.SetListener(this);
}

DeviceListModel::~DeviceListModel() = default;

int DeviceListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_registry.Size();
}

int DeviceListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant DeviceListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    if (role == Qt::DisplayRole) return Cell(index.row(), index.column());
    const DeviceRow* r = m_registry.At(index.row());
    if (!r) return {};
    if (role == RowStateRole) {
        if (r->goneAt != 0) return QStringLiteral("gone");
        return m_registry.Stale(*r) ? QStringLiteral("stale") : QString();
    }
    if (role != Qt::ToolTipRole) return {};
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
    if (who.foundOnPort > 0)
        lines << QStringLiteral("found on port %1 (it answers no Probe)").arg(who.foundOnPort);
    line("last seen: ", who.lastSeen);
    if (who.gone) lines << QStringLiteral("said goodbye at ") + who.goneAt;
    if (!who.gone && who.Stale()) lines << QStringLiteral("not seen for %1 cycles").arg(who.unseenCycles);
    if (!who.movedFrom.isEmpty())
        lines << QStringLiteral("moved from ") + who.movedFrom + " at " + who.movedAt;
    // A tooltip that looks like markup is rendered as rich text, and every text here came from the
    // network: escaped, a name like <img src=...> is shown as it is written and loads nothing.
    return QStringLiteral("<p style='white-space:pre'>") + lines.join('\n').toHtmlEscaped() +
           QStringLiteral("</p>");
}

DeviceListModel::Identity DeviceListModel::RowIdentity(int row) const { return RowIdentity(m_registry, row); }

QString DeviceListModel::Cell(int row, int column) const { return Cell(m_registry, row, column); }

DeviceListModel::Identity DeviceListModel::RowIdentity(const DeviceRegistry& registry, int row) {
    const DeviceRow* r = registry.At(row);
    if (!r) return {};
    Identity who;
    const DeviceIdentity said = r->Identity();
    who.name = QString::fromStdString(said.name);
    who.hardware = QString::fromStdString(said.hardware);
    who.location = QString::fromStdString(said.location);
    for (const std::string& x : said.xaddrs) who.xaddrs << Shown(x);
    who.host = QUrl(Shown(r->service)).host();
    who.from = QString::fromStdString(r->source);
    who.foundOnPort = said.foundOnPort;
    if (r->lastSeen != 0) who.lastSeen = IsoTimeWithOffset(r->lastSeen);
    who.gone = r->goneAt != 0;
    if (who.gone) who.goneAt = QString::fromStdString(FormatClockTime(static_cast<uint32_t>(r->goneAt)));
    who.unseenCycles = registry.UnseenCycles(*r);
    who.movedFrom = Shown(r->movedFrom);
    if (!r->movedFrom.empty()) who.movedAt = IsoTimeWithOffset(r->movedAt);
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

QString DeviceListModel::Cell(const DeviceRegistry& registry, int row, int column) {
    const DeviceRow* r = registry.At(row);
    if (!r) return {};
    switch (column) {
        case kColumnId:
            return Shown(r->id);
        case kColumnTimeOnline:
            return Shown(r->clock);
        case kColumnOnvif:
            return Shown(r->service);
        default:
            return {};
    }
}

void DeviceListModel::Changed(int first, int last, bool stateOnly) {
    if (stateOnly) {
        emit dataChanged(index(first, 0), index(last, kColumnCount - 1), {RowStateRole, Qt::ToolTipRole});
    } else {
        emit dataChanged(index(first, kColumnTimeOnline), index(last, kColumnOnvif), {Qt::DisplayRole});
    }
}

void DeviceListModel::Merge(const QByteArray& endpoint, const QByteArray& service, const QByteArray& clock,
                            const DeviceIdentity& identity, std::time_t seen, const std::string& source) {
    MergeBatch({Entry{endpoint, service, clock, identity, seen, source}});
}

void DeviceListModel::MergeBatch(const std::vector<Entry>& batch) {
    std::vector<RegistryEntry> entries;
    entries.reserve(batch.size());
    for (const Entry& e : batch)
        entries.push_back(
            {Bytes(e.endpoint), Bytes(e.service), Bytes(e.clock), e.identity, e.seen, e.source});
    m_registry.Merge(entries);
}

void DeviceListModel::MarkGone(const QByteArray& endpoint, std::time_t at, const std::string& source) {
    m_registry.MarkGone(Bytes(endpoint), at, source);
}

void DeviceListModel::CycleEnded() { m_registry.CycleEnded(); }

std::string FormatClockTime(uint32_t seconds, LocalTimeFunction localTime) {
    const std::time_t value = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (localTime(&value, &parts) == nullptr) return "00:00:00";
    char text[128];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

void AddDeviceRow(DeviceListModel& model, const std::string& endpoint, const std::string& service) {
    AddDeviceRow(model, Sighting{endpoint, service, {}, {}});
}

void AddDeviceRow(DeviceListModel& model, const Sighting& sighting, std::time_t seen) {
    MergeSightings(model, {TimedSighting{sighting, seen != 0 ? seen : std::time(nullptr)}});
}

void MergeSightings(DeviceListModel& model, std::vector<TimedSighting> sightings) {
    std::vector<DeviceListModel::Entry> batch;
    batch.reserve(sightings.size());
    auto flush = [&] {
        if (!batch.empty()) model.MergeBatch(batch);
        batch.clear();
    };
    for (TimedSighting& t : sightings) {
        Sighting& s = t.sighting;
        const QByteArray endpoint(s.endpoint.data(), static_cast<qsizetype>(s.endpoint.size()));
        if (t.kind == TimedSighting::Bye) {
            flush();
            model.MarkGone(endpoint, t.seen, s.source);
        } else if (t.kind == TimedSighting::CycleEnd) {
            flush();
            model.CycleEnded();
        } else {
            batch.push_back({endpoint, QByteArray(s.service.data(), static_cast<qsizetype>(s.service.size())),
                             QByteArray::fromStdString(FormatClockTime(static_cast<uint32_t>(t.seen))),
                             std::move(s.identity), t.seen, std::move(s.source)});
        }
    }
    flush();
}

QString IsoTimeWithOffset(std::time_t seconds) {
    const QDateTime local = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds));
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + (offset < 0 ? '-' : '+') +
           QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QChar('0')).arg(minutes % 60, 2, 10, QChar('0'));
}

}  // namespace quorvi
