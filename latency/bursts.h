// SPDX-License-Identifier: GPL-2.0-or-later
//
// A port's bursts: for windows of 1 us, 10 us, 100 us and 1 ms of TAP
// time, the most bytes on the wire whose frames fall in one window, and
// where that window starts. The capture writes a port's frames a little out
// of TAP-time order now and then; they are put back in order first.

#ifndef OVINT_LATENCY_BURSTS_H
#define OVINT_LATENCY_BURSTS_H

#include <cstddef>
#include <cstdint>
#include "core/sequence_ring.h"

// The burst windows, in ns of TAP time.
constexpr uint64_t BURST_WINDOWS[] = {1000, 10000, 100000, 1000000};
constexpr size_t BURST_WINDOW_COUNT = sizeof BURST_WINDOWS / sizeof BURST_WINDOWS[0];

struct Burst {
    uint64_t bytes = 0;  // on the wire, in the busiest window
    uint64_t start = 0;  // TAP time at which that window starts
};

class PortBursts {
public:
    // How far out of TAP-time order frames may come and still be put back.
    static constexpr uint64_t REORDER_HORIZON = 1000000;

    PortBursts();
    // The port's next frame in capture order.
    void add(uint64_t tap_time, uint32_t bytes);
    // The capture has ended: the busiest windows, by BURST_WINDOWS.
    const Burst *finish();

private:
    struct TimedBytes {
        uint64_t time;
        uint32_t bytes;
    };
    void count_next();

    // Frames by sequence number, in TAP-time order: [begin_, counted_) are
    // in the longest window still, [counted_, end_) wait for their turn.
    SequenceRing<TimedBytes> ring_;
    uint64_t begin_ = 0, counted_ = 0, end_ = 0;
    uint64_t newest_ = 0;  // the latest TAP time since the clock last went back
    // Each window: its first frame and its bytes, ending at the last counted.
    uint64_t first_[BURST_WINDOW_COUNT] = {};
    uint64_t bytes_[BURST_WINDOW_COUNT] = {};
    Burst busiest_[BURST_WINDOW_COUNT];
};

#endif // OVINT_LATENCY_BURSTS_H
