// SPDX-License-Identifier: GPL-2.0-or-later
//
// The statistics trees. The splitter queues every trailer it takes to
// ovint's tap; under Statistics › BRAXEL TAP VESTRIL:
//   Ports and errors (tshark -z ovint,tree): the frames per channel and
//   port, and each port's error flags;
//   Latency (tshark -z ovint_latency,tree): per direction the frames
//   matched, their latency's figures and its histogram, per port the
//   frames not seen on the other link, flagged by the TAP or not.
// Both sort by name: channels and ports come in their natural order, and
// rows that must come first are flagged so.

#include <epan/packet.h>
#include <epan/stats_tree.h>
#include <epan/tap.h>

#include <cstdio>
#include <cstring>

#include "ovint_private.h"

#include "core/matching/latency_ranges.h"

int ovint_tap = -1;

// The host hands a queued record to the listeners once the frame is
// dissected, before the next one: one record serves every frame.
static TapRecord tap_record;

static const char FRAMES_NODE[] = "Frames with a TAP trailer";
static int frames_node = -1;

void queue_tap_record(const guint8 *trailer, guint8 version, packet_info *pinfo)
{
    tap_record.version = version;
    tap_record.port = trailer[PORT_OFFSET];
    tap_record.flags = trailer[FLAGS_OFFSET];
    tap_record.channel = channel_of_port_byte(tap_record.port);
    tap_record.tap_time = read_le64(trailer + TIMESTAMP_OFFSET);
    tap_record.first_dissection = !pinfo->fd->visited;
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

// ---- Latency ----

static const char MATCHED_NODE[] = "Frames matched";
static const char UNSEEN_NODE[] = "Not seen on the other link";
static int matched_node = -1;
static int unseen_node = -1;
// The cabling's row under the frames matched, once the cabling is known:
// it counts the pairs, as every pair is made under it.
static char cabling_row[160];
static guint64 pairs_counted;
// Under each direction, one histogram of latency ranges, named
// "FLOOR-CEIL ns (…)" (the host sorts ranges by their floor), and, once
// the capture has been read through, the figures ovint-latency reports.
static const char HISTOGRAM_NODE[] = "Latency histogram (ns)";
static const char FIGURES_NODE[] = "Latency (\u00b5s), frames at or below";
// Named so that the host's order by name is theirs.
static const char *const FIGURE_NAMES[DirectionFigures::FIGURE_COUNT] = {
    "least (min)", "mean", "median (p50)", "p99", "p99.9", "worst (max)"};

// "3.251 µs"
static void format_us(guint64 ns, char *text, size_t size)
{
    snprintf(text, size, "%" G_GUINT64_FORMAT ".%03u \u00b5s", ns / 1000, static_cast<unsigned>(ns % 1000));
}

// A direction's node, made when its first pair is counted: with the
// capture read through, its figures and the histogram's ranges that hold
// a latency; in a single pass, every range.
static void make_direction(stats_tree *st, const char *direction, const DirectionFigures *figures)
{
    const int direction_node = stats_tree_create_node(st, direction, matched_node, STAT_DT_INT, TRUE);
    const LatencyRanges ranges = latency_tree_ranges();
    char names[MAX_LATENCY_RANGES][80];
    gchar *range_names[MAX_LATENCY_RANGES];
    int used = 0;
    for (size_t i = 0; i < ranges.count; i++) {
        if (figures && !(figures->ranges_used & (G_GUINT64_CONSTANT(1) << i)))
            continue;
        char name[40];
        ranges.name(i, name, sizeof name);
        snprintf(names[used], sizeof names[used], "%" G_GUINT64_FORMAT "-%" G_GUINT64_FORMAT " ns (%s)",
                 ranges.floor[i], ranges.ceil(i), name);
        range_names[used] = names[used];
        used++;
    }
    stats_tree_create_range_node_string(st, HISTOGRAM_NODE, direction_node, used, range_names);
    if (!figures)
        return;
    const int figures_node = stats_tree_create_node(st, FIGURES_NODE, direction_node, STAT_DT_INT, TRUE);
    stat_node_set_flags(st, FIGURES_NODE, direction_node, FALSE, ST_FLG_SORT_TOP);
    increase_stat_node(st, FIGURES_NODE, direction_node, FALSE, static_cast<gint>(figures->count));
    for (int i = 0; i < DirectionFigures::FIGURE_COUNT; i++) {
        char value[40], name[80];
        format_us(figures->figure[i].value, value, sizeof value);
        snprintf(name, sizeof name, "%s %s", FIGURE_NAMES[i], value);
        increase_stat_node(st, name, figures_node, FALSE, static_cast<gint>(figures->figure[i].at_or_below));
    }
}

extern "C" void ovint_latency_init(stats_tree *st)
{
    cabling_row[0] = '\0';
    pairs_counted = 0;
    matched_node = stats_tree_create_node(st, MATCHED_NODE, 0, STAT_DT_INT, TRUE);
    unseen_node = stats_tree_create_node(st, UNSEEN_NODE, 0, STAT_DT_INT, TRUE);
    // First, whatever the order by name.
    stat_node_set_flags(st, MATCHED_NODE, 0, FALSE, ST_FLG_SORT_TOP);
    stat_node_set_flags(st, UNSEEN_NODE, 0, FALSE, ST_FLG_SORT_TOP);
}

static const char STEPPED_BACK_NODE[] = "TAP clock stepped back (ms)";
static const char AHEAD_NODE[] = "Lone frames stamped ahead of the TAP clock (ms)";

// A step of the TAP clock, by how much (an average node: count, least,
// largest) and where first.
static void count_clock_event(stats_tree *st, const char *name, guint32 first_frame, guint64 step)
{
    int node = stats_tree_parent_id_by_name(st, name);
    if (node == 0) {
        node = stats_tree_create_node(st, name, 0, STAT_DT_INT, TRUE);
        char first[48];
        snprintf(first, sizeof first, "first at frame %u", first_frame);
        tick_stat_node(st, first, node, FALSE);
    }
    const guint64 ms = step / 1000000;
    avg_stat_node_add_value_int(st, name, 0, TRUE, ms > static_cast<guint64>(G_MAXINT) ? G_MAXINT : static_cast<gint>(ms));
}

static const char EDGE_NODE[] = "At the capture's edge (the other sighting may lie outside it)";
static const char MERGED_NODE[] = "Records longer than any Ethernet frame (merged by the capture host)";
static const char LATE_NODE[] = "Seen on the other link only after the window (ms)";
static const char WRONG_DIRECTION_NODE[] = "Met a partner only in a direction the device does not forward";
// A frame of `record`'s port under the top node `name`: the port's node.
static int count_port(stats_tree *st, const char *name, const TapRecord *record)
{
    int top = stats_tree_parent_id_by_name(st, name);
    if (top == 0)
        top = stats_tree_create_node(st, name, 0, STAT_DT_INT, TRUE);
    tick_stat_node(st, name, 0, TRUE);
    char port[32];
    snprintf(port, sizeof port, "Port %s", port_label(record->version, record->port).text);
    return tick_stat_node(st, port, top, TRUE);
}

// The pair of frame `num`, under its direction.
static void count_pair(stats_tree *st, guint32 num)
{
    const FrameLatency *latency = frame_latency(num);
    const FrameLatency *partner = latency ? frame_latency(latency->partner) : NULL;
    if (!partner)
        return;
    const bool later = latency->role == FrameLatency::later;
    const FrameLatency *later_sighting = later ? latency : partner;
    const FrameLatency *earlier_sighting = later ? partner : latency;
    // Each sighting holds its partner's port.
    const PortLabel from = port_label(later_sighting->partner_version, later_sighting->partner_port);
    const PortLabel to = port_label(earlier_sighting->partner_version, earlier_sighting->partner_port);
    char direction[48];
    snprintf(direction, sizeof direction, "%s \u2192 %s", from.text, to.text);
    const int direction_node = stats_tree_parent_id_by_name(st, direction);
    if (direction_node == 0)
        make_direction(st, direction,
                       direction_figures(later_sighting->partner_port, later_sighting->partner_version,
                                         earlier_sighting->partner_port, earlier_sighting->partner_version));
    tick_stat_node(st, MATCHED_NODE, 0, TRUE);
    if (cabling_row[0])
        tick_stat_node(st, cabling_row, matched_node, FALSE);
    pairs_counted++;
    const int direction_id = tick_stat_node(st, direction, matched_node, TRUE);
    const gint value =
        latency->latency > static_cast<guint64>(G_MAXINT) ? G_MAXINT : static_cast<gint>(latency->latency);
    // The histogram's own row: the host adds the latency to its mean,
    // least and largest (in ns), not to its count.
    tick_stat_node(st, HISTOGRAM_NODE, direction_id, FALSE);
    stats_tree_tick_range(st, HISTOGRAM_NODE, direction_id, value);
}

// A pair further apart than the window: by how much (an average node), the
// first, and the window that would have held them all, known once the
// capture has been read through.
static void count_late(stats_tree *st, guint64 apart)
{
    int node = stats_tree_parent_id_by_name(st, LATE_NODE);
    if (node == 0) {
        const LateSummary *summary = late_summary();
        node = stats_tree_create_node(st, LATE_NODE, 0, STAT_DT_INT, TRUE);
        char text[80];
        snprintf(text, sizeof text, "first at frame %u", summary->first_frame);
        tick_stat_node(st, text, node, FALSE);
        snprintf(text, sizeof text, "a window of %" G_GUINT64_FORMAT " ms would have held them",
                 (summary->latest + 999999) / 1000000);
        tick_stat_node(st, text, node, FALSE);
    }
    const guint64 ms = apart / 1000000;
    avg_stat_node_add_value_int(st, LATE_NODE, 0, TRUE, ms > static_cast<guint64>(G_MAXINT) ? G_MAXINT : static_cast<gint>(ms));
}

extern "C" tap_packet_status ovint_latency_packet(stats_tree *st, packet_info *pinfo, epan_dissect_t *,
                                                  const void *data OVINT_TAP_FLAGS_PARAM)
{
    const TapRecord *record = static_cast<const TapRecord *>(data);
    const guint32 num = pinfo->fd->num;
    const FrameLatency *latency = frame_latency(num);
    if (!latency)
        return TAP_PACKET_DONT_REDRAW;
    if (latency->marks & FrameLatency::stepped_back) {
        const ClockEvent *event = clock_event(num, FrameLatency::stepped_back);
        if (event)
            count_clock_event(st, STEPPED_BACK_NODE, event->frame, event->step);
    }
    if (latency->marks & FrameLatency::lone_ahead_ended) {
        const ClockEvent *event = clock_event(num, FrameLatency::lone_ahead_ended);
        if (event)
            count_clock_event(st, AHEAD_NODE, event->ahead_frame, event->step);
    }
    // A pair is counted at the sighting read second, whichever of the two
    // was earlier by TAP time: in a single pass, that is when it is known
    // (while the cabling is learnt, in any direction).
    if (!cabling_row[0] && cabling_summary()) {
        g_strlcpy(cabling_row, cabling_summary(), sizeof cabling_row);
        stats_tree_create_node(st, cabling_row, matched_node, STAT_DT_INT, FALSE);
        stat_node_set_flags(st, cabling_row, matched_node, FALSE, ST_FLG_SORT_TOP);
        increase_stat_node(st, cabling_row, matched_node, FALSE, static_cast<gint>(pairs_counted));
    }
    const bool paired = latency->role == FrameLatency::earlier || latency->role == FrameLatency::later;
    if (paired && latency->partner < num) {
        count_pair(st, num);
        return TAP_PACKET_REDRAW;
    }
    if (latency->role == FrameLatency::merged) {
        count_port(st, MERGED_NODE, record);
        return TAP_PACKET_REDRAW;
    }
    // Not seen on the other link: known once the capture has been read
    // through (a frame dissected again), never in a single pass. A frame
    // without a key is never seen there either. One still waiting when the
    // capture ended, toward the device, may have left it after.
    if (record->first_dissection)
        return latency->marks ? TAP_PACKET_REDRAW : TAP_PACKET_DONT_REDRAW;
    if (latency->marks & FrameLatency::late_later)
        count_late(st, latency->latency);
    if (latency->marks & FrameLatency::wrong_direction)
        count_port(st, WRONG_DIRECTION_NODE, record);
    if (at_capture_edge(latency, record->port, record->tap_time)) {
        count_port(st, EDGE_NODE, record);
        return TAP_PACKET_REDRAW;
    }
    if (not_seen_on_other_link(latency, record->port, record->tap_time)) {
        const int port_node = count_port(st, UNSEEN_NODE, record);
        tick_stat_node(st, record->flags ? "flagged with an error by the TAP" : "not flagged by the TAP", port_node,
                       FALSE);
        if (latency->role == FrameLatency::unkeyed)
            tick_stat_node(st, "without a key", port_node, FALSE);
        return TAP_PACKET_REDRAW;
    }
    return latency->marks ? TAP_PACKET_REDRAW : TAP_PACKET_DONT_REDRAW;
}

extern "C" void register_ovint_stats_tree(void)
{
    // By name: channel 1 before 2, ports in their order.
    const guint sort_by_name = ST_SORT_COL_NAME << ST_FLG_SRTCOL_SHIFT;
    stats_tree_register_plugin("ovint", "ovint", OVINT_STATS_MENU("BRAXEL TAP VESTRIL", "Ports and errors"),
                               sort_by_name, ovint_stats_packet, ovint_stats_init, NULL);
    stats_tree_register_plugin("ovint", "ovint_latency", OVINT_STATS_MENU("BRAXEL TAP VESTRIL", "Latency"),
                               sort_by_name, ovint_latency_packet, ovint_latency_init, NULL);
}
