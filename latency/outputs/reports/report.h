// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-latency's report, as text or as JSON, on standard output. Reports
// only: the analysis computes every figure but the percentiles, which are
// read off the sorted latencies here.

#ifndef OVINT_LATENCY_OUTPUTS_REPORTS_REPORT_H
#define OVINT_LATENCY_OUTPUTS_REPORTS_REPORT_H

#include "matching/analysis.h"

#include <wsutil/json_dumper.h>

#include <cstdio>
#include <string>
#include <vector>

struct ReportContext {
    std::vector<const char *> captures;
    KeyMode key;
    uint64_t window_ms;
    uint64_t line_rates[2];  // link 1's and link 2's, bits per second; 0: not given
    bool complete;           // every capture read to its end
    uint64_t ending_frame;   // else: the frame the reading ended at
    std::string ending_reason;
    size_t top = 0;  // groups reported: the first so many (0: all)
    GroupOrder order = GroupOrder::p99;

    // The rate of the link a port byte is on.
    uint64_t line_rate(uint8_t port) const
    {
        const uint16_t channel = channel_of_port_byte(port);
        return channel == 2 ? line_rates[1] : line_rates[0];
    }
};

// "groups": by what, their count and how many folded, each group shown (the
// first `top` in `order`; 0: all) and "other".
void print_json_groups(json_dumper &dumper, TrafficGroups &groups, LatencyDefinition definition, GroupOrder order,
                       size_t top);

// "Con A → Con C".
std::string direction_name(const DirectionFigures &direction);

// Both return false when the stream could not be written.
bool print_text_report(FILE *out, const ReportContext &context, Analysis &analysis);
bool print_json_report(FILE *out, const ReportContext &context, Analysis &analysis);
// The directions, ports and groups as JSON lines, one object a line
// opened with "record": "direction", "port" or "group", the members as the
// JSON report's; pandas reads them with read_json(lines=True).
bool print_json_lines(FILE *out, const ReportContext &context, Analysis &analysis);

#endif // OVINT_LATENCY_OUTPUTS_REPORTS_REPORT_H
