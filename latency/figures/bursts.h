// SPDX-License-Identifier: GPL-2.0-or-later
//
// A port's bursts: for windows of 1 us, 10 us, 100 us and 1 ms of TAP
// time, the busiest window of each length, where it starts and its first
// frame. Without a line rate a window holds the bytes on the wire of the
// frames that start in it; with one, each frame's bits take their time on
// the wire from its TAP time, and a window holds the bits that fall in it,
// partial frames at its edges in part. The capture writes a port's frames
// a little out of TAP-time order now and then; they are put back in order
// first.

#ifndef OVINT_LATENCY_FIGURES_BURSTS_H
#define OVINT_LATENCY_FIGURES_BURSTS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

#include "core/matching/sequence_ring.h"

// The burst windows, in ns of TAP time.
constexpr uint64_t BURST_WINDOWS[] = {1000, 10000, 100000, 1000000};
constexpr size_t BURST_WINDOW_COUNT = sizeof BURST_WINDOWS / sizeof BURST_WINDOWS[0];

struct Burst {
    uint64_t bytes = 0;        // without a line rate: of the frames starting in the busiest window
    uint64_t bits = 0;         // with one: on the wire within it (rounded down)
    uint64_t start = 0;        // TAP time at which that window starts (rounded down)
    uint64_t start_frame = 0;  // the first frame with bits in it
};

class PortBursts {
public:
    // How far out of TAP-time order frames may come and still be put back:
    // a capture host that reads a port's frames from several queues may
    // write one queue's a few ms behind another's when busy.
    static constexpr uint64_t REORDER_HORIZON = 10000000;
    // And how many may wait meanwhile (48 MB): more than 10 ms of minimum
    // frames at 100 Gbit/s. A clock that crowds more into the horizon (one
    // running backwards, or stuck) starts the windows again.
    static constexpr uint64_t MOST_WAITING = uint64_t(1) << 21;

    // line_rate: bits per second (below 2^40), or 0 to count the frames
    // that start in a window.
    explicit PortBursts(uint64_t line_rate = 0);
    // The port's next frame in capture order (frame numbers rise).
    void add(uint64_t tap_time, uint32_t bytes, uint64_t frame);
    // The TAP's clock has stepped back: what waits is counted, and the
    // windows start again from the next frame. Also done here when a frame
    // comes more than the horizon behind the newest, or too many wait.
    void restart();
    // The capture has ended: the busiest windows, by BURST_WINDOWS.
    const Burst *finish();
    // Also the busiest windows since the last take (for intervals): into
    // `busiest`, and started anew. Of the frames counted so far: the last
    // horizon's wait to be put in order.
    void keep_intervals() { intervals_ = true; }
    void take_interval(Burst busiest[BURST_WINDOW_COUNT]);

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
    void make_room();
    void count_waiting(bool all);
    void count_merged(bool all);
    void count(const Frame &frame);
    // How far back among the waiting a frame is put in place; one further
    // out of order waits in the heap.
    static constexpr int REACH = 32;

    // Waiting frames: most come nearly in order and are put in place from
    // the back of an ordered ring, [wait_begin_, wait_end_), or before its
    // front; the few far out of order otherwise wait in a heap beside. Both
    // are counted in order once the newest frame is more than the horizon
    // past them. The ring's numbers start halfway, with room before the
    // front.
    SequenceRing<Frame> waiting_;
    uint64_t wait_begin_ = uint64_t(1) << 63, wait_end_ = uint64_t(1) << 63;
    std::priority_queue<Frame, std::vector<Frame>, std::greater<Frame>> far_;
    uint64_t newest_ = 0;  // the latest TAP time since the windows last started

    // Counted frames, in TAP-time order, as long as a window needs them:
    // [begin_, end_).
    SequenceRing<Frame> counted_;
    uint64_t begin_ = 0, end_ = 0;
    Burst busiest_[BURST_WINDOW_COUNT];
    bool intervals_ = false;
    Burst interval_busiest_[BURST_WINDOW_COUNT];  // without a line rate

    // Without a line rate, each window ends at a frame and reaches back its
    // length: its first frame and its bytes, ending at the last counted.
    uint64_t first_[BURST_WINDOW_COUNT] = {};
    uint64_t bytes_[BURST_WINDOW_COUNT] = {};

    // With a line rate: places on the wire in units of 1/rate_ ns, where
    // a bit takes 10^9 units, so that frames' starts, ends and windows are
    // whole numbers. 2^64 ns at 2^40 bits/s is below 2^104.
    using Units = __int128;
    using Bits = unsigned __int128;  // in 10^-9 bits, kept modulo 2^128
    Units start_of(uint64_t seq) const { return Units(counted_[seq].time) * rate_; }
    Units end_of(uint64_t seq) const { return start_of(seq) + Units(counted_[seq].bytes) * 8 * 1000000000; }
    // Moves along the events from one edge of a window.
    struct Edge {
        uint64_t next = 0;  // the first event not yet passed
        uint64_t on = 0;    // frames on the wire after the passed ones
        Units at = 0;
    };
    Bits pass(Edge &edge, Units to);
    void add_event(Units at, uint64_t seq, bool end);
    void count_on_wire(uint64_t seq);
    void close_windows(Units frontier, bool all);
    void end_wire_windows();

    uint64_t rate_;
    // The counted frames' starts and ends in time order: where, and the
    // counted sequence number, twice and 1 added at the end. Ends wait in
    // the heap until no start can come before them.
    struct Event {
        Units at;
        uint64_t seq_end;
    };
    SequenceRing<Event> events_;
    uint64_t events_begin_ = 0, events_end_ = 0;
    std::priority_queue<std::pair<Units, uint64_t>, std::vector<std::pair<Units, uint64_t>>,
                        std::greater<std::pair<Units, uint64_t>>>
        ends_;
    struct Best {
        Bits bits = 0;
        Units start = 0;
        uint64_t frame = 0;
    };
    // The busiest window of a length starts at a frame's start or ends at a
    // frame's end: the bits on the wire in between grow and shrink linearly
    // as it slides, and stop growing only there. Both kinds are taken in
    // the order of their starts.
    struct WireWindow {
        Edge back, front;
        Bits bits = 0;            // between the edges
        uint64_t next_start = 0;  // the counted frame that starts the next window of that kind
        uint64_t next_end = 0;    // the event whose end closes the next window of that kind
        uint64_t first = 0;       // the first counted frame ending after the back edge
        Best from_start, to_end;
    } wire_[BURST_WINDOW_COUNT];
    // For intervals, as from_start and to_end.
    Best interval_from_start_[BURST_WINDOW_COUNT], interval_to_end_[BURST_WINDOW_COUNT];
};

#endif // OVINT_LATENCY_FIGURES_BURSTS_H
