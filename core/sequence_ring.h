// SPDX-License-Identifier: GPL-2.0-or-later
//
// A ring of items addressed by an ever-growing sequence number: the item of
// `seq` sits at seq modulo the ring's size (a power of two). Its owner keeps
// which sequence numbers are live, [begin, end), and grows the ring when
// they fill it.

#ifndef OVINT_CORE_SEQUENCE_RING_H
#define OVINT_CORE_SEQUENCE_RING_H

#include <cstddef>
#include <cstdint>
#include <vector>

template <typename T>
class SequenceRing {
public:
    explicit SequenceRing(size_t size) : items_(size) {}

    T &operator[](uint64_t seq) { return items_[seq & (items_.size() - 1)]; }
    const T &operator[](uint64_t seq) const { return items_[seq & (items_.size() - 1)]; }
    size_t size() const { return items_.size(); }
    // The items and the mask of a sequence number, for a loop that keeps
    // them in registers.
    T *items() { return items_.data(); }
    uint64_t mask() const { return items_.size() - 1; }

    // Twice the room, the items of [begin, end) kept at their numbers.
    void grow(uint64_t begin, uint64_t end)
    {
        std::vector<T> old(items_.size() * 2);
        old.swap(items_);
        for (uint64_t seq = begin; seq < end; seq++)
            (*this)[seq] = old[seq & (old.size() - 1)];
    }

private:
    std::vector<T> items_;
};

#endif // OVINT_CORE_SEQUENCE_RING_H
