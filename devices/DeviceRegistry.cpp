#include "DeviceRegistry.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

namespace quorvi {

struct DeviceRegistry::Slot {
    DeviceRow row;
    std::size_t slot = 0;
    std::list<Slot*>::iterator seen;
};

namespace {

std::string IdentityBlock(const DeviceIdentity& identity) {
    if (identity.name.empty() && identity.hardware.empty() && identity.location.empty() &&
        identity.xaddrs.empty() && identity.foundOnPort == 0) {
        return {};
    }
    std::string block = identity.name + '\0' + identity.hardware + '\0' + identity.location + '\0';
    for (std::size_t i = 0; i < identity.xaddrs.size(); ++i) block += (i ? " " : "") + identity.xaddrs[i];
    if (identity.foundOnPort > 0) block += '\0' + std::to_string(identity.foundOnPort);
    return block;
}

std::string LowerHost(const std::string& service) {
    std::string host(UrlHost(service));
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return host;
}

}  // namespace

DeviceIdentity DeviceRow::Identity() const {
    DeviceIdentity who;
    if (identity.empty()) return who;
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t end = identity.find('\0', at);
        if (end == std::string::npos) return who;
        parts.push_back(identity.substr(at, end - at));
        at = end + 1;
    }
    who.name = parts[0];
    who.hardware = parts[1];
    who.location = parts[2];
    const std::size_t portAt = identity.find('\0', at);
    const std::string addresses =
        identity.substr(at, portAt == std::string::npos ? std::string::npos : portAt - at);
    if (portAt != std::string::npos) who.foundOnPort = std::atoi(identity.c_str() + portAt + 1);
    for (std::size_t p = 0; p < addresses.size();) {
        const std::size_t end = std::min(addresses.find(' ', p), addresses.size());
        if (end > p) who.xaddrs.push_back(addresses.substr(p, end - p));
        p = end + 1;
    }
    return who;
}

DeviceRegistry::DeviceRegistry(IdNormaliser normalise) : m_normalise(std::move(normalise)) {}

DeviceRegistry::~DeviceRegistry() = default;

const DeviceRow* DeviceRegistry::At(int row) const {
    if (row < 0 || row >= Size()) return nullptr;
    return &m_slots[m_order.SlotAt(row)]->row;
}

int DeviceRegistry::UnseenCycles(const DeviceRow& row) const {
    // The cycle it was seen in counts as seen; only whole cycles after it count as unseen.
    return std::max(0, m_cycles - row.lastCycle - 1);
}

void DeviceRegistry::MarkSeen(Slot* s) { m_bySeen.splice(m_bySeen.end(), m_bySeen, s->seen); }

void DeviceRegistry::EvictStalest(std::size_t count) {
    if (count == 0) return;
    // The stalest rows, by where they stand, bottom first: each run of neighbours goes in one removal,
    // and removing from the bottom up leaves the rows above where they were.
    std::vector<std::pair<int, Slot*>> stalest;
    auto it = m_bySeen.begin();
    for (std::size_t n = 0; n < count && it != m_bySeen.end(); ++n, ++it)
        stalest.emplace_back(m_order.Position((*it)->slot), *it);
    std::sort(stalest.begin(), stalest.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t run = 0; run < stalest.size();) {
        std::size_t end = run + 1;
        while (end < stalest.size() && stalest[end].first == stalest[end - 1].first - 1) ++end;
        if (m_listener) m_listener->BeginRemove(stalest[end - 1].first, stalest[run].first);
        for (std::size_t k = run; k < end; ++k) {
            Slot* s = stalest[k].second;
            m_order.Remove(s->slot);
            m_byId.erase(s->row.id);
            m_bySeen.erase(s->seen);
            m_slots[s->slot].reset();
        }
        if (m_listener) m_listener->EndRemove();
        run = end;
    }
    if (m_slots.size() > 2 * static_cast<std::size_t>(Size()) + 1024) Compact();
}

void DeviceRegistry::Compact() {
    // Rows keep their order; only the empty slots of removed rows go.
    std::vector<std::unique_ptr<Slot>> kept;
    kept.reserve(static_cast<std::size_t>(Size()));
    for (auto& s : m_slots) {
        if (!s) continue;
        s->slot = kept.size();
        kept.push_back(std::move(s));
    }
    m_slots = std::move(kept);
    m_order.Reset(m_slots.size());
}

DeviceRegistry::Slot* DeviceRegistry::AddRow(const std::string& id) {
    auto fresh = std::make_unique<Slot>();
    Slot* s = fresh.get();
    s->row.id = id;
    s->slot = m_order.Append();
    s->seen = m_bySeen.insert(m_bySeen.end(), s);
    m_slots.push_back(std::move(fresh));
    m_byId.emplace(s->row.id, s);
    return s;
}

void DeviceRegistry::Merge(const std::vector<RegistryEntry>& batch) {
    // Small enough pieces that a row refreshed by a piece is never among the stalest it evicts.
    const std::size_t piece = static_cast<std::size_t>(kMaxRows) / 4;
    for (std::size_t from = 0; from < batch.size(); from += piece)
        MergeChunk(batch, from, std::min(batch.size(), from + piece));
}

void DeviceRegistry::MergeChunk(const std::vector<RegistryEntry>& batch, std::size_t from, std::size_t to) {
    // Each device's last sighting in the piece, in order; new devices in the order first seen.
    std::unordered_map<std::string, std::size_t> last;
    std::vector<std::string> ids(to - from);
    std::vector<std::string> fresh;
    for (std::size_t k = from; k < to; ++k) {
        ids[k - from] = m_normalise ? m_normalise(batch[k].endpoint) : batch[k].endpoint;
        const auto [at, inserted] = last.emplace(ids[k - from], k);
        if (inserted) {
            if (!m_byId.count(ids[k - from])) fresh.push_back(ids[k - from]);
        } else {
            at->second = k;
        }
    }
    // Rows seen again count as seen before the stalest are chosen.
    for (std::size_t k = from; k < to; ++k) {
        if (last[ids[k - from]] != k) continue;
        if (const auto it = m_byId.find(ids[k - from]); it != m_byId.end()) MarkSeen(it->second);
    }
    const std::size_t room = static_cast<std::size_t>(kMaxRows - Size());
    if (fresh.size() > room) EvictStalest(fresh.size() - room);

    auto write = [&](DeviceRow& row, const RegistryEntry& e) {
        // The row follows a device to another host, and says where it was.
        if (e.service != row.service) {
            const std::string before = LowerHost(row.service);
            const std::string after = LowerHost(e.service);
            if (!before.empty() && !after.empty() && before != after) {
                row.movedFrom = before;
                row.movedAt = e.seen;
            }
        }
        row.clock = e.clock;
        row.service = e.service;
        row.source = e.source;
        row.identity = IdentityBlock(e.identity);
        row.lastSeen = e.seen;
        row.lastCycle = m_cycles;
        row.goneAt = 0;
    };
    std::unordered_set<const Slot*> created;
    if (!fresh.empty()) {
        if (m_listener) m_listener->BeginInsert(0, static_cast<int>(fresh.size()) - 1);
        for (const std::string& id : fresh) {
            Slot* s = AddRow(id);
            write(s->row, batch[last[id]]);
            created.insert(s);
        }
        if (m_listener) m_listener->EndInsert();
    }
    // The refreshed rows, in the order last seen, as a single change over the rows between them (over
    // all rows when there are many: a view repaints what it shows either way).
    int top = Size();
    int bottom = -1;
    std::size_t refreshed = 0;
    for (std::size_t k = from; k < to; ++k) {
        if (last[ids[k - from]] != k) continue;
        Slot* s = m_byId.at(ids[k - from]);
        MarkSeen(s);
        if (created.count(s)) continue;  // written as it was made
        write(s->row, batch[k]);
        if (++refreshed > 64) {
            top = 0;
            bottom = Size() - 1;
        } else {
            const int at = m_order.Position(s->slot);
            top = std::min(top, at);
            bottom = std::max(bottom, at);
        }
    }
    if (bottom >= 0 && m_listener) m_listener->Changed(top, bottom, false);
}

void DeviceRegistry::MarkGone(const std::string& endpoint, std::time_t at, const std::string& source) {
    const auto it = m_byId.find(m_normalise ? m_normalise(endpoint) : endpoint);
    if (it == m_byId.end() || it->second->row.source.empty() || it->second->row.source != source) return;
    it->second->row.goneAt = at != 0 ? at : 1;
    const int r = m_order.Position(it->second->slot);
    if (m_listener) m_listener->Changed(r, r, true);
}

void DeviceRegistry::CycleEnded() {
    ++m_cycles;
    // Rows turn stale in the order they were last seen; a view repaints what it shows.
    if (Size() > 0 && m_listener) m_listener->Changed(0, Size() - 1, true);
}

}  // namespace quorvi
