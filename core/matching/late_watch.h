// SPDX-License-Identifier: GPL-2.0-or-later
//
// Sightings seen toward the device that left the matcher without a
// partner, kept for a while longer in a bounded table before they are told
// unmatched: one seen away from the device later may be their partner
// after all, further apart than the window. Only a key seen once on each link around them makes such a pair
// a measure of the window: a keepalive sent every 500 ms, one dropped,
// would otherwise pair with the next one's. Keeping one and asking for one cost a few probes of the table;
// where the table is crowded, the oldest of a probe's slots gives way.

#ifndef OVINT_CORE_MATCHING_LATE_WATCH_H
#define OVINT_CORE_MATCHING_LATE_WATCH_H

#include "core/matching/latency_matcher.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <new>

class LateWatch {
public:
    // Partners up to `reach` ns apart; pairs beyond `window` ns are late.
    LateWatch(uint64_t window, uint64_t reach)
        : window_(window), reach_(reach), slots_(static_cast<Slot *>(std::calloc(SLOTS, sizeof(Slot))))
    {
        if (!slots_)
            throw std::bad_alloc();
    }

    // Keeps a sighting seen toward the device (`repeated`: its key came
    // again on its link while it waited) until a sighting away from it
    // claims it or its watch ends: then it is told unmatched. False when
    // it took the place of one still within reach, told now. Kept
    // sightings of its key and link are repeated from now on, and so is it
    // when there are any.
    bool keep(const Sighting &sighting, bool repeated, MatchSink &sink)
    {
        Slot *oldest = nullptr, *free = nullptr;
        for (size_t i = 0; i < PROBES; i++) {
            Slot &slot = slots_[(sighting.key.low + i) & MASK];
            if (!slot.used) {
                free = free ? free : &slot;
                continue;
            }
            if (slot.sighting.key == sighting.key && slot.sighting.channel == sighting.channel)
                slot.repeated = repeated = true;
            if (!oldest || slot.sighting.tap_time < oldest->sighting.tap_time)
                oldest = &slot;
        }
        note_kept(sighting.key);
        Slot &place = free ? *free : *oldest;
        if (!free)
            sink.unmatched(place.sighting, false);
        place = {sighting, true, repeated};
        kept_.push_back({sighting.frame, sighting.tap_time, static_cast<uint32_t>(&place - slots_.get())});
        if (kept_.size() > 2 * SLOTS)
            end_watch(kept_.front(), sink);  // the oldest's watch ends early
        return free != nullptr;
    }

    // Ends the watch of the sightings kept longer than `reach` before
    // `now`.
    void expire(uint64_t now, MatchSink &sink)
    {
        while (!kept_.empty() && kept_.front().tap_time < now && now - kept_.front().tap_time > reach_)
            end_watch(kept_.front(), sink);
    }

    // Ends every watch: the capture, or its clock, has ended.
    void flush(MatchSink &sink)
    {
        while (!kept_.empty())
            end_watch(kept_.front(), sink);
    }

    // Another sighting of `key` on `channel`: the kept ones of that key and
    // link were not alone. Asked of every frame, so a filter of the keys
    // kept answers first.
    void touch(const LatencyKey &key, uint8_t channel)
    {
        if (!(filter_[(key.high >> 6) & (FILTER_WORDS - 1)] >> (key.high & 63) & 1))
            return;
        for (size_t i = 0; i < PROBES; i++) {
            Slot &slot = slots_[(key.low + i) & MASK];
            if (slot.used && slot.sighting.key == key && slot.sighting.channel == channel)
                slot.repeated = true;
        }
    }

    // Pairs `later`, seen away from the device, with the earliest kept
    // sighting of its key on the other link within reach before it, and
    // tells the sink when they lie further apart than the window: as a
    // duplicate when the key was not unique around them (more than one
    // kept, or either one `repeated`), for such a pair may be two frames'.
    // True when it is told so, false when no kept one is its partner.
    bool claim(const Sighting &later, bool repeated, MatchSink &sink)
    {
        Slot *best = nullptr;
        unsigned candidates = 0;
        for (size_t i = 0; i < PROBES; i++) {
            Slot &slot = slots_[(later.key.low + i) & MASK];
            const Sighting &kept = slot.sighting;
            if (!slot.used || !(kept.key == later.key) || kept.channel == later.channel ||
                !within_reach(kept.tap_time, later.tap_time))
                continue;
            candidates++;
            if (!best || kept.tap_time < best->sighting.tap_time)
                best = &slot;
        }
        if (!best)
            return false;
        best->used = false;
        const uint64_t apart = later.tap_time - best->sighting.tap_time;
        if (apart <= window_) {
            // Seen within the window, yet not paired there (out of the
            // capture's order): neither is told as the other's.
            sink.unmatched(best->sighting, false);
            return false;
        }
        sink.late(Pairing{best->sighting, later, apart, candidates > 1 || best->repeated || repeated});
        return true;
    }

private:
    static constexpr size_t SLOTS = 32768;  // 1.5 MB, written only where used
    static constexpr size_t MASK = SLOTS - 1;
    static constexpr size_t PROBES = 8;
    // One bit a key (by its high half) kept since the filter was last made
    // anew, from the slots, once every SLOTS keeps.
    static constexpr size_t FILTER_WORDS = 8192;  // 64 KB
    struct Slot {
        Sighting sighting;
        bool used;
        bool repeated;
    };
    struct FreeSlots {
        void operator()(Slot *slots) const { std::free(slots); }
    };

    // The sightings kept, in the order kept (by TAP time, but for the
    // capture's reordering), each where it was put.
    struct Kept {
        uint64_t frame, tap_time;
        uint32_t slot;
    };
    void end_watch(Kept kept, MatchSink &sink)
    {
        kept_.pop_front();
        Slot &slot = slots_[kept.slot];
        if (slot.used && slot.sighting.frame == kept.frame) {
            slot.used = false;
            sink.unmatched(slot.sighting, false);
        }
    }

    bool within_reach(uint64_t earlier, uint64_t later) const { return earlier <= later && later - earlier <= reach_; }
    void set_filter(const LatencyKey &key) { filter_[(key.high >> 6) & (FILTER_WORDS - 1)] |= uint64_t(1) << (key.high & 63); }
    void note_kept(const LatencyKey &key)
    {
        if (++kept_since_filter_ == SLOTS) {
            kept_since_filter_ = 0;
            std::fill(filter_, filter_ + FILTER_WORDS, 0);
            for (size_t i = 0; i < SLOTS; i++) {
                if (slots_[i].used)
                    set_filter(slots_[i].sighting.key);
            }
        }
        set_filter(key);
    }

    uint64_t window_, reach_;
    std::unique_ptr<Slot[], FreeSlots> slots_;
    std::deque<Kept> kept_;
    uint64_t filter_[FILTER_WORDS] = {};
    size_t kept_since_filter_ = 0;
};

#endif // OVINT_CORE_MATCHING_LATE_WATCH_H
