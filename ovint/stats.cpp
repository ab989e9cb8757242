// SPDX-License-Identifier: GPL-2.0-or-later
//
// Port and error statistics. The splitter queues every trailer it takes to
// ovint's tap; a statistics tree (Statistics › BRAXEL TAP VESTRIL › Ports
// and errors, or tshark -z ovint,tree) counts the frames per channel and
// port, and each port's error flags.

#include <epan/packet.h>
#include <epan/stats_tree.h>
#include <epan/tap.h>

#include <cstdio>

#include "ovint_private.h"

int ovint_tap = -1;

// The host hands a queued record to the listeners once the frame is
// dissected, before the next one: one record serves every frame.
static TapRecord tap_record;

static const char FRAMES_NODE[] = "Frames with a TAP trailer";
static int frames_node = -1;

void queue_tap_record(tvbuff_t *tvb, guint32 trailer_offset, guint8 version, packet_info *pinfo)
{
    const gint offset = static_cast<gint>(trailer_offset);
    const guint16 port_word = tvb_get_ntohs(tvb, offset + PORT_OFFSET);
    tap_record.version = version;
    tap_record.port = static_cast<guint8>(port_word >> 8);
    tap_record.flags = static_cast<guint8>(port_word);
    tap_record.channel = channel_from_port(port_from_bits(port_word));
    tap_queue_packet(ovint_tap, pinfo, &tap_record);
}

extern "C" void ovint_stats_init(stats_tree *st)
{
    frames_node = stats_tree_create_node(st, FRAMES_NODE, 0, STAT_DT_INT, TRUE);
}

extern "C" tap_packet_status ovint_stats_packet(stats_tree *st, packet_info *, epan_dissect_t *,
                                                const void *data OVINT_TAP_FLAGS_PARAM)
{
    const TapRecord *record = static_cast<const TapRecord *>(data);
    tick_stat_node(st, FRAMES_NODE, 0, TRUE);

    char channel[32];
    if (record->channel == NO_CHANNEL)
        snprintf(channel, sizeof channel, "No channel");
    else
        snprintf(channel, sizeof channel, "Channel %u", record->channel);
    const int channel_node = tick_stat_node(st, channel, frames_node, TRUE);

    char port[32];
    snprintf(port, sizeof port, "Port %s", port_label(record->version, record->port).text);
    const int port_node = tick_stat_node(st, port, channel_node, TRUE);

    // Every flag the trailer's version has, so that a port shows its zeros.
    for (const TapFlag &flag : tap_flags(record->version))
        increase_stat_node(st, flag.name, port_node, FALSE, (record->flags & flag.mask) ? 1 : 0);
    return TAP_PACKET_REDRAW;
}

extern "C" void register_ovint_stats_tree(void)
{
    stats_tree_register_plugin("ovint", "ovint", "BRAXEL TAP VESTRIL/Ports and errors", 0,
                               ovint_stats_packet, ovint_stats_init, NULL);
}
