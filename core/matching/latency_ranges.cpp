// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/matching/latency_ranges.h"

#include <cinttypes>
#include <cstdio>

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

void duration_text(uint64_t ns, char *text, size_t size)
{
    if (ns < 1000000)
        snprintf(text, size, "%" PRIu64 " \u00b5s", ns / 1000);
    else if (ns < 1000000000)
        snprintf(text, size, "%" PRIu64 " ms", ns / 1000000);
    else
        snprintf(text, size, "%" PRIu64 " s", ns / 1000000000);
}

void LatencyRanges::name(size_t range, char *text, size_t size) const
{
    char low[16], high[16];
    duration_text(floor[range], low, sizeof low);
    duration_text(ceil(range) + 1, high, sizeof high);
    if (floor[range] == 0)
        snprintf(text, size, "below %s", high);
    else
        snprintf(text, size, "%s-%s", low, high);
}
