// SPDX-License-Identifier: GPL-2.0-or-later
//
// A capture followed as it is written, told in intervals of TAP time:
// what each interval settled, taken from the analysis's running figures.
// A frame is settled when it is matched, or when its window has passed
// without a partner; so an interval holds the frames settled while its
// TAP time was read, and every frame is in exactly one interval.

#ifndef OVINT_LATENCY_MATCHING_INTERVALS_H
#define OVINT_LATENCY_MATCHING_INTERVALS_H

#include "matching/analysis.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

struct DirectionInterval {
    uint8_t version = 0, from_port = 0, to_port = 0;
    // The frames that entered at the from port and were settled: matched,
    // not seen leaving, or seen leaving only after the window (the last
    // two counted against the direction most frames from the port take).
    uint64_t entered = 0, matched = 0, not_seen = 0, late = 0;
    // Of the matches, ns: nearest rank, as the report's (the least latency
    // with at least half, 99%, 99.9% of them at or below it), and the
    // largest; exact unless more than the limit matched in the interval,
    // then at most 0.1% below.
    int64_t median = 0, p99 = 0, p99_9 = 0, largest = 0;
    bool exact = true;
    // The mean change between consecutive latencies taken in the interval
    // (as the report's jitter), ns; none without two.
    uint64_t jitter = 0;
    bool any_jitter = false;
    long double sum_s = 0;  // seconds, of them all
    // By the analysis's ranges, the last index beyond the last range.
    uint64_t histogram[MAX_LATENCY_RANGES + 1] = {};
};

struct PortInterval {
    uint8_t version = 0, port = 0;
    uint64_t frames = 0;  // with a trailer, read in the interval
    uint64_t fates[FATE_COUNT] = {};  // of the frames settled in it
    uint64_t flagged[MAX_FLAGS] = {};  // of its frames read, by the version's flag table
    Burst bursts[BURST_WINDOW_COUNT];  // the busiest windows counted in it
    uint64_t line_rate = 0;            // its link's, bits per second (0: not given)
};

struct IntervalFigures {
    uint64_t start = 0, end = 0;  // TAP time, ns: [start, end)
    std::vector<DirectionInterval> directions;  // in the report's order
    std::vector<PortInterval> ports;            // likewise
    uint64_t clock_steps_back = 0;
    Cabling cabling = Cabling::learn;  // learn: not yet known
    bool cabling_learnt = false;       // from the pairs, not given
    bool cabling_given = false;        // on the command line (neither: assumed)
    // With --by: the interval's groups, told in `order`, the first `top`.
    std::unique_ptr<TrafficGroups> groups;
    LatencyDefinition definition = LatencyDefinition::fifo;
    GroupOrder order = GroupOrder::p99;
    size_t top = 0;
};

// Takes what the analysis settled since it last took, in bounded memory:
// the running totals it had then, and the latencies matched since.
class IntervalWatch {
public:
    IntervalFigures take(Analysis &analysis, uint64_t start, uint64_t end);

private:
    struct Taken {
        uint64_t matched = 0, fragmented = 0;
    };
    struct PortTaken {
        uint64_t frames = 0;
        uint64_t fates[FATE_COUNT] = {};
        uint64_t flagged[MAX_FLAGS] = {};
        // Not seen and late before any direction from the port was known.
        uint64_t unattributed_not_seen = 0, unattributed_late = 0;
    };
    std::map<uint32_t, Taken> directions_;  // by the analysis's direction key
    std::vector<uint32_t> busiest_key_;     // the key of each direction taken, by its index
    std::map<uint16_t, PortTaken> ports_;
    uint64_t steps_back_ = 0;
};

// The boundaries of intervals of `length` ns of TAP time from the first
// trailer-bearing frame's: whether the clock has passed the current one,
// and the interval it ends. A step back of the TAP clock ends the current
// interval where the old clock stood, and the next starts from the new.
class IntervalClock {
public:
    explicit IntervalClock(uint64_t length) : length_(length) {}
    // The first interval starts at `origin`: the first trailer-bearing
    // frame's TAP time.
    void begin(uint64_t origin) { started_ = true, start_ = last_now_ = last_read_ = origin; }
    bool begun() const { return started_; }
    // Whether an interval ended with the clock at `now`; its bounds in
    // `start` and `end`. `assumed`: not read from a frame but taken to
    // have gone on while the input was quiet; frames that come after
    // such a time, behind it, are no step back.
    bool ended(uint64_t now, uint64_t &start, uint64_t &end, bool assumed = false);
    uint64_t start() const { return start_; }

private:
    uint64_t length_;
    bool started_ = false;
    uint64_t start_ = 0, last_now_ = 0;
    uint64_t last_read_ = 0;  // the latest time read from a frame
};

#endif // OVINT_LATENCY_MATCHING_INTERVALS_H
