// SPDX-License-Identifier: GPL-2.0-or-later
//
// The frame splitter: the host offers it every Ethernet frame. It finds the
// TAP trailer behind the frame, inside a minimum-size frame or in front of
// it, hands the Ethernet part to the host's Ethernet dissector, shows the
// trailer, and has the frame re-timed from the TAP's clock.

#include <epan/packet.h>
#include <epan/exceptions.h>

#include "ovint_private.h"

int in_heur = 0;

// A frame of the Ethernet minimum length (without FCS) may hold the trailer
// anywhere in a window, with padding after it.
constexpr guint32 MIN_FRAME_LEN = 60;
constexpr gint FIRST_MARKER_IN_MIN_FRAME = MIN_FRAME_LEN - TRAILER_LEN + MARKER_OFFSET;
constexpr gint LAST_MARKER_IN_MIN_FRAME = 17;
static_assert(FIRST_MARKER_IN_MIN_FRAME == 44, "searched first: the trailing position");

namespace {
enum class Placement { none, trailing, leading };

struct TrailerPosition {
    Placement placement;
    guint32 offset;  // of the trailer's first byte
};
} // namespace

static TrailerPosition find_trailer(tvbuff_t *tvb, guint32 length)
{
    if (length < static_cast<guint32>(TRAILER_LEN))
        return {Placement::none, 0};

    if (length == MIN_FRAME_LEN) {
        for (gint marker = FIRST_MARKER_IN_MIN_FRAME; marker >= LAST_MARKER_IN_MIN_FRAME; marker--) {
            if (probe_marker(tvb, marker))
                return {Placement::trailing, static_cast<guint32>(marker - MARKER_OFFSET)};
        }
        return {Placement::none, 0};
    }

    if (probe_marker(tvb, 0))
        return {Placement::leading, 0};
    // A trailer that fills the whole frame leaves no Ethernet part: not taken.
    const guint32 offset = length - TRAILER_LEN;
    if (probe_marker(tvb, static_cast<gint>(offset) + MARKER_OFFSET) && offset != 0)
        return {Placement::trailing, offset};
    return {Placement::none, 0};
}

// What follows the Ethernet part: a trailing trailer is shown after it; both
// kinds of frame are re-timed last.
static void finish_frame(tvbuff_t *tvb, const TrailerPosition &position, packet_info *pinfo,
                         proto_tree *tree, void *data)
{
    if (position.placement == Placement::trailing)
        dissect_ovint(tvb_new_subset_length(tvb, position.offset, TRAILER_LEN), pinfo, tree, data);
    apply_hw_timestamp(tvb, position.offset, pinfo);
}

static void split_frame(tvbuff_t *tvb, const TrailerPosition &position, packet_info *pinfo,
                        proto_tree *tree, void *data)
{
    tvbuff_t *ethernet;
    if (position.placement == Placement::leading) {
        dissect_ovint(tvb, pinfo, tree, data);
        ethernet = tvb_new_subset_remaining(tvb, TRAILER_LEN);
    } else {
        ethernet = tvb_new_subset_length(tvb, 0, static_cast<gint>(position.offset));
    }

    if (eth_withoutfcs_handle) {
        TRY {
            call_dissector(eth_withoutfcs_handle, ethernet, pinfo, tree);
        }
        CATCH_BOUNDS_AND_DISSECTOR_ERRORS {
            // The host marks such a frame malformed and goes on; the TAP's
            // flags and time for it still count, above all for broken frames.
            finish_frame(tvb, position, pinfo, tree, data);
            RETHROW;
        }
        ENDTRY;
    }
    finish_frame(tvb, position, pinfo, tree, data);
}

extern "C" ovint_heur_result_t dissect_ovint_heur(tvbuff_t *tvb, packet_info *pinfo,
                                                  proto_tree *tree, void *data)
{
    const guint32 length = tvb_captured_length(tvb);
    if (in_heur)
        return false;
    in_heur = 1;

    check_hw_reference(pinfo);
    // Every probe lies inside the captured bytes: nothing here can raise.
    const TrailerPosition position = find_trailer(tvb, length);
    if (position.placement == Placement::none) {
        in_heur = 0;
        return false;
    }

    TRY {
        split_frame(tvb, position, pinfo, tree, data);
    }
    FINALLY {
        in_heur = 0;
    }
    ENDTRY;
    return true;
}
