// SPDX-License-Identifier: GPL-2.0-or-later
//
// The TAP time base: the arithmetic on its own, then the frame records of
// captures that the host dissects once, twice, or anew.

#include "frames.h"
#include "host.h"
#include "ovint_private.h"

#include <gtest/gtest.h>

#include <ostream>

static bool operator==(const nstime_t &a, const nstime_t &b)
{
    return a.secs == b.secs && a.nsecs == b.nsecs;
}

static std::ostream &operator<<(std::ostream &out, const nstime_t &time)
{
    return out << time.secs << " s + " << time.nsecs << " ns";
}

static bool operator==(const TapTime &a, const TapTime &b)
{
    return a.secs == b.secs && a.nsecs == b.nsecs;
}

static std::ostream &operator<<(std::ostream &out, const TapTime &time)
{
    return out << time.secs << " s + " << time.nsecs << " ns";
}

namespace {

constexpr guint64 S = 1000000000;  // nanoseconds per second

TEST(TimeArithmetic, AddsTheSignedTapClockDifference)
{
    struct Row {
        const char *name;
        TapTime reference;
        guint64 reference_hw;
        guint64 hw;
        TapTime expected;  // {-1, -1}: does not fit
    } rows[] = {
        {"same reading", {100, 5}, 7 * S, 7 * S, {100, 5}},
        {"1.5 s later", {100, 0}, 7 * S, 8 * S + S / 2, {101, 500000000}},
        {"nanoseconds carry to a whole second", {100, 600000000}, 0, 2400000000, {103, 0}},
        {"largest carry", {100, 999999999}, 0, 999999999, {101, 999999998}},
        {"1 ns earlier", {100, 0}, 7 * S, 7 * S - 1, {99, 999999999}},
        {"10.25 s earlier", {100, 500000000}, 20 * S, 20 * S - 10250000000, {90, 250000000}},
        {"earlier, borrowing a second", {100, 100}, 50 * S, 50 * S - 200, {99, 999999900}},
        {"the TAP clock wraps", {100, 0}, G_MAXUINT64, 0, {100, 1}},
        {"2^31 s and more later, in full", {100, 0}, 0, (guint64(1) << 31) * S + 3,
         {100 + (gint64(1) << 31), 3}},
        {"half the clock's range earlier", {0, 0}, guint64(1) << 63, 0,
         {-9223372037, 145224192}},
        {"past the last second a time can hold", {G_MAXINT64, 999999999}, 0, 1, {-1, -1}},
        {"before the first", {G_MININT64, 0}, 1, 0, {-1, -1}},
        {"the last nanosecond a time can hold", {G_MAXINT64, 999999998}, 0, 1, {G_MAXINT64, 999999999}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TapTime time = {-1, -1};
        const bool fits = hw_time_after(row.reference, row.reference_hw, row.hw, &time);
        EXPECT_EQ(fits, row.expected.nsecs >= 0);
        EXPECT_EQ(time, row.expected);
    }
}

Bytes plain_frame()
{
    return ethernet_frame(64);
}

Bytes tap_frame(guint64 hw_ts)
{
    Record record;
    record.ts = hw_ts;
    return ethernet_frame(64) + trailer(record);
}

FrameOptions at(time_t secs, int nsecs = 0)
{
    FrameOptions options;
    options.ts = {secs, nsecs};
    return options;
}

nstime_t minus(nstime_t a, const nstime_t &b)
{
    nstime_t result;
    nstime_delta(&result, &a, &b);
    return result;
}

constexpr guint64 T = 5000 * S;  // the reference's TAP clock

TEST(TimeBase, PlacesFramesByTheTapClockFromTheFirstTrailer)
{
    Capture capture;
    const nstime_t first = {500, 0};  // the host's relative times count from here

    Dissection plain = capture.add(plain_frame(), at(500));
    EXPECT_EQ(plain.frame_abs_ts, first);

    Dissection reference = capture.add(tap_frame(T), at(1000, 250000000));
    EXPECT_EQ(reference.frame_abs_ts, (nstime_t{1000, 250000000}));
    EXPECT_EQ(ref_frame_num, 2u);

    struct Row {
        const char *name;
        Bytes bytes;
        nstime_t recorded;
        nstime_t expected;
    } rows[] = {
        {"1.5 s later", tap_frame(T + 1500000000), {7777, 0}, {1001, 750000000}},
        {"1 ns earlier", tap_frame(T - 1), {1000, 250000000}, {1000, 249999999}},
        {"10.25 s earlier", tap_frame(T - 10250000000), {1, 0}, {990, 0}},
        {"no trailer keeps its time", plain_frame(), {42, 42}, {42, 42}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Dissection first_pass = capture.add(row.bytes, at(row.recorded.secs, row.recorded.nsecs));
        EXPECT_EQ(first_pass.frame_abs_ts, row.expected);
        // The dissection in progress keeps its absolute time, and its
        // relative time moves with the frame.
        EXPECT_EQ(first_pass.pinfo_abs_ts, row.recorded);
        EXPECT_EQ(first_pass.pinfo_rel_ts, minus(row.expected, first));

        // A later pass sees the new time and changes nothing.
        const guint32 num = capture.frame_count();
        const Dissection second_pass = capture.again(num);
        EXPECT_EQ(second_pass.frame_abs_ts, row.expected);
        EXPECT_EQ(second_pass.pinfo_abs_ts, row.expected);
        EXPECT_EQ(second_pass.pinfo_rel_ts, minus(row.expected, first));
    }
    EXPECT_EQ(ref_frame_num, 2u);
}

TEST(TimeBase, ReferenceIsDroppedWhenTheCaptureIsReadAnew)
{
    Capture capture;
    capture.add(ethernet_frame(14), at(10));  // too short for a trailer
    capture.add(tap_frame(T), at(20));
    capture.add(tap_frame(T + 3 * S), at(99));
    ASSERT_EQ(capture.frame(3).abs_ts, (nstime_t{23, 0}));

    // The reference frame dissected afresh is taken again, with its values.
    ref_hw_ts = 0;
    capture.afresh(2);
    EXPECT_NE(ref_frame, nullptr);
    EXPECT_EQ(ref_frame_num, 2u);
    EXPECT_EQ(ref_hw_ts, T);
    EXPECT_EQ(ref_abs_ts, (nstime_t{20, 0}));

    // A later frame afresh does not drop it.
    capture.afresh(3);
    EXPECT_EQ(ref_frame_num, 2u);
    EXPECT_EQ(capture.frame(3).abs_ts, (nstime_t{23, 0}));

    // A visited frame is never re-timed again, even against a reference
    // taken anew meanwhile, and never drops the reference, whatever its
    // number.
    capture.frame(2).abs_ts = {30, 0};
    capture.afresh(2);
    ASSERT_EQ(ref_abs_ts, (nstime_t{30, 0}));
    capture.again(3);
    EXPECT_EQ(capture.frame(3).abs_ts, (nstime_t{23, 0}));
    capture.again(1);
    EXPECT_NE(ref_frame, nullptr);

    // An earlier frame afresh does, trailer or not, however short.
    capture.afresh(1);
    EXPECT_EQ(ref_frame, nullptr);
}

TEST(TimeBase, ANewCaptureTakesItsOwnReference)
{
    {
        Capture earlier;
        earlier.add(plain_frame(), at(1));
        earlier.add(plain_frame(), at(2));
        earlier.add(plain_frame(), at(3));
        earlier.add(tap_frame(T), at(1000));
        EXPECT_EQ(ref_frame_num, 4u);
    }
    EXPECT_EQ(ref_frame, nullptr);

    // The new capture's early frames never reach the splitter: they are
    // not Ethernet frames.
    Capture capture;
    FrameOptions not_ethernet = at(2000);
    not_ethernet.encap = WTAP_ENCAP_WIRESHARK_UPPER_PDU;
    for (int i = 0; i < 4; i++)
        capture.add(named_dissector_frame("data", Bytes(8, 0)), not_ethernet);
    const Dissection first_with_trailer = capture.add(tap_frame(T + 10 * S), at(2005));
    EXPECT_EQ(first_with_trailer.frame_abs_ts, (nstime_t{2005, 0}));
    EXPECT_EQ(ref_frame_num, 5u);
    EXPECT_EQ(capture.add(tap_frame(T + 11 * S), at(3000)).frame_abs_ts, (nstime_t{2006, 0}));
}

TEST(TimeBase, MalformedFramesAreStillRetimed)
{
    Capture capture;
    capture.add(tap_frame(T), at(1000));

    Record record;
    record.ts = T + 2 * S;
    Dissection trailing = capture.add(frame_with_marker_at(60, 17, record), at(5));
    EXPECT_TRUE(trailing.has("_ws.malformed"));
    EXPECT_EQ(trailing.frame_abs_ts, (nstime_t{1002, 0}));

    record.ts = T + 3 * S;
    Dissection leading = capture.add(leading_record(record), at(5));
    EXPECT_TRUE(leading.has("_ws.malformed"));
    EXPECT_EQ(leading.frame_abs_ts, (nstime_t{1003, 0}));
}

} // namespace
