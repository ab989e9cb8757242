// SPDX-License-Identifier: GPL-2.0-or-later
//
// The frame splitter: the host offers it every Ethernet frame. It finds the
// TAP trailer behind the frame, inside a minimum-size frame or in front of
// it, hands the Ethernet part to the host's Ethernet dissector, shows the
// trailer, and has the frame re-timed from the TAP's clock.

#include <epan/packet.h>
#include <epan/exceptions.h>
#include <wiretap/wtap.h>

#include "ovint_private.h"

int in_heur = 0;

// The captured bytes of a frame in place, through the host's public
// accessor: for frames read from a file it hands back the bytes where they
// lie, and a length within the captured ones never raises.
static inline const guint8 *captured_bytes(tvbuff_t *tvb, guint32 *length)
{
    *length = tvb_captured_length(tvb);
    return *length ? tvb_get_ptr(tvb, 0, static_cast<gint>(*length)) : NULL;
}

// What follows the Ethernet part: a trailing trailer is shown after it; both
// kinds of frame are re-timed last. Nothing here reads past the captured
// bytes. Without a tree the trailer would add nothing: no buffer is made.
static void finish_frame(tvbuff_t *tvb, const guint8 *bytes, TrailerMatch match, packet_info *pinfo,
                         proto_tree *tree, void *data)
{
    // Called directly, not through a handle: the trailer's expert entries
    // are ovint's, whichever dissector the Ethernet part ended in; an
    // exception from that part, thrown on after this, stays its own.
    const char *const ethernet_proto = pinfo->current_proto;
    pinfo->current_proto = "ovint";
    const guint8 *trailer = bytes + match.offset;  // found within the captured bytes
    if (match.placement == TrailerPlacement::trailing && tree) {
        dissect_ovint(tvb_new_subset_length(tvb, match.offset, TRAILER_LEN), pinfo, tree, data);
    } else if (!tree) {
        // Expert information is gathered without a tree too.
        if (trailer[FLAGS_OFFSET])
            add_flag_expert_only(pinfo, match.version, trailer[FLAGS_OFFSET]);
        add_latency_expert_only(pinfo, trailer[PORT_OFFSET], read_le64(trailer + TIMESTAMP_OFFSET));
    }
    apply_hw_timestamp(trailer, pinfo);
    queue_tap_record(trailer, match.version, pinfo);
    pinfo->current_proto = ethernet_proto;
}

// When the host tells conversations apart by interface, the TAP link a
// frame was seen on is part of its interface for the rest of its
// dissection: a frame's two sightings then lie in two conversations, its
// two directions on a link in one. The capture's own interface stays apart
// (four links to one of it); the frame's own items have already shown it.
static void link_as_interface(const guint8 *trailer, packet_info *pinfo)
{
    const guint16 channel = channel_of_port_byte(trailer[PORT_OFFSET]);
    if (channel == NO_CHANNEL || !pinfo->rec || pinfo->rec->rec_type != REC_TYPE_PACKET)
        return;
    wtap_rec *rec = pinfo->rec;
    const guint32 captured_on =
        (rec->presence_flags & WTAP_HAS_INTERFACE_ID) ? rec->rec_header.packet_header.interface_id : 0;
    rec->rec_header.packet_header.interface_id = captured_on * 4 + channel;
    rec->presence_flags |= WTAP_HAS_INTERFACE_ID;
}

// With the host's stricter conversation tracking, ICMP and ICMPv6 pair a
// request with its reply only within one VLAN, and IPv4 reassembles
// fragments only within one: the TAP link a frame was seen on becomes part
// of its VLAN, so a ping's two sightings are two requests, each answered on
// its own link. The VLAN the frame already has stays in the low bits: one
// an outer layer set, else the first tag's that is not a priority tag (the
// VLAN dissector keeps a VLAN already set). The link goes above 16 bits,
// where no tag and no IPv4 identification (reassembly mixes the two) reach.
static void link_as_vlan(const guint8 *ethernet, guint32 ethernet_length, const guint8 *trailer,
                         packet_info *pinfo)
{
    const guint16 channel = channel_of_port_byte(trailer[PORT_OFFSET]);
    if (channel == NO_CHANNEL)
        return;
    guint32 vlan = pinfo->vlan_id & 0xFFFF;
    for (guint32 at = 12; vlan == 0 && at + 4 <= ethernet_length; at += 4) {
        const guint16 ethertype = static_cast<guint16>(ethernet[at] << 8 | ethernet[at + 1]);
        if (ethertype != 0x8100 && ethertype != 0x88A8 && ethertype != 0x9100)
            break;
        vlan = static_cast<guint32>((ethernet[at + 2] << 8 | ethernet[at + 3]) & 0x0FFF);
    }
    pinfo->vlan_id = vlan | static_cast<guint32>(channel) << 16;
}

// Splits a frame the search took. Kept out of line: the host offers every
// Ethernet frame to the heuristic, and the frames it turns away should not
// pay for this part's set-up.
G_GNUC_NO_INLINE static void take_frame(tvbuff_t *tvb, const guint8 *bytes, guint32 length,
                                        TrailerMatch match, packet_info *pinfo, proto_tree *tree, void *data)
{
    // Matched before anything is shown, so that the frame's own tree shows
    // what the match found.
    note_sighting(bytes, length, tvb_reported_length(tvb), match, pinfo->fd);
    in_heur = 1;
    // One exception frame serves both ends: the flag is cleared on every way
    // out, and a broken Ethernet part still gets its trailer and time.
    TRY {
        if (match.placement == TrailerPlacement::leading) {
            const char *const offering_proto = pinfo->current_proto;
            pinfo->current_proto = "ovint";
            dissect_ovint(tvb, pinfo, tree, data);
            pinfo->current_proto = offering_proto;
        }
        if (OVINT_HOST_DEINTERLACES_BY_INTERFACE(prefs))
            link_as_interface(bytes + match.offset, pinfo);
        if (prefs.strict_conversation_tracking_heuristics) {
            const EthernetPart part = ethernet_part(match, length, length);
            link_as_vlan(bytes + part.skip, part.captured, bytes + match.offset, pinfo);
        }
        if (eth_withoutfcs_handle) {
            tvbuff_t *ethernet = match.placement == TrailerPlacement::leading
                                     ? tvb_new_subset_remaining(tvb, TRAILER_LEN)
                                     : tvb_new_subset_length(tvb, 0, static_cast<gint>(match.offset));
            call_dissector(eth_withoutfcs_handle, ethernet, pinfo, tree);
        }
    }
    CATCH_BOUNDS_AND_DISSECTOR_ERRORS {
        // The host marks such a frame malformed and goes on; the TAP's flags
        // and time for it still count, above all for broken frames. The flag
        // is cleared first: FINALLY is skipped if this block itself raises.
        in_heur = 0;
        finish_frame(tvb, bytes, match, pinfo, tree, data);
        RETHROW;
    }
    FINALLY {
        in_heur = 0;
    }
    ENDTRY;
    finish_frame(tvb, bytes, match, pinfo, tree, data);
}

extern "C" ovint_heur_result_t dissect_ovint_heur(tvbuff_t *tvb, packet_info *pinfo,
                                                  proto_tree *tree, void *data)
{
    // Busy with this frame already: its own Ethernet part is offered again.
    if (in_heur)
        return false;

    check_hw_reference(pinfo);
    guint32 length;
    const guint8 *bytes = captured_bytes(tvb, &length);
    // The search reads nothing past the captured bytes, and nothing on the
    // way to a refusal can raise or re-enter.
    const TrailerMatch match = find_trailer(bytes, length);
    if (match.placement == TrailerPlacement::none)
        return false;

    take_frame(tvb, bytes, length, match, pinfo, tree, data);
    return true;
}
