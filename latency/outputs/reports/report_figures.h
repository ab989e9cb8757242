// SPDX-License-Identifier: GPL-2.0-or-later
//
// What the text report and the JSON one both tell, worked out once: the
// percentiles they name, a direction's jitter, a burst's rate, shares, the
// fates summed, the hint when nothing was matched.

#ifndef OVINT_LATENCY_OUTPUTS_REPORTS_REPORT_FIGURES_H
#define OVINT_LATENCY_OUTPUTS_REPORTS_REPORT_FIGURES_H

#include "matching/analysis.h"

#include <wsutil/json_dumper.h>

#include <cstdint>
#include <string>

// A percentile as the text and the JSON name it, in ten-thousandths.
struct Percentile {
    const char *name;
    const char *json_name;
    uint64_t per_10000;
};
inline constexpr Percentile PERCENTILES[] = {
    {"median", "median_ns", 5000}, {"p90", "p90_ns", 9000},         {"p99", "p99_ns", 9900},
    {"p99.9", "p99_9_ns", 9990},   {"p99.99", "p99_99_ns", 9999},
};

// A direction's jitter: the mean change between consecutive latencies.
uint64_t jitter(const DirectionFigures &direction);

// A burst's bits: on the wire with a line rate, else those of the frames
// that start in its window.
double bits_per_second(const Burst &burst, uint64_t window_ns, uint64_t line_rate);

// "bursts": the busiest windows, each with its length, bits (with a line
// rate) or bytes, rate and start.
void member_bursts(json_dumper *dumper, const Burst bursts[BURST_WINDOW_COUNT], uint64_t line_rate);
// A share in percent, with two decimals.
std::string percent(uint64_t part, uint64_t whole);

// What to try when no frame was matched at all.
const char *key_hint(KeyMode key);

// Every frame's fate, summed over the ports.
void sum_fates(const Analysis &analysis, uint64_t fates[FATE_COUNT]);

// The percentiles a group is told by.
inline constexpr Percentile GROUP_PERCENTILES[] = {
    {"median", "median_ns", 5000}, {"p99", "p99_ns", 9900}, {"p99.9", "p99_9_ns", 9990}};

#endif // OVINT_LATENCY_OUTPUTS_REPORTS_REPORT_FIGURES_H
