// SPDX-License-Identifier: GPL-2.0-or-later

#include "tap_time.h"

constexpr int64_t NS_PER_S = 1000000000;

TapTime hw_time_after(const TapTime &reference_time, uint64_t reference_hw_ts, uint64_t hw_ts)
{
    // The difference read as signed, so that a TAP time below the
    // reference's places the frame before the reference.
    const int64_t delta = static_cast<int64_t>(hw_ts - reference_hw_ts);
    int64_t secs = reference_time.secs + delta / NS_PER_S;
    int64_t nsecs = reference_time.nsecs + delta % NS_PER_S;
    if (nsecs >= NS_PER_S) {
        nsecs -= NS_PER_S;
        secs++;
    } else if (nsecs < 0) {
        nsecs += NS_PER_S;
        secs--;
    }
    return {secs, static_cast<int32_t>(nsecs)};
}
