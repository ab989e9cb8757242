// SPDX-License-Identifier: GPL-2.0-or-later
//
// Which traffic suffers: the latency and loss of each group of frames
// (flow, DSCP, VLAN or IP protocol), each frame grouped as it entered the
// device (its earlier sighting, before any address translation). And the
// traffic views behind the groups and the tables' columns, each held once
// while frames that share it wait to be told.

#ifndef OVINT_LATENCY_FIGURES_TRAFFIC_GROUPS_H
#define OVINT_LATENCY_FIGURES_TRAFFIC_GROUPS_H

#include "figures/distribution.h"

#include "core/packet/traffic_view.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

enum class GroupBy : uint8_t { none, flow, dscp, vlan, protocol };
enum class GroupOrder : uint8_t { p99, loss, count, max };

// "flow", "dscp", "vlan", "protocol" (and "none").
const char *group_by_name(GroupBy by);
bool group_by_from_name(const char *name, GroupBy *by);
// "p99", "loss", "count", "max".
const char *group_order_name(GroupOrder order);
bool group_order_from_name(const char *name, GroupOrder *order);

struct TrafficViewHash {
    size_t operator()(const TrafficView &view) const;
};

// Numbers (never 0) by the view each stands for: open addressing, with
// linear probing, at most half full. The caller keeps the views and
// tells, of a number, whether it stands for the view sought.
class ViewIndex {
public:
    // A hash of every byte of the view, cheaper than TrafficViewHash: its
    // six words (the last two overlapping) folded into two, one multiply.
    static uint64_t hash(const TrafficView &view) { return hash_of_words(view, 0, 0); }
    // Byte for byte, as TrafficView's ==, at once where there is SSE2.
    static bool same(const TrafficView &a, const TrafficView &b)
    {
#if defined(__SSE2__)
        return equal_bytes(a, b, _mm_setzero_si128());
#else
        return a == b;
#endif
    }
#if defined(__SSE2__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The same of a flow's key (the view without its DSCP and VLAN), and
    // whether a key is the view's, without making the view's key.
    static uint64_t flow_hash(const TrafficView &view)
    {
        static_assert(offsetof(TrafficView, dscp) == 2 && offsetof(TrafficView, vlan) == 8, "where a key differs");
        return hash_of_words(view, uint64_t(0xFF) << 16, 0xFFFF);
    }
    static bool same_flow(const TrafficView &key, const TrafficView &view)
    {
        return equal_bytes(key, view, _mm_setr_epi8(0, 0, -1, 0, 0, 0, 0, 0, -1, -1, 0, 0, 0, 0, 0, 0));
    }
#endif
    // The number standing for a view (0: none) of that hash, for which
    // `matches(number)`.
    template <typename Matches>
    uint32_t find(uint64_t hash, Matches matches) const
    {
        if (slots_.empty())
            return 0;
        const uint32_t check = static_cast<uint32_t>(hash);
        for (size_t i = check & mask_;; i = (i + 1) & mask_) {
            const Slot slot = slots_[i];
            if (!slot.id || (slot.hash == check && matches(slot.id)))
                return slot.id;
        }
    }
    void insert(uint32_t id, uint64_t hash);
    void erase(uint32_t id, uint64_t hash);
    void clear()
    {
        slots_.clear();
        count_ = 0;
    }

private:
    // The hash of the view with the first word's bits in `cleared` cleared
    // and the second's in `set` set.
    static uint64_t hash_of_words(const TrafficView &view, uint64_t cleared, uint64_t set)
    {
        static_assert(sizeof(TrafficView) == 42, "six words cover a view");
        const char *bytes = reinterpret_cast<const char *>(&view);
        uint64_t words[6];
        for (int i = 0; i < 5; i++)
            std::memcpy(&words[i], bytes + 8 * i, 8);
        std::memcpy(&words[5], bytes + 34, 8);
        words[0] &= ~cleared;
        words[1] |= set;
        // An IPv4 view's addresses lie in bytes 2 to 5 of the second and
        // fourth words: turned apart.
        const uint64_t fourth = words[3] << 32 | words[3] >> 32;
        const unsigned __int128 product =
            static_cast<unsigned __int128>(words[0] ^ words[2] ^ words[4] ^ 0x9E3779B97F4A7C15u) *
            (words[1] ^ fourth ^ words[5] ^ 0xBF58476D1CE4E5B9u);
        return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
    }
#if defined(__SSE2__)
    // Equal in every byte but those of the first 16 set in `ignored`.
    static bool equal_bytes(const TrafficView &a, const TrafficView &b, __m128i ignored)
    {
        const char *x = reinterpret_cast<const char *>(&a);
        const char *y = reinterpret_cast<const char *>(&b);
        const auto equal = [&](size_t at) {
            return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(x + at)),
                                  _mm_loadu_si128(reinterpret_cast<const __m128i *>(y + at)));
        };
        return _mm_movemask_epi8(_mm_and_si128(_mm_and_si128(_mm_or_si128(equal(0), ignored), equal(16)), equal(26))) ==
               0xFFFF;
    }
#endif
    struct Slot {
        uint32_t id;    // 0: free
        uint32_t hash;  // the lower half; its lowest bits are the slot it belongs in
    };
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

// The views of frames still to be told (matched, or left without a
// partner), by a number that a Sighting carries. A view no frame holds
// stays, with its columns made, for the next frame of its flow, until room
// is wanted: memory is bounded by the views of the frames waiting and
// IDLE_VIEWS.
class ViewTable {
public:
    // The tables' columns src,dst,protocol,src_port,dst_port,dscp,vlan.
    static constexpr size_t COLUMNS_ROOM = 112;
    static constexpr size_t IDLE_VIEWS = 16384;

    ViewTable() : entries_(1) {}
    // A number for the view, held once more (never 0).
    uint32_t hold(const TrafficView &view)
    {
        const uint64_t hash = ViewIndex::hash(view);
        const uint32_t id =
            index_.find(hash, [this, &view](uint32_t id) { return ViewIndex::same(entries_[id].view, view); });
        if (__builtin_expect(!id, 0))
            return add(view, hash);
        if (entries_[id].holders++ == 0)
            held_++;
        return id;
    }
    void release(uint32_t id)
    {
        if (--entries_[id].holders == 0)
            released(id);
    }
    const TrafficView &view(uint32_t id) const { return entries_[id].view; }
    // The view as the tables' columns, without a trailing comma; made once.
    const char *columns(uint32_t id, size_t *length)
    {
        Entry &entry = entries_[id];
        if (__builtin_expect(!entry.columns_length, 0))
            make_columns(entry);
        *length = entry.columns_length;
        return entry.columns;
    }
    // How many views are held: none once every frame has been told.
    size_t held() const { return held_; }

private:
    struct Entry {
        TrafficView view;
        uint32_t holders = 0;
        bool idle_listed = false;    // in idle_, once at most
        uint8_t columns_length = 0;  // 0: not made yet
        char columns[COLUMNS_ROOM];
    };
    __attribute__((noinline)) uint32_t add(const TrafficView &view, uint64_t hash);
    __attribute__((noinline)) void released(uint32_t id);
    static void make_columns(Entry &entry);
    std::vector<Entry> entries_;  // [0]: no view
    // Views no frame held when last released, oldest first (some held
    // again since); those still idle when room is wanted give it up.
    std::deque<uint32_t> idle_;
    size_t held_ = 0;
    ViewIndex index_;
};

struct GroupFigures {
    TrafficView key;  // the view, with only what groups it kept
    std::unique_ptr<LatencyDistribution> latencies;  // of the matched frames; made by the first
    // Frames left without a partner, by the port they were seen on (0 to 3:
    // Con A to Con D); those on ports toward the device entered it and were
    // not seen leaving.
    uint64_t unmatched_by_port[4] = {};
    uint64_t not_seen = 0;  // known once finished
    // Made after a group of its key had folded into "other": its figures
    // cover only the frames since.
    bool partial = false;
    uint64_t matched() const { return latencies ? latencies->count() : 0; }
    LatencyDistribution &latencies_or_new(size_t exact_limit, LatencyDistribution::Beyond beyond)
    {
        if (!latencies)
            latencies.reset(new LatencyDistribution(exact_limit, beyond));
        return *latencies;
    }
    uint64_t frames() const;
};

// The keys of the groups that folded, in bounded memory (1 MB): a Bloom
// filter, so that a key is told as folded when it did fold, and, while
// fewer than 100,000 have, wrongly at most once in 200,000.
class FoldedKeys {
public:
    void add(const TrafficView &key);
    bool may_hold(const TrafficView &key) const;

private:
    static constexpr unsigned BITS_LOG2 = 23;
    static constexpr int PROBES = 4;
    std::vector<uint64_t> words_;  // made by the first fold
};

class TrafficGroups {
public:
    // Beyond `limit` groups, the least busy half fold into "other". Each
    // group's latencies as a LatencyDistribution of `exact_limit` and
    // `beyond`.
    TrafficGroups(GroupBy by, size_t limit, size_t exact_limit = LatencyDistribution::EXACT_LIMIT,
                  LatencyDistribution::Beyond beyond = LatencyDistribution::Beyond::spill)
        : by_(by), limit_(limit < 2 ? 2 : limit), exact_limit_(exact_limit), beyond_(beyond)
    {
    }

    GroupBy by() const { return by_; }
    size_t limit() const { return limit_; }
    void matched(const TrafficView &earlier, int64_t latency)
    {
        group(earlier).latencies_or_new(exact_limit_, beyond_).add(latency);
    }
    void unmatched(const TrafficView &view, int port_index);
    // The capture has ended: frames not seen leaving are those on the
    // ports toward the device (`toward`: one bit a port index; 0: every
    // port, the cabling unknown).
    void finish(unsigned toward);

    // The groups of frames that entered the device, in the order asked for
    // (largest first; ties by key), the first `top` of them (0: all); the
    // partial groups after every whole one.
    std::vector<GroupFigures *> ranked(GroupOrder order, size_t top);
    // How many groups of frames that entered the device; known once finished.
    size_t count() const { return entered_groups_; }
    GroupFigures other;          // what folded
    uint64_t folded_groups = 0;  // how many groups folded into it

    // A group's name in the report: "EF (46)", "TCP (6)", "42", a flow
    // "10.1.0.10:40000 → 192.0.2.80:8080 TCP".
    static std::string label(GroupBy by, const TrafficView &key);
    // What groups a view under `by`.
    static TrafficView key_of(GroupBy by, const TrafficView &view)
    {
        TrafficView key;
        switch (by) {
        case GroupBy::flow:
            key = view;
            key.dscp = 0;
            key.vlan = NO_VLAN;
            break;
        case GroupBy::dscp:
            key.family = view.family ? 4 : 0;
            key.dscp = view.dscp;
            break;
        case GroupBy::vlan: key.vlan = view.vlan; break;
        case GroupBy::protocol:
            key.family = view.family ? 4 : 0;
            key.protocol = view.protocol;
            break;
        case GroupBy::none: break;
        }
        return key;
    }

private:
    __attribute__((always_inline)) GroupFigures &group(const TrafficView &view)
    {
#if defined(__SSE2__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (by_ == GroupBy::flow) {
            const uint64_t hash = ViewIndex::flow_hash(view);
            const uint32_t number = index_.find(
                hash, [this, &view](uint32_t number) { return ViewIndex::same_flow(groups_[number - 1]->key, view); });
            return __builtin_expect(number != 0, 1) ? *groups_[number - 1] : add(key_of(by_, view), hash);
        }
#endif
        const TrafficView key = key_of(by_, view);
        const uint64_t hash = ViewIndex::hash(key);
        const uint32_t number =
            index_.find(hash, [this, &key](uint32_t number) { return ViewIndex::same(groups_[number - 1]->key, key); });
        return __builtin_expect(number != 0, 1) ? *groups_[number - 1] : add(key, hash);
    }
    __attribute__((noinline)) GroupFigures &add(const TrafficView &key, uint64_t hash);
    void fold();

    GroupBy by_;
    size_t limit_;
    size_t exact_limit_;
    LatencyDistribution::Beyond beyond_;
    size_t entered_groups_ = 0;
    FoldedKeys folded_keys_;
    // In no order that matters; each found by its key, its place + 1.
    std::vector<std::unique_ptr<GroupFigures>> groups_;
    ViewIndex index_;
};

#endif // OVINT_LATENCY_FIGURES_TRAFFIC_GROUPS_H
