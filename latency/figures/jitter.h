// SPDX-License-Identifier: GPL-2.0-or-later
//
// Jitter: the mean absolute difference of a direction's consecutive
// latencies, taken in the order of their earlier sightings' TAP times.
// Matches are made in the order their later sightings come, so they are put
// back in that order first, up to the point no earlier match can still come.

#ifndef OVINT_LATENCY_FIGURES_JITTER_H
#define OVINT_LATENCY_FIGURES_JITTER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

#include "core/matching/sequence_ring.h"

// One direction's jitter.
struct Jitter {
    uint64_t sum = 0, count = 0;  // of |consecutive differences|
    int64_t last = 0;             // the latest latency taken, if any was
    bool any = false;

    void take(int64_t latency)
    {
        if (any) {
            sum += latency > last ? static_cast<uint64_t>(latency - last) : static_cast<uint64_t>(last - latency);
            count++;
        }
        last = latency;
        any = true;
    }
    uint64_t mean() const { return count ? sum / count : 0; }
};

class JitterOrder {
public:
    JitterOrder();
    void add(uint64_t earlier_time, int64_t latency, Jitter *direction);
    // Takes every match whose earlier sighting is before `before` into its
    // direction's jitter, in order. Asked every frame: mostly nothing is due.
    void release(uint64_t before)
    {
        if ((begin_ < end_ && ring_[begin_].earlier_time < before) ||
            (!far_.empty() && far_.top().earlier_time < before))
            take(before, false);
    }
    // The capture has ended: takes every match left.
    void finish();

private:
    struct Match {
        uint64_t earlier_time;
        int64_t latency;
        Jitter *direction;
        bool operator>(const Match &other) const { return earlier_time > other.earlier_time; }
    };
    void take(uint64_t before, bool all);
    // How far back among the ordered a match is put in place; one further
    // out of order waits in the heap.
    static constexpr int REACH = 32;

    // Most matches come nearly in order (similar latencies), and are put in
    // place from the back of an ordered ring, [begin_, end_); the few far
    // out of order (a long latency among short ones) wait in a heap beside.
    SequenceRing<Match> ring_;
    uint64_t begin_ = 0, end_ = 0;
    std::priority_queue<Match, std::vector<Match>, std::greater<Match>> far_;
};

#endif // OVINT_LATENCY_FIGURES_JITTER_H
