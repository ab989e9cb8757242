// SPDX-License-Identifier: GPL-2.0-or-later
//
// A ring of items addressed by an ever-growing sequence number: the item of
// `seq` sits at seq modulo the ring's size (a power of two). Its owner keeps
// which sequence numbers are live, [begin, end), and grows the ring when
// they fill it.

#ifndef OVINT_CORE_MATCHING_SEQUENCE_RING_H
#define OVINT_CORE_MATCHING_SEQUENCE_RING_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

template <typename T>
class SequenceRing {
public:
    // Only the live items are ever read: the room is left as it comes.
    explicit SequenceRing(size_t size) : items_(new T[size]), size_(size) {}

    T &operator[](uint64_t seq) { return items_[seq & (size_ - 1)]; }
    const T &operator[](uint64_t seq) const { return items_[seq & (size_ - 1)]; }
    size_t size() const { return size_; }
    // The items and the mask of a sequence number, for a loop that keeps
    // them in registers.
    T *items() { return items_.get(); }
    uint64_t mask() const { return size_ - 1; }

    // Twice the room, the items of [begin, end) kept at their numbers.
    void grow(uint64_t begin, uint64_t end)
    {
        SequenceRing old(size_ * 2);
        std::swap(items_, old.items_);
        std::swap(size_, old.size_);
        for (uint64_t seq = begin; seq < end; seq++)
            (*this)[seq] = old[seq];
    }

private:
    std::unique_ptr<T[]> items_;
    size_t size_;
};

#endif // OVINT_CORE_MATCHING_SEQUENCE_RING_H
