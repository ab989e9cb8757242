// SPDX-License-Identifier: GPL-2.0-or-later

#include "outputs/report_figures.h"

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
