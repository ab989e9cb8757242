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

// What follows the Ethernet part: a trailing trailer is shown after it; both
// kinds of frame are re-timed last.
static void finish_frame(tvbuff_t *tvb, TrailerMatch match, packet_info *pinfo,
                         proto_tree *tree, void *data)
{
    if (match.placement == TrailerPlacement::trailing)
        dissect_ovint(tvb_new_subset_length(tvb, match.offset, TRAILER_LEN), pinfo, tree, data);
    apply_hw_timestamp(tvb, match.offset, pinfo);
}

static void split_frame(tvbuff_t *tvb, TrailerMatch match, packet_info *pinfo,
                        proto_tree *tree, void *data)
{
    tvbuff_t *ethernet;
    if (match.placement == TrailerPlacement::leading) {
        dissect_ovint(tvb, pinfo, tree, data);
        ethernet = tvb_new_subset_remaining(tvb, TRAILER_LEN);
    } else {
        ethernet = tvb_new_subset_length(tvb, 0, static_cast<gint>(match.offset));
    }

    if (eth_withoutfcs_handle) {
        TRY {
            call_dissector(eth_withoutfcs_handle, ethernet, pinfo, tree);
        }
        CATCH_BOUNDS_AND_DISSECTOR_ERRORS {
            // The host marks such a frame malformed and goes on; the TAP's
            // flags and time for it still count, above all for broken frames.
            finish_frame(tvb, match, pinfo, tree, data);
            RETHROW;
        }
        ENDTRY;
    }
    finish_frame(tvb, match, pinfo, tree, data);
}

// Kept out of line: the host offers every Ethernet frame to the heuristic,
// and the frames it turns away should not pay for this part's set-up.
G_GNUC_NO_INLINE static void take_frame(tvbuff_t *tvb, TrailerMatch match,
                                        packet_info *pinfo, proto_tree *tree, void *data)
{
    in_heur = 1;
    TRY {
        split_frame(tvb, match, pinfo, tree, data);
    }
    FINALLY {
        in_heur = 0;
    }
    ENDTRY;
}

extern "C" ovint_heur_result_t dissect_ovint_heur(tvbuff_t *tvb, packet_info *pinfo,
                                                  proto_tree *tree, void *data)
{
    // Busy with this frame already: its own Ethernet part is offered again.
    if (in_heur)
        return false;

    check_hw_reference(pinfo);
    const guint32 length = tvb_captured_length(tvb);
    if (length < static_cast<guint32>(TRAILER_LEN))
        return false;
    // The captured bytes in place: the search reads nothing past them, and
    // nothing on the way to a refusal can raise or re-enter.
    const TrailerMatch match = find_trailer(tvb_get_ptr(tvb, 0, static_cast<gint>(length)), length);
    record_version = match.version;
    if (match.placement == TrailerPlacement::none)
        return false;

    take_frame(tvb, match, pinfo, tree, data);
    return true;
}
