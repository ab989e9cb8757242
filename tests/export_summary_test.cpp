// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-export's summary on its own: the fit of the capture clock against
// the TAP clock, and the counts per TAP port.

#include "summary.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr Nanoseconds S = 1000000000;

TEST(ClockFit, FindsOffsetDriftAndDeviation)
{
    // Frames every `step` ns of TAP time from 5,000 s; the capture clock at
    // epoch-sized times, `drift_ppm` fast, bending by up to `curve` ns (a
    // parabola), with the middle frame `bump` ns late.
    struct Row {
        const char *name;
        int frames;
        int64_t step;
        double drift_ppm;
        double curve;
        int64_t bump;
        bool backwards;           // the TAP clock steps back once
        double expected_drift;    // ppm, to 0.001
        double expected_deviation;  // ns, to 1 ns and the fit's own bound
    } rows[] = {
        {"no drift", 1000, 1000000, 0, 0, 0, false, 0, 0},
        {"3 ppm fast", 1000, 1000000, 3, 0, 0, false, 3, 0},
        // The late frame pulls the line up by bump / frames.
        {"20 ppm slow, a frame 5 us late", 2001, 500000, -20, 0, 5000, false, -20, 5000 - 5000.0 / 2001},
        // A parabola of height h over the span is fitted with a slope of
        // h / span and lies at most h / 6 from that line.
        {"curving offset, more points than the hulls keep", 200000, 100000, 3, 4e7, 0, false,
         3 + 4e7 / (199999 * 1e5) * 1e6, 4e7 / 6},
        {"the TAP clock steps back", 100, 1000000, 0, 0, 0, true, 0, -1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ClockFit fit;
        const Nanoseconds epoch = Nanoseconds(1765000000) * S + 123456789;
        const uint64_t tap_start = 5000 * uint64_t(S);
        const double span = double(row.frames - 1) * double(row.step);
        Nanoseconds first = 0, last = 0;
        for (int i = 0; i < row.frames; i++) {
            uint64_t tap = tap_start + uint64_t(i) * row.step;
            if (row.backwards && i == row.frames / 2)
                tap -= 3 * row.step;
            const double elapsed = double(tap - tap_start);
            const double bend = row.curve * (elapsed / span) * (elapsed / span);
            Nanoseconds capture = epoch + Nanoseconds(tap - tap_start) +
                                  Nanoseconds(std::llround(elapsed * row.drift_ppm * 1e-6 + bend));
            if (i == row.frames / 2)
                capture += row.bump;
            fit.add(capture, tap);
            if (i == 0)
                first = capture - Nanoseconds(tap);
            last = capture - Nanoseconds(tap);
        }
        // Offsets exact to the nanosecond, however large.
        EXPECT_TRUE(fit.first_offset() == first);
        EXPECT_TRUE(fit.last_offset() == last);
        if (!row.backwards) {
            EXPECT_NEAR(fit.drift_ppm(), row.expected_drift, 0.001);
        }
        double deviation = 0, uncertainty = 0;
        EXPECT_EQ(fit.max_deviation(&deviation, &uncertainty), !row.backwards);
        if (row.backwards)
            continue;
        EXPECT_LE(fit.hull_points(), 8194u);  // bounded, however many frames
        EXPECT_NEAR(deviation, row.expected_deviation, 1 + uncertainty);
        EXPECT_LT(uncertainty, 1 + row.expected_deviation / 10000);
    }
}

TEST(PortCounts, KeepsEachVersionsPortApart)
{
    // Version 1 and version 2 frames on the same port bytes, named (0x80)
    // and unnamed (0x11): each version's flags counted by its own table.
    struct Row {
        uint8_t version, port, flags;
    } frames[] = {
        {1, 0x11, 0x10}, {1, 0x11, 0x10}, {2, 0x11, 0x40}, {1, 0x80, 0x20}, {2, 0x80, 0x80}, {2, 0x80, 0x00},
    };
    Summary summary;
    for (const Row &frame : frames)
        summary.count_trailer(summary.port(frame.version, frame.port), 100, frame.flags);

    struct Expected {
        uint8_t version, port;
        uint64_t frames;
        const char *flag;
        uint64_t flagged;
    } expected[] = {
        {1, 0x11, 2, "Alignment Error", 2},
        {2, 0x11, 1, "Wrong Preamble", 1},
        {1, 0x80, 1, "Receive Error", 1},
        {2, 0x80, 2, "Receive Error", 1},
    };
    EXPECT_EQ(summary.ports.size(), 4u);
    EXPECT_EQ(summary.trailers, 6u);
    for (const Expected &row : expected) {
        SCOPED_TRACE(std::to_string(row.version) + "/" + std::to_string(row.port));
        const PortCount &port = summary.ports.at(port_order_key(row.version, row.port));
        EXPECT_EQ(port.frames, row.frames);
        const TapFlagTable table = tap_flags(row.version);
        for (size_t i = 0; i < table.size(); i++)
            EXPECT_EQ(port.flags[i], std::string(table[i].name) == row.flag ? row.flagged : 0u) << table[i].name;
    }
}

} // namespace
