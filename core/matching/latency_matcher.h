// SPDX-License-Identifier: GPL-2.0-or-later
//
// Pairs the two sightings of a frame that a device between the TAP's links
// forwards: one on a port toward the device, then one on the port away from
// it on the other link, read from the one TAP clock.
//
// Sightings are fed in capture order. A sighting pairs with the unpaired
// sighting of the same key on the other channel whose TAP time lies within
// the window of its own, in a direction the device forwards (the cabling:
// given, or learnt from the directions of the capture's first pairs, made
// meanwhile in any direction and then made again); of several, the one of
// the lowest TAP time (equal frames seen more than once pair first in,
// first out). The earlier of the two by TAP time is the earlier sighting,
// whichever came first in the capture, and the latency is the later TAP
// time less the earlier.
//
// A sighting older than the window before the TAP clock's time (a
// ClockWatch with the window as its tolerance) has found no partner: it was
// not seen on the other link; so has every sighting waiting when the clock
// steps back by more than the window, and a lone one stamped far ahead of
// it. One whose partner may lie outside the capture is at its edge
// instead: where its partner would lie (up to a window after one toward the
// device, up to a window before one away from it) is not covered by the
// other link's capture in the TAP clock's stretch. Sightings toward the
// device that found no partner are watched for ten windows more: one away
// from it that meets its partner there tells that the window was too short.
//
// Memory is bounded by the number of sightings in one window (and a
// bounded watch and queue of undecided edges beyond it); it grows by
// doubling, never per frame.
// Each key keeps its waiting sightings in a queue per channel, oldest
// first, so that a frame repeated thousands of times in a window (ARP, a
// keepalive) costs no more to match than any other.

#ifndef OVINT_CORE_MATCHING_LATENCY_MATCHER_H
#define OVINT_CORE_MATCHING_LATENCY_MATCHER_H

#include "core/matching/cabling.h"
#include "core/matching/clock_watch.h"
#include "core/packet/frame_facts.h"
#include "core/packet/latency_key.h"
#include "core/matching/sequence_ring.h"
#include "core/matching/table_memory.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

struct Sighting {
    uint64_t frame;     // frame number in the capture
    uint64_t tap_time;  // nanoseconds of the TAP clock
    LatencyKey key;
    uint32_t length;    // of the Ethernet part on the wire (0: not told)
    uint8_t port;       // the port byte
    uint8_t version;    // the trailer version
    uint8_t flags;      // the TAP's error flags
    uint8_t channel;    // 1 or 2
    uint32_t view;      // the caller's: what it knows of the frame's traffic (0: nothing)
    FrameScope scope = FrameScope::ordinary;  // what its addresses say of where it may go
    uint8_t ttl = 0;                          // of its IP packet (0: not IP)
    FragmentKind fragment = FragmentKind::none;
    uint32_t src_tag = 0, dst_tag = 0;        // its addresses, folded (0: none)
    uint32_t packet_tag = 0, id_tag = 0;      // its IP packet's identity (FrameFacts)
    uint32_t tcp_seq = 0;                     // its TCP segment's span (FrameFacts)
    uint16_t tcp_payload = 0;
};

// What a sighting carries of its frame's facts.
inline void take_facts(Sighting &sighting, const FrameFacts &facts)
{
    sighting.scope = facts.scope;
    sighting.ttl = facts.ttl;
    sighting.fragment = facts.fragment;
    sighting.src_tag = facts.src_tag;
    sighting.dst_tag = facts.dst_tag;
    sighting.packet_tag = facts.packet_tag;
    sighting.id_tag = facts.id_tag;
    sighting.tcp_seq = facts.tcp_seq;
    sighting.tcp_payload = facts.tcp_payload;
}

// Valid for the length of the sink's call.
struct Pairing {
    const Sighting &earlier;
    const Sighting &later;
    uint64_t latency;  // ns
    bool duplicate;    // the second sighting had more than one candidate
};

// What the matcher reports, as it learns it.
class MatchSink {
public:
    virtual void paired(const Pairing &pairing) = 0;
    // A sighting left without a partner: not seen on the other link, or,
    // `at_edge`, one whose partner may lie outside the capture.
    virtual void unmatched(const Sighting &sighting, bool at_edge) = 0;
    // Two sightings that left without a partner were one frame's, further
    // apart than the window.
    virtual void late(const Pairing &) {}
    // A sighting whose only candidates lay in a direction the device does
    // not forward (it is then left unpaired, and told so as well).
    virtual void wrong_direction(const Sighting &) {}
    // While the cabling is learnt, the pairs it will be learnt from, made in
    // any direction; once it is, made again (paired, unmatched) after
    // cabling_learnt(). For a sink that shows what it knows at once.
    virtual void provisional(const Pairing &) {}
    virtual void cabling_learnt() {}
    // The TAP clock stepped back: every sighting that waited is settled,
    // and a new clock starts with the sighting being fed.
    virtual void clock_stepped_back() {}
    // Every sighting still waiting is about to be told at once (the capture
    // or its clock has ended), not in capture order: those in the window,
    // then those waiting on the other link's capture, then those watched
    // for a late partner. Followed by clock_stepped_back() or the end of
    // finish().
    virtual void settling() {}

protected:
    ~MatchSink() = default;
};

// What the matcher found beside the pairs.
struct MatchFindings {
    Cabling cabling = Cabling::learn;  // as given or learnt
    bool learnt = false;               // from pairs, not given
    // The first pairs' directions (made in any direction): those the
    // cabling fits and the others.
    uint64_t votes_for = 0, votes_against = 0;
    // A cabling given, and the first pairs mostly fit another (`fitting`):
    // the capture contradicts it.
    bool contradicted = false;
    Cabling fitting = Cabling::learn;
    // Sightings whose only candidates lay in a direction the device does
    // not forward, and the first.
    uint64_t wrong_direction = 0, first_wrong_direction_frame = 0;
    // Sightings without a partner left unwatched: too many at once.
    uint64_t unwatched = 0;
};

// What the capture holds of one link in the TAP clock's stretch: its
// least and largest TAP time.
struct LinkSpan {
    uint64_t first = UINT64_MAX, last = 0;
    bool seen() const { return first <= last; }
    void add(uint64_t tap_time)
    {
        first = tap_time < first ? tap_time : first;
        last = tap_time > last ? tap_time : last;
    }
};

// Whether a sighting without a partner may have one outside the capture:
// the other link's capture does not cover where the partner would lie, up
// to a window after a sighting toward the device, or before one away from
// it (each link may start and end on its own).
inline bool partner_may_lie_outside(bool toward, uint64_t tap_time, uint64_t window, const LinkSpan &other)
{
    if (!other.seen() || tap_time < other.first)
        return true;
    if (toward)
        return other.last < tap_time || other.last - tap_time < window;
    return tap_time - other.first < window || tap_time > other.last;
}

class LateWatch;

class LatencyMatcher {
public:
    explicit LatencyMatcher(uint64_t window_ns, Cabling cabling = Cabling::learn);
    ~LatencyMatcher();

    // Feeds the next sighting in capture order; reports the pairing it
    // makes and the sightings that left the window unpaired.
    void add(const Sighting &sighting, MatchSink &sink)
    {
        if (__builtin_expect(trial_ != nullptr, 0)) {
            learn(sighting, true, sink);
            return;
        }
        if (__builtin_expect(checker_ != nullptr, 0))
            check(sighting, true);
        pair(sighting, sink);
    }
    // A trailer-bearing frame without a key: it only tells the time, and
    // that its link (its channel, 1 or 2; 0: none) was captured then.
    void pass(uint64_t frame, uint64_t tap_time, uint8_t channel, MatchSink &sink);
    // The capture has ended: every sighting still waiting is unmatched.
    // What the clock did stays to be read.
    void finish(MatchSink &sink);
    // A live input has fallen quiet: no sighting is to come before
    // `tap_time`, on either link seen so far. What the window leaves behind
    // by then is settled, as a sighting of that time would settle it; the
    // clock itself stays where the last sighting left it.
    void settle_until(uint64_t tap_time, MatchSink &sink);

    // Asks for the index slot where `key` starts its probe, a few
    // sightings before it comes: the index is larger than the caches.
    // Inlined where it is called: a call of a routine that only prefetches
    // is taken as free of effects, and dropped.
    __attribute__((always_inline)) void prefetch(const LatencyKey &key) const
    {
        // The slot and the next on its probe path, where freed slots wait
        // for reuse.
        const size_t mask = index_size_ - 1, at = key.low & mask;
        const char *slot = reinterpret_cast<const char *>(&index_[at]);
        const char *next = reinterpret_cast<const char *>(&index_[(at + 1) & mask]);
        __builtin_prefetch(slot);
        __builtin_prefetch(slot + sizeof(Slot) - 1);
        __builtin_prefetch(next + sizeof(Slot) - 1);
    }

    uint64_t window() const { return window_; }
    size_t waiting() const { return static_cast<size_t>(head_ - tail_); }
    const ClockWatch &clock() const { return clock_; }
    // Whether both links' captures, in the clock's stretch, lie within one
    // window: no frame of them can be told lost.
    bool shorter_than_window() const
    {
        const uint64_t first = spans_[0].first < spans_[1].first ? spans_[0].first : spans_[1].first;
        const uint64_t last = spans_[0].last > spans_[1].last ? spans_[0].last : spans_[1].last;
        return first <= last && last - first < window_;
    }
    const MatchFindings &findings() const { return findings_; }
    // Still learning the cabling: what was fed waits to be paired.
    bool learning() const { return trial_ != nullptr; }
    // How long a sighting without a partner is watched, in windows.
    static constexpr uint64_t WATCH_WINDOWS = 10;

private:
    enum class Kind : uint8_t { main, trial };
    LatencyMatcher(uint64_t window_ns, Cabling cabling, Kind kind);
    class VoteSink;

    struct Entry {
        Sighting sighting;
        uint64_t newer;  // the next waiting sighting of the key on this channel, or NONE
        uint32_t slot;   // of its key in the index
        bool paired;
        bool repeated;  // its key came again on its link while it waited
    };
    // A key's waiting sightings on each channel (index 0 for channel 1, 1
    // for channel 2), by sequence number, oldest first. A slot none of
    // whose sightings is in the ring any more is free for reuse; one never
    // used is empty and ends a probe path. Sequence numbers start at 1, so
    // that a slot of zero bytes is empty: the index comes zeroed.
    struct Slot {
        LatencyKey key;
        uint64_t oldest[2];
        uint64_t newest[2];  // newest[0] EMPTY: never used
        bool used() const { return newest[0] != EMPTY; }
    };
    static constexpr uint64_t NONE = ~uint64_t(0);
    static constexpr uint64_t EMPTY = 0;
    static constexpr uint64_t FIRST_SEQ = 1;
    static constexpr Slot EMPTY_SLOT = {};
    struct FreeSlots {
        size_t slots = 0;
        void operator()(Slot *index) const { free_table(index, slots * sizeof(Slot)); }
    };
    using Index = std::unique_ptr<Slot[], FreeSlots>;
    static Index zeroed_index(size_t slots);
    // Of the candidates in a queue, at most the first few are compared by
    // TAP time: the capture writes frames only a little out of order.
    static constexpr int LOOKAHEAD = 8;

    Entry &entry(uint64_t seq) { return ring_[seq]; }
    bool alive(uint64_t seq) const { return seq != NONE && seq >= tail_; }
    bool live_slot(const Slot &slot) const { return slot.used() && (alive(slot.newest[0]) || alive(slot.newest[1])); }
    size_t find_slot(const LatencyKey &key, bool *found);
    void leave_ring(const Entry &leaving);
    void expire(uint64_t now, MatchSink &sink);
    void rebuild_index(size_t slots);
    void compact_index();
    void moved(const Slot &slot, size_t at);
    void read_clock(uint64_t frame, uint64_t tap_time, MatchSink &sink);
    void settle(MatchSink &sink);
    void left_unpaired(const Sighting &sighting, bool settled, bool repeated, MatchSink &sink);
    // A frame of channel 1 or 2.
    void read_span(uint8_t channel, uint64_t tap_time, MatchSink &sink)
    {
        const int link = channel == 2;
        LinkSpan &span = spans_[link];
        if (tap_time > span.last) {
            span.last = tap_time;
            // A sighting of the other link waits to be told at the edge or
            // not until this link's capture is seen to go on past it.
            if (__builtin_expect(undecided_count_[link] != 0, 0))
                decide_edges(link, sink);
        }
        if (__builtin_expect(tap_time < span.first, 0))
            span.first = tap_time;
    }
    void decide_edges(int link, MatchSink &sink);
    // Looked up, not worked out: asked of every candidate.
    bool allowed(const Sighting &earlier, const Sighting &later) const
    {
        return ((roles_[earlier.port] << 1) & roles_[later.port] & AWAY) != 0;
    }
    void take_cabling(Cabling cabling);
    // Learning the cabling.
    void learn(const Sighting &sighting, bool keyed, MatchSink &sink);
    void pair(const Sighting &sighting, MatchSink &sink);
    void without_partner(const Sighting &sighting, bool settled, bool repeated, MatchSink &sink);
    void at_edge(const Sighting &sighting, bool repeated, MatchSink &sink);
    void decide(MatchSink &sink);
    // Checking a cabling given against the first pairs.
    void check(const Sighting &sighting, bool keyed);
    void conclude_check();

    uint64_t window_;
    SequenceRing<Entry> ring_;  // waiting sightings by sequence number
    uint64_t head_ = FIRST_SEQ, tail_ = FIRST_SEQ;
    Index index_;  // open addressing
    size_t index_size_ = 0;
    size_t used_slots_ = 0;
    ClockWatch clock_;
    LinkSpan spans_[2];  // by channel (index 0 for 1) in the clock's stretch
    // Sightings without a partner of one link, seen while the other's
    // capture had not gone on past where their partner would lie (by
    // channel of that other link): at the capture's edge if it never does.
    struct Undecided {
        Sighting sighting;
        bool repeated;
    };
    std::deque<Undecided> undecided_[2];
    size_t undecided_count_[2] = {};  // their sizes, read on every frame
    Kind kind_;
    MatchFindings findings_;
    // By port byte: TOWARD the device or AWAY from it; for the trial
    // matcher, pairing in any direction, both.
    static constexpr uint8_t TOWARD = 1, AWAY = 2;
    uint8_t roles_[256] = {};
    // While learning: every frame fed, to be fed again, and a matcher
    // pairing them in any direction, whose pairs vote.
    struct Fed {
        Sighting sighting;
        bool keyed;
    };
    std::vector<Fed> fed_;
    std::unique_ptr<LatencyMatcher> trial_;
    std::unique_ptr<VoteSink> votes_;
    // A cabling given: a matcher pairing in any direction beside the main
    // one, whose first pairs vote, and how many frames it took.
    std::unique_ptr<LatencyMatcher> checker_;
    size_t checked_frames_ = 0;
    // Sightings without a partner, watched a while longer; made when first
    // needed.
    std::unique_ptr<LateWatch> watch_;

    // The pieces of one packet pair together or not at all: the first
    // pieces pair by their key (it holds their ports, or their ICMP
    // sequence), and tell which packet on the other link is their packet's;
    // a later piece pairs only with a piece of that packet. Without it, a
    // packet lost whole would shift the later pieces of every packet after
    // it by one, where a key cannot tell them apart (pieces of equal
    // payloads, under a key that masks the identification).
    struct PacketPartner {
        uint32_t packet_tag;  // of a first piece seen on the link `channel`
        uint32_t partner;     // the packet tag of its partner on the other link
        uint64_t tap_time;
        uint8_t channel;
    };
    // A table per link (index 0 for channel 1): a router leaves a packet's
    // identity as it was, so both of a pair's pieces have the same tag.
    static constexpr size_t PACKET_PARTNERS = 4096;
    std::unique_ptr<PacketPartner[]> packet_partners_;  // made by the first pair of pieces
    PacketPartner &packet_partner(uint32_t packet_tag, uint8_t channel)
    {
        return packet_partners_[(channel == 2 ? PACKET_PARTNERS : 0) + ((packet_tag * 0x9E3779B1u) >> 20)];
    }
    void pieces_paired(const Sighting &earlier, const Sighting &later, MatchSink &sink);
    void packets_partnered(const Sighting &earlier, const Sighting &later);
    bool same_packet(const Sighting &piece, const Sighting &candidate);
    // Later pieces that waited without a partner, the latest: their
    // packet's first pieces may pair after them.
    static constexpr size_t MOST_ORPHAN_PIECES = 1024;
    std::deque<uint64_t> orphan_pieces_;
    void adopt_piece(uint64_t seq, bool headless, MatchSink &sink);
    bool has_partner_packet(const Sighting &piece);
};

#endif // OVINT_CORE_MATCHING_LATENCY_MATCHER_H
