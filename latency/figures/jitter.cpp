// SPDX-License-Identifier: GPL-2.0-or-later

#include "figures/jitter.h"

JitterOrder::JitterOrder() : ring_(4096) {}

void JitterOrder::add(uint64_t earlier_time, int64_t latency, Jitter *direction)
{
    const Match match = {earlier_time, latency, direction};
    // After every match not later than this one, within reach of the back.
    uint64_t seq = end_;
    for (int looked = 0; seq > begin_ && ring_[seq - 1].earlier_time > earlier_time; looked++, seq--) {
        if (looked == REACH) {
            far_.push(match);
            return;
        }
    }
    if (end_ - begin_ == ring_.size())
        ring_.grow(begin_, end_);
    for (uint64_t i = end_; i > seq; i--)
        ring_[i] = ring_[i - 1];
    ring_[seq] = match;
    end_++;
}

void JitterOrder::finish()
{
    take(0, true);
}

void JitterOrder::take(uint64_t before, bool all)
{
    for (;;) {
        // The earlier of the two fronts; of equal ones, the ordered ring's.
        const bool ordered = begin_ < end_ && (all || ring_[begin_].earlier_time < before);
        const bool far = !far_.empty() && (all || far_.top().earlier_time < before);
        if (ordered && (!far || ring_[begin_].earlier_time <= far_.top().earlier_time)) {
            const Match &match = ring_[begin_++];
            match.direction->take(match.latency);
        } else if (far) {
            const Match match = far_.top();
            far_.pop();
            match.direction->take(match.latency);
        } else {
            return;
        }
    }
}
