#include "RowOrder.h"

namespace quorvi {

namespace {

std::size_t LowBit(std::size_t i) { return i & (~i + 1); }

}  // namespace

void RowOrder::Count(std::size_t slot, int delta) {
    for (std::size_t i = slot + 1; i < m_tree.size(); i += LowBit(i)) m_tree[i] += delta;
}

int RowOrder::LiveUpTo(std::size_t count) const {
    int sum = 0;
    for (std::size_t i = count; i > 0; i -= LowBit(i)) sum += m_tree[i];
    return sum;
}

std::size_t RowOrder::Append() {
    if (m_tree.empty()) m_tree.push_back(0);
    // The new node covers the slots (i - lowbit(i), i]: itself and the live rows just before it.
    const std::size_t i = m_tree.size();
    m_tree.push_back(1 + LiveUpTo(i - 1) - LiveUpTo(i - LowBit(i)));
    ++m_live;
    return i - 1;
}

void RowOrder::Remove(std::size_t slot) {
    Count(slot, -1);
    --m_live;
}

int RowOrder::Position(std::size_t slot) const { return m_live - LiveUpTo(slot + 1); }

std::size_t RowOrder::SlotAt(int position) const {
    // The top row is the newest: the k-th live slot counted from the oldest.
    int k = m_live - position;
    std::size_t at = 0;
    std::size_t step = 1;
    while (step * 2 < m_tree.size()) step *= 2;
    for (; step > 0; step /= 2) {
        if (at + step < m_tree.size() && m_tree[at + step] < k) {
            at += step;
            k -= m_tree[at];
        }
    }
    return at;
}

void RowOrder::Reset(std::size_t live) {
    m_tree.assign(live + 1, 0);
    for (std::size_t i = 1; i < m_tree.size(); ++i) {
        m_tree[i] += 1;
        const std::size_t parent = i + LowBit(i);
        if (parent < m_tree.size()) m_tree[parent] += m_tree[i];
    }
    m_live = static_cast<int>(live);
}

}  // namespace quorvi
