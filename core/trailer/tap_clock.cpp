// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/trailer/tap_clock.h"

#include <cinttypes>
#include <cstdio>

bool from_nanoseconds(Nanoseconds ns, TapTime *time)
{
    Nanoseconds secs = ns / NS_PER_S;
    Nanoseconds nsecs = ns % NS_PER_S;
    if (nsecs < 0) {
        nsecs += NS_PER_S;
        secs--;
    }
    if (secs > INT64_MAX || secs < INT64_MIN)
        return false;
    *time = {static_cast<int64_t>(secs), static_cast<int32_t>(nsecs)};
    return true;
}

bool hw_time_after(const TapTime &reference_time, uint64_t reference_hw_ts, uint64_t hw_ts, TapTime *time)
{
    // The difference read as signed, so that a TAP time below the
    // reference's places the frame before the reference.
    const int64_t delta = static_cast<int64_t>(hw_ts - reference_hw_ts);
    // Seconds that cannot overflow, as every real capture's: 64 bits do.
    int64_t secs = delta / NS_PER_S;
    int64_t nsecs = reference_time.nsecs + delta % NS_PER_S;
    if (!__builtin_add_overflow(reference_time.secs, secs, &secs) && secs > INT64_MIN + 1 && secs < INT64_MAX - 1) {
        if (nsecs >= NS_PER_S) {
            nsecs -= NS_PER_S;
            secs++;
        } else if (nsecs < 0) {
            nsecs += NS_PER_S;
            secs--;
        }
        *time = {secs, static_cast<int32_t>(nsecs)};
        return true;
    }
    return from_nanoseconds(to_nanoseconds(reference_time) + delta, time);
}

void format_nanoseconds(Nanoseconds ns, bool as_seconds, char text[NANOSECONDS_TEXT])
{
    // Digits from the last, of the magnitude as unsigned (the most negative
    // count has no positive counterpart).
    unsigned __int128 magnitude = ns < 0 ? -static_cast<unsigned __int128>(ns) : static_cast<unsigned __int128>(ns);
    char digits[NANOSECONDS_TEXT];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (as_seconds) {
        while (count < 10)
            digits[count++] = '0';
    }
    size_t at = 0;
    if (ns < 0)
        text[at++] = '-';
    for (int i = count - 1; i >= 0; i--) {
        text[at++] = digits[i];
        if (as_seconds && i == 9)
            text[at++] = '.';
    }
    text[at] = '\0';
}

void format_duration(uint64_t ns, char text[DURATION_TEXT])
{
    if (ns < 1000)
        snprintf(text, DURATION_TEXT, "%" PRIu64 " ns", ns);
    else if (ns < 1000000)
        snprintf(text, DURATION_TEXT, "%" PRIu64 ".%03" PRIu64 " \u00b5s", ns / 1000, ns % 1000);
    else if (ns < 1000000000)
        snprintf(text, DURATION_TEXT, "%.3f ms", static_cast<double>(ns) / 1e6);
    else
        snprintf(text, DURATION_TEXT, "%.3f s", static_cast<double>(ns) / 1e9);
}
