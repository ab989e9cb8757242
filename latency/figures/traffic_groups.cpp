// SPDX-License-Identifier: GPL-2.0-or-later

#include "figures/traffic_groups.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const char *const GROUP_BY_NAMES[] = {"none", "flow", "dscp", "vlan", "protocol"};
const char *const GROUP_ORDER_NAMES[] = {"p99", "loss", "count", "max"};

// The enumerator whose name, from `first` on in `names`, is `name`.
template <typename Value, size_t COUNT>
bool value_named(const char *name, const char *const (&names)[COUNT], size_t first, Value *value)
{
    for (size_t i = first; i < COUNT; i++) {
        if (std::strcmp(name, names[i]) == 0) {
            *value = static_cast<Value>(i);
            return true;
        }
    }
    return false;
}

// The DSCP code points with a name (RFC 2474, 2597, 3246, 5865, 8622).
const char *dscp_name(uint8_t dscp)
{
    static const struct {
        uint8_t value;
        const char *name;
    } names[] = {
        {0, "DF"},    {1, "LE"},    {8, "CS1"},   {10, "AF11"}, {12, "AF12"}, {14, "AF13"}, {16, "CS2"},
        {18, "AF21"}, {20, "AF22"}, {22, "AF23"}, {24, "CS3"},  {26, "AF31"}, {28, "AF32"}, {30, "AF33"},
        {32, "CS4"},  {34, "AF41"}, {36, "AF42"}, {38, "AF43"}, {40, "CS5"},  {44, "VA"},   {46, "EF"},
        {48, "CS6"},  {56, "CS7"},
    };
    for (const auto &entry : names) {
        if (entry.value == dscp)
            return entry.name;
    }
    return nullptr;
}

const char *protocol_name(uint8_t protocol)
{
    switch (protocol) {
    case IPPROTO_ICMP: return "ICMP";
    case IPPROTO_IGMP: return "IGMP";
    case IPPROTO_TCP: return "TCP";
    case IPPROTO_UDP: return "UDP";
    case IPPROTO_GRE: return "GRE";
    case IPPROTO_ESP: return "ESP";
    case IPPROTO_AH: return "AH";
    case IPPROTO_ICMPV6: return "ICMPv6";
    case IPPROTO_SCTP: return "SCTP";
    default: return nullptr;
    }
}

std::string address_text(const TrafficView &view, const uint8_t *address)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(view.family == 4 ? AF_INET : AF_INET6, address, text, sizeof text);
    return text;
}

// An address with its port: 10.1.0.1:80, [2001:db8::1]:80.
std::string endpoint_text(const TrafficView &view, const uint8_t *address, uint16_t port)
{
    std::string text = address_text(view, address);
    if (!view.has_ports)
        return text;
    if (view.family == 6)
        text = "[" + text + "]";
    return text + ":" + std::to_string(port);
}

std::string named_number(const char *name, unsigned value)
{
    return name ? std::string(name) + " (" + std::to_string(value) + ")" : std::to_string(value);
}

// A share of frames that entered and were not seen leaving.
double loss_share(const GroupFigures &group)
{
    const uint64_t entered = group.matched() + group.not_seen;
    return entered ? static_cast<double>(group.not_seen) / static_cast<double>(entered) : 0.0;
}

} // namespace

const char *group_by_name(GroupBy by)
{
    return GROUP_BY_NAMES[static_cast<size_t>(by)];
}

bool group_by_from_name(const char *name, GroupBy *by)
{
    return value_named(name, GROUP_BY_NAMES, 1, by);  // "none" is no grouping to ask for
}

const char *group_order_name(GroupOrder order)
{
    return GROUP_ORDER_NAMES[static_cast<size_t>(order)];
}

bool group_order_from_name(const char *name, GroupOrder *order)
{
    return value_named(name, GROUP_ORDER_NAMES, 0, order);
}

// The view's bytes in words, mixed (the multiply-xorshift of splitmix64).
size_t TrafficViewHash::operator()(const TrafficView &view) const
{
    uint64_t words[6] = {};
    std::memcpy(words, &view, sizeof view);
    uint64_t hash = 0x9E3779B97F4A7C15u;
    for (uint64_t word : words) {
        hash = (hash ^ word) * 0xBF58476D1CE4E5B9u;
        hash ^= hash >> 29;
    }
    return static_cast<size_t>(hash * 0x94D049BB133111EBu ^ (hash >> 32));
}

void ViewIndex::insert(uint32_t id, uint64_t hash)
{
    if (2 * (count_ + 1) > slots_.size()) {
        std::vector<Slot> old(std::max<size_t>(64, 2 * slots_.size()), Slot{0, 0});
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot &slot : old) {
            if (slot.id) {
                size_t i = slot.hash & mask_;
                while (slots_[i].id)
                    i = (i + 1) & mask_;
                slots_[i] = slot;
            }
        }
    }
    size_t i = hash & mask_;
    while (slots_[i].id)
        i = (i + 1) & mask_;
    slots_[i] = {id, static_cast<uint32_t>(hash)};
    count_++;
}

// The slots after it that belong at or before it move back, so that no
// view is ever beyond a free slot from where it belongs.
void ViewIndex::erase(uint32_t id, uint64_t hash)
{
    size_t free = hash & mask_;
    while (slots_[free].id != id)
        free = (free + 1) & mask_;
    for (size_t i = (free + 1) & mask_; slots_[i].id; i = (i + 1) & mask_) {
        // How far each is from where it belongs, and from the free slot.
        const size_t displaced = (i - slots_[i].hash) & mask_;
        if (displaced >= ((i - free) & mask_)) {
            slots_[free] = slots_[i];
            free = i;
        }
    }
    slots_[free] = {0, 0};
    count_--;
}

uint32_t ViewTable::add(const TrafficView &view, uint64_t hash)
{
    uint32_t id = 0;
    while (entries_.size() > IDLE_VIEWS && !idle_.empty() && !id) {
        const uint32_t oldest = idle_.front();
        idle_.pop_front();
        entries_[oldest].idle_listed = false;
        if (entries_[oldest].holders == 0) {
            index_.erase(oldest, ViewIndex::hash(entries_[oldest].view));
            id = oldest;
        }
    }
    if (!id) {
        id = static_cast<uint32_t>(entries_.size());
        entries_.emplace_back();
    }
    held_++;
    Entry &entry = entries_[id];
    entry.view = view;
    entry.holders = 1;
    entry.columns_length = 0;
    index_.insert(id, hash);
    return id;
}

void ViewTable::released(uint32_t id)
{
    held_--;
    if (!entries_[id].idle_listed) {
        entries_[id].idle_listed = true;
        idle_.push_back(id);
    }
}

void ViewTable::make_columns(Entry &entry)
{
    const TrafficView &view = entry.view;
    std::string text;
    if (view.family) {
        text = address_text(view, view.src) + "," + address_text(view, view.dst) + "," +
               std::to_string(view.protocol) + ",";
        if (view.has_ports)
            text += std::to_string(view.src_port) + "," + std::to_string(view.dst_port);
        else
            text += ",";
        text += "," + std::to_string(view.dscp);
    } else {
        text = ",,,,,";
    }
    text += ",";
    if (view.vlan != NO_VLAN)
        text += std::to_string(view.vlan);
    entry.columns_length = static_cast<uint8_t>(std::min(text.size(), COLUMNS_ROOM));
    std::memcpy(entry.columns, text.data(), entry.columns_length);
}

uint64_t GroupFigures::frames() const
{
    uint64_t frames = matched();
    for (uint64_t unmatched : unmatched_by_port)
        frames += unmatched;
    return frames;
}

void FoldedKeys::add(const TrafficView &key)
{
    if (words_.empty())
        words_.assign(size_t(1) << (BITS_LOG2 - 6), 0);
    const uint64_t hash = TrafficViewHash()(key);
    // Double hashing: the probes step by the hash's upper half (made odd).
    for (int probe = 0; probe < PROBES; probe++) {
        const uint64_t bit = (hash + probe * ((hash >> 32) | 1)) & ((uint64_t(1) << BITS_LOG2) - 1);
        words_[bit >> 6] |= uint64_t(1) << (bit & 63);
    }
}

bool FoldedKeys::may_hold(const TrafficView &key) const
{
    if (words_.empty())
        return false;
    const uint64_t hash = TrafficViewHash()(key);
    for (int probe = 0; probe < PROBES; probe++) {
        const uint64_t bit = (hash + probe * ((hash >> 32) | 1)) & ((uint64_t(1) << BITS_LOG2) - 1);
        if (!(words_[bit >> 6] >> (bit & 63) & 1))
            return false;
    }
    return true;
}

std::string TrafficGroups::label(GroupBy by, const TrafficView &key)
{
    if (by == GroupBy::vlan)
        return key.vlan == NO_VLAN ? "none" : std::to_string(key.vlan);
    if (!key.family)
        return "not IP";
    switch (by) {
    case GroupBy::dscp: return named_number(dscp_name(key.dscp), key.dscp);
    case GroupBy::protocol: return named_number(protocol_name(key.protocol), key.protocol);
    case GroupBy::flow: {
        const char *protocol = protocol_name(key.protocol);
        return endpoint_text(key, key.src, key.src_port) + " \u2192 " + endpoint_text(key, key.dst, key.dst_port) +
               " " + (protocol ? protocol : std::to_string(key.protocol));
    }
    default: return "";
    }
}

GroupFigures &TrafficGroups::add(const TrafficView &key, uint64_t hash)
{
    if (groups_.size() >= limit_)
        fold();
    groups_.emplace_back(new GroupFigures);
    GroupFigures &made = *groups_.back();
    made.key = key;
    made.partial = folded_keys_.may_hold(key);
    index_.insert(static_cast<uint32_t>(groups_.size()), hash);
    return made;
}

void TrafficGroups::unmatched(const TrafficView &view, int port_index)
{
    if (port_index < 4)
        group(view).unmatched_by_port[port_index]++;
}

// The least busy half of the groups, by their frames so far, go into
// "other". A group that folded and is seen again starts anew.
void TrafficGroups::fold()
{
    std::vector<std::pair<uint64_t, size_t>> busy;  // frames, place
    busy.reserve(groups_.size());
    for (size_t place = 0; place < groups_.size(); place++)
        busy.emplace_back(groups_[place]->frames(), place);
    const size_t folding = busy.size() / 2;
    std::nth_element(busy.begin(), busy.begin() + folding, busy.end(),
                     [this](const std::pair<uint64_t, size_t> &a, const std::pair<uint64_t, size_t> &b) {
                         return a.first < b.first ||
                                (a.first == b.first &&
                                 std::memcmp(&groups_[a.second]->key, &groups_[b.second]->key, sizeof(TrafficView)) < 0);
                     });
    for (size_t i = 0; i < folding; i++) {
        std::unique_ptr<GroupFigures> &group = groups_[busy[i].second];
        if (group->latencies)
            other.latencies_or_new(exact_limit_, beyond_).add_all(*group->latencies);
        for (int port = 0; port < 4; port++)
            other.unmatched_by_port[port] += group->unmatched_by_port[port];
        folded_keys_.add(group->key);
        group.reset();
        folded_groups++;
    }
    // Those that stay are found anew.
    groups_.erase(std::remove(groups_.begin(), groups_.end(), nullptr), groups_.end());
    index_.clear();
    for (size_t place = 0; place < groups_.size(); place++)
        index_.insert(static_cast<uint32_t>(place + 1), ViewIndex::hash(groups_[place]->key));
}

void TrafficGroups::finish(unsigned toward)
{
    const unsigned ports = toward ? toward : 0xF;
    auto count_not_seen = [ports](GroupFigures &group) {
        group.not_seen = 0;
        for (int port = 0; port < 4; port++)
            group.not_seen += (ports >> port & 1u) ? group.unmatched_by_port[port] : 0;
    };
    entered_groups_ = 0;
    for (auto &group : groups_) {
        count_not_seen(*group);
        entered_groups_ += group->matched() + group->not_seen ? 1 : 0;
    }
    count_not_seen(other);
}

std::vector<GroupFigures *> TrafficGroups::ranked(GroupOrder order, size_t top)
{
    struct Ranked {
        GroupFigures *group;
        double value;
    };
    std::vector<Ranked> ranked;
    ranked.reserve(groups_.size());
    for (auto &entry : groups_) {
        GroupFigures &group = *entry;
        if (!group.matched() && !group.not_seen)
            continue;  // seen only leaving: the device's own, or at the capture's edge
        double value = 0;
        switch (order) {
        case GroupOrder::p99: value = group.latencies ? static_cast<double>(group.latencies->percentile(9900)) : -1; break;
        case GroupOrder::loss: value = loss_share(group); break;
        case GroupOrder::count: value = static_cast<double>(group.matched() + group.not_seen); break;
        case GroupOrder::max: value = group.latencies ? static_cast<double>(group.latencies->largest()) : -1; break;
        }
        ranked.push_back({&group, value});
    }
    std::sort(ranked.begin(), ranked.end(), [](const Ranked &a, const Ranked &b) {
        if (a.group->partial != b.group->partial)
            return b.group->partial;
        if (a.value != b.value)
            return a.value > b.value;
        return std::memcmp(&a.group->key, &b.group->key, sizeof(TrafficView)) < 0;
    });
    if (top && ranked.size() > top)
        ranked.resize(top);
    std::vector<GroupFigures *> groups;
    for (const Ranked &entry : ranked)
        groups.push_back(entry.group);
    return groups;
}
