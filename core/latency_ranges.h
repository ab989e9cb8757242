// SPDX-License-Identifier: GPL-2.0-or-later
//
// The ranges a direction's latencies are counted in, the same in the
// plug-in's Latency tree and in ovint-latency's report: below 1 µs, then
// 1, 2 and 5 in each decade, the last reaching the window (which it
// includes).

#ifndef OVINT_CORE_LATENCY_RANGES_H
#define OVINT_CORE_LATENCY_RANGES_H

#include <cstddef>
#include <cstdint>

constexpr size_t MAX_LATENCY_RANGES = 40;

struct LatencyRanges {
    uint64_t floor[MAX_LATENCY_RANGES];  // ns; range i ends where i + 1 starts
    uint64_t last_ceil;                  // the last range's largest value: the window
    size_t count;

    // The range of a latency within the window (the last one for any later).
    size_t range_of(uint64_t latency) const
    {
        size_t low = 0, high = count;  // floor[low] <= latency < floor[high]
        while (high - low > 1) {
            const size_t middle = (low + high) / 2;
            (latency >= floor[middle] ? low : high) = middle;
        }
        return low;
    }
    uint64_t ceil(size_t range) const { return range + 1 < count ? floor[range + 1] - 1 : last_ceil; }
};

LatencyRanges latency_ranges(uint64_t window_ns);

#endif // OVINT_CORE_LATENCY_RANGES_H
