// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-latency's own arithmetic: percentiles by nearest rank, exact over
// every latency up to a limit and from the histogram beyond it at most 0.1%
// below; the tables' numbers, written without printf.

#include "figures/bursts.h"
#include "figures/distribution.h"
#include "figures/jitter.h"
#include "outputs/tables/row.h"
#include "figures/traffic_groups.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

int64_t nearest_rank(std::vector<int64_t> values, uint64_t per_10000)
{
    std::sort(values.begin(), values.end());
    const uint64_t rank = std::max<uint64_t>(1, (per_10000 * values.size() + 9999) / 10000);
    return values[rank - 1];
}

TEST(LatencyDistribution, PercentilesByNearestRank)
{
    constexpr int64_t NONE = INT64_MIN;
    struct Row {
        const char *name;
        std::vector<int64_t> latencies;
        uint64_t per_10000;
        int64_t expected;
        // To the nearest ns, halves up, as the plug-in's tree shows them
        // (NONE: not checked).
        int64_t mean, standard_deviation;
    } rows[] = {
        {"median of 1 to 100", {}, 5000, 50, 51, 29},  // 50.5, 28.87
        {"99.9% of 1 to 100: the largest", {}, 9990, 100, 51, 29},
        {"90% of 1 to 10", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 9000, 9, 6, 3},  // 5.5, 2.87
        {"median of one", {42}, 5000, 42, 42, 0},
        {"99.99% of 1 to 100,000", {}, 9999, 99990, 50001, 28868},  // 50000.5, 28867.51
        {"median of 100,000 in no order", {}, 5000, 0, NONE, NONE},
        {"a cut-through device under LIFO: below zero, kept", {30, -30, 10, 0, -10}, 2000, -30, 0, 20},
        {"halves up below zero too", {-1, -2}, 5000, -2, -1, 1},  // -1.5, 0.5
    };
    for (int64_t i = 1; i <= 100; i++)
        rows[0].latencies.push_back(101 - i), rows[1].latencies.push_back(i);
    for (int64_t i = 1; i <= 100000; i++) {
        rows[4].latencies.push_back(i);
        rows[5].latencies.push_back(i * 7919 % 100003);
    }
    rows[5].expected = nearest_rank(rows[5].latencies, 5000);
    for (Row &row : rows) {
        SCOPED_TRACE(row.name);
        LatencyDistribution distribution;
        for (int64_t latency : row.latencies)
            distribution.add(latency);
        EXPECT_TRUE(distribution.exact());
        EXPECT_EQ(distribution.percentile(row.per_10000), row.expected);
        if (row.mean != NONE) {
            EXPECT_EQ(distribution.mean(), row.mean);
            EXPECT_EQ(static_cast<int64_t>(distribution.standard_deviation()), row.standard_deviation);
        }
        // Then others, in the report's order, again, and out of order.
        for (uint64_t per_10000 : {5000, 9000, 9900, 9990, 9999, 5000, 9999, 1, 10000, 9000, 7500})
            EXPECT_EQ(distribution.percentile(per_10000), nearest_rank(row.latencies, per_10000)) << per_10000;
    }
}

TEST(LatencyDistribution, BeyondTheLimitExactFromTheSpillElseATenthOfAPercentBelow)
{
    // Latencies spread over six decades, a tight cluster, and latencies
    // either side of zero; the limit at 1,000 so that the histogram takes
    // over: with the spill, every percentile is still the exact one (also
    // once folded into another, as groups fold into "other"); without it,
    // at most 0.1% below.
    struct Row {
        const char *name;
        int64_t (*latency)(int64_t i);
    } rows[] = {
        {"six decades", [](int64_t i) { return 100 + (i * 7919 % 1000) * (i % 6 == 0 ? 100000 : i % 1000 + 1); }},
        {"a cluster near 5 us", [](int64_t i) { return 5000 + i % 97; }},
        {"below 1 us", [](int64_t i) { return i % 1000; }},
        {"either side of zero, to 20 us", [](int64_t i) { return (i * 7919 % 40001) - 20000; }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LatencyDistribution spilled(1000), estimated(1000, LatencyDistribution::Beyond::estimate), folded(500);
        std::vector<int64_t> all;
        for (int64_t i = 0; i < 20000; i++) {
            all.push_back(row.latency(i));
            spilled.add(all.back());
            estimated.add(all.back());
        }
        folded.add(all[0]);
        folded.add_all(spilled);
        all.push_back(all[0]);
        spilled.add(all[0]);
        estimated.add(all[0]);
        EXPECT_TRUE(spilled.exact());
        EXPECT_FALSE(estimated.exact());
        EXPECT_EQ(spilled.count(), all.size());
        EXPECT_EQ(spilled.least(), *std::min_element(all.begin(), all.end()));
        EXPECT_EQ(spilled.largest(), *std::max_element(all.begin(), all.end()));
        for (uint64_t per_10000 : {1000, 5000, 9000, 9900, 9990, 9999, 1, 7500, 10000}) {
            const int64_t exact = nearest_rank(all, per_10000);
            EXPECT_EQ(spilled.percentile(per_10000), exact) << per_10000;
            EXPECT_EQ(folded.percentile(per_10000), exact) << per_10000;
            const int64_t estimate = estimated.percentile(per_10000);
            EXPECT_LE(estimate, exact) << per_10000;
            EXPECT_LE(exact - estimate, (exact < 0 ? -exact : exact) / 1000) << per_10000;
        }
    }
}

// Beyond the limit the least busy groups fold into "other": no frame is
// lost and the busiest stay apart with every latency they had; a group
// that comes back after folding says it is partial and is ranked after the
// whole ones; latencies folded from a histogram stay within its 0.1%.
TEST(TrafficGroups, TheLeastBusyFoldIntoOtherAndNothingIsLost)
{
    struct Row {
        const char *name;
        size_t limit;
        size_t folded;  // each time a group comes beyond the limit, half go
        bool first_partial;  // flow 1, back with 500 frames after the others
    } rows[] = {
        {"twelve flows, six apart, then three more as flow 1 comes back", 6, 9, true},
        {"within the limit", 13, 0, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TrafficGroups groups(GroupBy::flow, row.limit);
        std::vector<int64_t> all;
        // Flow f has 10 f frames, one in ten not seen leaving on Con A;
        // its frames' DSCP and VLAN vary, which a flow is not told by.
        for (uint8_t f = 1; f <= 12; f++) {
            TrafficView view;
            view.family = 4;
            view.protocol = 17;
            view.src[3] = f;
            for (uint64_t i = 0; i < 10u * f; i++) {
                view.dscp = static_cast<uint8_t>(i % 3 * 10);
                view.vlan = i % 4 ? NO_VLAN : 100;
                if (i % 10 == 9) {
                    groups.unmatched(view, 0);
                } else {
                    all.push_back(1000 * f + i);
                    groups.matched(view, all.back());
                }
            }
        }
        TrafficView first;
        first.family = 4;
        first.protocol = 17;
        first.src[3] = 1;
        for (uint64_t i = 0; i < 500; i++) {
            all.push_back(900);
            groups.matched(first, all.back());
        }
        groups.finish(1u | 8u);
        std::vector<GroupFigures *> ranked = groups.ranked(GroupOrder::count, 0);
        uint64_t matched = groups.other.matched(), not_seen = groups.other.not_seen;
        for (GroupFigures *group : ranked)
            matched += group->matched(), not_seen += group->not_seen;
        EXPECT_EQ(matched, all.size());
        EXPECT_EQ(not_seen, 78u);  // 1 + 2 + ... + 12
        EXPECT_EQ(groups.folded_groups, row.folded);
        ASSERT_FALSE(ranked.empty());
        const GroupFigures &busiest = *ranked[row.first_partial ? 0 : 1];
        EXPECT_EQ(busiest.key.src[3], 12);  // the busiest whole one
        EXPECT_EQ(busiest.matched(), 108u);
        EXPECT_EQ(busiest.latencies->percentile(9900), 12000u + 117);
        const auto first_ranked = std::find_if(ranked.begin(), ranked.end(),
                                               [](const GroupFigures *g) { return g->key.src[3] == 1; });
        ASSERT_NE(first_ranked, ranked.end());
        EXPECT_EQ((*first_ranked)->partial, row.first_partial);
        EXPECT_EQ(first_ranked == ranked.end() - 1, row.first_partial);
        EXPECT_EQ(std::count_if(ranked.begin(), ranked.end(), [](const GroupFigures *g) { return g->partial; }),
                  row.first_partial ? 1 : 0);
        if (row.folded) {
            EXPECT_EQ(groups.other.latencies->least(), 1000u);
        }
    }
    // Folding a histogram into exact latencies and the other way round.
    LatencyDistribution exact, histogram(100), folded, folded_into_histogram(100);
    std::vector<int64_t> values;
    for (int64_t i = 0; i < 1000; i++) {
        values.push_back(5000 + i * 37 % 1000);
        (i % 2 ? exact : histogram).add(values.back());
    }
    folded.add_all(exact);
    folded.add_all(histogram);
    folded_into_histogram.add_all(exact);
    folded_into_histogram.add_all(histogram);
    for (LatencyDistribution *d : {&folded, &folded_into_histogram}) {
        EXPECT_EQ(d->count(), values.size());
        EXPECT_EQ(d->least(), *std::min_element(values.begin(), values.end()));
        EXPECT_EQ(d->largest(), *std::max_element(values.begin(), values.end()));
        const int64_t p99 = nearest_rank(values, 9900);
        EXPECT_LE(d->percentile(9900), p99);
        EXPECT_GE(d->percentile(9900) * 1001, p99 * 1000);
    }
}

// Views no frame holds give up their room only beyond IDLE_VIEWS, and never
// while a frame holds them: each frame reads back the view it was given,
// and frames waiting at once with the same view share it.
TEST(ViewTable, EachFrameKeepsItsViewWhileRoomIsReused)
{
    ViewTable views;
    auto view_of = [](uint32_t flow) {
        TrafficView view;
        view.family = 4;
        std::memcpy(view.src, &flow, sizeof flow);
        return view;
    };
    std::vector<std::pair<uint32_t, uint32_t>> waiting;  // id, flow
    std::map<uint32_t, std::pair<uint32_t, size_t>> held;   // flow: id, frames waiting
    const uint32_t flows = 3 * ViewTable::IDLE_VIEWS + 1;
    for (uint32_t frame = 0; frame < 10 * flows; frame++) {
        // Busy flows always held, flows idle between their frames and held
        // again, and many rare ones that take the room.
        const uint32_t flow = frame % 3 == 1   ? frame % 50
                              : frame % 3 == 2 ? 50 + frame / 3 % 700
                                               : 750 + frame * 7919u % flows;
        waiting.emplace_back(views.hold(view_of(flow)), flow);
        auto &flow_held = held[flow];
        if (flow_held.second++) {
            ASSERT_EQ(waiting.back().first, flow_held.first) << frame;
        }
        flow_held.first = waiting.back().first;
        // Frames are told in a window of a thousand.
        if (waiting.size() > 1000) {
            const auto told = waiting.front();
            ASSERT_TRUE(views.view(told.first) == view_of(told.second)) << frame;
            views.release(told.first);
            if (--held[told.second].second == 0)
                held.erase(told.second);
            waiting.erase(waiting.begin());
        }
    }
    for (const auto &told : waiting)
        views.release(told.first);
    EXPECT_EQ(views.held(), 0u);
}

// The index of views finds every number it was given, however their
// hashes crowd and wrap round its end, until the number is erased.
TEST(ViewIndex, EveryNumberFoundUntilErased)
{
    struct Row {
        const char *name;
        uint64_t (*hash)(uint32_t number);
    } rows[] = {
        {"all in one slot", [](uint32_t) -> uint64_t { return 5; }},
        {"in a few slots at the end, wrapping", [](uint32_t number) -> uint64_t { return 61 + number % 4; }},
        {"every other slot", [](uint32_t number) -> uint64_t { return 2 * number; }},
        {"spread", [](uint32_t number) -> uint64_t { return number * 0x9E3779B97F4A7C15u; }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ViewIndex index;
        std::vector<bool> present(200);
        auto check = [&] {
            for (uint32_t number = 1; number < present.size(); number++) {
                const uint32_t found = index.find(row.hash(number), [&](uint32_t n) { return n == number; });
                ASSERT_EQ(found, present[number] ? number : 0) << number;
            }
        };
        // Some in, a third out in an order of their own, more in (the
        // index grows), half out.
        for (uint32_t number = 1; number <= 20; number++)
            index.insert(number, row.hash(number)), present[number] = true;
        for (uint32_t number = 20; number > 3; number -= 3)
            index.erase(number, row.hash(number)), present[number] = false;
        check();
        for (uint32_t number = 21; number < present.size(); number++)
            index.insert(number, row.hash(number)), present[number] = true;
        for (uint32_t number = 1; number < present.size(); number += 2) {
            if (present[number])
                index.erase(number, row.hash(number)), present[number] = false;
        }
        check();
    }
}

TEST(Row, NumbersAsPrintfWritesThem)
{
    // Every count of digits at its edges, each first and after others;
    // every four digits in either half of eight.
    std::vector<uint64_t> values = {0, UINT64_MAX};
    for (uint64_t power = 1; power <= UINT64_MAX / 10; power *= 10) {
        values.push_back(power);
        values.push_back(power * 10 - 1);
        values.push_back(power * 7 + 3);
    }
    for (uint64_t half = 0; half < 10000; half++)
        values.push_back(half * 10000 + 9999 - half);
    for (uint64_t value : values) {
        SCOPED_TRACE(value);
        char expected[96];
        snprintf(expected, sizeof expected, "%" PRIu64 ",%" PRIu64 ",%016" PRIx64 ",%016" PRIx64 "%016" PRIx64,
                 value, value, value, value, ~value);
        char line[Row::CAPACITY];
        Row row(line);
        row.number(value).comma();
        // Above 8 digits, also from its leading digits written before.
        char leading[Row::NUMBER_ROOM];
        if (value >= 100000000)
            row.number_field(Row(leading).number_field(value / 100000000), value % 100000000);
        else
            row.digits(digits_of(static_cast<uint32_t>(value)));  // as a match's rows have it
        row.comma().hex64(value).comma().hex128(value, ~value);
        EXPECT_EQ(std::string(line, row.size()), expected);
        if (value < 100000000) {
            // With leading zeros, four at once: this one and others.
            const uint32_t four[4] = {static_cast<uint32_t>(value), static_cast<uint32_t>(99999999 - value),
                                      static_cast<uint32_t>(value / 3), static_cast<uint32_t>(value * 7 % 100000000)};
            uint64_t words[4];
            row_digits::eight_digits_of_four(four[0], four[1], four[2], four[3], words);
            for (int i = 0; i < 4; i++) {
                char eight[9], written[8];
                snprintf(eight, sizeof eight, "%08" PRIu32, four[i]);
                row_digits::put_word(written, words[i]);
                EXPECT_EQ(std::string(written, 8), eight) << four[i];
            }
        }
    }
}

TEST(PortBursts, BusiestWindowOfEachLength)
{
    struct Frame {
        uint64_t time;
        uint32_t bytes;
        bool restart_before = false;  // the caller restarts the windows first
    };
    struct Expected {
        uint64_t amount;  // bytes of the frames starting in it, or with a line rate bits on the wire
        uint64_t start, start_frame;
    };
    constexpr uint64_t END = UINT64_MAX;
    constexpr uint64_t G = 1000000000;
    struct Row {
        const char *name;
        uint64_t line_rate;
        std::vector<Frame> frames;  // in capture order, numbered from 1
        Expected expected[BURST_WINDOW_COUNT];  // 1 us, 10 us, 100 us, 1 ms
    } rows[] = {
        {"one frame", 0, {{5000, 100}}, {{100, 5000, 1}, {100, 5000, 1}, {100, 5000, 1}, {100, 5000, 1}}},
        {"a window holds frames less than its length apart", 0,
         {{10000, 100}, {10999, 100}, {11000, 100}},
         {{200, 10000, 1}, {300, 10000, 1}, {300, 10000, 1}, {300, 10000, 1}}},
        {"written a little out of order", 0,
         {{11000, 100}, {10000, 100}, {10999, 100}},
         {{200, 10000, 2}, {300, 10000, 2}, {300, 10000, 2}, {300, 10000, 2}}},
        {"at one TAP time, in capture order", 0,
         {{2000, 100}, {1000, 100}, {1000, 50}},
         {{150, 1000, 2}, {250, 1000, 2}, {250, 1000, 2}, {250, 1000, 2}}},
        {"at the end of the TAP's time", 0,
         {{END - 20000, 100}, {END - 500, 100}, {END, 100}},
         {{200, END - 500, 2}, {200, END - 500, 2}, {300, END - 20000, 1}, {300, END - 20000, 1}}},
        {"the clock goes back: what came before is not counted again", 0,
         {{50000000, 100}, {50000500, 100}, {1000, 50}, {1500, 50}},
         {{200, 50000000, 1}, {200, 50000000, 1}, {200, 50000000, 1}, {200, 50000000, 1}}},
        {"the clock goes back: times before and after are never one window", 0,
         {{50000000, 100}, {50000500, 100}, {1000, 50}, {50000200, 100}},
         {{200, 50000000, 1}, {200, 50000000, 1}, {200, 50000000, 1}, {200, 50000000, 1}}},
        {"the clock goes back to a busier time", 0,
         {{50000000, 100}, {1000, 150}, {1200, 150}, {900000, 10}},
         {{300, 1000, 2}, {300, 1000, 2}, {300, 1000, 2}, {310, 1000, 2}}},
        // 1,000 frames of 100 bytes 1 us apart, every other one (a second
        // queue of the capture host's) written 1.1 ms late.
        {"one queue written over a millisecond behind the other: put back in order", 0, {},
         {{100, 1000, 1}, {1000, 1000, 1}, {10000, 1000, 1}, {100000, 1000, 1}}},
        {"the caller restarts: times before and after are never one window", 0,
         {{1000, 100}, {1500, 100, true}, {1600, 50}},
         {{150, 1500, 2}, {150, 1500, 2}, {150, 1500, 2}, {150, 1500, 2}}},
        // 2,000 frames, each 1 ns before the one before.
        {"the clock runs backwards", 0, {},
         {{100000, 8001, 2000}, {200000, 8001, 2000}, {200000, 8001, 2000}, {200000, 8001, 2000}}},
        // 100 frames 100 ns apart; the 51st, of 1,000 bytes, written last.
        {"one frame far out of order", 0, {},
         {{1090, 1004100, 42}, {1990, 1000000, 1}, {1990, 1000000, 1}, {1990, 1000000, 1}}},
        // On the wire: at 1 Gbit/s a bit takes 1 ns.
        // 100 frames of 1,514 bytes (1,538 on the wire) 12,304 ns apart.
        {"back to back at the line rate: the whole line in every window", 1 * G, {},
         {{1000, 5000, 1}, {10000, 5000, 1}, {100000, 5000, 1}, {1000000, 5000, 1}}},
        // 1,000 frames of 1,540 bytes 1,232 ns apart, each pair written the
        // other way round.
        {"back to back at 10 Gbit/s, written out of order", 10 * G, {},
         {{10000, 5000, 2}, {100000, 5000, 2}, {1000000, 5000, 2}, {10000000, 5000, 2}}},
        {"a partial frame at each edge", 1 * G,
         {{1000, 125}, {1600, 100}, {2200, 100}},  // on the wire until 2000, 2400, 3000
         {{1600, 1600, 1}, {2600, 1000, 1}, {2600, 1000, 1}, {2600, 1000, 1}}},
        {"busiest where a window ends at a frame's end, cutting its first frame", 1 * G,
         {{1300, 150}, {2100, 50}, {2800, 100}},  // until 2500, 2500, 3600
         {{1400, 1500, 1}, {2400, 1300, 1}, {2400, 1300, 1}, {2400, 1300, 1}}},
        {"on the wire at the end of the TAP's time", 100 * G,
         {{END - 100, 1250}, {END - 2000, 1250}},  // 100 ns each
         {{10000, END - 2000, 2}, {20000, END - 2000, 2}, {20000, END - 2000, 2}, {20000, END - 2000, 2}}},
        {"on the wire, the clock goes back to a busier time", 1 * G,
         {{50000000, 50}, {1000, 125}, {1500, 125}},
         {{1500, 1000, 2}, {2000, 1000, 2}, {2000, 1000, 2}, {2000, 1000, 2}}},
        // 2,000 frames of 100 bytes (800 ns), each 1 ns before the one
        // before: 800 on the wire at once from 8,800 to 10,001.
        {"on the wire, the clock runs backwards", 1 * G, {},
         {{800000, 8800, 2000}, {1600000, 8001, 2000}, {1600000, 8001, 2000}, {1600000, 8001, 2000}}},
        {"the first frame is the one starting the window, not the one ending there", 1 * G,
         {{4000, 125}, {5000, 125}, {5000, 125}},
         {{2000, 5000, 2}, {3000, 4000, 1}, {3000, 4000, 1}, {3000, 4000, 1}}},
        // A frame of 2 ms (a damaged length) from 5,000, under 2,000 frames
        // of 100 bytes 1 us apart from 6,000.
        {"a frame longer than every window under many short ones", 1 * G, {},
         {{1800, 6000, 1}, {18000, 6000, 1}, {180000, 6000, 1}, {1800000, 6000, 1}}},
    };
    // Capture order: the first queue's frames as they come, the second's
    // each 1.1 ms after its TAP time.
    std::vector<std::pair<uint64_t, uint64_t>> queued;  // written at, TAP time
    for (uint64_t i = 0; i < 1000; i++)
        queued.push_back({1000 + 1000 * i + (i % 2 ? 1100000 : 0), 1000 + 1000 * i});
    std::stable_sort(queued.begin(), queued.end());
    for (const auto &written : queued)
        rows[8].frames.push_back({written.second, 100});
    for (uint64_t i = 0; i < 2000; i++) {
        rows[10].frames.push_back({10000 - i, 100});
        rows[18].frames.push_back({10000 - i, 100});
    }
    for (uint64_t i = 0; i < 100; i++) {
        if (i != 50)
            rows[11].frames.push_back({1000000 + 100 * i, 10});
        rows[12].frames.push_back({5000 + 12304 * i, 1538});
    }
    rows[11].frames.push_back({1005000, 1000});
    for (uint64_t i = 0; i < 1000; i++)
        rows[13].frames.push_back({5000 + 1232 * (i ^ 1), 1540});
    rows[20].frames.push_back({5000, 250000});
    for (uint64_t i = 0; i < 2000; i++)
        rows[20].frames.push_back({6000 + 1000 * i, 100});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        PortBursts bursts(row.line_rate);
        uint64_t number = 0;
        for (const Frame &frame : row.frames) {
            if (frame.restart_before)
                bursts.restart();
            bursts.add(frame.time, frame.bytes, ++number);
        }
        const Burst *busiest = bursts.finish();
        for (size_t w = 0; w < BURST_WINDOW_COUNT; w++) {
            SCOPED_TRACE(BURST_WINDOWS[w]);
            EXPECT_EQ(row.line_rate ? busiest[w].bits : busiest[w].bytes, row.expected[w].amount);
            EXPECT_EQ(busiest[w].start, row.expected[w].start);
            EXPECT_EQ(busiest[w].start_frame, row.expected[w].start_frame);
        }
    }
}

TEST(JitterOrder, ConsecutiveLatenciesByTheEarlierSighting)
{
    // Matches of one direction, 10 ns apart by their earlier sighting,
    // added in the order their later sighting comes (earlier + latency),
    // each release as late as the longest latency allows.
    struct Row {
        const char *name;
        uint64_t (*latency)(uint64_t i);
        uint64_t longest;
    } rows[] = {
        {"in order", [](uint64_t i) { return 500 + i % 7; }, 600},
        {"a little out of order", [](uint64_t i) { return 100 + i * 7919 % 97; }, 200},
        {"now and then far out of order", [](uint64_t i) { return i % 101 == 5 ? 50000 + i : 100 + i % 13; }, 60000},
        {"reversed", [](uint64_t i) { return 100000 - 10 * i; }, 100000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        struct Match {
            uint64_t earlier, latency;
        };
        std::vector<Match> matches;
        for (uint64_t i = 0; i < 5000; i++)
            matches.push_back({1000000 + 10 * i, row.latency(i)});
        Jitter expected;
        for (const Match &match : matches)
            expected.take(match.latency);
        std::stable_sort(matches.begin(), matches.end(), [](const Match &a, const Match &b) {
            return a.earlier + a.latency < b.earlier + b.latency;
        });
        Jitter jitter;
        JitterOrder order;
        for (const Match &match : matches) {
            order.add(match.earlier, match.latency, &jitter);
            order.release(match.earlier + match.latency - row.longest);
        }
        order.finish();
        EXPECT_EQ(jitter.count, expected.count);
        EXPECT_EQ(jitter.sum, expected.sum);
    }
}

} // namespace

