// SPDX-License-Identifier: GPL-2.0-or-later
//
// The TAP clock's arithmetic, on plain values: shared by the plug-in and the
// project's other programs.

#ifndef OVINT_TAP_TIME_H
#define OVINT_TAP_TIME_H

#include <cstdint>

// An absolute time: nanoseconds from 0 to 999,999,999.
struct TapTime {
    int64_t secs;
    int32_t nsecs;
};

// The absolute time of a frame whose TAP clock read `hw_ts`, given the
// reference frame's absolute time and TAP clock reading.
TapTime hw_time_after(const TapTime &reference_time, uint64_t reference_hw_ts, uint64_t hw_ts);

#endif // OVINT_TAP_TIME_H
