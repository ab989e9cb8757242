// SPDX-License-Identifier: GPL-2.0-or-later

#include "report.h"

#include "core/trailer/ports.h"

#include "capture_io/json_members.h"

#include <cinttypes>
#include <cmath>
#include <string>

static std::string seconds_text(Nanoseconds ns)
{
    char text[NANOSECONDS_TEXT];
    format_nanoseconds(ns, true, text);
    return text;
}

static std::string nanoseconds_text(Nanoseconds ns)
{
    char text[NANOSECONDS_TEXT];
    format_nanoseconds(ns, false, text);
    return text;
}

// A deviation from the fit, to the nanosecond where a double holds that.
static std::string deviation_text(double deviation_ns)
{
    if (deviation_ns < 9e15)
        return seconds_text(static_cast<Nanoseconds>(std::llround(deviation_ns)));
    char text[32];
    snprintf(text, sizeof text, "%.6e", deviation_ns / 1e9);
    return text;
}

static std::string port_text(const PortCount &port)
{
    std::string text = port_label(port.version, port.port).text;
    if (!tap_port_name(port.version, port.port))
        text += " (trailer version " + std::to_string(port.version) + ")";
    return text;
}

// How the export ended, when not with every frame.
static std::string ending_text(const ReportHeader &header)
{
    const LoopResult &result = *header.result;
    if (result.kind == LoopResult::interrupted)
        return "the input was ended by an interrupt; every frame read before it is written";
    if (result.kind != LoopResult::damaged)
        return "";
    std::string text = "partial export: frame " + std::to_string(result.frame) + " of the input is unusable (" +
                       result.reason + "); the frames before it are written";
    if (header.replaced_existing)
        text += std::string(", replacing the earlier ") + header.out;
    return text;
}

bool print_text_report(FILE *out, const ReportHeader &header, const Summary &summary)
{
    fprintf(out, "%s -> %s\n", header.in, header.out);
    fprintf(out, "  read     %" PRIu64 " frames, %" PRIu64 " bytes\n", summary.frames_read, summary.bytes_read);
    fprintf(out, "  written  %" PRIu64 " frames, %" PRIu64 " bytes; %" PRIu64 " with a TAP trailer\n",
            summary.frames_written, summary.bytes_written, summary.trailers);
    const std::string ending = ending_text(header);
    if (!ending.empty())
        fprintf(out, "  %s\n", ending.c_str());
    for (const auto &entry : summary.ports) {
        const PortCount &port = entry.second;
        const std::string channel = port.channel == NO_CHANNEL ? "none" : std::to_string(port.channel);
        fprintf(out, "  port %-8s channel %-5s %10" PRIu64 " frames %14" PRIu64 " bytes\n", port_text(port).c_str(),
                channel.c_str(), port.frames, port.bytes);
        const TapFlagTable table = tap_flags(port.version);
        fputs("    ", out);
        for (size_t i = 0; i < table.size(); i++)
            fprintf(out, "%s%s %" PRIu64, i ? ", " : "", table[i].name, port.flags[i]);
        fputc('\n', out);
    }
    const ClockFit &clock = summary.clock;
    if (clock.count() > 0) {
        fprintf(out, "  capture clock less TAP clock: %s s at the first trailer, %s s at the last\n",
                seconds_text(clock.first_offset()).c_str(), seconds_text(clock.last_offset()).c_str());
        double deviation, uncertainty;
        if (!clock.max_deviation(&deviation, &uncertainty)) {
            fprintf(out, "  drift %+.3f ppm; largest deviation from it unknown (the TAP clock went backwards)\n",
                    clock.drift_ppm());
        } else {
            fprintf(out, "  drift %+.3f ppm; largest deviation from it %s s", clock.drift_ppm(),
                    deviation_text(deviation).c_str());
            if (uncertainty >= 0.5)
                fprintf(out, " (or up to %.0f ns more)", uncertainty);
            fputc('\n', out);
        }
    }
    return fflush(out) == 0 && !ferror(out);
}

static void member_number(json_dumper *dumper, const char *name, const std::string &digits)
{
    json_dumper_set_member_name(dumper, name);
    json_dumper_value_anyf(dumper, "%s", digits.c_str());
}

bool print_json_report(FILE *out, const ReportHeader &header, const Summary &summary)
{
    json_dumper dumper = {};
    dumper.output_file = out;
    json_dumper_begin_object(&dumper);
    member_string(&dumper, "in", header.in);
    member_string(&dumper, "out", header.out);
    const LoopResult &result = *header.result;
    member_string(&dumper, "ending",
                  result.kind == LoopResult::damaged       ? "partial"
                  : result.kind == LoopResult::interrupted ? "interrupted"
                                                           : "complete");
    if (result.kind == LoopResult::damaged) {
        member_count(&dumper, "unusable_frame", result.frame);
        member_string(&dumper, "reason", result.reason.c_str());
        json_dumper_set_member_name(&dumper, "replaced_existing");
        json_dumper_value_anyf(&dumper, header.replaced_existing ? "true" : "false");
    }
    member_count(&dumper, "frames_read", summary.frames_read);
    member_count(&dumper, "bytes_read", summary.bytes_read);
    member_count(&dumper, "frames_written", summary.frames_written);
    member_count(&dumper, "bytes_written", summary.bytes_written);
    member_count(&dumper, "frames_with_trailer", summary.trailers);
    member_ports(&dumper, "ports", summary.ports, [&dumper](const PortCount &port) {
        member_count(&dumper, "bytes", port.bytes);
        member_flag_counts(&dumper, "flags", port.version, port.flags, FlagKeys::as_shown);
    });
    json_dumper_set_member_name(&dumper, "clock");
    const ClockFit &clock = summary.clock;
    if (clock.count() == 0) {
        json_dumper_value_anyf(&dumper, "null");
    } else {
        json_dumper_begin_object(&dumper);
        member_number(&dumper, "first_offset_ns", nanoseconds_text(clock.first_offset()));
        member_number(&dumper, "last_offset_ns", nanoseconds_text(clock.last_offset()));
        json_dumper_set_member_name(&dumper, "drift_ppm");
        json_dumper_value_anyf(&dumper, "%.6f", clock.drift_ppm());
        double deviation, uncertainty;
        json_dumper_set_member_name(&dumper, "max_deviation_ns");
        if (clock.max_deviation(&deviation, &uncertainty)) {
            json_dumper_value_anyf(&dumper, "%.0f", deviation);
            json_dumper_set_member_name(&dumper, "max_deviation_uncertainty_ns");
            json_dumper_value_anyf(&dumper, "%.0f", uncertainty);
        } else {
            json_dumper_value_anyf(&dumper, "null");
        }
        json_dumper_end_object(&dumper);
    }
    json_dumper_end_object(&dumper);
    const bool finished = json_dumper_finish(&dumper);
    return finished && fflush(out) == 0 && !ferror(out);
}
