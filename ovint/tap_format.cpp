// SPDX-License-Identifier: GPL-2.0-or-later
//
// The trailer search. It runs on every Ethernet frame the host reads, and
// almost none carries a trailer: each byte is looked at once, and a 60-byte
// frame's window is skipped to its last possible marker start at once.

#include "tap_format.h"

#include <cstring>

uint8_t marker_version(const uint8_t *bytes)
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

// The highest offset in [0, span) whose byte is `value`, or -1.
static int32_t last_byte_at(const uint8_t *bytes, uint32_t span, uint8_t value)
{
#ifdef __GLIBC__
    const void *found = memrchr(bytes, value, span);
    return found ? static_cast<int32_t>(static_cast<const uint8_t *>(found) - bytes) : -1;
#else
    for (int32_t i = static_cast<int32_t>(span) - 1; i >= 0; i--) {
        if (bytes[i] == value)
            return i;
    }
    return -1;
#endif
}

static TrailerMatch search_min_frame(const uint8_t *bytes)
{
    const uint8_t *window = bytes + LAST_MARKER_IN_MIN_FRAME;
    const uint32_t span = FIRST_MARKER_IN_MIN_FRAME - LAST_MARKER_IN_MIN_FRAME + 1;
    for (int32_t i = last_byte_at(window, span, MARKER_BYTES[0]); i >= 0; i--) {
        if (window[i] != MARKER_BYTES[0])
            continue;
        if (const uint8_t version = marker_version(window + i)) {
            const uint32_t marker = LAST_MARKER_IN_MIN_FRAME + static_cast<uint32_t>(i);
            return {TrailerPlacement::trailing, marker - MARKER_OFFSET, version};
        }
    }
    return {TrailerPlacement::none, 0, 0};
}

TrailerMatch find_trailer(const uint8_t *bytes, uint32_t length)
{
    if (length < static_cast<uint32_t>(TRAILER_LEN))
        return {TrailerPlacement::none, 0, 0};
    if (length == MIN_FRAME_LEN)
        return search_min_frame(bytes);

    if (const uint8_t version = marker_version(bytes))
        return {TrailerPlacement::leading, 0, version};
    const uint32_t offset = length - TRAILER_LEN;
    const uint8_t version = marker_version(bytes + offset + MARKER_OFFSET);
    // A trailer that fills the whole frame leaves no Ethernet part: not taken.
    if (version == 0 || offset == 0)
        return {TrailerPlacement::none, 0, version};
    return {TrailerPlacement::trailing, offset, version};
}
