// SPDX-License-Identifier: GPL-2.0-or-later

#include "record_change.h"

#include "core/trailer/ports.h"
#include "core/trailer/trailer_format.h"

FrameOut change_frame(const FrameIn &in, const ChangeOptions &options, TimeBase &time_base)
{
    FrameOut out = {};
    out.caplen = in.caplen;
    out.len = in.len;
    out.time = in.time;
    if (!in.ethernet)
        return out;
    const TrailerMatch match = find_trailer(in.bytes, in.caplen);
    if (match.placement == TrailerPlacement::none)
        return out;

    const TrailerFields trailer = read_trailer(in.bytes + match.offset);
    out.has_trailer = true;
    out.version = match.version;
    out.port = trailer.port;
    out.flags = trailer.flags;
    out.hw_ts = trailer.timestamp;

    // Times as Wireshark with ovint shows them in a second pass. A time
    // that does not fit keeps the captured one; pcapng_can_hold tells.
    if (options.tap_clock) {
        out.time = tap_clock_time(trailer.timestamp);
    } else if (!time_base.have_reference) {
        time_base = {true, in.time, trailer.timestamp};
    } else if (!hw_time_after(time_base.reference_time, time_base.reference_hw_ts, trailer.timestamp,
                              &out.time)) {
        out.time = {-1, 0};
    }

    if (trailer.flags) {
        out.packet_flags = pcapng_flags(match.version, trailer.flags);
        for (const TapFlag &flag : tap_flags(match.version)) {
            if ((trailer.flags & flag.mask) && flag.pcapng_bit == 0)
                out.comment_flag = flag.name;
        }
    }

    // The Ethernet part only, as the plug-in hands it on. What was not
    // captured of a frame cut by a snap length stays counted on the wire.
    if (!options.keep_trailers) {
        const EthernetPart part = ethernet_part(match, in.caplen, in.len);
        out.skip = part.skip;
        out.caplen = part.captured;
        out.len = part.wire;
    }
    return out;
}

bool pcapng_can_hold(const TapTime &time)
{
    return time.secs >= 0 && to_nanoseconds(time) <= static_cast<Nanoseconds>(UINT64_MAX);
}
