// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-latency's command line: its options, its usage text and its version.

#ifndef OVINT_LATENCY_COMMAND_LINE_H
#define OVINT_LATENCY_COMMAND_LINE_H

#include "figures/traffic_groups.h"

#include "core/matching/cabling.h"
#include "core/matching/latency_definition.h"
#include "core/packet/latency_key.h"

#include <cstdint>
#include <vector>

struct Options {
    KeyMode key = KeyMode::ip;
    uint64_t window_ms = 100;
    Cabling cabling = Cabling::learn;
    bool json = false;
    bool json_lines = false;       // the directions, ports and groups, one JSON object a line
    bool force = false;            // existing tables and pictures replaced
    const char *pairs = nullptr;   // --pairs FILE.csv[.gz], "-": standard output
    const char *frames = nullptr;  // --frames FILE.csv[.gz], "-": standard output
    const char *plot = nullptr;    // --plot FILE.svg or .png
    uint64_t line_rates[2] = {0, 0};  // link 1's and link 2's, bits per second; 0: not given
    LatencyDefinition definition = LatencyDefinition::fifo;
    GroupBy by = GroupBy::none;
    size_t top = 0;                // --top: 0 for the default (10 flows, every other group)
    GroupOrder order = GroupOrder::p99;
    size_t groups_limit = 100000;  // groups apart before the least busy fold
    bool key_given = false;
    unsigned jobs = 0;  // threads in all, one of which matches (0: one a core)
    const char *sightings = nullptr;  // --sightings FILE: only write them
    bool from_sightings = false;      // the arguments are sightings files
    std::vector<const char *> captures;  // "-": standard input
    uint64_t interval_ns = 0;          // --interval: one JSON line per interval of TAP time (0: none)
    const char *metrics = nullptr;     // --metrics [HOST:]PORT: served for Prometheus
    bool linger = false;               // --linger: serve the metrics on after the input ends
    bool follow = false;               // --follow: a file or a ring still being written
    const char *interval_log = nullptr;  // --interval-log FILE: the intervals appended there
};

// Reads the command line into `options`. Returns -1 to go on, or the exit
// status to end with at once (after --help, --version or a usage error,
// which it has told).
int parse_command_line(int argc, char **argv, Options &options);

#endif // OVINT_LATENCY_COMMAND_LINE_H
