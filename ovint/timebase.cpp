// SPDX-License-Identifier: GPL-2.0-or-later
//
// The TAP's time base: every trailer-bearing frame is placed at the first
// such frame's capture time plus the difference of their TAP clock readings.

#include <epan/packet.h>
#include <wsutil/nstime.h>

#include "ovint_private.h"

const frame_data *ref_frame = NULL;
guint64 ref_hw_ts = 0;
nstime_t ref_abs_ts = {0, 0};
guint32 ref_frame_num = 0;

extern "C" void drop_hw_reference(void)
{
    ref_frame = NULL;
}

void apply_hw_timestamp(const guint8 *trailer, packet_info *pinfo)
{
    frame_data *frame = pinfo->fd;
    const guint64 timestamp = read_le64(trailer + TIMESTAMP_OFFSET);

    if (!ref_frame) {
        ref_hw_ts = timestamp;
        ref_frame = frame;
        ref_abs_ts = frame->abs_ts;
        ref_frame_num = frame->num;
        return;
    }
    if (frame->visited)
        return;  // timed on its first dissection

    const TapTime reference_time = {static_cast<int64_t>(ref_abs_ts.secs), ref_abs_ts.nsecs};
    TapTime tap_time;
    // A time the host cannot hold (the reference near its end) is left as
    // it was captured.
    if (!hw_time_after(reference_time, ref_hw_ts, timestamp, &tap_time))
        return;
    nstime_t hw_time;
    hw_time.secs = static_cast<time_t>(tap_time.secs);
    hw_time.nsecs = tap_time.nsecs;
    nstime_t shift;
    nstime_delta(&shift, &hw_time, &frame->abs_ts);
    frame->abs_ts = hw_time;
    nstime_sum(&pinfo->rel_ts, &pinfo->rel_ts, &shift);
}
