// SPDX-License-Identifier: GPL-2.0-or-later
//
// The TAP clock's arithmetic, on plain values. Every computation is exact
// or says that its result does not fit.

#ifndef OVINT_CORE_TRAILER_TAP_CLOCK_H
#define OVINT_CORE_TRAILER_TAP_CLOCK_H

#include <cstddef>
#include <cstdint>

constexpr int64_t NS_PER_S = 1000000000;

// An absolute time: nanoseconds from 0 to 999,999,999.
struct TapTime {
    int64_t secs;
    int32_t nsecs;
};

// A time as a nanosecond count; 128 bits hold any TapTime exactly.
using Nanoseconds = __int128;

inline Nanoseconds to_nanoseconds(const TapTime &time)
{
    return static_cast<Nanoseconds>(time.secs) * NS_PER_S + time.nsecs;
}

// The TapTime of a nanosecond count, false when its seconds do not fit.
bool from_nanoseconds(Nanoseconds ns, TapTime *time);

// The TAP clock reading itself as an absolute time.
inline TapTime tap_clock_time(uint64_t hw_ts)
{
    return {static_cast<int64_t>(hw_ts / NS_PER_S), static_cast<int32_t>(hw_ts % NS_PER_S)};
}

// The absolute time of a frame whose TAP clock read `hw_ts`, given the
// reference frame's absolute time and TAP clock reading; false when it does
// not fit a TapTime.
bool hw_time_after(const TapTime &reference_time, uint64_t reference_hw_ts, uint64_t hw_ts, TapTime *time);

// A nanosecond count as exact decimal text: "-12345" (as_seconds false) or
// "-0.000012345" (true). 48 bytes hold any.
constexpr size_t NANOSECONDS_TEXT = 48;
void format_nanoseconds(Nanoseconds ns, bool as_seconds, char text[NANOSECONDS_TEXT]);

// A duration as a person reads it: "850 ns", "4.215 µs", "1.500 ms",
// "2.000 s" (nanoseconds exact below a millisecond). 32 bytes hold any.
constexpr size_t DURATION_TEXT = 32;
void format_duration(uint64_t ns, char text[DURATION_TEXT]);

#endif // OVINT_CORE_TRAILER_TAP_CLOCK_H
