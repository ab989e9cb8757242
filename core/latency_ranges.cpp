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
                for (int bits = 0; bits <= 64; bits++) {
                    const uint64_t least = bits ? uint64_t(1) << (bits - 1) : 0;
                    size_t range = 0;
                    while (range + 1 < ranges.count && least >= ranges.floor[range + 1])
                        range++;
                    ranges.range_by_bits[bits] = static_cast<uint8_t>(range);
                }
                return ranges;
            }
            floor = bound;
        }
    }
}
