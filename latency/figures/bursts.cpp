// SPDX-License-Identifier: GPL-2.0-or-later

#include "figures/bursts.h"

#include <algorithm>

PortBursts::PortBursts(uint64_t line_rate) : waiting_(1024), counted_(1024), rate_(line_rate), events_(rate_ ? 1024 : 1)
{
}

// Without a line rate each window ends at a frame and reaches back its
// length: the most bytes any window of that length holds is the most one
// ending at a frame holds.
inline __attribute__((always_inline)) void PortBursts::count(const Frame &next)
{
    if (end_ - begin_ == counted_.size())
        counted_.grow(begin_, end_);
    Frame *ring = counted_.items();
    const uint64_t mask = counted_.mask();
    const Frame frame = next;
    ring[end_++ & mask] = frame;
    if (rate_) {
        count_on_wire(end_ - 1);
        return;
    }
#pragma GCC unroll 4
    for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
        uint64_t first = first_[w];
        uint64_t bytes = bytes_[w] + frame.bytes;
        // The frames from the window's first to this one are in TAP-time
        // order, and it holds this one at least. Differences, not sums:
        // TAP times may come near 2^64.
        for (;;) {
            const Frame &oldest = ring[first & mask];
            if (frame.time - oldest.time < BURST_WINDOWS[w])
                break;
            bytes -= oldest.bytes;
            first++;
        }
        first_[w] = first;
        bytes_[w] = bytes;
        if (bytes > busiest_[w].bytes) {
            const Frame &oldest = ring[first & mask];
            busiest_[w].bytes = bytes;
            busiest_[w].start = oldest.time;
            busiest_[w].start_frame = oldest.frame;
        }
        if (__builtin_expect(intervals_, 0) && bytes > interval_busiest_[w].bytes) {
            const Frame &oldest = ring[first & mask];
            interval_busiest_[w] = {bytes, 0, oldest.time, oldest.frame};
        }
    }
    // The longest window reaches back furthest.
    begin_ = first_[BURST_WINDOW_COUNT - 1];
}

// Counts the waiting frames in order: all of them, or those the horizon has
// passed.
inline __attribute__((always_inline)) void PortBursts::count_waiting(bool all)
{
    if (!far_.empty()) {
        count_merged(all);
        return;
    }
    // The ordered ring alone, as nearly always.
    while (wait_begin_ < wait_end_ && (all || newest_ - waiting_[wait_begin_].time > REORDER_HORIZON))
        count(waiting_[wait_begin_++]);
}

// The same with frames in the heap: the earlier of the two fronts first.
void PortBursts::count_merged(bool all)
{
    for (;;) {
        const bool ordered = wait_begin_ < wait_end_;
        const bool far = !far_.empty() && (!ordered || waiting_[wait_begin_] > far_.top());
        if (!ordered && !far)
            return;
        const Frame &earliest = far ? far_.top() : waiting_[wait_begin_];
        if (!all && newest_ - earliest.time <= REORDER_HORIZON)
            return;
        count(earliest);
        if (far)
            far_.pop();
        else
            wait_begin_++;
    }
}

// The waiting ring is full: twice the room, or, with as many waiting as
// may, the windows start again (a clock that crowds more into the horizon
// than a link carries).
void PortBursts::make_room()
{
    if (waiting_.size() < MOST_WAITING && far_.size() < MOST_WAITING)
        waiting_.grow(wait_begin_, wait_end_);
    else
        restart();
}

// Among those waiting (the newest among them), after every frame not later
// than this one, within reach of the back; or before them all (a clock
// running backwards).
void PortBursts::wait_out_of_order(const Frame &frame)
{
    if (wait_end_ - wait_begin_ == waiting_.size()) {
        make_room();
        if (wait_begin_ == wait_end_) {
            // Started again: the first frame of the new windows.
            newest_ = frame.time;
            waiting_[wait_end_++] = frame;
            return;
        }
    }
    if (frame.time < waiting_[wait_begin_].time) {
        waiting_[--wait_begin_] = frame;
        return;
    }
    uint64_t seq = wait_end_;
    for (int looked = 0; seq > wait_begin_ && waiting_[seq - 1].time > frame.time; looked++, seq--) {
        if (looked == REACH) {
            far_.push(frame);
            return;
        }
    }
    for (uint64_t i = wait_end_; i > seq; i--)
        waiting_[i] = waiting_[i - 1];
    waiting_[seq] = frame;
    wait_end_++;
}

void PortBursts::add(uint64_t tap_time, uint32_t bytes, uint64_t frame)
{
    const Frame arrived = {tap_time, frame, bytes};
    if (tap_time >= newest_ || newest_ - tap_time > REORDER_HORIZON) {
        // The TAP's clock went back (a restart): the windows start again.
        if (tap_time < newest_)
            restart();
        if (wait_end_ - wait_begin_ == waiting_.size())
            make_room();
        // Not earlier than any waiting frame.
        newest_ = tap_time;
        waiting_[wait_end_++] = arrived;
    } else {
        wait_out_of_order(arrived);
    }
    // Frames further back than the horizon from the newest can no longer
    // be preceded.
    count_waiting(false);
}

void PortBursts::restart()
{
    count_waiting(true);
    if (rate_)
        end_wire_windows();
    begin_ = end_;
    for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
        first_[w] = end_;
        bytes_[w] = 0;
    }
    newest_ = 0;
}

const Burst *PortBursts::finish()
{
    restart();
    return busiest_;
}

// The bits on the wire passed on the way to `to`, frames on the wire
// counted at each event.
inline PortBursts::Bits PortBursts::pass(Edge &edge, Units to)
{
    Bits passed = 0;
    for (; edge.next < events_end_; edge.next++) {
        const Event &event = events_[edge.next];
        if (event.at > to)
            break;
        passed += Bits(edge.on) * Bits(event.at - edge.at);
        edge.at = event.at;
        edge.on = event.seq_end & 1 ? edge.on - 1 : edge.on + 1;
    }
    passed += Bits(edge.on) * Bits(to - edge.at);
    edge.at = to;
    return passed;
}

void PortBursts::add_event(Units at, uint64_t seq, bool end)
{
    if (events_end_ - events_begin_ == events_.size())
        events_.grow(events_begin_, events_end_);
    events_[events_end_++] = {at, seq << 1 | (end ? 1 : 0)};
}

void PortBursts::count_on_wire(uint64_t seq)
{
    // No frame still to come can end before this one starts.
    const Units start = start_of(seq);
    while (!ends_.empty() && ends_.top().first <= start) {
        add_event(ends_.top().first, ends_.top().second, true);
        ends_.pop();
    }
    add_event(start, seq, false);
    ends_.push({end_of(seq), seq});
    close_windows(start, false);
}

// Takes the windows whose end is before `frontier`, or all of them: by then
// every frame with bits in them is counted.
void PortBursts::close_windows(Units frontier, bool all)
{
    for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
        WireWindow &window = wire_[w];
        const Units length = Units(BURST_WINDOWS[w]) * rate_;
        for (;;) {
            while (window.next_end < events_end_ && !(events_[window.next_end].seq_end & 1))
                window.next_end++;
            const bool any_start = window.next_start < end_;
            const bool any_end = window.next_end < events_end_;
            if (!any_start && !any_end)
                break;
            const Units from_start = any_start ? start_of(window.next_start) : 0;
            const Units to_end = any_end ? events_[window.next_end].at - length : 0;
            const bool starting = any_start && (!any_end || from_start <= to_end);
            const Units start = starting ? from_start : to_end;
            if (!all && start + length >= frontier)
                break;
            window.bits += pass(window.front, start + length);
            window.bits -= pass(window.back, start);
            // Some frame ends after the start: this window's own.
            while (end_of(window.first) <= start)
                window.first++;
            Best &best = starting ? window.from_start : window.to_end;
            if (window.bits > best.bits)
                best = {window.bits, start, counted_[window.first].frame};
            Best &since_taken = starting ? interval_from_start_[w] : interval_to_end_[w];
            if (intervals_ && window.bits > since_taken.bits)
                since_taken = {window.bits, start, counted_[window.first].frame};
            if (starting)
                window.next_start++;
            else
                window.next_end++;
        }
    }
    // What the windows have passed is kept no longer.
    begin_ = end_;
    events_begin_ = events_end_;
    for (const WireWindow &window : wire_) {
        begin_ = std::min(begin_, window.first);
        events_begin_ = std::min({events_begin_, window.back.next, window.next_end});
    }
}

void PortBursts::take_interval(Burst busiest[BURST_WINDOW_COUNT])
{
    for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
        if (rate_) {
            // As the capture's busiest are chosen.
            const Best &from_start = interval_from_start_[w], &to_end = interval_to_end_[w];
            const Best &best = from_start.bits >= to_end.bits ? from_start : to_end;
            busiest[w] = {0, static_cast<uint64_t>(best.bits / 1000000000), static_cast<uint64_t>(best.start / rate_),
                          best.frame};
            interval_from_start_[w] = interval_to_end_[w] = Best();
        } else {
            busiest[w] = interval_busiest_[w];
            interval_busiest_[w] = Burst();
        }
    }
}

// The clock starts again, or the capture has ended: every window is taken,
// and the busiest of each length, starting at a frame's start rather than
// ending at a frame's end when they hold as much, is kept if busier than
// those before.
void PortBursts::end_wire_windows()
{
    while (!ends_.empty()) {
        add_event(ends_.top().first, ends_.top().second, true);
        ends_.pop();
    }
    close_windows(0, true);
    for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
        WireWindow &window = wire_[w];
        const Best &best = window.from_start.bits >= window.to_end.bits ? window.from_start : window.to_end;
        const uint64_t bits = static_cast<uint64_t>(best.bits / 1000000000);
        if (bits > busiest_[w].bits) {
            busiest_[w].bits = bits;
            // Not before its first frame's start: a window that ends at a
            // frame's end is kept only if it cuts its first frame.
            busiest_[w].start = static_cast<uint64_t>(best.start / rate_);
            busiest_[w].start_frame = best.frame;
        }
        window = WireWindow();
        window.back.next = window.front.next = window.next_end = events_end_;
        window.next_start = window.first = end_;
    }
    events_begin_ = events_end_;
}
