// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-latency's percentiles: nearest rank, exact over every latency up to
// a limit, and from the histogram beyond it at most 0.1% below.

#include "distribution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

uint64_t nearest_rank(std::vector<uint64_t> values, uint64_t per_10000)
{
    std::sort(values.begin(), values.end());
    const uint64_t rank = std::max<uint64_t>(1, (per_10000 * values.size() + 9999) / 10000);
    return values[rank - 1];
}

TEST(LatencyDistribution, PercentilesByNearestRank)
{
    struct Row {
        const char *name;
        std::vector<uint64_t> latencies;
        uint64_t per_10000;
        uint64_t expected;
    } rows[] = {
        {"median of 1 to 100", {}, 5000, 50},
        {"99.9% of 1 to 100: the largest", {}, 9990, 100},
        {"90% of 1 to 10", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 9000, 9},
        {"median of one", {42}, 5000, 42},
        {"99.99% of 1 to 100,000", {}, 9999, 99990},
    };
    for (uint64_t i = 1; i <= 100; i++)
        rows[0].latencies.push_back(101 - i), rows[1].latencies.push_back(i);
    for (uint64_t i = 1; i <= 100000; i++)
        rows[4].latencies.push_back(i);
    for (Row &row : rows) {
        SCOPED_TRACE(row.name);
        LatencyDistribution distribution;
        for (uint64_t latency : row.latencies)
            distribution.add(latency);
        EXPECT_TRUE(distribution.exact());
        EXPECT_EQ(distribution.percentile(row.per_10000), row.expected);
    }
}

TEST(LatencyDistribution, BeyondTheLimitAtMostATenthOfAPercentBelow)
{
    // Latencies spread over six decades, and a tight cluster; the limit at
    // 1,000 so that the histogram takes over.
    struct Row {
        const char *name;
        uint64_t (*latency)(uint64_t i);
    } rows[] = {
        {"six decades", [](uint64_t i) { return 100 + (i * 7919 % 1000) * (i % 6 == 0 ? 100000 : i % 1000 + 1); }},
        {"a cluster near 5 us", [](uint64_t i) { return 5000 + i % 97; }},
        {"below 1 us", [](uint64_t i) { return i % 1000; }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LatencyDistribution distribution(1000);
        std::vector<uint64_t> all;
        for (uint64_t i = 0; i < 20000; i++) {
            all.push_back(row.latency(i));
            distribution.add(all.back());
        }
        EXPECT_FALSE(distribution.exact());
        EXPECT_EQ(distribution.count(), all.size());
        EXPECT_EQ(distribution.least(), *std::min_element(all.begin(), all.end()));
        EXPECT_EQ(distribution.largest(), *std::max_element(all.begin(), all.end()));
        for (uint64_t per_10000 : {5000, 9000, 9900, 9990, 9999}) {
            const uint64_t exact = nearest_rank(all, per_10000);
            const uint64_t estimate = distribution.percentile(per_10000);
            EXPECT_LE(estimate, exact) << per_10000;
            EXPECT_GE(estimate * 1001, exact * 1000) << per_10000;
        }
    }
}

} // namespace
