#pragma once

#include <cstddef>
#include <vector>

namespace quorvi {

// Rows in the order they were added, the newest on top, found by position while rows anywhere are removed:
// slots numbered in the order added, and a Fenwick tree over them that counts the live ones. Appending,
// removing and both lookups cost O(log n), with a hundred rows or a hundred thousand.
class RowOrder {
public:
    std::size_t Append();           // a new live slot, on top
    void Remove(std::size_t slot);  // the slot's row is gone; the rows above it move down by one
    int Size() const { return m_live; }
    std::size_t Slots() const { return m_tree.empty() ? 0 : m_tree.size() - 1; }
    int Position(std::size_t slot) const;  // 0 is the top row
    std::size_t SlotAt(int position) const;
    // Every slot from 0 to `live` - 1 live again, as after the removed ones were dropped.
    void Reset(std::size_t live);

private:
    int LiveUpTo(std::size_t count) const;  // live slots among the first `count`
    void Count(std::size_t slot, int delta);
    std::vector<int> m_tree;  // 1-based; m_tree[0] unused
    int m_live = 0;
};

}  // namespace quorvi
