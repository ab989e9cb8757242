// SPDX-License-Identifier: GPL-2.0-or-later
//
// The TAP trailer: its marker and versions, the fields it is shown under, the
// guarded marker probe and the record dissector that renders one trailer.

#include <epan/packet.h>
#include <epan/exceptions.h>
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

guint8 record_version = 0;

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
    {&hf_ovint_latency_earlier, {"Seen earlier in frame", "ovint.latency.earlier", FT_FRAMENUM,      BASE_NONE, FRAMENUM_TYPE(FT_FRAMENUM_REQUEST),  0, NULL, HFILL}},
    {&hf_ovint_latency_later,   {"Seen again in frame",   "ovint.latency.later",   FT_FRAMENUM,      BASE_NONE, FRAMENUM_TYPE(FT_FRAMENUM_RESPONSE), 0, NULL, HFILL}},
};

// The error flags each version shows, in the order they are shown.
static const int *const flags_v1[] = {
    &hf_ovint_rxerror_v1, &hf_ovint_alignerror, &hf_ovint_crcerror, NULL,
};
static const int *const flags_v2[] = {
    &hf_ovint_rxerror_v2, &hf_ovint_wrongpreamble, &hf_ovint_wrongifg, &hf_ovint_alignerror,
    &hf_ovint_crcerror, &hf_ovint_lostpacket, &hf_ovint_longpacket, &hf_ovint_shortpacket, NULL,
};

void read_marker(tvbuff_t *tvb, gint offset)
{
    record_version = 0;
    for (gint i = 0; i < MARKER_LEN; i++) {
        if (ovint_get_uint8(tvb, offset + i) != MARKER_BYTES[i])
            return;
    }
    const guint8 code = ovint_get_uint8(tvb, offset + MARKER_LEN);
    if (code == VERSION_CODE_V1)
        record_version = 1;
    else if (code == VERSION_CODE_V2)
        record_version = 2;
}

gboolean probe_marker(tvbuff_t *tvb, gint offset)
{
    // When all six bytes are captured no read can fail, so the exception
    // frame (a setjmp) is only set up for probes that reach past the data.
    if (offset >= 0 && tvb_bytes_exist(tvb, offset, MARKER_LEN + 1)) {
        read_marker(tvb, offset);
        return record_version != 0;
    }
    TRY {
        read_marker(tvb, offset);
    }
    CATCH_ALL {
        THROW_FORMATTED(ReassemblyError, "Offset-Exception:%d", offset);
    }
    ENDTRY;
    return record_version != 0;
}

extern "C" int dissect_ovint(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *)
{
    if (tvb_reported_length(tvb) < (guint)TRAILER_LEN || !tree)
        return tvb_captured_length(tvb);

    proto_item *record_item = proto_tree_add_item(tree, proto_ovint, tvb, 0, TRAILER_LEN, ENC_NA);
    proto_tree *record_tree = proto_item_add_subtree(record_item, ett_ovint);

    proto_tree_add_item(record_tree, hf_ovint_fcs, tvb, 0, 4, ENC_LITTLE_ENDIAN);

    const guint16 port_word = tvb_get_ntohs(tvb, PORT_OFFSET);
    proto_tree_add_uint(record_tree, hf_ovint_channel, tvb, PORT_OFFSET, 1,
                        channel_from_port(port_from_bits(port_word)));
    proto_tree_add_uint(record_tree, record_version == 2 ? hf_ovint_port_v2 : hf_ovint_port_v1,
                        tvb, PORT_OFFSET, 1, port_word >> 8);

    for (const int *const *flag = record_version == 2 ? flags_v2 : flags_v1; *flag; flag++)
        proto_tree_add_item(record_tree, **flag, tvb, FLAGS_OFFSET, 1, ENC_BIG_ENDIAN);

    proto_tree_add_item(record_tree, hf_ovint_timestamp, tvb, TIMESTAMP_OFFSET, TIMESTAMP_LEN,
                        ENC_LITTLE_ENDIAN);
    add_latency_items(record_tree, tvb, pinfo->fd);
    return tvb_captured_length(tvb);
}
