// SPDX-License-Identifier: GPL-2.0-or-later

#include "jitter.h"

JitterOrder::JitterOrder() : ring_(4096) {}

void JitterOrder::add(uint64_t earlier_time, uint64_t latency, Jitter *direction)
{
    const Match match = {earlier_time, latency, direction};
    // After every match not later than this one, within reach of the back.
    uint64_t seq = end_;
    for (int looked = 0; seq > begin_ && at(seq - 1).earlier_time > earlier_time; looked++, seq--) {
        if (looked == REACH) {
            far_.push(match);
            return;
        }
    }
    if (end_ - begin_ == ring_.size()) {
        std::vector<Match> old(ring_.size() * 2);
        old.swap(ring_);
        for (uint64_t i = begin_; i < end_; i++)
            at(i) = old[i & (old.size() - 1)];
    }
    for (uint64_t i = end_; i > seq; i--)
        at(i) = at(i - 1);
    at(seq) = match;
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
        const bool ordered = begin_ < end_ && (all || at(begin_).earlier_time < before);
        const bool far = !far_.empty() && (all || far_.top().earlier_time < before);
        if (ordered && (!far || at(begin_).earlier_time <= far_.top().earlier_time)) {
            const Match &match = at(begin_++);
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
