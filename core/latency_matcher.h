// SPDX-License-Identifier: GPL-2.0-or-later
//
// Pairs the two sightings of a frame that a device between the TAP's links
// forwards: one on a port of each channel, read from the one TAP clock.
//
// Sightings are fed in capture order. A sighting pairs with the unpaired
// sighting of the same key on the other channel whose TAP time lies within
// the window of its own; of several, the one of the lowest TAP time (equal
// frames seen more than once pair first in, first out). The earlier of the
// two by TAP time is the earlier sighting, whichever came first in the
// capture, and the latency is the later TAP time less the earlier. A
// sighting older than the window before the TAP clock's time (a ClockWatch
// with the window as its tolerance) has found no partner: it was not seen
// on the other link; so has every sighting waiting when the clock steps
// back by more than the window, and a lone one stamped far ahead of it.
// Memory is bounded by the
// number of sightings in one window; it grows by doubling, never per frame.
// Each key keeps its waiting sightings in a queue per channel, oldest
// first, so that a frame repeated thousands of times in a window (ARP, a
// keepalive) costs no more to match than any other.

#ifndef OVINT_CORE_LATENCY_MATCHER_H
#define OVINT_CORE_LATENCY_MATCHER_H

#include "clock_watch.h"
#include "latency_key.h"
#include "sequence_ring.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct Sighting {
    uint64_t frame;     // frame number in the capture
    uint64_t tap_time;  // nanoseconds of the TAP clock
    LatencyKey key;
    uint32_t length;    // of the Ethernet part on the wire (0: not told)
    uint8_t port;       // the port byte
    uint8_t version;    // the trailer version
    uint8_t flags;      // the TAP's error flags
    uint8_t channel;    // 1 or 2
};

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
    virtual void unmatched(const Sighting &sighting) = 0;
    // The TAP clock stepped back: every sighting that waited is settled,
    // and a new clock starts with the sighting being fed.
    virtual void clock_stepped_back() {}
    // False for a sink that does nothing with unmatched sightings.
    bool wants_unmatched = true;

protected:
    ~MatchSink() = default;
};

class LatencyMatcher {
public:
    explicit LatencyMatcher(uint64_t window_ns);

    // Feeds the next sighting in capture order; reports the pairing it
    // makes and the sightings that left the window unpaired.
    void add(const Sighting &sighting, MatchSink &sink);
    // A trailer-bearing frame without a key: it only tells the time.
    void pass(uint64_t frame, uint64_t tap_time, MatchSink &sink);
    // The capture has ended: every sighting still waiting is unmatched.
    // What the clock did stays to be read.
    void finish(MatchSink &sink);

    uint64_t window() const { return window_; }
    size_t waiting() const { return static_cast<size_t>(head_ - tail_); }
    const ClockWatch &clock() const { return clock_; }

private:
    struct Entry {
        Sighting sighting;
        uint64_t newer;  // the next waiting sighting of the key on this channel, or NONE
        uint32_t slot;   // of its key in the index
        bool paired;
    };
    // A key's waiting sightings on each channel (index 0 for channel 1, 1
    // for channel 2), by sequence number, oldest first. A slot none of
    // whose sightings is in the ring any more is free for reuse; one never
    // used is empty and ends a probe path. Sequence numbers start at 1, so
    // that a slot of zero bytes is empty: the index comes zeroed from the
    // system, with no pass to fill it.
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
        void operator()(Slot *slots) const { std::free(slots); }
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

    uint64_t window_;
    SequenceRing<Entry> ring_;  // waiting sightings by sequence number
    uint64_t head_ = FIRST_SEQ, tail_ = FIRST_SEQ;
    Index index_;  // open addressing
    size_t index_size_ = 0;
    size_t used_slots_ = 0;
    ClockWatch clock_;
};

#endif // OVINT_CORE_LATENCY_MATCHER_H
