// SPDX-License-Identifier: GPL-2.0-or-later
//
// Sightings seen toward the device that left the matcher without a
// partner, kept for a while longer in a bounded table: one seen away from
// the device later may be their partner after all, further apart than the
// window. Keeping one and asking for one cost a few probes of the table;
// where the table is crowded, the oldest of a probe's slots gives way.

#ifndef OVINT_CORE_LATE_WATCH_H
#define OVINT_CORE_LATE_WATCH_H

#include "latency_matcher.h"

#include <cstdint>
#include <cstdlib>
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

    // Keeps a sighting seen toward the device; false when it took the place
    // of one still within reach.
    bool keep(const Sighting &sighting)
    {
        Slot *oldest = nullptr;
        for (size_t i = 0; i < PROBES; i++) {
            Slot &slot = slots_[(sighting.key.low + i) & MASK];
            if (!slot.used || !within_reach(slot.sighting.tap_time, sighting.tap_time)) {
                slot = {sighting, true};
                return true;
            }
            if (!oldest || slot.sighting.tap_time < oldest->sighting.tap_time)
                oldest = &slot;
        }
        *oldest = {sighting, true};
        return false;
    }

    // Pairs `later`, seen away from the device, with the earliest kept
    // sighting of its key on the other link within reach before it, and
    // tells the sink when they lie further apart than the window.
    void claim(const Sighting &later, MatchSink &sink)
    {
        Slot *best = nullptr;
        for (size_t i = 0; i < PROBES; i++) {
            Slot &slot = slots_[(later.key.low + i) & MASK];
            const Sighting &kept = slot.sighting;
            if (slot.used && kept.key == later.key && kept.channel != later.channel &&
                within_reach(kept.tap_time, later.tap_time) &&
                (!best || kept.tap_time < best->sighting.tap_time))
                best = &slot;
        }
        if (!best)
            return;
        best->used = false;
        const uint64_t apart = later.tap_time - best->sighting.tap_time;
        if (apart > window_)
            sink.late(Pairing{best->sighting, later, apart, false});
    }

private:
    static constexpr size_t SLOTS = 32768;  // 1.5 MB, written only where used
    static constexpr size_t MASK = SLOTS - 1;
    static constexpr size_t PROBES = 8;
    struct Slot {
        Sighting sighting;
        bool used;
    };
    struct FreeSlots {
        void operator()(Slot *slots) const { std::free(slots); }
    };

    bool within_reach(uint64_t earlier, uint64_t later) const { return earlier <= later && later - earlier <= reach_; }

    uint64_t window_, reach_;
    std::unique_ptr<Slot[], FreeSlots> slots_;
};

#endif // OVINT_CORE_LATE_WATCH_H
