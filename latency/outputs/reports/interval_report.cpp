// SPDX-License-Identifier: GPL-2.0-or-later

#include "outputs/reports/interval_report.h"

#include "outputs/reports/report.h"
#include "outputs/reports/report_figures.h"

#include "capture_io/json_members.h"
#include "core/trailer/ports.h"

#include <algorithm>
#include <cinttypes>

namespace {

// "12.500000000": ns as seconds, exactly.
void member_seconds(json_dumper *dumper, const char *name, uint64_t ns)
{
    json_dumper_set_member_name(dumper, name);
    json_dumper_value_anyf(dumper, "%" PRIu64 ".%09" PRIu64, ns / 1000000000, ns % 1000000000);
}

}  // namespace

bool print_interval_line(FILE *out, const IntervalFigures &interval, uint64_t first_tap_time, bool last)
{
    json_dumper dumper = {};
    dumper.output_file = out;
    json_dumper_begin_object(&dumper);
    member_seconds(&dumper, "start_s", interval.start - std::min(interval.start, first_tap_time));
    member_seconds(&dumper, "end_s", interval.end - std::min(interval.end, first_tap_time));
    member_count(&dumper, "tap_time_start_ns", interval.start);
    json_dumper_set_member_name(&dumper, "last");
    json_dumper_value_anyf(&dumper, last ? "true" : "false");
    json_dumper_set_member_name(&dumper, "directions");
    json_dumper_begin_array(&dumper);
    for (const DirectionInterval &direction : interval.directions) {
        json_dumper_begin_object(&dumper);
        member_string(&dumper, "from", port_label(direction.version, direction.from_port).text);
        member_string(&dumper, "to", port_label(direction.version, direction.to_port).text);
        member_count(&dumper, "entered", direction.entered);
        member_count(&dumper, "matched", direction.matched);
        member_count(&dumper, "not_seen_leaving", direction.not_seen);
        member_count(&dumper, "late", direction.late);
        const bool any = direction.matched != 0;
        for (const auto &figure : {std::make_pair("median_ns", direction.median), std::make_pair("p99_ns", direction.p99),
                                   std::make_pair("p99_9_ns", direction.p99_9),
                                   std::make_pair("max_ns", direction.largest)}) {
            json_dumper_set_member_name(&dumper, figure.first);
            if (any)
                json_dumper_value_anyf(&dumper, "%" PRId64, figure.second);
            else
                json_dumper_value_anyf(&dumper, "null");
        }
        json_dumper_set_member_name(&dumper, "jitter_ns");
        if (direction.any_jitter)
            json_dumper_value_anyf(&dumper, "%" PRIu64, direction.jitter);
        else
            json_dumper_value_anyf(&dumper, "null");
        // Only where the interval matched more than can be held exactly.
        if (!direction.exact) {
            json_dumper_set_member_name(&dumper, "percentiles_exact");
            json_dumper_value_anyf(&dumper, "false");
        }
        json_dumper_end_object(&dumper);
    }
    json_dumper_end_array(&dumper);
    json_dumper_set_member_name(&dumper, "ports");
    json_dumper_begin_array(&dumper);
    for (const PortInterval &port : interval.ports) {
        json_dumper_begin_object(&dumper);
        member_port(&dumper, port.version, port.port);
        member_count(&dumper, "frames", port.frames);
        json_dumper_set_member_name(&dumper, "fates");
        json_dumper_begin_object(&dumper);
        for (int i = 0; i < FATE_COUNT; i++)
            member_count(&dumper, fate_name(static_cast<Fate>(i)), port.fates[i]);
        json_dumper_end_object(&dumper);
        member_flag_counts(&dumper, "flagged", port.version, port.flagged, FlagKeys::as_identifiers);
        member_bursts(&dumper, port.bursts, port.line_rate);
        json_dumper_end_object(&dumper);
    }
    json_dumper_end_array(&dumper);
    if (interval.groups)
        print_json_groups(dumper, *interval.groups, interval.definition, interval.order, interval.top);
    member_count(&dumper, "tap_clock_steps_back", interval.clock_steps_back);
    json_dumper_set_member_name(&dumper, "cabling");
    if (interval.cabling == Cabling::learn)
        json_dumper_value_anyf(&dumper, "null");
    else
        json_dumper_value_string(&dumper, cabling_name(interval.cabling));
    json_dumper_end_object(&dumper);
    json_dumper_finish(&dumper);
    return fflush(out) == 0 && !ferror(out);
}
