// SPDX-License-Identifier: GPL-2.0-or-later
//
// Follows the TAP clock through a capture, for whatever expires by it (the
// matcher's waiting sightings, the jitter's order). Frames come nearly in
// TAP-time order; the clock's time is the latest TAP time read, with two
// exceptions that would otherwise keep memory growing:
// - a step back of more than the tolerance (a TAP restarted between two
//   ring files, files given out of order) starts a new clock: what waited
//   by the old one is settled, as at a capture's end;
// - a frame further ahead than the tolerance moves the clock only once the
//   next frame confirms it (a quiet link); when the next one comes back, it
//   was a lone frame stamped ahead and the clock stays where it was.

#ifndef OVINT_CORE_MATCHING_CLOCK_WATCH_H
#define OVINT_CORE_MATCHING_CLOCK_WATCH_H

#include <cstdint>

// How often the TAP clock went wrong, and where first.
struct ClockSteps {
    uint64_t back = 0;             // steps back of more than the tolerance
    uint64_t largest_back = 0;     // ns
    uint64_t first_back_frame = 0;
    uint64_t ahead = 0;            // lone frames stamped ahead of the clock
    uint64_t largest_ahead = 0;    // ns
    uint64_t first_ahead_frame = 0;
    // The latest of each: its step, and the lone frame ahead.
    uint64_t last_back = 0, last_ahead = 0, last_ahead_frame = 0;
};

class ClockWatch {
public:
    enum class Reading {
        in_step,       // the clock goes on
        stepped_back,  // a new clock starts at this frame
    };

    explicit ClockWatch(uint64_t tolerance_ns) : tolerance_(tolerance_ns) {}

    // The next trailer-bearing frame's TAP time, in capture order.
    Reading read(uint64_t frame, uint64_t tap_time)
    {
        // Most frames: a little after the clock's time, or a little before
        // it (written out of order). The difference wraps below it.
        if (steady_) {
            if (tap_time - now_ <= tolerance_) {
                now_ = tap_time;
                return Reading::in_step;
            }
            if (now_ - tap_time <= tolerance_)
                return Reading::in_step;
        }
        return read_off_step(frame, tap_time);
    }

    // The clock's time: expire what is older than the tolerance before it.
    uint64_t now() const { return now_; }
    // Whether `tap_time` is far ahead of the clock and not the frame that
    // may still move it: a lone frame stamped ahead, which nothing waits on.
    bool stray_ahead(uint64_t tap_time) const
    {
        return tap_time > now_ && tap_time - now_ > tolerance_ && !(ahead_pending_ && tap_time == ahead_time_);
    }
    const ClockSteps &steps() const { return steps_; }

private:
    Reading read_off_step(uint64_t frame, uint64_t tap_time)
    {
        steady_ = true;
        if (!started_) {
            started_ = true;
            now_ = tap_time;
            return Reading::in_step;
        }
        if (ahead_pending_) {
            ahead_pending_ = false;
            if (tap_time >= ahead_time_ || ahead_time_ - tap_time <= tolerance_) {
                now_ = ahead_time_;  // confirmed: time went on
            } else {
                steps_.ahead++;
                if (steps_.ahead == 1)
                    steps_.first_ahead_frame = ahead_frame_;
                steps_.last_ahead = ahead_time_ - now_;
                steps_.last_ahead_frame = ahead_frame_;
                if (steps_.last_ahead > steps_.largest_ahead)
                    steps_.largest_ahead = steps_.last_ahead;
            }
        }
        if (tap_time >= now_) {
            if (tap_time - now_ <= tolerance_) {
                now_ = tap_time;
            } else {
                ahead_pending_ = true;
                steady_ = false;
                ahead_time_ = tap_time;
                ahead_frame_ = frame;
            }
            return Reading::in_step;
        }
        if (now_ - tap_time <= tolerance_)
            return Reading::in_step;  // written a little out of order
        steps_.back++;
        if (steps_.back == 1)
            steps_.first_back_frame = frame;
        steps_.last_back = now_ - tap_time;
        if (steps_.last_back > steps_.largest_back)
            steps_.largest_back = steps_.last_back;
        now_ = tap_time;
        return Reading::stepped_back;
    }

    uint64_t tolerance_;
    uint64_t now_ = 0;
    bool started_ = false;
    bool ahead_pending_ = false;
    bool steady_ = false;  // started, and no frame far ahead waits to be confirmed
    uint64_t ahead_time_ = 0, ahead_frame_ = 0;
    ClockSteps steps_;
};

#endif // OVINT_CORE_MATCHING_CLOCK_WATCH_H
