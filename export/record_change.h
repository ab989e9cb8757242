// SPDX-License-Identifier: GPL-2.0-or-later
//
// What ovint-export makes of one frame, over plain values: where its
// trailer is, the part of it that is written, its time, its TAP port and
// the packet flags and comment its TAP flags become. No wiretap types, so
// that tests and the fuzz target call it as the export loop does.

#ifndef OVINT_EXPORT_RECORD_CHANGE_H
#define OVINT_EXPORT_RECORD_CHANGE_H

#include "core/trailer/tap_clock.h"

#include <cstdint>

struct ChangeOptions {
    bool keep_trailers = false;
    bool tap_clock = false;  // the TAP clock itself as the time
    bool interface_per_link = false;  // one interface per TAP link, not per port
};

// The time base of one capture: its first trailer-bearing frame keeps its
// time and anchors the TAP clock's, as in Wireshark with ovint.
struct TimeBase {
    bool have_reference = false;
    TapTime reference_time = {0, 0};
    uint64_t reference_hw_ts = 0;
};

struct FrameIn {
    const uint8_t *bytes;
    uint32_t caplen;
    uint32_t len;     // on the wire
    bool ethernet;    // only Ethernet frames carry trailers
    TapTime time;     // as captured
};

struct FrameOut {
    bool has_trailer;
    // The trailer, when there is one.
    uint8_t version;
    uint8_t port;
    uint8_t flags;
    uint64_t hw_ts;
    // The part written: caplen bytes from bytes + skip, len on the wire.
    uint32_t skip;
    uint32_t caplen;
    uint32_t len;
    TapTime time;
    uint32_t packet_flags;       // pcapng bits the TAP flags set
    // The name of a TAP flag set that pcapng has no bit for (written as a
    // packet comment), or NULL.
    const char *comment_flag;
};

FrameOut change_frame(const FrameIn &in, const ChangeOptions &options, TimeBase &time_base);

// Whether pcapng (a 64-bit count of nanoseconds from 1970) can hold a time.
bool pcapng_can_hold(const TapTime &time);

#endif // OVINT_EXPORT_RECORD_CHANGE_H
