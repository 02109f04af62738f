#include "DeviceList.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>

namespace quorvi {

struct DeviceListModel::Row {
    std::array<QByteArray, kColumnCount> cells;
    // Name, hardware, location and the service addresses (space-separated), NUL between them: one block a
    // row, as a flood of invented devices makes a hundred thousand of them. Empty when none was given.
    QByteArray identity;
    std::time_t lastSeen = 0;
    int lastCycle = 0;       // the discovery cycle it was last seen in
    std::time_t goneAt = 0;  // when it said goodbye, until it is seen again
    QByteArray movedFrom;    // the host before the service address's latest change of host
    std::time_t movedAt = 0;
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
    if (role == RowStateRole) {
        const Row* r = RowAt(index.row());
        if (!r) return {};
        if (r->goneAt != 0) return QStringLiteral("gone");
        return m_cycles - r->lastCycle - 1 >= kStaleCycles ? QStringLiteral("stale") : QString();
    }
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
    if (who.gone) lines << QStringLiteral("said goodbye at ") + who.goneAt;
    if (!who.gone && who.Stale()) lines << QStringLiteral("not seen for %1 cycles").arg(who.unseenCycles);
    if (!who.movedFrom.isEmpty())
        lines << QStringLiteral("moved from ") + who.movedFrom + " at " + who.movedAt;
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
    who.gone = r->goneAt != 0;
    if (who.gone) who.goneAt = QString::fromStdString(FormatClockTime(static_cast<uint32_t>(r->goneAt)));
    // The cycle it was seen in counts as seen; only whole cycles after it count as unseen.
    who.unseenCycles = std::max(0, m_cycles - r->lastCycle - 1);
    who.movedFrom = QString::fromLocal8Bit(r->movedFrom);
    if (!r->movedFrom.isEmpty()) who.movedAt = IsoTimeWithOffset(r->movedAt);
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

void DeviceListModel::MarkSeen(Row* row) { m_bySeen.splice(m_bySeen.end(), m_bySeen, row->seen); }

void DeviceListModel::EvictStalest(std::size_t count) {
    if (count == 0) return;
    // The stalest rows, by where they stand, bottom first: each run of neighbours goes in one removal,
    // and removing from the bottom up leaves the rows above where they were.
    std::vector<std::pair<int, Row*>> stalest;
    auto it = m_bySeen.begin();
    for (std::size_t n = 0; n < count && it != m_bySeen.end(); ++n, ++it)
        stalest.emplace_back(RowOf(*it), *it);
    std::sort(stalest.begin(), stalest.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t run = 0; run < stalest.size();) {
        std::size_t end = run + 1;
        while (end < stalest.size() && stalest[end].first == stalest[end - 1].first - 1) ++end;
        beginRemoveRows(QModelIndex(), stalest[end - 1].first, stalest[run].first);
        for (std::size_t k = run; k < end; ++k) {
            Row* row = stalest[k].second;
            Count(row->slot, -1);
            --m_live;
            m_byId.remove(row->cells[kColumnId]);
            m_bySeen.erase(row->seen);
            m_slots[row->slot].reset();
        }
        endRemoveRows();
        run = end;
    }
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

DeviceListModel::Row* DeviceListModel::AddRow(const QByteArray& id) {
    auto fresh = std::make_unique<Row>();
    Row* row = fresh.get();
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
    return row;
}

namespace {

// Ids are compared as the text they show: bytes the codec cannot read compare as what it makes of them.
QByteArray ShownId(const QByteArray& endpoint) {
    // Plain ASCII, as real ids are, reads back as it is.
    if (std::all_of(endpoint.begin(), endpoint.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return endpoint;
    QByteArray id = QString::fromLocal8Bit(endpoint).toLocal8Bit();
    return id == endpoint ? endpoint : id;
}

QByteArray HostOf(const QByteArray& address) {
    return QUrl(QString::fromLocal8Bit(address)).host().toLocal8Bit();
}

QByteArray IdentityBlock(const DeviceIdentity& identity) {
    if (identity.name.empty() && identity.hardware.empty() && identity.location.empty() &&
        identity.xaddrs.empty()) {
        return {};
    }
    QByteArray block = QByteArray::fromStdString(identity.name) + '\0' +
                       QByteArray::fromStdString(identity.hardware) + '\0' +
                       QByteArray::fromStdString(identity.location) + '\0';
    for (std::size_t i = 0; i < identity.xaddrs.size(); ++i) {
        block += (i ? " " : "") + QByteArray::fromStdString(identity.xaddrs[i]);
    }
    return block;
}

}  // namespace

void DeviceListModel::MarkGone(const QByteArray& endpoint, std::time_t at) {
    Row* row = m_byId.value(ShownId(endpoint), nullptr);
    if (!row) return;
    row->goneAt = at != 0 ? at : 1;
    const int r = RowOf(row);
    emit dataChanged(index(r, 0), index(r, kColumnCount - 1), {RowStateRole, Qt::ToolTipRole});
}

void DeviceListModel::CycleEnded() {
    ++m_cycles;
    // Rows turn stale in the order they were last seen; a view repaints what it shows.
    if (m_live > 0)
        emit dataChanged(index(0, 0), index(m_live - 1, kColumnCount - 1), {RowStateRole, Qt::ToolTipRole});
}

void DeviceListModel::Merge(const QByteArray& endpoint, const QByteArray& service, const QByteArray& clock,
                            const DeviceIdentity& identity, std::time_t seen) {
    MergeBatch({Entry{endpoint, service, clock, identity, seen}});
}

void DeviceListModel::MergeBatch(const std::vector<Entry>& batch) {
    // Small enough pieces that a row refreshed by a piece is never among the stalest it evicts.
    const std::size_t piece = static_cast<std::size_t>(kMaxRows) / 4;
    for (std::size_t from = 0; from < batch.size(); from += piece)
        MergeChunk(batch, from, std::min(batch.size(), from + piece));
}

void DeviceListModel::MergeChunk(const std::vector<Entry>& batch, std::size_t from, std::size_t to) {
    // Each device's last sighting in the piece, in order; new devices in the order first seen.
    QHash<QByteArray, std::size_t> last;
    std::vector<QByteArray> ids(to - from);
    std::vector<QByteArray> fresh;
    for (std::size_t k = from; k < to; ++k) {
        ids[k - from] = ShownId(batch[k].endpoint);
        auto at = last.find(ids[k - from]);
        if (at == last.end()) {
            last.insert(ids[k - from], k);
            if (!m_byId.contains(ids[k - from])) fresh.push_back(ids[k - from]);
        } else {
            *at = k;
        }
    }
    // Rows seen again count as seen before the stalest are chosen.
    for (std::size_t k = from; k < to; ++k) {
        if (last.value(ids[k - from]) != k) continue;
        if (Row* row = m_byId.value(ids[k - from], nullptr)) MarkSeen(row);
    }
    const std::size_t room = static_cast<std::size_t>(kMaxRows - m_live);
    if (fresh.size() > room) EvictStalest(fresh.size() - room);

    auto write = [&](Row* row, const Entry& e) {
        // The row follows a device to another host, and says where it was.
        if (e.service != row->cells[kColumnOnvif]) {
            const QByteArray before = HostOf(row->cells[kColumnOnvif]);
            const QByteArray after = HostOf(e.service);
            if (!before.isEmpty() && !after.isEmpty() && before != after) {
                row->movedFrom = before;
                row->movedAt = e.seen;
            }
        }
        row->cells[kColumnTimeOnline] = e.clock;
        row->cells[kColumnOnvif] = e.service;
        row->identity = IdentityBlock(e.identity);
        row->lastSeen = e.seen;
        row->lastCycle = m_cycles;
        row->goneAt = 0;
    };
    QSet<const Row*> created;
    if (!fresh.empty()) {
        beginInsertRows(QModelIndex(), 0, static_cast<int>(fresh.size()) - 1);
        for (const QByteArray& id : fresh) {
            Row* row = AddRow(id);
            write(row, batch[last.value(id)]);
            created.insert(row);
        }
        endInsertRows();
    }
    // The refreshed rows, in the order last seen, as a single change over the rows between them (over
    // all rows when there are many: a view repaints what it shows either way).
    int top = m_live;
    int bottom = -1;
    std::size_t refreshed = 0;
    for (std::size_t k = from; k < to; ++k) {
        if (last.value(ids[k - from]) != k) continue;
        Row* row = m_byId.value(ids[k - from], nullptr);
        MarkSeen(row);
        if (created.contains(row)) continue;  // written as it was made
        write(row, batch[k]);
        if (++refreshed > 64) {
            top = 0;
            bottom = m_live - 1;
        } else {
            const int at = RowOf(row);
            top = std::min(top, at);
            bottom = std::max(bottom, at);
        }
    }
    if (bottom >= 0)
        emit dataChanged(index(top, kColumnTimeOnline), index(bottom, kColumnOnvif), {Qt::DisplayRole});
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
    MergeSightings(model, {TimedSighting{sighting, std::time(nullptr)}});
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
            model.MarkGone(endpoint, t.seen);
        } else if (t.kind == TimedSighting::CycleEnd) {
            flush();
            model.CycleEnded();
        } else {
            batch.push_back({endpoint, QByteArray(s.service.data(), static_cast<qsizetype>(s.service.size())),
                             QByteArray::fromStdString(FormatClockTime(static_cast<uint32_t>(t.seen))),
                             std::move(s.identity), t.seen});
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

struct SightingHandOff::Queue {
    std::mutex mutex;
    std::condition_variable room;
    std::deque<TimedSighting> waiting;
    std::size_t bytes = 0;
    bool turnDue = false;  // a turn of the receiver's thread is posted or running
    QObject* receiver = nullptr;
    Deliver deliver;

    static std::size_t Size(const Sighting& s) {
        std::size_t n = sizeof(TimedSighting) + s.endpoint.size() + s.service.size() +
                        s.identity.name.size() + s.identity.hardware.size() + s.identity.location.size();
        for (const std::string& x : s.identity.xaddrs) n += x.size() + sizeof x;
        return n;
    }

    // Takes up to `most` of what waits.
    std::vector<TimedSighting> Take(std::size_t most) {
        std::vector<TimedSighting> taken;
        std::lock_guard<std::mutex> lock(mutex);
        while (!waiting.empty() && taken.size() < most) {
            bytes -= Size(waiting.front().sighting);
            taken.push_back(std::move(waiting.front()));
            waiting.pop_front();
        }
        room.notify_all();
        return taken;
    }

    // One turn on the receiver's thread: batches until the turn's count or time is used, then, if more
    // waits, another turn after the event loop has had its own.
    static void Turn(const std::shared_ptr<Queue>& q) {
        QElapsedTimer turn;
        turn.start();
        std::size_t merged = 0;
        while (merged < static_cast<std::size_t>(kSightingsPerTurn) && turn.elapsed() < kMergeTurn.count()) {
            std::vector<TimedSighting> batch =
                q->Take(std::min<std::size_t>(512, kSightingsPerTurn - merged));
            if (batch.empty()) break;
            merged += batch.size();
            q->deliver(std::move(batch));
        }
        std::lock_guard<std::mutex> lock(q->mutex);
        if (q->waiting.empty()) {
            q->turnDue = false;
            return;
        }
        // A timer, not a posted call: window-system input is read before it fires.
        QTimer::singleShot(1, q->receiver, [q] { Turn(q); });
    }
};

SightingHandOff::SightingHandOff(QObject* receiver, Deliver deliver) : m_queue(std::make_shared<Queue>()) {
    m_queue->receiver = receiver;
    m_queue->deliver = std::move(deliver);
}

void SightingHandOff::Hand(const std::atomic<bool>& running, TimedSighting item) const {
    const std::shared_ptr<Queue>& q = m_queue;
    std::unique_lock<std::mutex> lock(q->mutex);
    // A backlog this large: wait for the receiver to catch up, or for the end of the run.
    while (q->bytes > kMaxPendingBytes && running.load())
        q->room.wait_for(lock, std::chrono::milliseconds(20));
    q->bytes += Queue::Size(item.sighting);
    item.seen = std::time(nullptr);
    q->waiting.push_back(std::move(item));
    if (q->turnDue) return;
    q->turnDue = true;
    QMetaObject::invokeMethod(
        q->receiver, [q] { Queue::Turn(q); }, Qt::QueuedConnection);
}

SightingSink SightingHandOff::Sink(const std::atomic<bool>& running) const {
    return [this, &running](const Sighting& sighting) { Hand(running, {sighting}); };
}

void SightingHandOff::DeliverAll() {
    for (;;) {
        std::vector<TimedSighting> batch = m_queue->Take(4096);
        if (batch.empty()) return;
        m_queue->deliver(std::move(batch));
    }
}

DiscoveryHost::DiscoveryHost(QObject* parent)
    : QObject(parent), m_handOff(this, [this](std::vector<TimedSighting>&& batch) {
          MergeSightings(m_model, std::move(batch));
      }) {}

DiscoveryHost::~DiscoveryHost() { Stop(); }

bool DiscoveryHost::AddTargets(const TargetList& targets, std::string& error) {
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
    return true;
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
        m_bRunning, m_sources.adapters,
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
