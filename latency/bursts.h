// SPDX-License-Identifier: GPL-2.0-or-later
//
// A port's bursts: for windows of 1 us, 10 us, 100 us and 1 ms of TAP
// time, the most bytes on the wire whose frames fall in one window, where
// that window starts and its first frame. The capture writes a port's
// frames a little out of TAP-time order now and then; they are put back in
// order first.

#ifndef OVINT_LATENCY_BURSTS_H
#define OVINT_LATENCY_BURSTS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

#include "core/sequence_ring.h"

// The burst windows, in ns of TAP time.
constexpr uint64_t BURST_WINDOWS[] = {1000, 10000, 100000, 1000000};
constexpr size_t BURST_WINDOW_COUNT = sizeof BURST_WINDOWS / sizeof BURST_WINDOWS[0];

struct Burst {
    uint64_t bytes = 0;        // on the wire, in the busiest window
    uint64_t start = 0;        // TAP time at which that window starts
    uint64_t start_frame = 0;  // the window's first frame
};

class PortBursts {
public:
    // How far out of TAP-time order frames may come and still be put back.
    static constexpr uint64_t REORDER_HORIZON = 1000000;

    PortBursts();
    // The port's next frame in capture order (frame numbers rise).
    void add(uint64_t tap_time, uint32_t bytes, uint64_t frame);
    // The TAP's clock has stepped back: what waits is counted, and the
    // windows start again from the next frame. Also done here when a frame
    // comes more than the horizon behind the newest.
    void restart();
    // The capture has ended: the busiest windows, by BURST_WINDOWS.
    const Burst *finish();

private:
    struct Frame {
        uint64_t time;
        uint64_t frame;
        uint32_t bytes;
        bool operator>(const Frame &other) const
        {
            return time != other.time ? time > other.time : frame > other.frame;
        }
    };
    void wait_out_of_order(const Frame &frame);
    void count_waiting(bool all);
    void count_merged(bool all);
    void count(const Frame &frame);
    // How far back among the waiting a frame is put in place; one further
    // out of order waits in the heap.
    static constexpr int REACH = 32;

    // Waiting frames, by sequence number: most come nearly in order and are
    // put in place from the back of an ordered ring, [wait_begin_,
    // wait_end_); the few far out of order (a clock running backwards)
    // wait in a heap beside. Both are taken in order once the newest frame
    // is more than the horizon past them.
    SequenceRing<Frame> waiting_;
    uint64_t wait_begin_ = 0, wait_end_ = 0;
    std::priority_queue<Frame, std::vector<Frame>, std::greater<Frame>> far_;
    uint64_t newest_ = 0;  // the latest TAP time since the windows last started

    // Counted frames, in TAP-time order, as long as a window holds them:
    // [begin_, end_).
    SequenceRing<Frame> counted_;
    uint64_t begin_ = 0, end_ = 0;
    // Each window: its first frame and its bytes, ending at the last counted.
    uint64_t first_[BURST_WINDOW_COUNT] = {};
    uint64_t bytes_[BURST_WINDOW_COUNT] = {};
    Burst busiest_[BURST_WINDOW_COUNT];
};

#endif // OVINT_LATENCY_BURSTS_H
