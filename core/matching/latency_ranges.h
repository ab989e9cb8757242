// SPDX-License-Identifier: GPL-2.0-or-later
//
// The ranges a direction's latencies are counted in, the same in the
// plug-in's Latency tree and in ovint-latency's report: below 1 µs, then
// 1, 2 and 5 in each decade, the last reaching the window (which it
// includes).

#ifndef OVINT_CORE_MATCHING_LATENCY_RANGES_H
#define OVINT_CORE_MATCHING_LATENCY_RANGES_H

#include <cstddef>
#include <cstdint>

constexpr size_t MAX_LATENCY_RANGES = 40;

struct LatencyRanges {
    uint64_t floor[MAX_LATENCY_RANGES];  // ns; range i ends where i + 1 starts
    uint64_t last_ceil;                  // the last range's largest value: the window
    size_t count;
    // By a latency's bit length, the range of the least latency of that
    // length: bounds at 1, 2 and 5 leave at most one more above it before
    // the length grows (every match asks).
    uint8_t range_by_bits[65];

    // The range of a latency within the window (the last one for any later).
    size_t range_of(uint64_t latency) const
    {
        const int bits = latency ? 64 - __builtin_clzll(latency) : 0;
        size_t range = range_by_bits[bits];
        while (range + 1 < count && latency >= floor[range + 1])
            range++;
        return range;
    }
    uint64_t ceil(size_t range) const { return range + 1 < count ? floor[range + 1] - 1 : last_ceil; }
    // "1 µs-2 µs", "below 1 µs": a range by its bounds, as both programs
    // name it.
    void name(size_t range, char *text, size_t size) const;
};

LatencyRanges latency_ranges(uint64_t window_ns);

// A whole number of µs below 1 ms, of ms below 1 s, else of s ("5 µs").
void duration_text(uint64_t ns, char *text, size_t size);

#endif // OVINT_CORE_MATCHING_LATENCY_RANGES_H
