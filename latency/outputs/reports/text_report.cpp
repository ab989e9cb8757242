// SPDX-License-Identifier: GPL-2.0-or-later
//
// The report as text.

#include "outputs/reports/report.h"
#include "outputs/reports/report_figures.h"

#include <glib.h>

#include "core/trailer/ports.h"
#include "core/trailer/trailer_format.h"

#include <cinttypes>
#include <cstring>

namespace {

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
