// SPDX-License-Identifier: GPL-2.0-or-later
//
// Builders for the bytes the TAP puts on the wire: trailers, leading
// records, Ethernet frames, and host frames that call a dissector by name.

#ifndef OVINT_TESTS_FRAMES_H
#define OVINT_TESTS_FRAMES_H

#include <glib.h>

#include <string>
#include <vector>

using Bytes = std::vector<guint8>;

constexpr guint8 CODE_V1 = 0x17;
constexpr guint8 CODE_V2 = 0x61;

struct Record {
    guint8 code = CODE_V2;  // version code after the marker
    guint8 port = 0x80;
    guint8 flags = 0x00;
    guint64 ts = 0;         // TAP clock, nanoseconds
    guint32 fcs = 0xDDCCBBAA;
};

// The five marker bytes followed by a version code.
Bytes marker(guint8 code);

// A 20-byte trailer: FCS, marker, version code, port, flags, timestamp.
Bytes trailer(const Record &record);

// A record in front of a frame: marker and version code at bytes 0-5, the
// rest at the trailer's offsets.
Bytes leading_record(const Record &record);

// An Ethernet frame of `length` bytes (at least 14) of a local experimental
// EtherType, so the host shows its payload as plain data.
Bytes ethernet_frame(size_t length);

// An Ethernet frame of `length` bytes with a trailer written over it so that
// the trailer's marker stands at `marker_offset` (at least 4); what does not
// fit is cut off.
Bytes frame_with_marker_at(size_t length, size_t marker_offset, const Record &record = {});

// A 60-byte frame built to cost the trailer search the most: its window is
// crowded with the marker's first byte and with whole markers every six
// bytes from `first_marker` on, each followed by `code` but the last (the
// highest), which is followed by `last_code`.
Bytes crowded_min_frame(size_t first_marker, guint8 code, guint8 last_code);

// A host frame of the exported-PDU kind that hands `payload` to the
// dissector registered as `dissector`.
Bytes named_dissector_frame(const std::string &dissector, const Bytes &payload);

Bytes operator+(Bytes head, const Bytes &tail);

// `bytes` with `patch` written over it from `offset` on.
Bytes patched(Bytes bytes, size_t offset, const Bytes &patch);

#endif // OVINT_TESTS_FRAMES_H
