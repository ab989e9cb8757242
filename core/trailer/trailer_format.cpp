// SPDX-License-Identifier: GPL-2.0-or-later
//
// The trailer search. It runs on every Ethernet frame the host reads, and
// almost none carries a trailer: each byte is looked at once, and a 60-byte
// frame's whole window is tested for marker starts at once.

#include "core/trailer/trailer_format.h"

#if defined(__SSE2__)
#include <emmintrin.h>

// One bit per marker offset in the window (bit i for offset 17 + i) whose
// two bytes there start a marker: a crowded window costs no more than an
// empty one, and only near-markers are looked at one by one.
static uint32_t marker_starts(const uint8_t *window)
{
    const __m128i first = _mm_set1_epi8(static_cast<char>(MARKER_BYTES[0]));
    const __m128i second = _mm_set1_epi8(static_cast<char>(MARKER_BYTES[1]));
    uint32_t starts = 0;
    for (int half = 0; half < 2; half++) {
        const uint8_t *at = window + 16 * half;
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + 1));
        const __m128i both = _mm_and_si128(_mm_cmpeq_epi8(here, first), _mm_cmpeq_epi8(next, second));
        starts |= static_cast<uint32_t>(_mm_movemask_epi8(both)) << (16 * half);
    }
    return starts;
}
#else
static uint32_t marker_starts(const uint8_t *window)
{
    uint32_t starts = 0;
    for (uint32_t i = 0; i < 32; i++) {
        if (window[i] == MARKER_BYTES[0] && window[i + 1] == MARKER_BYTES[1])
            starts |= uint32_t(1) << i;
    }
    return starts;
}
#endif

TrailerMatch find_trailer_in_min_frame(const uint8_t *bytes)
{
    // The window's 32 bytes and the one after them all lie inside the frame.
    const uint8_t *window = bytes + LAST_MARKER_IN_MIN_FRAME;
    constexpr uint32_t span = FIRST_MARKER_IN_MIN_FRAME - LAST_MARKER_IN_MIN_FRAME + 1;
    static_assert(LAST_MARKER_IN_MIN_FRAME + 33 <= MIN_FRAME_LEN, "the window's reads stay in the frame");
    uint32_t starts = marker_starts(window) & ((uint32_t(1) << span) - 1);
    // From the highest offset down: the trailing position is tried first.
    while (starts != 0) {
        const uint32_t i = 31 - static_cast<uint32_t>(__builtin_clz(starts));
        if (const uint8_t version = marker_version(window + i)) {
            const uint32_t marker = LAST_MARKER_IN_MIN_FRAME + i;
            return {marker - MARKER_OFFSET, TrailerPlacement::trailing, version};
        }
        starts &= ~(uint32_t(1) << i);
    }
    return {0, TrailerPlacement::none, 0};
}
