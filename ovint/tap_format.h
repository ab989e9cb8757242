// SPDX-License-Identifier: GPL-2.0-or-later
//
// The TAP trailer's format and where it sits in a frame, as plain code over
// a frame's bytes: shared by the plug-in and the project's other programs.

#ifndef OVINT_TAP_FORMAT_H
#define OVINT_TAP_FORMAT_H

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

// ---- Ports, channels and error flags ----

// The name each trailer version gives the port bits 0x80, 0x40, 0x20, 0x10.
constexpr uint8_t PORT_BITS[4] = {0x80, 0x40, 0x20, 0x10};
constexpr const char *PORT_NAMES_V1[4] = {"X1.1", "X1.2", "X2.1", "X2.2"};
constexpr const char *PORT_NAMES_V2[4] = {"Con A", "Con B", "Con C", "Con D"};

// The name a trailer version (1 or 2; 0 reads as 1) gives a port byte, or
// NULL for a byte with none (several bits, or none of the four).
const char *tap_port_name(uint8_t version, uint8_t port);

// The port number of the first of twelve bits set in the port word (bytes
// 10 and 11, big-endian), or 0xFFFF.
uint16_t port_from_bits(uint16_t port_word);
// 1 for ports 1 and 2, 2 for ports 3 and 4, else 0xFFFF.
uint16_t channel_from_port(uint16_t port);

// An error flag of byte 11.
struct TapFlag {
    uint8_t mask;
    const char *name;
};
// The flags each version shows, in the order shown.
constexpr TapFlag FLAGS_V1[] = {{0x20, "Receive Error"}, {0x10, "Alignment Error"}, {0x08, "Crc Error"}};
constexpr TapFlag FLAGS_V2[] = {
    {0x80, "Receive Error"}, {0x40, "Wrong Preamble"}, {0x20, "Wrong IFG"},   {0x10, "Alignment Error"},
    {0x08, "Crc Error"},     {0x04, "Lost Packet"},    {0x02, "Long Packet"}, {0x01, "Short Packet"},
};

// The flags a trailer version (1 or 2; 0 reads as 1) shows, as a range.
struct TapFlagTable {
    const TapFlag *first;
    size_t count;
    const TapFlag *begin() const { return first; }
    const TapFlag *end() const { return first + count; }
    size_t size() const { return count; }
    const TapFlag &operator[](size_t i) const { return first[i]; }
};

inline TapFlagTable tap_flags(uint8_t version)
{
    if (version == 2)
        return {FLAGS_V2, sizeof FLAGS_V2 / sizeof FLAGS_V2[0]};
    return {FLAGS_V1, sizeof FLAGS_V1 / sizeof FLAGS_V1[0]};
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

#endif // OVINT_TAP_FORMAT_H
