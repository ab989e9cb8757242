// SPDX-License-Identifier: GPL-2.0-or-later

#include "latency_matcher.h"

namespace {

constexpr size_t FIRST_RING = 1024;
constexpr size_t FIRST_INDEX = 2048;

} // namespace

LatencyMatcher::LatencyMatcher(uint64_t window_ns) : window_(window_ns)
{
    ring_.resize(FIRST_RING);
    index_.assign(FIRST_INDEX, Slot{{0, 0}, NONE});
}

void LatencyMatcher::reset()
{
    head_ = tail_ = 0;
    index_.assign(index_.size(), Slot{{0, 0}, NONE});
    used_slots_ = 0;
    latest_ = 0;
    seen_any_ = false;
}

// The slot holding `key`'s waiting sightings (found), or else the slot to
// put it in: the first one on its probe path that is free for reuse, or the
// empty one that ends the path.
size_t LatencyMatcher::find_slot(const LatencyKey &key, bool *found)
{
    const size_t mask = index_.size() - 1;
    size_t reusable = index_.size();
    for (size_t at = key.low & mask;; at = (at + 1) & mask) {
        const Slot &slot = index_[at];
        if (slot.newest == NONE) {
            *found = false;
            return reusable < index_.size() ? reusable : at;
        }
        if (!alive(slot.newest)) {
            if (reusable == index_.size())
                reusable = at;
        } else if (slot.key == key) {
            *found = true;
            return at;
        }
    }
}

void LatencyMatcher::rebuild_index(size_t slots)
{
    std::vector<Slot> old;
    old.swap(index_);
    index_.assign(slots, Slot{{0, 0}, NONE});
    used_slots_ = 0;
    for (const Slot &slot : old) {
        if (slot.newest == NONE || !alive(slot.newest))
            continue;
        bool found;
        index_[find_slot(slot.key, &found)] = slot;
        used_slots_++;
    }
}

void LatencyMatcher::grow_ring()
{
    std::vector<Entry> old;
    old.swap(ring_);
    ring_.resize(old.size() * 2);
    for (uint64_t seq = tail_; seq < head_; seq++)
        entry(seq) = old[seq & (old.size() - 1)];
}

void LatencyMatcher::expire(uint64_t now, MatchSink &sink)
{
    while (tail_ < head_) {
        const Entry &oldest = entry(tail_);
        if (!oldest.paired) {
            if (now - oldest.sighting.tap_time <= window_ || oldest.sighting.tap_time > now)
                break;
            sink.unmatched(oldest.sighting);
        }
        tail_++;
    }
}

void LatencyMatcher::add(const Sighting &sighting, MatchSink &sink)
{
    if (!seen_any_ || sighting.tap_time > latest_)
        latest_ = sighting.tap_time;
    seen_any_ = true;

    bool found;
    const size_t at = find_slot(sighting.key, &found);

    // The waiting sighting of the other channel within the window, of the
    // lowest TAP time (the first to arrive of equal ones).
    uint64_t best = NONE;
    unsigned candidates = 0;
    if (found) {
        for (uint64_t seq = index_[at].newest; alive(seq); seq = entry(seq).older_same_key) {
            const Entry &waiting = entry(seq);
            const Sighting &other = waiting.sighting;
            if (waiting.paired || other.channel == sighting.channel)
                continue;
            const uint64_t apart =
                other.tap_time > sighting.tap_time ? other.tap_time - sighting.tap_time : sighting.tap_time - other.tap_time;
            if (apart > window_)
                continue;
            candidates++;
            if (best == NONE || other.tap_time <= entry(best).sighting.tap_time)
                best = seq;
        }
    }

    if (best != NONE) {
        Entry &partner = entry(best);
        partner.paired = true;
        const bool partner_first = partner.sighting.tap_time <= sighting.tap_time;
        Pairing pairing;
        pairing.earlier = partner_first ? partner.sighting : sighting;
        pairing.later = partner_first ? sighting : partner.sighting;
        pairing.latency = pairing.later.tap_time - pairing.earlier.tap_time;
        pairing.duplicate = candidates > 1;
        sink.paired(pairing);
    } else {
        if (head_ - tail_ == ring_.size())
            grow_ring();
        const uint64_t seq = head_++;
        entry(seq) = Entry{sighting, found ? index_[at].newest : NONE, false};
        if (found) {
            index_[at].newest = seq;
        } else {
            if (index_[at].newest == NONE)
                used_slots_++;
            index_[at] = Slot{sighting.key, seq};
            if (used_slots_ * 2 > index_.size()) {
                // Rebuilt with room for the keys still waiting: every slot
                // freed for reuse goes.
                size_t slots = FIRST_INDEX;
                while (slots < (head_ - tail_) * 4)
                    slots *= 2;
                rebuild_index(slots);
            }
        }
    }
    expire(latest_, sink);
}

void LatencyMatcher::finish(MatchSink &sink)
{
    for (; tail_ < head_; tail_++) {
        if (!entry(tail_).paired)
            sink.unmatched(entry(tail_).sighting);
    }
    reset();
}
