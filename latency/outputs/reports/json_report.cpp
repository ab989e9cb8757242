// SPDX-License-Identifier: GPL-2.0-or-later
//
// The report as JSON, and as JSON lines.

#include "outputs/reports/report.h"
#include "outputs/reports/report_figures.h"

#include "core/trailer/ports.h"
#include "core/trailer/trailer_format.h"

#include "capture_io/json_members.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cinttypes>
#include <cstring>

namespace {

void member_signed(json_dumper *dumper, const char *name, int64_t value)
{
    json_dumper_set_member_name(dumper, name);
    json_dumper_value_anyf(dumper, "%" PRId64, value);
}

void member_fates(json_dumper *dumper, const uint64_t fates[FATE_COUNT])
{
    json_dumper_set_member_name(dumper, "fates");
    json_dumper_begin_object(dumper);
    for (int i = 0; i < FATE_COUNT; i++)
        member_count(dumper, fate_name(static_cast<Fate>(i)), fates[i]);
    json_dumper_end_object(dumper);
}

void member_nullable(json_dumper *dumper, const char *name, bool present, uint64_t value)
{
    json_dumper_set_member_name(dumper, name);
    if (present)
        json_dumper_value_anyf(dumper, "%" PRIu64, value);
    else
        json_dumper_value_anyf(dumper, "null");
}

void group_members(json_dumper &dumper, GroupBy by, GroupFigures &group, const char *label)
{
    const TrafficView &key = group.key;
    member_string(&dumper, "label", label ? label : TrafficGroups::label(by, key).c_str());
    if (!label) {
        const bool ip = key.family != 0;
        switch (by) {
        case GroupBy::flow: {
            char text[INET6_ADDRSTRLEN];
            for (const auto &address : {std::make_pair("src", key.src), std::make_pair("dst", key.dst)}) {
                json_dumper_set_member_name(&dumper, address.first);
                if (ip) {
                    inet_ntop(key.family == 4 ? AF_INET : AF_INET6, address.second, text, sizeof text);
                    json_dumper_value_string(&dumper, text);
                } else {
                    json_dumper_value_anyf(&dumper, "null");
                }
            }
            member_nullable(&dumper, "protocol", ip, key.protocol);
            member_nullable(&dumper, "src_port", key.has_ports, key.src_port);
            member_nullable(&dumper, "dst_port", key.has_ports, key.dst_port);
            break;
        }
        case GroupBy::dscp: member_nullable(&dumper, "dscp", ip, key.dscp); break;
        case GroupBy::vlan: member_nullable(&dumper, "vlan", key.vlan != NO_VLAN, key.vlan); break;
        case GroupBy::protocol: member_nullable(&dumper, "protocol", ip, key.protocol); break;
        case GroupBy::none: break;
        }
    }
    json_dumper_set_member_name(&dumper, "partial");
    json_dumper_value_anyf(&dumper, group.partial ? "true" : "false");
    const uint64_t matched = group.matched();
    member_count(&dumper, "matched", matched);
    member_count(&dumper, "not_seen_leaving", group.not_seen);
    json_dumper_set_member_name(&dumper, "loss_percent");
    json_dumper_value_anyf(&dumper, "%s", percent(group.not_seen, matched + group.not_seen).c_str());
    if (matched) {
        LatencyDistribution &latencies = *group.latencies;
        member_signed(&dumper, "min_ns", latencies.least());
        for (const Percentile &p : GROUP_PERCENTILES)
            member_signed(&dumper, p.json_name, latencies.percentile(p.per_10000));
        member_signed(&dumper, "max_ns", latencies.largest());
        member_string(&dumper, "percentiles", latencies.exact() ? "exact" : "histogram");
    }
}

void print_json_group(json_dumper &dumper, GroupBy by, GroupFigures &group, const char *label)
{
    json_dumper_begin_object(&dumper);
    group_members(dumper, by, group, label);
    json_dumper_end_object(&dumper);
}


// A direction's members: its ports, counts, latency figures and histogram.
void direction_members(json_dumper &dumper, const Analysis &analysis, DirectionFigures &direction)
{
    LatencyDistribution &latencies = direction.latencies;
    member_string(&dumper, "from", port_label(direction.version, direction.from_port).text);
    member_string(&dumper, "to", port_label(direction.version, direction.to_port).text);
    member_count(&dumper, "entered", direction.entered);
    member_count(&dumper, "matched", latencies.count());
    member_count(&dumper, "not_seen_leaving", direction.not_seen);
    member_count(&dumper, "late", direction.late);
    member_count(&dumper, "fragmented", direction.fragmented);
    for (auto piece : {std::make_pair("to_first_piece_ns", &direction.to_first_piece),
                       std::make_pair("to_last_piece_ns", &direction.to_last_piece)}) {
        json_dumper_set_member_name(&dumper, piece.first);
        if (!direction.fragmented) {
            json_dumper_value_anyf(&dumper, "null");
            continue;
        }
        json_dumper_begin_object(&dumper);
        member_signed(&dumper, "min", piece.second->least());
        member_signed(&dumper, "median", piece.second->percentile(5000));
        member_signed(&dumper, "max", piece.second->largest());
        json_dumper_end_object(&dumper);
    }
    json_dumper_set_member_name(&dumper, "loss_percent");
    json_dumper_value_anyf(&dumper, "%s", percent(direction.not_seen, direction.entered).c_str());
    member_count(&dumper, "ambiguous", direction.ambiguous);
    member_signed(&dumper, "min_ns", latencies.least());
    member_signed(&dumper, "mean_ns", latencies.mean());
    for (const Percentile &p : PERCENTILES)
        member_signed(&dumper, p.json_name, latencies.percentile(p.per_10000));
    member_signed(&dumper, "max_ns", latencies.largest());
    member_count(&dumper, "jitter_ns", jitter(direction));
    member_count(&dumper, "standard_deviation_ns", latencies.standard_deviation());
    member_string(&dumper, "percentiles", latencies.exact() ? "exact" : "histogram");
    json_dumper_set_member_name(&dumper, "histogram");
    json_dumper_begin_array(&dumper);
    for (size_t i = 0; i < analysis.ranges.count; i++) {
        json_dumper_begin_object(&dumper);
        member_count(&dumper, "from_ns", analysis.ranges.floor[i]);
        member_count(&dumper, "to_ns", analysis.ranges.ceil(i));
        member_count(&dumper, "frames", direction.histogram[i]);
        json_dumper_end_object(&dumper);
    }
    json_dumper_end_array(&dumper);
}

// A port's members beyond its name, version, channel and frames.
void port_members(json_dumper &dumper, const ReportContext &context, const PortFigures &port)
{
    member_count(&dumper, "not_seen_on_other_link", port.unmatched);
    member_count(&dumper, "no_key", port.no_key);
    member_count(&dumper, "at_capture_edge", port.at_edge);
    member_count(&dumper, "merged_records", port.merged);
    member_fates(&dumper, port.fates);
    member_flag_counts(&dumper, "not_seen_flagged", port.version, port.unmatched_flagged,
                       FlagKeys::as_identifiers);
    member_bursts(&dumper, port.bursts, context.line_rate(port.port));
}


} // namespace

void print_json_groups(json_dumper &dumper, TrafficGroups &groups, LatencyDefinition definition, GroupOrder order,
                       size_t top)
{
    const std::vector<GroupFigures *> ranked = groups.ranked(order, top);
    json_dumper_set_member_name(&dumper, "groups");
    json_dumper_begin_object(&dumper);
    member_string(&dumper, "by", group_by_name(groups.by()));
    member_string(&dumper, "definition", definition_name(definition));
    member_string(&dumper, "order", group_order_name(order));
    member_count(&dumper, "count", groups.count());
    member_count(&dumper, "shown", ranked.size());
    member_count(&dumper, "folded_groups", groups.folded_groups);
    json_dumper_set_member_name(&dumper, "entries");
    json_dumper_begin_array(&dumper);
    for (GroupFigures *group : ranked)
        print_json_group(dumper, groups.by(), *group, nullptr);
    json_dumper_end_array(&dumper);
    json_dumper_set_member_name(&dumper, "other");
    if (groups.folded_groups)
        print_json_group(dumper, groups.by(), groups.other, "other");
    else
        json_dumper_value_anyf(&dumper, "null");
    json_dumper_end_object(&dumper);
}

bool print_json_report(FILE *out, const ReportContext &context, Analysis &analysis)
{
    json_dumper dumper = {};
    dumper.output_file = out;
    json_dumper_begin_object(&dumper);
    member_string(&dumper, "program", "ovint-latency");
    member_string(&dumper, "version", OVINT_VERSION);
    json_dumper_set_member_name(&dumper, "captures");
    json_dumper_begin_array(&dumper);
    for (const char *capture : context.captures)
        json_dumper_value_string(&dumper, capture);
    json_dumper_end_array(&dumper);
    member_string(&dumper, "key", key_mode_name(context.key));
    member_count(&dumper, "window_ms", context.window_ms);
    // One rate for both links, as before there could be two; null when
    // they differ.
    json_dumper_set_member_name(&dumper, "line_rate_bits_per_second");
    if (context.line_rates[0] && context.line_rates[0] == context.line_rates[1])
        json_dumper_value_anyf(&dumper, "%" PRIu64, context.line_rates[0]);
    else
        json_dumper_value_anyf(&dumper, "null");
    json_dumper_set_member_name(&dumper, "line_rates_bits_per_second");
    if (context.line_rates[0])
        json_dumper_value_anyf(&dumper, "[%" PRIu64 ", %" PRIu64 "]", context.line_rates[0], context.line_rates[1]);
    else
        json_dumper_value_anyf(&dumper, "null");
    member_string(&dumper, "definition", definition_name(analysis.definition()));
    member_count(&dumper, "below_zero", analysis.below_zero);
    member_count(&dumper, "first_below_zero_frame", analysis.first_below_zero_frame);
    member_count(&dumper, "frames", analysis.frames);
    member_count(&dumper, "frames_with_trailer", analysis.frames_with_trailer);
    uint64_t fates[FATE_COUNT];
    sum_fates(analysis, fates);
    member_fates(&dumper, fates);
    if (analysis.any_tap_time) {
        member_count(&dumper, "first_tap_time_ns", analysis.first_tap_time);
        member_count(&dumper, "last_tap_time_ns", analysis.last_tap_time);
        member_count(&dumper, "first_frame_tap_time_ns", analysis.first_frame_tap_time);
    }
    const ClockSteps &steps = analysis.clock_steps;
    json_dumper_set_member_name(&dumper, "tap_clock");
    json_dumper_begin_object(&dumper);
    member_count(&dumper, "steps_back", steps.back);
    member_count(&dumper, "largest_step_back_ns", steps.largest_back);
    member_count(&dumper, "first_step_back_frame", steps.first_back_frame);
    member_count(&dumper, "lone_frames_ahead", steps.ahead);
    member_count(&dumper, "largest_lone_ahead_ns", steps.largest_ahead);
    member_count(&dumper, "first_lone_ahead_frame", steps.first_ahead_frame);
    json_dumper_end_object(&dumper);
    const MatchFindings &findings = analysis.findings;
    json_dumper_set_member_name(&dumper, "cabling");
    json_dumper_begin_object(&dumper);
    member_string(&dumper, "name", cabling_name(findings.cabling));
    member_string(&dumper, "from", findings.learnt ? "learnt" : analysis.cabling_given ? "given" : "assumed");
    member_count(&dumper, "pairs_for", findings.votes_for);
    member_count(&dumper, "pairs_against", findings.votes_against);
    json_dumper_set_member_name(&dumper, "contradicted_by");
    if (findings.contradicted)
        json_dumper_value_string(&dumper, cabling_name(findings.fitting));
    else
        json_dumper_value_anyf(&dumper, "null");
    json_dumper_end_object(&dumper);
    json_dumper_set_member_name(&dumper, "wrong_direction");
    json_dumper_begin_object(&dumper);
    member_count(&dumper, "frames", findings.wrong_direction);
    member_count(&dumper, "first_frame", findings.first_wrong_direction_frame);
    json_dumper_end_object(&dumper);
    member_count(&dumper, "merged_records", analysis.merged_records);
    const WindowCheck &check = analysis.window_check;
    json_dumper_set_member_name(&dumper, "window_check");
    json_dumper_begin_object(&dumper);
    member_count(&dumper, "late_partners", check.late);
    member_count(&dumper, "latest_partner_ns", check.latest);
    member_count(&dumper, "first_late_frame", check.first_late_frame);
    json_dumper_set_member_name(&dumper, "window_that_holds_ms");
    if (check.late)
        json_dumper_value_anyf(&dumper, "%" PRIu64, check.holding_ms());
    else
        json_dumper_value_anyf(&dumper, "null");
    member_count(&dumper, "pairs_near_window_end", check.near_end);
    member_count(&dumper, "late_partners_of_repeated_keys", check.unsure);
    member_count(&dumper, "unwatched", findings.unwatched);
    json_dumper_end_object(&dumper);
    member_string(&dumper, "bursts_counted",
                  context.line_rates[0] ? "bits_on_the_wire" : "frames_starting_in_window");
    member_string(&dumper, "ending", context.complete ? "complete" : "partial");
    if (!context.complete) {
        member_count(&dumper, "ending_frame", context.ending_frame);
        member_string(&dumper, "reason", context.ending_reason.c_str());
    }
    if (analysis.directions.empty() && analysis.frames_with_trailer && !findings.contradicted)
        member_string(&dumper, "hint", key_hint(context.key));
    json_dumper_set_member_name(&dumper, "directions");
    json_dumper_begin_array(&dumper);
    for (auto &entry : analysis.directions) {
        json_dumper_begin_object(&dumper);
        direction_members(dumper, analysis, entry.second);
        json_dumper_end_object(&dumper);
    }
    json_dumper_end_array(&dumper);
    member_ports(&dumper, "ports", analysis.ports,
                 [&](const PortFigures &port) { port_members(dumper, context, port); });
    if (analysis.groups)
        print_json_groups(dumper, *analysis.groups, analysis.definition(), context.order, context.top);
    json_dumper_end_object(&dumper);
    const bool finished = json_dumper_finish(&dumper);
    return finished && fflush(out) == 0 && !ferror(out);
}

// One object a line, each opened with what it is, on a dumper of its own.
template <typename Members>
static void json_line(FILE *out, const char *record, Members members)
{
    json_dumper dumper = {};
    dumper.output_file = out;
    json_dumper_begin_object(&dumper);
    member_string(&dumper, "record", record);
    members(dumper);
    json_dumper_end_object(&dumper);
    json_dumper_finish(&dumper);
}

bool print_json_lines(FILE *out, const ReportContext &context, Analysis &analysis)
{
    for (auto &entry : analysis.directions)
        json_line(out, "direction", [&](json_dumper &dumper) { direction_members(dumper, analysis, entry.second); });
    for (const auto &entry : analysis.ports) {
        const PortFigures &port = entry.second;
        json_line(out, "port", [&](json_dumper &dumper) {
            member_port(&dumper, port.version, port.port);
            member_count(&dumper, "frames", port.frames);
            port_members(dumper, context, port);
        });
    }
    if (analysis.groups) {
        TrafficGroups &groups = *analysis.groups;
        for (GroupFigures *group : groups.ranked(context.order, context.top))
            json_line(out, "group", [&](json_dumper &dumper) {
                member_string(&dumper, "by", group_by_name(groups.by()));
                group_members(dumper, groups.by(), *group, nullptr);
            });
        if (groups.folded_groups)
            json_line(out, "group", [&](json_dumper &dumper) {
                member_string(&dumper, "by", group_by_name(groups.by()));
                group_members(dumper, groups.by(), groups.other, "other");
            });
    }
    return fflush(out) == 0 && !ferror(out);
}

