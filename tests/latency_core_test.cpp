// SPDX-License-Identifier: GPL-2.0-or-later
//
// The latency key and the matcher on their own: which changes a key sees
// through, and which sightings the matcher pairs.

#include "core/latency_key.h"
#include "core/latency_matcher.h"
#include "core/latency_ranges.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// An IPv4 packet (TCP or UDP) in an Ethernet frame, as a device may change
// it on its way: addresses, TTL, VLAN tag, padding.
struct Packet {
    uint8_t mac = 0x01;
    bool vlan = false;
    bool ipv6 = false;
    uint8_t ttl = 64;
    uint16_t checksum = 0x1234;
    uint8_t source = 1;      // last byte of the source address
    uint16_t port = 40000;   // source port
    bool tcp = false;
    std::string payload = "hello";
    size_t padded_to = 0;    // Ethernet padding up to this length
    size_t cut = 0;          // captured length, if cut
};

void put16(Bytes &bytes, size_t at, uint16_t value)
{
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
}

Bytes frame(const Packet &p)
{
    Bytes bytes = {0x02, 0, 0, 0, 0, p.mac, 0x02, 0, 0, 0, 0, 0x99};
    if (p.vlan)
        bytes.insert(bytes.end(), {0x81, 0x00, 0x00, 0x07});
    const size_t l4_length = (p.tcp ? 20 : 8) + p.payload.size();
    Bytes l4(l4_length, 0);
    put16(l4, 0, p.port);
    put16(l4, 2, 443);
    if (p.tcp)
        l4[12] = 0x50;
    else
        put16(l4, 4, static_cast<uint16_t>(l4_length));
    std::copy(p.payload.begin(), p.payload.end(), l4.begin() + (p.tcp ? 20 : 8));
    if (p.ipv6) {
        bytes.insert(bytes.end(), {0x86, 0xDD});
        Bytes ip(40, 0);
        ip[0] = 0x60;
        put16(ip, 4, static_cast<uint16_t>(l4_length));
        ip[6] = p.tcp ? 6 : 17;
        ip[7] = p.ttl;
        ip[23] = p.source;
        ip[39] = 2;
        bytes.insert(bytes.end(), ip.begin(), ip.end());
    } else {
        bytes.insert(bytes.end(), {0x08, 0x00});
        Bytes ip(20, 0);
        ip[0] = 0x45;
        put16(ip, 2, static_cast<uint16_t>(20 + l4_length));
        ip[8] = p.ttl;
        ip[9] = p.tcp ? 6 : 17;
        put16(ip, 10, p.checksum);
        ip[12] = 10;
        ip[15] = p.source;
        ip[16] = 10;
        ip[19] = 2;
        bytes.insert(bytes.end(), ip.begin(), ip.end());
    }
    bytes.insert(bytes.end(), l4.begin(), l4.end());
    if (bytes.size() < p.padded_to)
        bytes.resize(p.padded_to, 0xEE);
    return bytes;
}

// The key of a packet's frame, or "none".
std::string key_of(KeyMode mode, const Packet &p)
{
    Bytes bytes = frame(p);
    const uint32_t wire = static_cast<uint32_t>(bytes.size());
    if (p.cut)
        bytes.resize(p.cut);
    LatencyKey key;
    if (!latency_key(mode, bytes.data(), static_cast<uint32_t>(bytes.size()), wire, &key))
        return "none";
    return std::to_string(key.low) + ":" + std::to_string(key.high);
}

TEST(LatencyKey, SeesThroughWhatEachKindOfDeviceChanges)
{
    Packet base;
    Packet routed = base;
    routed.ttl = 63;
    routed.checksum = 0x1334;
    routed.mac = 0x05;
    Packet tagged = base;
    tagged.vlan = true;
    Packet padded = base;
    padded.padded_to = 60;
    Packet translated = routed;
    translated.source = 77;
    translated.port = 5555;
    Packet other_payload = base;
    other_payload.payload = "hellp";
    Packet v6 = base;
    v6.ipv6 = true;
    Packet v6_routed = v6;
    v6_routed.ttl = 1;
    v6_routed.mac = 0x09;
    v6_routed.padded_to = 90;

    struct Row {
        const char *name;
        KeyMode mode;
        Packet a, b;
        bool same;
    } rows[] = {
        {"frame: the same frame", KeyMode::frame, base, base, true},
        {"frame: a router's change shows", KeyMode::frame, base, routed, false},
        {"ip: TTL, checksum and addresses of Ethernet masked", KeyMode::ip, base, routed, true},
        {"ip: a VLAN tag skipped", KeyMode::ip, base, tagged, true},
        {"ip: padding ignored", KeyMode::ip, base, padded, true},
        {"ip: IPv6 hop limit masked, padding ignored", KeyMode::ip, v6, v6_routed, true},
        {"ip: a translated address shows", KeyMode::ip, base, translated, false},
        {"ip: one payload byte shows", KeyMode::ip, base, other_payload, false},
        {"payload: addresses and ports translated", KeyMode::payload, base, translated, true},
        {"payload: one payload byte shows", KeyMode::payload, base, other_payload, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string a = key_of(row.mode, row.a), b = key_of(row.mode, row.b);
        EXPECT_NE(a, "none");
        EXPECT_EQ(a == b, row.same);
    }
}

TEST(LatencyKey, NoKeyRatherThanAWrongOne)
{
    Packet bare_ack;
    bare_ack.tcp = true;
    bare_ack.payload = "";
    Packet cut_ip;
    cut_ip.payload = std::string(100, 'x');
    cut_ip.cut = 80;
    Packet cut_padding;  // the padding cut off, the packet whole
    cut_padding.padded_to = 90;
    cut_padding.cut = 60;
    Packet tcp;
    tcp.tcp = true;
    Bytes arp(60, 0);
    arp[12] = 0x08;
    arp[13] = 0x06;
    Bytes broken_ipv4 = frame(Packet{});
    broken_ipv4[14] = 0x4F;  // a header longer than the packet

    struct Row {
        const char *name;
        KeyMode mode;
        Bytes bytes;
        uint32_t captured;
        bool has_key;
    } rows[] = {
        {"payload: a bare acknowledgement", KeyMode::payload, frame(bare_ack), 0, false},
        {"payload: a TCP segment with data", KeyMode::payload, frame(tcp), 0, true},
        {"payload: not IP", KeyMode::payload, arp, 0, false},
        {"ip: not IP falls back to the whole frame", KeyMode::ip, arp, 0, true},
        {"ip: IP cut short by the capture", KeyMode::ip, frame(cut_ip), 80, false},
        {"ip: only the padding cut", KeyMode::ip, frame(cut_padding), 60, true},
        {"frame: cut short by the capture", KeyMode::frame, frame(cut_padding), 60, false},
        {"ip: a header that does not hold together", KeyMode::ip, broken_ipv4, 0, false},
        {"off", KeyMode::off, frame(tcp), 0, false},
        {"ip: 13 bytes", KeyMode::ip, Bytes(13, 0), 0, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const uint32_t captured = row.captured ? row.captured : static_cast<uint32_t>(row.bytes.size());
        LatencyKey key;
        EXPECT_EQ(latency_key(row.mode, row.bytes.data(), captured, static_cast<uint32_t>(row.bytes.size()), &key),
                  row.has_key);
    }
}

// Records what the matcher reports, as "earlier>later=latency" and "-frame".
struct Recorder : MatchSink {
    std::vector<std::string> events;
    void paired(const Pairing &p) override
    {
        events.push_back(std::to_string(p.earlier.frame) + ">" + std::to_string(p.later.frame) + "=" +
                         std::to_string(p.latency) + (p.duplicate ? "d" : ""));
    }
    void unmatched(const Sighting &s) override { events.push_back("-" + std::to_string(s.frame)); }
};

TEST(LatencyMatcher, PairsEachFrameWithItsOtherSighting)
{
    // Sightings in capture order: {channel, TAP time, key}; frames number
    // from 1. Window 1000 ns.
    struct In {
        uint16_t channel;
        uint64_t time;
        uint64_t key;
    };
    struct Row {
        const char *name;
        std::vector<In> sightings;
        std::vector<std::string> events;  // in the order reported, finish included
    } rows[] = {
        {"one frame through the device", {{1, 100, 7}, {2, 350, 7}}, {"1>2=250"}},
        {"the other direction", {{2, 100, 7}, {1, 104, 7}}, {"1>2=4"}},
        {"the later sighting first in the capture", {{2, 350, 7}, {1, 100, 7}}, {"2>1=250"}},
        {"the same channel never pairs", {{1, 100, 7}, {1, 200, 7}}, {"-1", "-2"}},
        {"other keys never pair", {{1, 100, 7}, {2, 200, 8}}, {"-1", "-2"}},
        {"sent twice: first in, first out", {{1, 100, 7}, {1, 150, 7}, {2, 300, 7}, {2, 330, 7}},
         {"1>3=200d", "2>4=180"}},
        {"a duplicate out of order in the capture", {{1, 150, 7}, {1, 100, 7}, {2, 300, 7}, {2, 330, 7}},
         {"2>3=200d", "1>4=180"}},
        {"exactly the window apart", {{1, 0, 7}, {2, 1000, 7}}, {"1>2=1000"}},
        {"one past the window", {{1, 0, 7}, {2, 1001, 7}}, {"-1", "-2"}},
        {"left the window before the partner came", {{1, 0, 7}, {1, 5000, 9}, {2, 5001, 7}}, {"-1", "-2", "-3"}},
        {"dropped by the device, the next one passes", {{1, 0, 7}, {1, 10, 8}, {2, 60, 8}}, {"2>3=50", "-1"}},
        {"equal times", {{1, 500, 7}, {2, 500, 7}}, {"1>2=0"}},
        {"the clock steps back: what waited is settled at once, and frames pair again",
         {{1, 5000, 7}, {1, 1000, 8}, {2, 1200, 8}}, {"-1", "2>3=200"}},
        {"back by the window is still the same clock", {{1, 5000, 7}, {1, 4000, 8}, {2, 4200, 8}},
         {"2>3=200", "-1"}},
        {"a lone frame stamped far ahead keeps no one from pairing",
         {{1, 100, 7}, {1, 1000000, 9}, {1, 200, 8}, {2, 300, 8}}, {"3>4=100", "-1", "-2"}},
        {"a quiet link: the frame far ahead is followed, and what waited leaves",
         {{1, 100, 7}, {1, 9000, 8}, {2, 9100, 8}}, {"2>3=100", "-1"}},
    };
    // Twelve equal frames on channel 1, then each seen on channel 2 100 ns
    // later: first in, first out beyond the few compared by TAP time.
    Row repeated = {"twelve equal frames", {}, {}};
    for (uint64_t i = 0; i < 12; i++)
        repeated.sightings.push_back({1, i, 7});
    for (uint64_t i = 0; i < 12; i++) {
        repeated.sightings.push_back({2, 100 + i, 7});
        repeated.events.push_back(std::to_string(i + 1) + ">" + std::to_string(i + 13) + "=100" + (i < 11 ? "d" : ""));
    }
    std::vector<Row> all(std::begin(rows), std::end(rows));
    all.push_back(repeated);
    for (const Row &row : all) {
        SCOPED_TRACE(row.name);
        LatencyMatcher matcher(1000);
        Recorder recorder;
        uint64_t frame = 0;
        for (const In &in : row.sightings) {
            Sighting sighting = {++frame, in.time, {in.key, ~in.key}, 64, 0x80, 2, 0, static_cast<uint8_t>(in.channel)};
            matcher.add(sighting, recorder);
        }
        matcher.finish(recorder);
        EXPECT_EQ(recorder.events, row.events);
        EXPECT_EQ(matcher.waiting(), 0u);
    }
}

// Counts pairings of a frame's own two sightings (frame numbers 2i+1 and
// 2i+2 for frame i), pairings of anything else, and frames left unmatched.
struct PairCounter : MatchSink {
    uint64_t own = 0, wrong = 0, unmatched_count = 0;
    void paired(const Pairing &p) override { (p.earlier.key == p.later.key ? own : wrong)++; }
    void unmatched(const Sighting &) override { unmatched_count++; }
};

TEST(LatencyMatcher, FindsEveryKeyWhileItsIndexIsCompactedAndGrown)
{
    // Many distinct keys through the device, some dropped and sent again:
    // the index is emptied of keys gone from the window again and again
    // (while it has room for those waiting) or grows (while it has not),
    // and every key must still be found.
    struct Row {
        const char *name;
        uint64_t frames, spacing, latency, window, drop_every;
    } rows[] = {
        {"room enough: compacted in place", 300000, 100, 5000, 700000, 100},
        {"more waiting: grown", 100000, 100, 2000000, 10000000, 97},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        struct Seen {
            uint64_t time;
            uint64_t frame;
            uint8_t channel;
        };
        std::vector<Seen> seen;
        uint64_t dropped = 0;
        for (uint64_t i = 0; i < row.frames; i++) {
            seen.push_back({i * row.spacing, i, 1});
            if (i % row.drop_every == 0) {
                // Dropped; sent again half a window later, and that one
                // passes once the first has left the window.
                dropped++;
                seen.push_back({i * row.spacing + row.window / 2, i, 1});
                seen.push_back({i * row.spacing + row.window + 1000, i, 2});
            } else {
                seen.push_back({i * row.spacing + row.latency, i, 2});
            }
        }
        std::stable_sort(seen.begin(), seen.end(), [](const Seen &a, const Seen &b) { return a.time < b.time; });
        LatencyMatcher matcher(row.window);
        PairCounter counter;
        uint64_t number = 0;
        for (const Seen &s : seen) {
            // Keys spread over the index as hashes are (splitmix64), so
            // slots crowd.
            uint64_t mixed = (s.frame + 1) * 0x9E3779B97F4A7C15u;
            mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9u;
            mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBu;
            const LatencyKey key = {mixed ^ (mixed >> 31), s.frame};
            matcher.add(Sighting{++number, s.time, key, 64, 0x80, 2, 0, s.channel}, counter);
        }
        matcher.finish(counter);
        EXPECT_EQ(counter.own, row.frames);
        EXPECT_EQ(counter.wrong, 0u);
        EXPECT_EQ(counter.unmatched_count, dropped);
    }
}

TEST(LatencyMatcher, MemoryIsBoundedByTheWindowWhateverTheClockDoes)
{
    // A million frames, 100 ns apart, none ever seen again: the waiting
    // sightings are those of one window, also when the TAP clock steps
    // back (a restarted TAP) or one frame is stamped far ahead; the clock
    // tells what it did.
    constexpr uint64_t FRAMES = 1000000, MIDDLE = FRAMES / 2, HOUR = 3600000000000;
    struct Row {
        const char *name;
        uint64_t back_at, back_by;  // from frame back_at on, the clock reads back_by less
        uint64_t ahead_at;          // this frame alone is stamped an hour ahead (of the one before)
        ClockSteps steps;
    } rows[] = {
        {"a steady clock", 0, 0, 0, {}},
        {"a step back of 1000 s", MIDDLE, 1000000000000, 0, {1, 1000000000000 - 100, MIDDLE, 0, 0, 0}},
        {"one frame an hour ahead", 0, 0, MIDDLE, {0, 0, 0, 1, HOUR + 100, MIDDLE}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LatencyMatcher matcher(100000);
        Recorder recorder;
        size_t most = 0;
        for (uint64_t i = 1; i <= FRAMES; i++) {
            uint64_t time = 2000000000000 + i * 100;
            time -= row.back_at && i >= row.back_at ? row.back_by : 0;
            time += i == row.ahead_at ? HOUR : 0;
            matcher.add(Sighting{i, time, {i, i}, 64, 0x80, 2, 0, 1}, recorder);
            most = std::max(most, matcher.waiting());
            if (recorder.events.size() > 1000)
                recorder.events.clear();
        }
        EXPECT_LE(most, 1003u);
        const ClockSteps &steps = matcher.clock().steps();
        EXPECT_EQ(steps.back, row.steps.back);
        EXPECT_EQ(steps.largest_back, row.steps.largest_back);
        EXPECT_EQ(steps.first_back_frame, row.steps.first_back_frame);
        EXPECT_EQ(steps.ahead, row.steps.ahead);
        EXPECT_EQ(steps.largest_ahead, row.steps.largest_ahead);
        EXPECT_EQ(steps.first_ahead_frame, row.steps.first_ahead_frame);
    }
}

TEST(LatencyRanges, EachLatencyInItsRangeAsTheTreeNamesThem)
{
    struct Row {
        uint64_t window;
        size_t count;
        uint64_t last_floor;
    } rows[] = {
        {1000000, 10, 500000},                // 1 ms: below 1 µs … 500 µs-1 ms
        {100000000, 16, 50000000},            // the default 100 ms
        {2147483647, 21, 2000000000},         // the plug-in's largest (an int)
        {3600000000000, 30, 2000000000000},   // an hour
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.window);
        const LatencyRanges ranges = latency_ranges(row.window);
        EXPECT_EQ(ranges.count, row.count);
        EXPECT_EQ(ranges.floor[ranges.count - 1], row.last_floor);
        EXPECT_EQ(ranges.ceil(ranges.count - 1), row.window);
        // Every bound, each side of it, and every power of two: the range
        // found fast is the one a plain search finds.
        std::vector<uint64_t> latencies = {row.window, row.window + 1};
        for (size_t i = 0; i < ranges.count; i++)
            latencies.insert(latencies.end(), {ranges.floor[i], ranges.floor[i] + 1, ranges.floor[i] - 1});
        for (int bit = 0; bit < 64; bit++)
            latencies.insert(latencies.end(), {uint64_t(1) << bit, (uint64_t(1) << bit) - 1});
        for (uint64_t latency : latencies) {
            size_t plain = 0;
            while (plain + 1 < ranges.count && latency >= ranges.floor[plain + 1])
                plain++;
            EXPECT_EQ(ranges.range_of(latency), plain) << latency;
        }
    }
}

} // namespace
