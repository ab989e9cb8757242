// SPDX-License-Identifier: GPL-2.0-or-later

#include "bursts.h"

PortBursts::PortBursts() : ring_(1024) {}

// Each window ends at a frame and reaches back its length: the most bytes
// any window of that length holds is the most one ending at a frame holds.
inline __attribute__((always_inline)) void PortBursts::count_next()
{
    const TimedBytes *ring = ring_.items();
    const uint64_t mask = ring_.mask();
    const TimedBytes frame = ring[counted_ & mask];
    for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
        uint64_t first = first_[w];
        uint64_t bytes = bytes_[w] + frame.bytes;
        // The frames from the window's first to this one are in TAP-time
        // order, and it holds this one at least. Differences, not sums:
        // TAP times may come near 2^64.
        for (;;) {
            const TimedBytes &oldest = ring[first & mask];
            if (frame.time - oldest.time < BURST_WINDOWS[w])
                break;
            bytes -= oldest.bytes;
            first++;
        }
        first_[w] = first;
        bytes_[w] = bytes;
        if (bytes > busiest_[w].bytes)
            busiest_[w] = {bytes, ring[first & mask].time};
    }
    counted_++;
    // The longest window reaches back furthest.
    begin_ = first_[BURST_WINDOW_COUNT - 1];
}

void PortBursts::add(uint64_t tap_time, uint32_t bytes)
{
    if (end_ > begin_ && tap_time < newest_ && newest_ - tap_time > REORDER_HORIZON) {
        // The TAP's clock went back (a restart): what came before is
        // counted, and the windows start again from this frame.
        while (counted_ < end_)
            count_next();
        begin_ = counted_;
        for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
            first_[w] = counted_;
            bytes_[w] = 0;
        }
        newest_ = tap_time;
    }
    if (end_ == begin_ || tap_time > newest_)
        newest_ = tap_time;
    if (end_ - begin_ == ring_.size())
        ring_.grow(begin_, end_);
    // Among those waiting, after every frame not later than this one.
    uint64_t seq = end_++;
    for (; seq > counted_ && ring_[seq - 1].time > tap_time; seq--)
        ring_[seq] = ring_[seq - 1];
    ring_[seq] = {tap_time, bytes};
    // Frames further back than the horizon from the newest can no longer
    // be preceded.
    while (counted_ < end_ && newest_ - ring_[counted_].time > REORDER_HORIZON)
        count_next();
}

const Burst *PortBursts::finish()
{
    while (counted_ < end_)
        count_next();
    return busiest_;
}
