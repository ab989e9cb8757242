// SPDX-License-Identifier: GPL-2.0-or-later
//
// The state and ids that the files of the ovint plug-in share. Private to the
// module: nothing here is exported from ovint.so.

#ifndef OVINT_PRIVATE_H
#define OVINT_PRIVATE_H

// The host's 3.2 headers must see glib before anything else in C++.
#include <epan/packet.h>
#include <epan/expert.h>
#include <epan/prefs.h>

#include "host_compat.h"
#include "core/matching/latency_ranges.h"
#include "core/packet/frame_facts.h"
#include "core/trailer/ports.h"
#include "core/trailer/tap_clock.h"
#include "core/trailer/trailer_format.h"

constexpr gint FIELD_COUNT = 20;

// ---- Ids, assigned by the host at registration (trailer.cpp) ----

extern int proto_ovint;
extern int ett_ovint;
extern int hf_ovint_channel;
extern int hf_ovint_port_v1;
extern int hf_ovint_port_v2;
extern int hf_ovint_rxerror_v2;
extern int hf_ovint_wrongpreamble;
extern int hf_ovint_wrongifg;
extern int hf_ovint_alignerror;
extern int hf_ovint_crcerror;
extern int hf_ovint_lostpacket;
extern int hf_ovint_longpacket;
extern int hf_ovint_shortpacket;
extern int hf_ovint_timestamp;
extern int hf_ovint_fcs;
extern int hf_ovint_reserved;
extern int hf_ovint_rxerror_v1;
extern int hf_ovint_latency;
extern int hf_ovint_latency_us;
extern int hf_ovint_latency_earlier;
extern int hf_ovint_latency_later;

// The field table; the host fills in members of each row when it registers it.
extern hf_register_info hf_array[FIELD_COUNT];

// ---- Trailer format and record dissector (trailer.cpp) ----

extern "C" int dissect_ovint(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data);

// ---- Plug-in entry and registration (plugin.cpp) ----

extern dissector_handle_t eth_withoutfcs_handle;
extern int handoff_done;

extern "C" void proto_register_ovint(void);
extern "C" void proto_reg_handoff_ovint(void);

// ---- Frame splitter (splitter.cpp) ----

// Set while the splitter handles a frame, so that it turns away the frame's
// own Ethernet part when the host offers that to it again.
extern int in_heur;

extern "C" ovint_heur_result_t dissect_ovint_heur(tvbuff_t *tvb, packet_info *pinfo,
                                                  proto_tree *tree, void *data);

// ---- Port and error statistics (stats.cpp) ----

// The tap the splitter queues each trailer it takes to.
extern int ovint_tap;

// What the tap hands its listeners for one trailer-bearing frame.
struct TapRecord {
    guint8 version;
    guint8 port;
    guint8 flags;
    guint16 channel;
    guint64 tap_time;  // ns
    // Dissected for the first time: the capture may not have been read
    // through yet (the host marks the frame visited before its taps run).
    bool first_dissection;
};

void queue_tap_record(const guint8 *trailer, guint8 version, packet_info *pinfo);

// Registers the statistics tree; the host calls it once its protocols and
// taps are registered.
extern "C" void register_ovint_stats_tree(void);

// ---- Latency across the links (latency.cpp) ----

// The preferences: a KeyMode, and the window in milliseconds.
extern gint latency_key_mode;
extern guint latency_window_ms;
extern guint latency_threshold_us;  // 0: off
extern gint latency_cabling;  // a Cabling

// What the matcher found for one frame.
struct FrameLatency {
    // waiting: keyed, no partner (yet: after the first pass, the capture
    // ended within a window of it); unkeyed: a trailer-bearing frame with
    // no key, never matched; unseen: left the window without a partner;
    // edge: likewise, its partner may lie outside the capture; merged: a
    // record longer than any frame, left out.
    enum Role : guint8 { none, waiting, earlier, later, unkeyed, unseen, edge, merged };
    // What else was found at this frame: the TAP clock's steps, a partner
    // met only after the window (`partner` and `latency` tell it), a pair
    // made while the cabling was being learnt.
    enum Mark : guint8 {
        stepped_back = 1,
        lone_ahead_ended = 2,
        late = 4,
        late_later = 8,
        provisional = 16,
        wrong_direction = 32,  // met a partner only against the cabling
        ambiguous = 64,        // paired with one of several equal frames
    };
    guint64 latency;  // ns
    guint32 partner;  // the other sighting's frame number
    Role role;        // of this frame
    guint8 partner_port;
    guint8 partner_version;
    guint8 marks;     // Mark bits
};

// Frames without a partner within the window that met one after it: how
// many, the furthest apart (ns) and the later sighting of the first.
struct LateSummary {
    guint64 count, latest;
    guint32 first_frame;
};
const LateSummary *late_summary(void);
// The cabling the matcher took ("Con A and Con D toward the device (A-C,
// learnt)"), or NULL while it learns it.
const char *cabling_summary(void);
// The ranges of the Latency statistics' histograms: those of the window,
// which the host counts in an int.
LatencyRanges latency_tree_ranges(void);
// A figure of one direction's latencies (ns) and how many are at or below it.
struct LatencyFigure {
    guint64 value;
    guint64 at_or_below;
};
// One direction's latencies, known once the capture has been read through:
// the figures ovint-latency reports for the same pairs (percentiles by
// nearest rank, the mean to the nearest ns) and the histogram's ranges
// that hold any.
struct DirectionFigures {
    enum Figure { least, mean, median, p99, p99_9, largest, FIGURE_COUNT };
    guint8 from_port, from_version, to_port, to_version;
    guint64 count;
    LatencyFigure figure[FIGURE_COUNT];
    guint64 ranges_used;  // bit i: range i of latency_tree_ranges()
};
// The figures of the direction from one port to another, or NULL before
// the capture has been read through.
const DirectionFigures *direction_figures(guint8 from_port, guint8 from_version, guint8 to_port, guint8 to_version);
// Whether a trailer-bearing frame of `port` and `tap_time`, dissected again
// once the capture has been read through, was never seen on the other link
// (within the window), or lies at the capture's edge: its partner may lie
// outside it. Neither for a frame paired, or merged.
bool not_seen_on_other_link(const FrameLatency *found, guint8 port, guint64 tap_time);
bool at_capture_edge(const FrameLatency *found, guint8 port, guint64 tap_time);
// The fate of the frame being dissected (a Fate), once it is known: for a
// frame without a partner, once the capture has been read through. -1
// before.
int current_frame_fate(const FrameLatency *found, guint8 port, guint64 tap_time);

// A step of the TAP clock, found at frame `frame`: a step back, or the end
// of a lone frame stamped ahead (`ahead_frame`).
struct ClockEvent {
    guint32 frame;
    guint32 ahead_frame;
    guint64 step;  // ns
};

// Keys a trailer-bearing frame seen for the first time and hands it to the
// matcher. Reads only the captured bytes.
void note_sighting(const guint8 *bytes, guint32 captured, guint32 reported, TrailerMatch match,
                   const frame_data *fd) noexcept;
// What is known of frame `num`, or NULL: no trailer, or no latency key.
const FrameLatency *frame_latency(guint32 num);
// The clock event of `kind` (a FrameLatency::Mark of the clock) found at frame
// `num`, or NULL.
const ClockEvent *clock_event(guint32 num, guint8 kind);
// Refuses a window below 1 ms, with a sentence; called when preferences
// are applied.
void check_latency_window(void);
// The latency items of the trailer's subtree.
// With the capture read through, a frame not seen on the other link is also
// an expert entry (on `port_item`), as is a latency above the threshold.
void add_latency_items(proto_tree *tree, proto_item *port_item, tvbuff_t *tvb, packet_info *pinfo);
// The same entries for a frame dissected without a tree.
void add_latency_expert_only(packet_info *pinfo, guint8 port, guint64 tap_time);
// The TAP's error flags set on a frame dissected without a tree, as expert
// entries.
void add_flag_expert_only(packet_info *pinfo, guint8 version, guint8 flags);
extern expert_field ei_ovint_not_seen;
extern expert_field ei_ovint_late;
extern expert_field ei_ovint_one_link;
extern expert_field ei_ovint_merged;
extern expert_field ei_ovint_at_edge;
extern expert_field ei_ovint_short_capture;
extern int hf_ovint_fate;
extern expert_field ei_ovint_above_threshold;
void register_expert_entries(void);
void register_latency_preferences(module_t *module);
// A capture begins (the tables start empty, with the preferences' key and
// window) or ends.
extern "C" void start_latency_tables(void) noexcept;
extern "C" void free_latency_tables(void);

// ---- Time base (timebase.cpp) ----

// The reference: the first trailer-bearing frame of the capture. ref_frame
// only tells whether one is held; it is never read through.
extern const frame_data *ref_frame;
extern guint64 ref_hw_ts;
extern nstime_t ref_abs_ts;
extern guint32 ref_frame_num;

// A frame seen for the first time and numbered not above the reference
// means the capture is being read anew: the reference is dropped. Inline:
// it runs for every frame the splitter is offered.
inline void check_hw_reference(packet_info *pinfo)
{
    if (ref_frame && !pinfo->fd->visited && pinfo->fd->num <= ref_frame_num)
        ref_frame = NULL;
}
void apply_hw_timestamp(const guint8 *trailer, packet_info *pinfo);

// Forgets the reference; the host calls it when a capture begins or ends.
extern "C" void drop_hw_reference(void);

#endif // OVINT_PRIVATE_H
