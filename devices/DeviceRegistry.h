#pragma once

#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ReplyExtraction.h"
#include "RowOrder.h"

namespace quorvi {

// One device's row: the three columns as the bytes they came as, what the device said of itself, and
// what the list knows of its life.
struct DeviceRow {
    std::string id;
    std::string clock;    // "time online": HH:MM:SS of the latest sighting
    std::string service;  // "onvif": the latest sighting's service address
    // Name, hardware, location and the service addresses (space-separated), NUL between them: one block a
    // row, as a flood of invented devices makes a hundred thousand of them. Empty when none was given.
    std::string identity;
    std::time_t lastSeen = 0;
    int lastCycle = 0;       // the discovery cycle it was last seen in
    std::time_t goneAt = 0;  // when it said goodbye, until it is seen again
    std::string source;      // the address the latest reply or Hello came from; empty when unknown
    std::string movedFrom;   // the host before the service address's latest change of host
    std::time_t movedAt = 0;
    DeviceIdentity Identity() const;  // the block, read back
};

// A sighting as the registry merges it: the texts as they came, the clock text and when it was seen.
struct RegistryEntry {
    std::string endpoint;
    std::string service;
    std::string clock;
    DeviceIdentity identity;
    std::time_t seen = 0;
    std::string source;  // where the reply or Hello came from
};

// Told of every change, before and after, so that a view (a Qt model) can follow the rows.
class RegistryListener {
public:
    virtual ~RegistryListener() = default;
    virtual void BeginRemove(int first, int last) = 0;
    virtual void EndRemove() = 0;
    virtual void BeginInsert(int first, int last) = 0;
    virtual void EndInsert() = 0;
    virtual void Changed(int first, int last, bool stateOnly) = 0;  // stateOnly: gone or stale, not texts
};

// The device list's rows without any view: one per endpoint id, newest first, at most kMaxRows (when it is
// full a new device takes the place of the row seen longest ago). Found through a hash and placed by a
// RowOrder, so merging costs the same with a hundred rows or a hundred thousand. Plain C++, one thread.
class DeviceRegistry {
public:
    static constexpr int kMaxRows = 100000;
    // A row unseen for this many whole cycles is stale.
    static constexpr int kStaleCycles = 3;
    // Ids are compared as the text they show: the view says how bytes it cannot read come out.
    using IdNormaliser = std::function<std::string(const std::string&)>;

    explicit DeviceRegistry(IdNormaliser normalise = {});
    ~DeviceRegistry();
    void SetListener(RegistryListener* listener) { m_listener = listener; }

    int Size() const { return m_order.Size(); }
    const DeviceRow* At(int row) const;  // nothing outside the list
    int Cycles() const { return m_cycles; }
    // Whole cycles since the one the row was last seen in.
    int UnseenCycles(const DeviceRow& row) const;
    bool Stale(const DeviceRow& row) const { return UnseenCycles(row) >= kStaleCycles; }

    // Each entry does to its row what one sighting does: the row whose id is the endpoint is refreshed
    // (time, service address, identity), or a new row goes on top. Told in a few changes: one removal
    // per run of evicted rows, one insertion of the new rows (the last one first seen topmost), one change
    // over the refreshed rows. A device seen several times counts its last sighting; a row refreshed by
    // the batch is never the one a new row evicts.
    void Merge(const std::vector<RegistryEntry>& batch);
    // The device said goodbye from `source`: its row (if it has one) is gone until it is seen again. Only
    // the address the row's latest reply or Hello came from can say it: anyone on the network can send a
    // Bye with any id.
    void MarkGone(const std::string& endpoint, std::time_t at, const std::string& source);
    void CycleEnded();

private:
    struct Slot;
    void MergeChunk(const std::vector<RegistryEntry>& batch, std::size_t from, std::size_t to);
    void EvictStalest(std::size_t count);
    Slot* AddRow(const std::string& id);
    void MarkSeen(Slot* slot);  // the most recently seen row now
    void Compact();

    IdNormaliser m_normalise;
    RegistryListener* m_listener = nullptr;
    RowOrder m_order;
    std::vector<std::unique_ptr<Slot>> m_slots;  // in the order rows were added: the last is the top row
    // Keyed by a view of each row's own id (which never changes): a flood of 1 KiB ids is not kept twice.
    std::unordered_map<std::string_view, Slot*> m_byId;
    std::list<Slot*> m_bySeen;  // least recently seen first
    int m_cycles = 0;           // discovery cycles ended
};

}  // namespace quorvi
