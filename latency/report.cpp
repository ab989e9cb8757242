// SPDX-License-Identifier: GPL-2.0-or-later

#include "report.h"

#include "core/ports.h"
#include "core/trailer_format.h"

#include "capture_io/json_members.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cinttypes>
#include <cstring>

namespace {

struct Percentile {
    const char *name;
    const char *json_name;
    uint64_t per_10000;
};
constexpr Percentile PERCENTILES[] = {
    {"median", "median_ns", 5000}, {"p90", "p90_ns", 9000},         {"p99", "p99_ns", 9900},
    {"p99.9", "p99_9_ns", 9990},   {"p99.99", "p99_99_ns", 9999},
};

// Microseconds with three decimals, exact.
std::string microseconds(uint64_t ns)
{
    char text[32];
    snprintf(text, sizeof text, "%" PRIu64 ".%03" PRIu64, ns / 1000, ns % 1000);
    return text;
}

// The same, below zero too.
std::string microseconds(int64_t ns)
{
    return ns < 0 ? "-" + microseconds(uint64_t(0) - static_cast<uint64_t>(ns)) : microseconds(static_cast<uint64_t>(ns));
}

void member_signed(json_dumper *dumper, const char *name, int64_t value)
{
    json_dumper_set_member_name(dumper, name);
    json_dumper_value_anyf(dumper, "%" PRId64, value);
}

// Seconds with nine decimals, exact.
std::string seconds(uint64_t ns)
{
    char text[32];
    snprintf(text, sizeof text, "%" PRIu64 ".%09" PRIu64, ns / 1000000000, ns % 1000000000);
    return text;
}

// A TAP time as seconds from the first trailer-bearing frame's, which
// frames written before their time (or after a step back) precede.
std::string since_first(uint64_t tap_time, const Analysis &analysis)
{
    const uint64_t first = analysis.first_frame_tap_time;
    return tap_time >= first ? seconds(tap_time - first) : "-" + seconds(first - tap_time);
}

std::string window_name(uint64_t ns)
{
    char text[24];
    duration_text(ns, text, sizeof text);
    return text;
}

uint64_t jitter(const DirectionFigures &direction)
{
    return direction.jitter.mean();
}

// A burst's bits: on the wire with a line rate, else those of the frames
// that start in its window.
double bits_per_second(const Burst &burst, uint64_t window_ns, uint64_t line_rate)
{
    const double bits = line_rate ? static_cast<double>(burst.bits) : static_cast<double>(burst.bytes) * 8.0;
    return bits * 1e9 / static_cast<double>(window_ns);
}

// A share in percent, with two decimals.
std::string percent(uint64_t part, uint64_t whole)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f", whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return text;
}

// What to try when no frame was matched at all.
const char *key_hint(KeyMode key)
{
    switch (key) {
    case KeyMode::frame:
        return "a router changes TTL and checksum, which --key ip sees through; a device that rewrites "
               "addresses wants --key nat";
    case KeyMode::ip:
        return "a device that rewrites addresses or ports (NAT) wants --key nat";
    case KeyMode::nat:
        return "a proxy that sends the data in segments of its own wants --key payload";
    default:
        return "check that the device is between the TAP's two links, or give a longer --window";
    }
}

std::string upper(const char *text)
{
    std::string name = text;
    for (char &c : name)
        c = static_cast<char>(g_ascii_toupper(c));
    return name;
}

// A line rate, exact: "10 Gbit/s", "2.5 Gbit/s", "100 Mbit/s".
std::string rate_text(uint64_t bits_per_second)
{
    const bool giga = bits_per_second >= 1000000000;
    const uint64_t unit = giga ? 1000000000 : 1000000;
    char fraction[16];
    snprintf(fraction, sizeof fraction, ".%0*" PRIu64, giga ? 9 : 6, bits_per_second % unit);
    size_t length = std::strlen(fraction);
    while (length > 1 && fraction[length - 1] == '0')
        fraction[--length] = '\0';
    return std::to_string(bits_per_second / unit) + (length > 1 ? fraction : "") + (giga ? " Gbit/s" : " Mbit/s");
}

// "FIFO, first bit in to first bit out".
std::string definition_text(LatencyDefinition definition)
{
    static const char *const meanings[] = {"first bit in to first bit out", "last bit in to first bit out",
                                           "last bit in to last bit out", "first bit in to last bit out"};
    return upper(definition_name(definition)) + ", " + meanings[static_cast<int>(definition)];
}

std::string times(uint64_t count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Every frame's fate, summed over the ports.
void sum_fates(const Analysis &analysis, uint64_t fates[FATE_COUNT])
{
    std::fill(fates, fates + FATE_COUNT, 0);
    for (const auto &entry : analysis.ports) {
        for (int i = 0; i < FATE_COUNT; i++)
            fates[i] += entry.second.fates[i];
    }
}

// "forwarded 5, not seen leaving 1": the fates frames have, in order.
std::string fates_text(const uint64_t fates[FATE_COUNT])
{
    std::string text;
    for (int i = 0; i < FATE_COUNT; i++) {
        if (fates[i])
            text += std::string(text.empty() ? "" : ", ") + fate_text(static_cast<Fate>(i)) + " " +
                    std::to_string(fates[i]);
    }
    return text.empty() ? "none" : text;
}

void member_fates(json_dumper *dumper, const uint64_t fates[FATE_COUNT])
{
    json_dumper_set_member_name(dumper, "fates");
    json_dumper_begin_object(dumper);
    for (int i = 0; i < FATE_COUNT; i++)
        member_count(dumper, fate_name(static_cast<Fate>(i)), fates[i]);
    json_dumper_end_object(dumper);
}

// The ports toward the device, named as the capture's trailers name them.
std::string cabling_text(const Analysis &analysis)
{
    const MatchFindings &findings = analysis.findings;
    const uint8_t version = analysis.ports.empty() ? 2 : analysis.ports.begin()->second.version;
    std::string text;
    for (int i = 0; i < 4; i++) {
        const uint8_t port = static_cast<uint8_t>(0x80 >> i);
        if (toward_device(findings.cabling, port))
            text += std::string(text.empty() ? "" : " and ") + port_label(version, port).text;
    }
    text += " toward the device (" + std::string(cabling_name(findings.cabling)) + ", ";
    if (findings.learnt)
        text += "learnt from " + times(findings.votes_for + findings.votes_against, "pair", "pairs") + ", " +
                std::to_string(findings.votes_against) + " against it)";
    else if (analysis.cabling_given && findings.contradicted)
        text += "as given, and contradicted by the capture: " + std::to_string(findings.votes_against) + " of its first " +
                times(findings.votes_for + findings.votes_against, "pair", "pairs") + " fit " +
                cabling_name(findings.fitting) + " and not it)";
    else if (analysis.cabling_given)
        text += "as given)";
    else
        text += "no pair to learn from)";
    return text;
}

// The percentiles a group is told by.
constexpr Percentile GROUP_PERCENTILES[] = {{"median", "median_ns", 5000}, {"p99", "p99_ns", 9900}, {"p99.9", "p99_9_ns", 9990}};

void print_text_group(FILE *out, const std::string &label, GroupFigures &group)
{
    const uint64_t matched = group.matched();
    fprintf(out, "  %s: %" PRIu64 " matched, %" PRIu64 " not seen leaving (%s%%)", label.c_str(), matched,
            group.not_seen, percent(group.not_seen, matched + group.not_seen).c_str());
    if (matched) {
        LatencyDistribution &latencies = *group.latencies;
        fprintf(out, "; \u00b5s: min %s", microseconds(latencies.least()).c_str());
        for (const Percentile &p : GROUP_PERCENTILES)
            fprintf(out, ", %s %s", p.name, microseconds(latencies.percentile(p.per_10000)).c_str());
        fprintf(out, ", max %s%s", microseconds(latencies.largest()).c_str(), latencies.exact() ? "" : " (histogram)");
    }
    fputc('\n', out);
}

void print_text_groups(FILE *out, const ReportContext &context, Analysis &analysis)
{
    TrafficGroups &groups = *analysis.groups;
    const std::vector<GroupFigures *> ranked = groups.ranked(context.order, context.top);
    fprintf(out, "\nby %s, as the frames entered the device (latency %s); %zu of %s, by %s:\n",
            group_by_name(groups.by()), upper(definition_name(analysis.definition())).c_str(), ranked.size(),
            times(groups.count(), "group", "groups").c_str(), group_order_name(context.order));
    for (GroupFigures *group : ranked)
        print_text_group(out,
                         TrafficGroups::label(groups.by(), group->key) +
                             (group->partial ? " (partial: its earlier frames folded into other)" : ""),
                         *group);
    if (groups.folded_groups)
        print_text_group(out, "other (" + times(groups.folded_groups, "group", "groups") +
                                  " folded, the least busy whenever more than the limit were apart)",
                         groups.other);
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

void print_json_groups(json_dumper &dumper, const ReportContext &context, Analysis &analysis)
{
    TrafficGroups &groups = *analysis.groups;
    const std::vector<GroupFigures *> ranked = groups.ranked(context.order, context.top);
    json_dumper_set_member_name(&dumper, "groups");
    json_dumper_begin_object(&dumper);
    member_string(&dumper, "by", group_by_name(groups.by()));
    member_string(&dumper, "definition", definition_name(analysis.definition()));
    member_string(&dumper, "order", group_order_name(context.order));
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
    json_dumper_set_member_name(&dumper, "bursts");
    json_dumper_begin_array(&dumper);
    for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
        json_dumper_begin_object(&dumper);
        member_count(&dumper, "window_ns", BURST_WINDOWS[w]);
        const uint64_t line_rate = context.line_rate(port.port);
        if (line_rate)
            member_count(&dumper, "bits", port.bursts[w].bits);
        else
            member_count(&dumper, "bytes", port.bursts[w].bytes);
        json_dumper_set_member_name(&dumper, "bits_per_second");
        json_dumper_value_anyf(&dumper, "%.0f", bits_per_second(port.bursts[w], BURST_WINDOWS[w], line_rate));
        member_count(&dumper, "start_tap_time_ns", port.bursts[w].start);
        member_count(&dumper, "start_frame", port.bursts[w].start_frame);
        json_dumper_end_object(&dumper);
    }
    json_dumper_end_array(&dumper);
}

} // namespace

std::string direction_name(const DirectionFigures &direction)
{
    return std::string(port_label(direction.version, direction.from_port).text) + " \u2192 " +
           port_label(direction.version, direction.to_port).text;
}

bool print_text_report(FILE *out, const ReportContext &context, Analysis &analysis)
{
    fputs("captures:", out);
    for (const char *capture : context.captures)
        fprintf(out, " %s", capture);
    fputc('\n', out);
    fprintf(out, "frames read %" PRIu64 ", with a TAP trailer %" PRIu64 "; key %s, window %" PRIu64 " ms\n",
            analysis.frames, analysis.frames_with_trailer, key_mode_name(context.key), context.window_ms);
    if (analysis.definition() != LatencyDefinition::fifo)
        fprintf(out, "latency: %s, by each frame's time on the wire at %s on link 1 and %s on link 2\n",
                definition_text(analysis.definition()).c_str(), rate_text(context.line_rates[0]).c_str(),
                rate_text(context.line_rates[1]).c_str());
    if (analysis.below_zero)
        fprintf(out, "%s left the device before they had fully come in (first frame %" PRIu64
                     "): a cut-through device, whose %s latency is below zero; kept as it is in every figure\n",
                times(analysis.below_zero, "frame", "frames").c_str(), analysis.first_below_zero_frame,
                upper(definition_name(analysis.definition())).c_str());
    if (analysis.any_tap_time)
        fprintf(out, "TAP time from %s to %s s after the first trailer-bearing frame's (%" PRIu64 " ns)\n",
                since_first(analysis.first_tap_time, analysis).c_str(),
                since_first(analysis.last_tap_time, analysis).c_str(), analysis.first_frame_tap_time);
    const ClockSteps &steps = analysis.clock_steps;
    if (steps.back)
        fprintf(out, "TAP clock stepped back %s, by at most %s s, first at frame %" PRIu64
                     "; what waited was counted as not seen\n",
                times(steps.back, "time", "times").c_str(), seconds(steps.largest_back).c_str(),
                steps.first_back_frame);
    if (steps.ahead)
        fprintf(out, "TAP clock: %s stamped ahead of it, by at most %s s, first frame %" PRIu64 "\n",
                times(steps.ahead, "lone frame", "lone frames").c_str(), seconds(steps.largest_ahead).c_str(),
                steps.first_ahead_frame);
    if (!context.complete)
        fprintf(out, "partial: reading ended at frame %" PRIu64 " (%s); the figures cover the frames before it\n",
                context.ending_frame, context.ending_reason.c_str());
    if (analysis.frames_with_trailer) {
        fprintf(out, "cabling: %s\n", cabling_text(analysis).c_str());
        uint64_t fates[FATE_COUNT];
        sum_fates(analysis, fates);
        fprintf(out, "fates of the trailer-bearing frames: %s\n", fates_text(fates).c_str());
    }
    const MatchFindings &findings = analysis.findings;
    if (findings.wrong_direction)
        fprintf(out, "%s met a partner only in a direction the device does not forward (first frame %" PRIu64
                     "); left unpaired\n",
                times(findings.wrong_direction, "frame", "frames").c_str(), findings.first_wrong_direction_frame);
    if (analysis.merged_records)
        fprintf(out, "%s longer than any Ethernet frame (%u bytes), first frame %" PRIu64
                     ": the capture host merged frames (turn its receive offloads off: ethtool -K IFACE gro off "
                     "lro off); left out of pairing and bursts\n",
                times(analysis.merged_records, "record", "records").c_str(), LONGEST_WIRE_FRAME,
                analysis.first_merged_frame);
    const WindowCheck &check = analysis.window_check;
    if (findings.contradicted)
        fprintf(out, "the capture contradicts --cabling %s: give --cabling %s, or leave it out to learn it; "
                     "no advice on the key or the window follows from pairs it forbade\n",
                cabling_name(findings.cabling), cabling_name(findings.fitting));
    else if (check.late)
        fprintf(out, "the window is too short: %s not seen within it met a partner on the other link up to %s s "
                     "apart (first frame %" PRIu64 "); --window %" PRIu64 " would have held them%s\n",
                times(check.late, "frame", "frames").c_str(), seconds(check.latest).c_str(), check.first_late_frame,
                check.holding_ms(), findings.unwatched ? " (too many without a partner to watch them all)" : "");
    else if (check.near_end)
        fprintf(out, "the window may be too short: %s took %s s or more of its %" PRIu64
                     " ms; a longer --window may find more\n",
                times(check.near_end, "pair", "pairs").c_str(),
                seconds(analysis.ranges.floor[analysis.ranges.count - 1]).c_str(), context.window_ms);
    if (check.unsure && !findings.contradicted)
        fprintf(out, "%s not seen within the window met a sighting of its key on the other link later, but that key "
                     "came more than once around them (a repeated frame): no window follows from them\n",
                times(check.unsure, "frame", "frames").c_str());
    if (analysis.directions.empty() && analysis.frames_with_trailer && !findings.contradicted)
        fprintf(out, "nothing was matched: %s\n", key_hint(context.key));

    for (auto &entry : analysis.directions) {
        DirectionFigures &direction = entry.second;
        LatencyDistribution &latencies = direction.latencies;
        fprintf(out, "\n%s: %s entered, %" PRIu64 " matched, %" PRIu64 " not seen leaving (%s%%), %" PRIu64
                     " ambiguous",
                direction_name(direction).c_str(), times(direction.entered, "frame", "frames").c_str(),
                latencies.count(), direction.not_seen, percent(direction.not_seen, direction.entered).c_str(),
                direction.ambiguous);
        if (direction.late)
            fprintf(out, ", %" PRIu64 " seen leaving after the window", direction.late);
        if (direction.fragmented)
            fprintf(out, ", %" PRIu64 " fragmented by the device", direction.fragmented);
        fputc('\n', out);
        if (direction.fragmented) {
            LatencyDistribution &first = direction.to_first_piece, &last = direction.to_last_piece;
            fprintf(out, "  fragmented (\u00b5s): to the first piece min %s, median %s, max %s; to the last min %s, "
                         "median %s, max %s\n",
                    microseconds(first.least()).c_str(), microseconds(first.percentile(5000)).c_str(),
                    microseconds(first.largest()).c_str(), microseconds(last.least()).c_str(),
                    microseconds(last.percentile(5000)).c_str(), microseconds(last.largest()).c_str());
        }
        fprintf(out, "  latency (\u00b5s, %s): min %s, mean %s", upper(definition_name(analysis.definition())).c_str(),
                microseconds(latencies.least()).c_str(), microseconds(latencies.mean()).c_str());
        for (const Percentile &p : PERCENTILES)
            fprintf(out, ", %s %s", p.name, microseconds(latencies.percentile(p.per_10000)).c_str());
        fprintf(out, ", max %s; jitter %s, standard deviation %s; percentiles %s\n",
                microseconds(latencies.largest()).c_str(), microseconds(jitter(direction)).c_str(),
                microseconds(latencies.standard_deviation()).c_str(),
                latencies.exact() ? "exact" : "from a histogram, at most 0.1% below");
        fputs("  histogram:", out);
        bool any = false;
        for (size_t i = 0; i < analysis.ranges.count; i++) {
            if (!direction.histogram[i])
                continue;
            char name[40];
            analysis.ranges.name(i, name, sizeof name);
            fprintf(out, "%s %s %" PRIu64, any ? "," : "", name, direction.histogram[i]);
            any = true;
        }
        fputc('\n', out);
    }

    for (const auto &entry : analysis.ports) {
        const PortFigures &port = entry.second;
        const uint16_t channel = channel_of_port_byte(port.port);
        fprintf(out, "\nport %s", port_label(port.version, port.port).text);
        if (channel != NO_CHANNEL)
            fprintf(out, " (channel %u)", channel);
        fprintf(out, ": %s, %" PRIu64 " not seen on the other link", times(port.frames, "frame", "frames").c_str(),
                port.unmatched);
        if (port.no_key)
            fprintf(out, ", %" PRIu64 " of them without a key", port.no_key);
        const TapFlagTable table = tap_flags(port.version);
        bool any = false;
        for (size_t i = 0; i < table.size(); i++) {
            if (port.unmatched_flagged[i]) {
                fprintf(out, "%s%s %" PRIu64, any ? ", " : " (flagged: ", table[i].name, port.unmatched_flagged[i]);
                any = true;
            }
        }
        if (any)
            fputc(')', out);
        if (port.at_edge)
            fprintf(out, ", %" PRIu64 " at the capture's edge", port.at_edge);
        if (port.merged)
            fprintf(out, ", %s", times(port.merged, "merged record", "merged records").c_str());
        fprintf(out, "\n  fates: %s\n", fates_text(port.fates).c_str());
        const uint64_t line_rate = context.line_rate(port.port);
        if (line_rate)
            fprintf(out, "  busiest, by the bits on the wire at %s:", rate_text(line_rate).c_str());
        else
            fputs("  busiest, by the frames starting in each window:", out);
        for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
            const double bps = bits_per_second(port.bursts[w], BURST_WINDOWS[w], line_rate);
            fprintf(out, "%s %s %.3f Gbit/s", w ? ";" : "", window_name(BURST_WINDOWS[w]).c_str(), bps / 1e9);
            if (line_rate)
                fprintf(out, " (%.1f%%)", 100.0 * bps / static_cast<double>(line_rate));
            fprintf(out, " from %s s (frame %" PRIu64 ")", since_first(port.bursts[w].start, analysis).c_str(),
                    port.bursts[w].start_frame);
        }
        fputc('\n', out);
    }
    if (analysis.groups)
        print_text_groups(out, context, analysis);
    return fflush(out) == 0 && !ferror(out);
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
        print_json_groups(dumper, context, analysis);
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
