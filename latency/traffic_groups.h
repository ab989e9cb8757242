// SPDX-License-Identifier: GPL-2.0-or-later
//
// Which traffic suffers: the latency and loss of each group of frames
// (flow, DSCP, VLAN or IP protocol), each frame grouped as it entered the
// device (its earlier sighting, before any address translation). And the
// traffic views behind the groups and the tables' columns, each held once
// while frames that share it wait to be told.

#ifndef OVINT_LATENCY_TRAFFIC_GROUPS_H
#define OVINT_LATENCY_TRAFFIC_GROUPS_H

#include "distribution.h"

#include "core/traffic_view.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

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
    uint32_t hold(const TrafficView &view);
    void release(uint32_t id);
    const TrafficView &view(uint32_t id) const { return entries_[id].view; }
    // The view as the tables' columns, without a trailing comma; made once.
    const char *columns(uint32_t id, size_t *length);
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
    std::vector<Entry> entries_;  // [0]: no view
    // Views no frame held when last released, oldest first (some held
    // again since); those still idle when room is wanted give it up.
    std::deque<uint32_t> idle_;
    size_t held_ = 0;
    std::unordered_map<TrafficView, uint32_t, TrafficViewHash> index_;
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
    LatencyDistribution &latencies_or_new()
    {
        if (!latencies)
            latencies.reset(new LatencyDistribution);
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
    // Beyond `limit` groups, the least busy half fold into "other".
    TrafficGroups(GroupBy by, size_t limit) : by_(by), limit_(limit < 2 ? 2 : limit) {}

    GroupBy by() const { return by_; }
    void matched(const TrafficView &earlier, int64_t latency) { group(earlier).latencies_or_new().add(latency); }
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
    static TrafficView key_of(GroupBy by, const TrafficView &view);

private:
    GroupFigures &group(const TrafficView &view);
    void fold();

    GroupBy by_;
    size_t limit_;
    size_t entered_groups_ = 0;
    FoldedKeys folded_keys_;
    std::unordered_map<TrafficView, std::unique_ptr<GroupFigures>, TrafficViewHash> groups_;
};

#endif // OVINT_LATENCY_TRAFFIC_GROUPS_H
