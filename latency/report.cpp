// SPDX-License-Identifier: GPL-2.0-or-later

#include "report.h"

#include "core/ports.h"

#include "capture_io/json_members.h"

#include <cinttypes>

namespace {

struct Percentile {
    const char *name;
    uint64_t per_10000;
};
constexpr Percentile PERCENTILES[] = {
    {"median", 5000}, {"p90", 9000}, {"p99", 9900}, {"p99.9", 9990}, {"p99.99", 9999},
};

// Microseconds with three decimals, exact.
std::string microseconds(uint64_t ns)
{
    char text[32];
    snprintf(text, sizeof text, "%" PRIu64 ".%03" PRIu64, ns / 1000, ns % 1000);
    return text;
}

std::string window_name(uint64_t ns)
{
    return ns < 1000000 ? std::to_string(ns / 1000) + " \u00b5s" : std::to_string(ns / 1000000) + " ms";
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
    if (analysis.any_tap_time)
        fprintf(out, "TAP time from %" PRIu64 " to %" PRIu64 " ns\n", analysis.first_tap_time, analysis.last_tap_time);
    if (!context.complete)
        fprintf(out, "partial: reading ended at frame %" PRIu64 " (%s); the figures cover the frames before it\n",
                context.ending_frame, context.ending_reason.c_str());

    for (auto &entry : analysis.directions) {
        DirectionFigures &direction = entry.second;
        LatencyDistribution &latencies = direction.latencies;
        fprintf(out, "\n%s: %" PRIu64 " frames matched, %" PRIu64 " duplicates\n", direction_name(direction).c_str(),
                latencies.count(), direction.duplicates);
        fprintf(out, "  latency (\u00b5s): min %s, mean %s", microseconds(latencies.least()).c_str(),
                microseconds(latencies.mean()).c_str());
        for (const Percentile &p : PERCENTILES)
            fprintf(out, ", %s %s", p.name, microseconds(latencies.percentile(p.per_10000)).c_str());
        fprintf(out, ", max %s; jitter %s; percentiles %s\n", microseconds(latencies.largest()).c_str(),
                microseconds(jitter(direction)).c_str(),
                latencies.exact() ? "exact" : "from a histogram, at most 0.1% below");
    }

    for (const auto &entry : analysis.ports) {
        const PortFigures &port = entry.second;
        const uint16_t channel = channel_of_port_byte(port.port);
        fprintf(out, "\nport %s", port_label(port.version, port.port).text);
        if (channel != NO_CHANNEL)
            fprintf(out, " (channel %u)", channel);
        fprintf(out, ": %" PRIu64 " frames, %" PRIu64 " not seen on the other link", port.frames, port.unmatched);
        const TapFlagTable table = tap_flags(port.version);
        bool any = false;
        for (size_t i = 0; i < table.size(); i++) {
            if (port.unmatched_flagged[i]) {
                fprintf(out, "%s%s %" PRIu64, any ? ", " : " (flagged: ", table[i].name, port.unmatched_flagged[i]);
                any = true;
            }
        }
        fputs(any ? ")\n" : "\n", out);
        if (context.line_rate)
            fprintf(out, "  busiest, by the bits on the wire at %" PRIu64 " Gbit/s:", context.line_rate / 1000000000);
        else
            fputs("  busiest, by the frames starting in each window:", out);
        for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
            const double bps = bits_per_second(port.bursts[w], BURST_WINDOWS[w], context.line_rate);
            fprintf(out, "%s %s %.3f Gbit/s", w ? ";" : "", window_name(BURST_WINDOWS[w]).c_str(), bps / 1e9);
            if (context.line_rate)
                fprintf(out, " (%.1f%%)", 100.0 * bps / static_cast<double>(context.line_rate));
            fprintf(out, " from %" PRIu64 " (frame %" PRIu64 ")", port.bursts[w].start, port.bursts[w].start_frame);
        }
        fputc('\n', out);
    }
    return fflush(out) == 0 && !ferror(out);
}

bool print_json_report(FILE *out, const ReportContext &context, Analysis &analysis)
{
    json_dumper dumper = {};
    dumper.output_file = out;
    json_dumper_begin_object(&dumper);
    json_dumper_set_member_name(&dumper, "captures");
    json_dumper_begin_array(&dumper);
    for (const char *capture : context.captures)
        json_dumper_value_string(&dumper, capture);
    json_dumper_end_array(&dumper);
    member_string(&dumper, "key", key_mode_name(context.key));
    member_count(&dumper, "window_ms", context.window_ms);
    member_count(&dumper, "frames", analysis.frames);
    member_count(&dumper, "frames_with_trailer", analysis.frames_with_trailer);
    if (analysis.any_tap_time) {
        member_count(&dumper, "first_tap_time_ns", analysis.first_tap_time);
        member_count(&dumper, "last_tap_time_ns", analysis.last_tap_time);
    }
    member_string(&dumper, "bursts_counted", context.line_rate ? "bits_on_the_wire" : "frames_starting_in_window");
    if (context.line_rate)
        member_count(&dumper, "line_rate_bits_per_second", context.line_rate);
    member_string(&dumper, "ending", context.complete ? "complete" : "partial");
    if (!context.complete) {
        member_count(&dumper, "ending_frame", context.ending_frame);
        member_string(&dumper, "reason", context.ending_reason.c_str());
    }
    json_dumper_set_member_name(&dumper, "directions");
    json_dumper_begin_array(&dumper);
    for (auto &entry : analysis.directions) {
        DirectionFigures &direction = entry.second;
        LatencyDistribution &latencies = direction.latencies;
        json_dumper_begin_object(&dumper);
        member_string(&dumper, "from", port_label(direction.version, direction.from_port).text);
        member_string(&dumper, "to", port_label(direction.version, direction.to_port).text);
        member_count(&dumper, "matched", latencies.count());
        member_count(&dumper, "duplicates", direction.duplicates);
        member_count(&dumper, "min_ns", latencies.least());
        member_count(&dumper, "mean_ns", latencies.mean());
        for (const Percentile &p : PERCENTILES) {
            const std::string name = std::string(p.name) + "_ns";
            member_count(&dumper, name.c_str(), latencies.percentile(p.per_10000));
        }
        member_count(&dumper, "max_ns", latencies.largest());
        member_count(&dumper, "jitter_ns", jitter(direction));
        member_string(&dumper, "percentiles", latencies.exact() ? "exact" : "histogram");
        json_dumper_end_object(&dumper);
    }
    json_dumper_end_array(&dumper);
    json_dumper_set_member_name(&dumper, "ports");
    json_dumper_begin_array(&dumper);
    for (const auto &entry : analysis.ports) {
        const PortFigures &port = entry.second;
        json_dumper_begin_object(&dumper);
        member_string(&dumper, "name", port_label(port.version, port.port).text);
        member_count(&dumper, "trailer_version", port.version);
        member_count(&dumper, "frames", port.frames);
        member_count(&dumper, "not_seen_on_other_link", port.unmatched);
        json_dumper_set_member_name(&dumper, "not_seen_flagged");
        json_dumper_begin_object(&dumper);
        const TapFlagTable table = tap_flags(port.version);
        for (size_t i = 0; i < table.size(); i++)
            member_count(&dumper, table[i].name, port.unmatched_flagged[i]);
        json_dumper_end_object(&dumper);
        json_dumper_set_member_name(&dumper, "bursts");
        json_dumper_begin_array(&dumper);
        for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
            json_dumper_begin_object(&dumper);
            member_count(&dumper, "window_ns", BURST_WINDOWS[w]);
            if (context.line_rate)
                member_count(&dumper, "bits", port.bursts[w].bits);
            else
                member_count(&dumper, "bytes", port.bursts[w].bytes);
            json_dumper_set_member_name(&dumper, "bits_per_second");
            json_dumper_value_anyf(&dumper, "%.0f", bits_per_second(port.bursts[w], BURST_WINDOWS[w], context.line_rate));
            member_count(&dumper, "start_tap_time_ns", port.bursts[w].start);
            member_count(&dumper, "start_frame", port.bursts[w].start_frame);
            json_dumper_end_object(&dumper);
        }
        json_dumper_end_array(&dumper);
        json_dumper_end_object(&dumper);
    }
    json_dumper_end_array(&dumper);
    json_dumper_end_object(&dumper);
    const bool finished = json_dumper_finish(&dumper);
    return finished && fflush(out) == 0 && !ferror(out);
}
