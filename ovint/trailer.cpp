// SPDX-License-Identifier: GPL-2.0-or-later
//
// The TAP trailer: its versions, the fields and expert entries it is shown
// under, and the record dissector that renders one trailer.

#include <epan/packet.h>
#include <epan/exceptions.h>
#include <epan/expert.h>
#include <epan/tfs.h>

#include "ovint_private.h"

int proto_ovint = -1;
int ett_ovint = -1;
int hf_ovint_channel = -1;
int hf_ovint_port_v1 = -1;
int hf_ovint_port_v2 = -1;
int hf_ovint_rxerror_v2 = -1;
int hf_ovint_wrongpreamble = -1;
int hf_ovint_wrongifg = -1;
int hf_ovint_alignerror = -1;
int hf_ovint_crcerror = -1;
int hf_ovint_lostpacket = -1;
int hf_ovint_longpacket = -1;
int hf_ovint_shortpacket = -1;
int hf_ovint_timestamp = -1;
int hf_ovint_fcs = -1;
int hf_ovint_reserved = -1;
int hf_ovint_rxerror_v1 = -1;

static const value_string port_names_v1[] = {
    {PORT_BITS[0], PORT_NAMES_V1[0]},
    {PORT_BITS[1], PORT_NAMES_V1[1]},
    {PORT_BITS[2], PORT_NAMES_V1[2]},
    {PORT_BITS[3], PORT_NAMES_V1[3]},
    {0, NULL},
};

static const value_string port_names_v2[] = {
    {PORT_BITS[0], PORT_NAMES_V2[0]},
    {PORT_BITS[1], PORT_NAMES_V2[1]},
    {PORT_BITS[2], PORT_NAMES_V2[2]},
    {PORT_BITS[3], PORT_NAMES_V2[3]},
    {0, NULL},
};

static const true_false_string tfs_yes_no_ovint = {"yes", "no"};

// Every frame's fate, as the latency statistics tell it.
static const value_string fate_names[] = {
    {0, FATE_TEXTS[0]}, {1, FATE_TEXTS[1]}, {2, FATE_TEXTS[2]}, {3, FATE_TEXTS[3]}, {4, FATE_TEXTS[4]},
    {5, FATE_TEXTS[5]}, {6, FATE_TEXTS[6]}, {7, FATE_TEXTS[7]}, {8, FATE_TEXTS[8]}, {9, FATE_TEXTS[9]},
    {0, NULL},
};
static_assert(FATE_COUNT == 10, "a name for every fate");

hf_register_info hf_array[] = {
    {&hf_ovint_channel,       {"Channel",         "ovint.channel",       FT_UINT16,  BASE_DEC, NULL,                    0,    NULL, HFILL}},
    {&hf_ovint_port_v1,       {"Port",            "ovint.port",          FT_UINT8,   BASE_HEX, VALS(port_names_v1),     0xFF, NULL, HFILL}},
    {&hf_ovint_port_v2,       {"Port",            "ovint.port",          FT_UINT8,   BASE_HEX, VALS(port_names_v2),     0xFF, NULL, HFILL}},
    {&hf_ovint_rxerror_v2,    {"Receive Error",   "ovint.rxerror",       FT_BOOLEAN, 8,        TFS(&tfs_yes_no_ovint),  0x80, NULL, HFILL}},
    {&hf_ovint_wrongpreamble, {"Wrong Preamble",  "ovint.wrongpreamble", FT_BOOLEAN, 8,        TFS(&tfs_yes_no_ovint),  0x40, NULL, HFILL}},
    {&hf_ovint_wrongifg,      {"Wrong IFG",       "ovint.wrongifg",      FT_BOOLEAN, 8,        TFS(&tfs_yes_no_ovint),  0x20, NULL, HFILL}},
    {&hf_ovint_alignerror,    {"Alignment Error", "ovint.alignerror",    FT_BOOLEAN, 8,        TFS(&tfs_yes_no_ovint),  0x10, NULL, HFILL}},
    {&hf_ovint_crcerror,      {"Crc Error",       "ovint.crcerror",      FT_BOOLEAN, 8,        TFS(&tfs_yes_no_ovint),  0x08, NULL, HFILL}},
    {&hf_ovint_lostpacket,    {"Lost Packet",     "ovint.lostpacket",    FT_BOOLEAN, 8,        TFS(&tfs_yes_no_ovint),  0x04, NULL, HFILL}},
    {&hf_ovint_longpacket,    {"Long Packet",     "ovint.longpacket",    FT_BOOLEAN, 8,        TFS(&tfs_yes_no_ovint),  0x02, NULL, HFILL}},
    {&hf_ovint_shortpacket,   {"Short Packet",    "ovint.shortpacket",   FT_BOOLEAN, 8,        TFS(&tfs_yes_no_ovint),  0x01, NULL, HFILL}},
    {&hf_ovint_timestamp,     {"Timestamp",       "ovint.timestamp",     FT_UINT64,  BASE_HEX, NULL,                    0,    NULL, HFILL}},
    {&hf_ovint_fcs,           {"FCS",             "ovint.fcs",           FT_UINT32,  BASE_HEX, NULL,                    0,    NULL, HFILL}},
    {&hf_ovint_reserved,      {"reserved",        "ovint.reserved",      FT_UINT32,  BASE_HEX, NULL,                    0,    NULL, HFILL}},
    {&hf_ovint_rxerror_v1,    {"Receive Error",   "ovint.rxerror",       FT_BOOLEAN, 8,        TFS(&tfs_yes_no_ovint),  0x20, NULL, HFILL}},
    {&hf_ovint_latency,         {"Latency",               "ovint.latency",         FT_RELATIVE_TIME, BASE_NONE, NULL,                                 0, NULL, HFILL}},
    {&hf_ovint_latency_us,      {"Latency (\u00b5s)",       "ovint.latency_us",      FT_DOUBLE,        BASE_NONE, NULL,                                 0, NULL, HFILL}},
    {&hf_ovint_latency_earlier, {"Seen earlier in frame", "ovint.latency.earlier", FT_FRAMENUM,      BASE_NONE, FRAMENUM_TYPE(FT_FRAMENUM_REQUEST),  0, NULL, HFILL}},
    {&hf_ovint_latency_later,   {"Seen again in frame",   "ovint.latency.later",   FT_FRAMENUM,      BASE_NONE, FRAMENUM_TYPE(FT_FRAMENUM_RESPONSE), 0, NULL, HFILL}},
    {&hf_ovint_fate,            {"Fate",                  "ovint.fate",            FT_UINT8,         BASE_DEC,  VALS(fate_names),                   0, NULL, HFILL}},
};

// An entry in the host's expert information for each error flag set. A CRC
// error means the frame's bits are wrong: a checksum error. An alignment
// error is an error of the link's protocol; the other flags say the link
// misbehaved around a frame that may still be whole (preamble, gap, a length
// out of bounds, frames the TAP lost before it): warnings, of the group that
// fits each. None is "malformed": the host counts every malformed entry as a
// malformed packet (_ws.malformed), which is for bytes a dissector could not
// take apart.
expert_field ei_ovint_flag[MAX_FLAGS] = {};  // in the order of version 2's flags
expert_field ei_ovint_not_seen = {};
expert_field ei_ovint_above_threshold = {};
expert_field ei_ovint_late = {};
expert_field ei_ovint_one_link = {};
expert_field ei_ovint_merged = {};
expert_field ei_ovint_at_edge = {};
expert_field ei_ovint_short_capture = {};

static ei_register_info ei_array[] = {
    {&ei_ovint_flag[0], {"ovint.expert.receive_error", PI_PROTOCOL, PI_WARN, "The TAP flagged a receive error", EXPFILL}},
    {&ei_ovint_flag[1], {"ovint.expert.wrong_preamble", PI_PROTOCOL, PI_WARN, "The TAP flagged a wrong preamble", EXPFILL}},
    {&ei_ovint_flag[2], {"ovint.expert.wrong_ifg", PI_PROTOCOL, PI_WARN, "The TAP flagged a wrong inter-frame gap", EXPFILL}},
    {&ei_ovint_flag[3], {"ovint.expert.alignment_error", PI_PROTOCOL, PI_ERROR, "The TAP flagged an alignment error", EXPFILL}},
    {&ei_ovint_flag[4], {"ovint.expert.crc_error", PI_CHECKSUM, PI_ERROR, "The TAP flagged a CRC error", EXPFILL}},
    {&ei_ovint_flag[5], {"ovint.expert.lost_packet", PI_SEQUENCE, PI_WARN, "The TAP lost frames before this one", EXPFILL}},
    {&ei_ovint_flag[6], {"ovint.expert.long_packet", PI_PROTOCOL, PI_WARN, "The TAP flagged a frame longer than Ethernet allows", EXPFILL}},
    {&ei_ovint_flag[7], {"ovint.expert.short_packet", PI_PROTOCOL, PI_WARN, "The TAP flagged a frame shorter than Ethernet allows", EXPFILL}},
    {&ei_ovint_not_seen, {"ovint.expert.not_seen", PI_SEQUENCE, PI_WARN, "Not seen on the other link within the latency window", EXPFILL}},
    {&ei_ovint_above_threshold, {"ovint.expert.latency_above_threshold", PI_SEQUENCE, PI_WARN, "Latency above the threshold", EXPFILL}},
    {&ei_ovint_late, {"ovint.expert.late", PI_SEQUENCE, PI_NOTE, "Seen on the other link only after the latency window", EXPFILL}},
    {&ei_ovint_one_link, {"ovint.expert.one_link", PI_SEQUENCE, PI_CHAT, "Seen on one link only, and not lost", EXPFILL}},
    {&ei_ovint_merged, {"ovint.expert.merged", PI_SEQUENCE, PI_NOTE,
                        "A record the capture host merged from several frames: no port saw it as one", EXPFILL}},
    {&ei_ovint_at_edge, {"ovint.expert.at_edge", PI_SEQUENCE, PI_CHAT,
                         "At the capture's edge: its partner may lie beyond the capture", EXPFILL}},
    {&ei_ovint_short_capture, {"ovint.expert.short_capture", PI_SEQUENCE, PI_NOTE,
                               "The capture is shorter than the latency window: a shorter window tells more", EXPFILL}},
};

void register_expert_entries(void)
{
    expert_module_t *module = expert_register_protocol(proto_ovint);
    expert_register_field_array(module, ei_array, G_N_ELEMENTS(ei_array));
}

// The error flags each version shows, in the order they are shown.
static const int *const flags_v1[] = {
    &hf_ovint_rxerror_v1, &hf_ovint_alignerror, &hf_ovint_crcerror, NULL,
};
static const int *const flags_v2[] = {
    &hf_ovint_rxerror_v2, &hf_ovint_wrongpreamble, &hf_ovint_wrongifg, &hf_ovint_alignerror,
    &hf_ovint_crcerror, &hf_ovint_lostpacket, &hf_ovint_longpacket, &hf_ovint_shortpacket, NULL,
};
// Version 1's expert entries, in its order; version 2's are ei_ovint_flag.
// Both orders are the core's flag tables'.
static expert_field *const experts_v1[] = {&ei_ovint_flag[0], &ei_ovint_flag[3], &ei_ovint_flag[4]};

void add_flag_expert_only(packet_info *pinfo, guint8 version, guint8 flags)
{
    const TapFlagTable table = tap_flags(version);
    for (size_t i = 0; i < table.size(); i++) {
        if (flags & table[i].mask)
            expert_add_info(pinfo, NULL, version == 2 ? &ei_ovint_flag[i] : experts_v1[i]);
    }
}

extern "C" int dissect_ovint(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    if (tvb_reported_length(tvb) < (guint)TRAILER_LEN || !tree)
        return tvb_captured_length(tvb);

    // The layout is the record's own, whoever calls: the splitter with the
    // trailer it found, or anyone by name. Its marker lies in its middle, or
    // at its start where the record leads its frame; none: version 1's.
    guint8 record_version = 0;
    if (tvb_bytes_exist(tvb, 0, MARKER_OFFSET + MARKER_LEN + 1)) {
        const guint8 *bytes = tvb_get_ptr(tvb, 0, MARKER_OFFSET + MARKER_LEN + 1);
        record_version = marker_version(bytes + MARKER_OFFSET);
        if (record_version == 0)
            record_version = marker_version(bytes);
    }
    if (record_version == 0)
        record_version = 1;
    proto_item *record_item = proto_tree_add_item(tree, proto_ovint, tvb, 0, TRAILER_LEN, ENC_NA);
    proto_tree *record_tree = proto_item_add_subtree(record_item, ett_ovint);

    proto_tree_add_item(record_tree, hf_ovint_fcs, tvb, 0, 4, ENC_LITTLE_ENDIAN);

    const guint16 port_word = tvb_get_ntohs(tvb, PORT_OFFSET);
    proto_tree_add_uint(record_tree, hf_ovint_channel, tvb, PORT_OFFSET, 1,
                        channel_from_port(port_from_bits(port_word)));
    proto_item *port_item = proto_tree_add_uint(record_tree, record_version == 2 ? hf_ovint_port_v2 : hf_ovint_port_v1,
                                                tvb, PORT_OFFSET, 1, port_word >> 8);

    const guint8 flags = static_cast<guint8>(port_word);
    const TapFlagTable table = tap_flags(record_version);
    const int *const *hfs = record_version == 2 ? flags_v2 : flags_v1;
    for (size_t i = 0; i < table.size(); i++) {
        proto_item *item = proto_tree_add_item(record_tree, *hfs[i], tvb, FLAGS_OFFSET, 1, ENC_BIG_ENDIAN);
        if (flags & table[i].mask)
            expert_add_info(pinfo, item, record_version == 2 ? &ei_ovint_flag[i] : experts_v1[i]);
    }

    proto_tree_add_item(record_tree, hf_ovint_timestamp, tvb, TIMESTAMP_OFFSET, TIMESTAMP_LEN,
                        ENC_LITTLE_ENDIAN);
    add_latency_items(record_tree, port_item, tvb, pinfo);
    return tvb_captured_length(tvb);
}
