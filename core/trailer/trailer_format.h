// SPDX-License-Identifier: GPL-2.0-or-later
//
// The TAP trailer's layout, its fields and where it sits in a frame, as
// plain code over a frame's bytes.

#ifndef OVINT_CORE_TRAILER_FORMAT_H
#define OVINT_CORE_TRAILER_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// ---- Trailer layout (offsets from the trailer's first byte) ----

constexpr int32_t TRAILER_LEN = 20;
constexpr int32_t MARKER_OFFSET = 4;     // C8 3E A7 00 01
constexpr int32_t MARKER_LEN = 5;
constexpr int32_t VERSION_OFFSET = 9;    // 0x17: version 1, 0x61: version 2
constexpr int32_t PORT_OFFSET = 10;      // one bit per port; with byte 11 the port word
constexpr int32_t FLAGS_OFFSET = 11;     // receive errors flagged by the TAP
constexpr int32_t TIMESTAMP_OFFSET = 12; // TAP clock, nanoseconds, little-endian
constexpr int32_t TIMESTAMP_LEN = 8;

static_assert(VERSION_OFFSET == MARKER_OFFSET + MARKER_LEN, "version code follows the marker");
static_assert(TIMESTAMP_OFFSET + TIMESTAMP_LEN == TRAILER_LEN, "timestamp closes the trailer");

constexpr uint8_t MARKER_BYTES[MARKER_LEN] = {0xC8, 0x3E, 0xA7, 0x00, 0x01};
constexpr uint8_t VERSION_CODE_V1 = 0x17;
constexpr uint8_t VERSION_CODE_V2 = 0x61;

// A frame of the Ethernet minimum length (without FCS) may hold the trailer
// anywhere in a window of marker offsets, with padding after it.
constexpr uint32_t MIN_FRAME_LEN = 60;
constexpr uint32_t FIRST_MARKER_IN_MIN_FRAME = MIN_FRAME_LEN - TRAILER_LEN + MARKER_OFFSET;
constexpr uint32_t LAST_MARKER_IN_MIN_FRAME = 17;
static_assert(FIRST_MARKER_IN_MIN_FRAME == 44, "searched first: the trailing position");

// ---- A trailer's fields ----

struct TrailerFields {
    uint32_t fcs;        // bytes 0-3, little-endian
    uint8_t port;        // byte 10
    uint8_t flags;       // byte 11
    uint64_t timestamp;  // bytes 12-19, little-endian: the TAP clock in nanoseconds
};

inline uint64_t read_le64(const uint8_t *bytes)
{
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    value = __builtin_bswap64(value);
#endif
    return value;
}

// The fields of the TRAILER_LEN bytes at `trailer`.
inline TrailerFields read_trailer(const uint8_t *trailer)
{
    const uint32_t fcs = uint32_t(trailer[0]) | uint32_t(trailer[1]) << 8 | uint32_t(trailer[2]) << 16 |
                         uint32_t(trailer[3]) << 24;
    return {fcs, trailer[PORT_OFFSET], trailer[FLAGS_OFFSET], read_le64(trailer + TIMESTAMP_OFFSET)};
}

// ---- Finding the trailer ----

enum class TrailerPlacement : uint8_t { none, trailing, leading };

// Eight bytes, handed back in a register.
struct TrailerMatch {
    uint32_t offset;  // of the trailer's first byte; 0 for a leading record
    TrailerPlacement placement;
    // The version that the last marker looked at had: 1, 2, or 0 for none.
    // A marker behind a 20-byte frame has one, yet is not taken.
    uint8_t version;
};

// The version a marker followed by a version code at `bytes` (six bytes)
// stands for: 1, 2, or 0 when these bytes are no marker.
inline uint8_t marker_version(const uint8_t *bytes)
{
    if (std::memcmp(bytes, MARKER_BYTES, MARKER_LEN) != 0)
        return 0;
    switch (bytes[MARKER_LEN]) {
    case VERSION_CODE_V1:
        return 1;
    case VERSION_CODE_V2:
        return 2;
    default:
        return 0;
    }
}

// The search in a frame of exactly MIN_FRAME_LEN captured bytes.
TrailerMatch find_trailer_in_min_frame(const uint8_t *bytes);

// Where the trailer of a frame of `length` captured bytes sits: behind the
// frame, anywhere in the window of a 60-byte frame (the highest marker
// wins), or in front of the frame. Reads only bytes below `length`. Inline:
// the plug-in runs it on every Ethernet frame.
inline TrailerMatch find_trailer(const uint8_t *bytes, uint32_t length)
{
    if (length < static_cast<uint32_t>(TRAILER_LEN))
        return {0, TrailerPlacement::none, 0};
    if (length == MIN_FRAME_LEN)
        return find_trailer_in_min_frame(bytes);

    if (const uint8_t version = marker_version(bytes))
        return {0, TrailerPlacement::leading, version};
    const uint32_t offset = length - TRAILER_LEN;
    const uint8_t version = marker_version(bytes + offset + MARKER_OFFSET);
    // A trailer that fills the whole frame leaves no Ethernet part: not taken.
    if (version == 0 || offset == 0)
        return {0, TrailerPlacement::none, version};
    return {offset, TrailerPlacement::trailing, version};
}

// ---- The Ethernet part of a trailer-bearing frame ----

// What the TAP passed on less its trailer: where it starts, how much of it
// was captured and how long it was on the wire. One rule for every program,
// so that they agree frame for frame. What a snap length cut off stays
// counted on the wire.
struct EthernetPart {
    uint32_t skip;      // bytes before it: the leading trailer's
    uint32_t captured;
    uint32_t wire;
};

inline EthernetPart ethernet_part(TrailerMatch match, uint32_t captured, uint32_t wire_length)
{
    const bool leading = match.placement == TrailerPlacement::leading;
    const uint32_t part = leading ? captured - TRAILER_LEN : match.offset;
    const uint32_t removed = captured - part;
    return {leading ? static_cast<uint32_t>(TRAILER_LEN) : 0, part,
            wire_length >= captured ? wire_length - removed : part};
}

// The longest Ethernet frame any link carries (a jumbo frame, less its
// FCS, with room for tags): a longer record is frames the capture host
// merged (receive offloads), which no TAP port saw as one.
constexpr uint32_t LONGEST_WIRE_FRAME = 9216;

#endif // OVINT_CORE_TRAILER_FORMAT_H
