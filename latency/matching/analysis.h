// SPDX-License-Identifier: GPL-2.0-or-later
//
// What ovint-latency learns of a capture, frame by frame, over plain
// values: the trailer-bearing frames are keyed and matched across the
// TAP's links as the plug-in matches them; per direction the latencies
// (for percentiles, jitter and duplicates), per port the frames, those
// never seen on the other link and their flags, and the bursts. It never
// prints: the report does, and the tables get rows through a TableSink.

#ifndef OVINT_LATENCY_MATCHING_ANALYSIS_H
#define OVINT_LATENCY_MATCHING_ANALYSIS_H

#include "figures/bursts.h"
#include "figures/distribution.h"
#include "core/matching/fate_judge.h"
#include "figures/jitter.h"
#include "figures/picture.h"
#include "figures/traffic_groups.h"

#include "core/matching/latency_definition.h"
#include "core/matching/latency_matcher.h"
#include "core/matching/latency_ranges.h"
#include "core/trailer/ports.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

// Receives the rows of the --pairs and --frames tables as they are known.
class TableSink {
public:
    // A match: its pair row (with its latency under the definition asked
    // for) and both of its frames' rows.
    virtual void match_rows(const Pairing &pairing, int64_t latency) = 0;
    // A frame never matched.
    virtual void frame_row(const Sighting &sighting, bool keyed, Fate fate) = 0;

protected:
    ~TableSink() = default;
};

// What the analysis takes of one frame, read from its bytes alone: any
// thread may read it, and a sightings file holds it.
struct FrameRecord {
    enum Kind : uint8_t { no_trailer, keyed, unkeyed, merged };
    uint64_t frame;  // its number in the capture (frames run on across files)
    uint64_t tap_time;
    LatencyKey key;  // keyed only
    uint32_t wire;   // the Ethernet part's length on the wire
    uint8_t kind, port, version, flags;
    FrameFacts facts;
    TrafficView view;  // read only when asked for
};

// The record of a frame of `captured` bytes, `wire_length` on the wire.
FrameRecord read_frame(KeyMode mode, bool views, uint64_t frame, const uint8_t *bytes, uint32_t captured,
                       uint32_t wire_length, bool ethernet);

struct PortFigures {
    uint8_t version = 0, port = 0;
    uint64_t frames = 0;     // with a trailer
    uint64_t unmatched = 0;  // never seen on the other link within the window
    uint64_t no_key = 0;     // of those, without a key to be recognised by
    uint64_t merged = 0;     // records longer than any frame: neither matched nor counted as unseen
    uint64_t at_edge = 0;    // without a partner, which may lie outside the capture
    uint64_t unmatched_flagged[MAX_FLAGS] = {};  // of those, by the version's flag table
    uint64_t flagged[MAX_FLAGS] = {};            // of all its frames, likewise
    uint64_t fates[FATE_COUNT] = {};             // every frame's, by Fate
    Burst bursts[BURST_WINDOW_COUNT];
};

struct DirectionFigures {
    uint8_t version = 0, from_port = 0, to_port = 0;
    LatencyDistribution latencies;  // ns
    // The frames that entered the device at the from port: those matched
    // and, for the busiest direction from that port, those not seen leaving.
    uint64_t entered = 0, not_seen = 0;
    uint64_t late = 0;  // of those that entered, seen leaving only after the window
    // Of those that entered, packets the device fragmented, and the latency
    // to their first and to their last piece.
    uint64_t fragmented = 0;
    LatencyDistribution to_first_piece, to_last_piece;
    uint64_t ambiguous = 0;  // later sightings that had more than one candidate
    uint64_t histogram[MAX_LATENCY_RANGES] = {};  // by the Analysis's ranges
    Jitter jitter;
    DirectionPicture picture;  // gathered only for --plot
    // With intervals: the latencies matched since the last interval was
    // taken, for its percentiles (exact up to a limit, so that an interval
    // of any traffic stays bounded), and by the ranges (the last index:
    // beyond the last range).
    LatencyDistribution interval_latencies{INTERVAL_EXACT_LIMIT, LatencyDistribution::Beyond::estimate};
    uint64_t interval_histogram[MAX_LATENCY_RANGES + 1] = {};
    // The jitter of those matches alone, among themselves.
    Jitter interval_jitter;
    static constexpr size_t INTERVAL_EXACT_LIMIT = size_t(1) << 20;  // 8 MB
};

// Whether the window was long enough: frames that left it without a
// partner and met one later, and pairs near its end.
struct WindowCheck {
    uint64_t late = 0;            // pairs further apart than the window
    uint64_t latest = 0;          // ns: the furthest apart
    uint64_t first_late_frame = 0;  // the later sighting of the first
    uint64_t near_end = 0;        // pairs in the histogram's last range, up to the window
    // Late pairs whose key was not unique around them (a frame repeated):
    // they may be two frames', so no window follows from them.
    uint64_t unsure = 0;
    // The window, in whole ms, that would have held every late pair.
    uint64_t holding_ms() const { return (latest + 999999) / 1000000; }
};

class Analysis : public MatchSink {
public:
    Analysis(KeyMode mode, uint64_t window_ns, Cabling cabling, TableSink *tables);

    // Gathers what --plot draws, from the first frame on.
    void gather_picture() { picturing_ = true; }
    // Each link's rate in bits per second (link 1: Con A and B), from the
    // first frame on: bursts are then the bits on the wire, and latencies
    // may be defined by other than the first bits.
    void line_rates(uint64_t link1, uint64_t link2) { line_rates_[0] = link1, line_rates_[1] = link2; }
    void define_latency(LatencyDefinition definition) { definition_ = definition; }
    // Reports per group of traffic, at most `limit` groups apart.
    void group_by(GroupBy by, size_t limit);
    // Keeps each frame's traffic view for the tables' columns.
    void keep_views() { keeping_views_ = true; }
    // Keeps each direction's latencies since the last interval was taken,
    // and from the start only their histogram (the report's percentiles
    // are then approximate).
    void keep_interval_latencies();
    // An interval taken: its matches, all known by now, put into their
    // directions' interval jitter in the order of their earlier sightings.
    void take_interval_jitter() { interval_jitter_order_.finish(); }
    // With intervals and groups: the interval's groups, settled as the
    // report's (not seen by the cabling so far), a new interval's begun.
    std::unique_ptr<TrafficGroups> take_interval_groups();
    // An interval's groups: at most so many apart, and so many latencies
    // each held exactly (then a histogram), so that memory stays bounded.
    static constexpr size_t INTERVAL_GROUPS = 64, INTERVAL_GROUP_EXACT_LIMIT = 16384;
    // A record to come soon: its key's place in the matcher is fetched.
    __attribute__((always_inline)) void prefetch(const FrameRecord &record) const
    {
        if (record.kind == FrameRecord::keyed)
            matcher_.prefetch(record.key);
    }
    // The TAP clock as the matcher follows it, and its steps so far.
    uint64_t clock_now() const { return matcher_.clock().now(); }
    // The port's busiest windows since it was last asked (with intervals).
    void take_interval_bursts(uint8_t version, uint8_t port, Burst busiest[BURST_WINDOW_COUNT])
    {
        port_bursts_.at(port_order_key(version, port)).take_interval(busiest);
    }
    // The rate of the link a port byte is on (0: not given).
    uint64_t line_rate_of(uint8_t port) const { return line_rates_[channel_of_port_byte(port) == 2 ? 1 : 0]; }
    // A live input fell quiet: nothing is to come before `tap_time`.
    void settle_until(uint64_t tap_time) { matcher_.settle_until(tap_time, *this); }
    const ClockSteps &clock_steps_so_far() const { return matcher_.clock().steps(); }
    // The cabling as the matcher holds it now: learn while it learns.
    Cabling cabling_so_far() const { return matcher_.learning() ? Cabling::learn : matcher_.findings().cabling; }
    bool cabling_learnt_so_far() const { return !matcher_.learning() && matcher_.findings().learnt; }

    // The next frame of the capture (frame numbers run on across files).
    void add_frame(uint64_t frame, const uint8_t *bytes, uint32_t captured, uint32_t wire_length, bool ethernet)
    {
        add_record(read_frame(mode_, keeping_views_, frame, bytes, captured, wire_length, ethernet));
    }
    // The same, read before (on another thread, or from a sightings file).
    void add_record(const FrameRecord &record);
    // Frames a sightings file counted but did not hold: without a trailer.
    void count_frames_without_trailer(uint64_t count) { frames += count; }
    KeyMode key_mode() const { return mode_; }
    bool keeps_views() const { return keeping_views_; }
    // The capture has ended.
    void finish();

    uint64_t frames = 0, frames_with_trailer = 0;
    uint64_t merged_records = 0, first_merged_frame = 0;  // trailer-bearing records longer than any frame
    bool cabling_given = false;
    ClockSteps clock_steps;  // known once finished
    MatchFindings findings;  // likewise
    WindowCheck window_check;
    const LatencyRanges ranges;  // of the directions' histograms
    bool any_tap_time = false;
    uint64_t first_tap_time = 0, last_tap_time = 0;
    uint64_t first_frame_tap_time = 0;  // of the first trailer-bearing frame
    LatencyDefinition definition() const { return definition_; }
    // Pairs whose latency under the definition fell below zero: they left
    // before they had fully come in (kept as they are).
    uint64_t below_zero = 0, first_below_zero_frame = 0;
    ViewTable views;                        // of the frames still to be told
    std::unique_ptr<TrafficGroups> groups;  // with --by
    std::map<uint16_t, PortFigures> ports;            // by port_order_key
    std::map<uint32_t, DirectionFigures> directions;  // by (version, from port, to port)

    void paired(const Pairing &pairing) override;
    void unmatched(const Sighting &sighting, bool at_edge) override;
    void late(const Pairing &pairing) override;
    void wrong_direction(const Sighting &) override {}
    void cabling_learnt() override;
    void clock_stepped_back() override;
    void settling() override { settling_ = true; }

private:
    void count_unseen(const Sighting &sighting, bool keyed, bool at_edge);
    FateJudge judge_;
    std::vector<Sighting> unkeyed_while_learning_;
    // Pieces that left without a partner, told once every packet that
    // entered before them has been (its watch ended), and packets that
    // entered whole at the capture's edge, told with their pieces: at most
    // so many.
    static constexpr size_t MOST_PENDING_PIECES = 65536;
    struct PendingPiece {
        Sighting piece;
        bool at_edge;  // as the matcher told it
    };
    std::deque<PendingPiece> pending_pieces_;
    bool settling_ = false;  // the matcher tells what waited all at once
    uint64_t pieces_reach_;
    void tell_piece();
    void tell_unpaired(const Sighting &sighting, bool keyed, bool toward, PortFigures &figures);
    void count_fragmented(const Sighting &whole);
    int64_t defined_latency_of(const Pairing &pairing);
    void told(const Sighting &sighting)
    {
        if (sighting.view)
            views.release(sighting.view);
    }
    __attribute__((noinline, cold)) void add_merged(PortFigures &figures, const Sighting &record);
    PortFigures &port_figures(uint8_t version, uint8_t port);

    KeyMode mode_;
    uint64_t window_;
    uint64_t settled_reach_;  // how far back of the clock every match is known
    TableSink *tables_;
    bool keeping_interval_latencies_ = false;
    LatencyMatcher matcher_;
    std::map<uint16_t, PortBursts> port_bursts_;  // by port_order_key
    // Each port's figures and bursts, found once: by trailer version (1 and
    // 2 so far) and port byte.
    struct PortPlace {
        PortFigures *figures = nullptr;
        PortBursts *bursts = nullptr;
    };
    PortTable<PortPlace> port_places_;
    PortPlace port_place(uint8_t version, uint8_t port)
    {
        const PortPlace &place = port_places_(version, port);
        return place.figures ? place : make_port_place(version, port);
    }
    PortPlace make_port_place(uint8_t version, uint8_t port);
    // The directions matched lately, found again without the map.
    struct RecentDirection {
        uint32_t key = ~uint32_t(0);
        DirectionFigures *figures = nullptr;
    };
    RecentDirection recent_directions_[4];
    size_t next_recent_ = 0;
    DirectionFigures &direction_figures(const Pairing &pairing);
    JitterOrder jitter_order_;
    JitterOrder interval_jitter_order_;  // with intervals
    bool picturing_ = false;
    bool keeping_views_ = false;
    uint64_t line_rates_[2] = {0, 0};
    LatencyDefinition definition_ = LatencyDefinition::fifo;
};

// Records taken a few frames before they are matched, in the same order:
// the matcher's index, larger than the caches, is asked for each record's
// slot while the records before it are matched. A record is read into its
// place: `next()` gives the place, `taken()` says it is filled. `flush()`
// matches what waits, before the analysis is asked anything.
class MatchingLookahead {
public:
    explicit MatchingLookahead(Analysis &analysis) : analysis_(analysis) {}
    // The place of the next record: the one there, DEPTH records back, is
    // matched first.
    FrameRecord &next()
    {
        FrameRecord &place = waiting_[taken_ % DEPTH];
        if (taken_ - matched_ == DEPTH) {
            analysis_.add_record(place);
            matched_++;
        }
        return place;
    }
    void taken()
    {
        analysis_.prefetch(waiting_[taken_ % DEPTH]);
        taken_++;
    }
    void flush()
    {
        for (; matched_ < taken_; matched_++)
            analysis_.add_record(waiting_[matched_ % DEPTH]);
    }
    // Records ahead of the one matched.
    static constexpr size_t DEPTH = 8;

private:
    Analysis &analysis_;
    FrameRecord waiting_[DEPTH];
    uint64_t taken_ = 0, matched_ = 0;
};

#endif // OVINT_LATENCY_MATCHING_ANALYSIS_H
