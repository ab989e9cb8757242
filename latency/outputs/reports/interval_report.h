// SPDX-License-Identifier: GPL-2.0-or-later
//
// --interval: one JSON line per interval of TAP time, as the capture is
// read, with the report's names: "directions" (each with "from", "to",
// "entered", "matched", "not_seen_leaving", "late" and the interval's
// exact percentiles), "ports" (each with its frames, fates and flags), the
// TAP clock's steps back and the cabling taken.

#ifndef OVINT_LATENCY_OUTPUTS_REPORTS_INTERVAL_REPORT_H
#define OVINT_LATENCY_OUTPUTS_REPORTS_INTERVAL_REPORT_H

#include "matching/intervals.h"

#include <cstdio>

// `first_tap_time`: the first trailer-bearing frame's, which the line's
// times count from (as the report's). False when the stream failed.
bool print_interval_line(FILE *out, const IntervalFigures &interval, uint64_t first_tap_time, bool last);

#endif // OVINT_LATENCY_OUTPUTS_REPORTS_INTERVAL_REPORT_H
