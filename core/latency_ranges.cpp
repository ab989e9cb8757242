// SPDX-License-Identifier: GPL-2.0-or-later

#include "latency_ranges.h"

LatencyRanges latency_ranges(uint64_t window_ns)
{
    LatencyRanges ranges = {};
    static const uint64_t steps[] = {1, 2, 5};
    uint64_t floor = 0;
    for (uint64_t decade = 1000;; decade *= 10) {
        for (uint64_t step : steps) {
            const uint64_t bound = decade * step;
            ranges.floor[ranges.count++] = floor;
            if (bound >= window_ns || ranges.count == MAX_LATENCY_RANGES) {
                ranges.last_ceil = window_ns;
                return ranges;
            }
            floor = bound;
        }
    }
}
