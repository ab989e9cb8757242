// SPDX-License-Identifier: GPL-2.0-or-later

#include "bursts.h"

PortBursts::PortBursts() : waiting_(1024), counted_(1024) {}

// Each window ends at a frame and reaches back its length: the most bytes
// any window of that length holds is the most one ending at a frame holds.
inline __attribute__((always_inline)) void PortBursts::count(const Frame &next)
{
    if (end_ - begin_ == counted_.size())
        counted_.grow(begin_, end_);
    Frame *ring = counted_.items();
    const uint64_t mask = counted_.mask();
    const Frame frame = next;
    ring[end_++ & mask] = frame;
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
            busiest_[w] = {bytes, oldest.time, oldest.frame};
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

// Among those waiting, after every frame not later than this one, within
// reach of the back.
void PortBursts::wait_out_of_order(const Frame &frame)
{
    uint64_t seq = wait_end_;
    for (int looked = 0; seq > wait_begin_ && waiting_[seq - 1].time > frame.time; looked++, seq--) {
        if (looked == REACH) {
            far_.push(frame);
            return;
        }
    }
    if (wait_end_ - wait_begin_ == waiting_.size())
        waiting_.grow(wait_begin_, wait_end_);
    for (uint64_t i = wait_end_; i > seq; i--)
        waiting_[i] = waiting_[i - 1];
    waiting_[seq] = frame;
    wait_end_++;
}

void PortBursts::add(uint64_t tap_time, uint32_t bytes, uint64_t frame)
{
    // The TAP's clock went back (a restart): the windows start again.
    if (tap_time < newest_ && newest_ - tap_time > REORDER_HORIZON)
        restart();
    if (tap_time > newest_)
        newest_ = tap_time;

    if (wait_begin_ < wait_end_ && waiting_[wait_end_ - 1].time > tap_time) {
        wait_out_of_order({tap_time, frame, bytes});
    } else {
        if (wait_end_ - wait_begin_ == waiting_.size())
            waiting_.grow(wait_begin_, wait_end_);
        waiting_[wait_end_++] = {tap_time, frame, bytes};
    }
    // Frames further back than the horizon from the newest can no longer
    // be preceded.
    count_waiting(false);
}

void PortBursts::restart()
{
    count_waiting(true);
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
