// SPDX-License-Identifier: GPL-2.0-or-later

#include "outputs/reports/report_figures.h"

#include "capture_io/json_members.h"

#include <cstdio>

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

// Every frame's fate, summed over the ports.
void sum_fates(const Analysis &analysis, uint64_t fates[FATE_COUNT])
{
    std::fill(fates, fates + FATE_COUNT, 0);
    for (const auto &entry : analysis.ports) {
        for (int i = 0; i < FATE_COUNT; i++)
            fates[i] += entry.second.fates[i];
    }
}

void member_bursts(json_dumper *dumper, const Burst bursts[BURST_WINDOW_COUNT], uint64_t line_rate)
{
    json_dumper_set_member_name(dumper, "bursts");
    json_dumper_begin_array(dumper);
    for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
        json_dumper_begin_object(dumper);
        member_count(dumper, "window_ns", BURST_WINDOWS[w]);
        if (line_rate)
            member_count(dumper, "bits", bursts[w].bits);
        else
            member_count(dumper, "bytes", bursts[w].bytes);
        json_dumper_set_member_name(dumper, "bits_per_second");
        json_dumper_value_anyf(dumper, "%.0f", bits_per_second(bursts[w], BURST_WINDOWS[w], line_rate));
        member_count(dumper, "start_tap_time_ns", bursts[w].start);
        member_count(dumper, "start_frame", bursts[w].start_frame);
        json_dumper_end_object(dumper);
    }
    json_dumper_end_array(dumper);
}
