// SPDX-License-Identifier: GPL-2.0-or-later
//
// The latencies of one direction, for their percentiles: every one of
// them (8 bytes each) while there are at most a limit (ten million), then
// a histogram whose buckets are at most 1/1024 of their value wide, so that
// a percentile read off it is at most 0.1% below the exact one. Count,
// least, largest and mean stay exact either way. Latencies are signed: a
// cut-through device's last-in-first-out latency is below zero.

#ifndef OVINT_LATENCY_MATCHING_DISTRIBUTION_H
#define OVINT_LATENCY_MATCHING_DISTRIBUTION_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class LatencyDistribution {
public:
    static constexpr size_t EXACT_LIMIT = 10000000;
    explicit LatencyDistribution(size_t exact_limit = EXACT_LIMIT) : exact_limit_(exact_limit) {}

    void add(int64_t latency);
    // Every latency of another, as if added here.
    void add_all(const LatencyDistribution &other);

    uint64_t count() const { return count_; }
    int64_t least() const { return least_; }
    int64_t largest() const { return largest_; }
    // To the nearest ns (halves up), as the plug-in's tree shows it.
    int64_t mean() const;
    // The population standard deviation, to the nearest ns.
    uint64_t standard_deviation() const;
    bool exact() const { return buckets_.empty(); }
    long double sum_seconds() const { return static_cast<long double>(sum_) / 1e9L; }
    // Nearest rank: the smallest latency with at least `per_10000`
    // ten-thousandths of them at or below it (9990: 99.9%); from the
    // histogram, the least value of that latency's bucket.
    int64_t percentile(uint64_t per_10000);

private:
    static size_t bucket_of(uint64_t value);
    static uint64_t bucket_floor(size_t bucket);
    void to_histogram();
    void count_in_histogram(int64_t latency);

    size_t exact_limit_;
    std::deque<int64_t> latencies_;  // grows in blocks: 8 bytes a latency, never a copy
    bool sorted_ = true;
    std::vector<size_t> in_place_;  // indexes holding the latency of their rank, ascending
    // Counts by the latency's size, of those at or above zero and of those
    // below; empty while exact.
    std::vector<uint64_t> buckets_, negative_buckets_;
    uint64_t count_ = 0;
    int64_t least_ = 0, largest_ = 0;
    __int128 sum_ = 0;
    // Latencies are below 2^42 ns (an hour's window): their squares add up
    // exactly for far more than any capture holds.
    unsigned __int128 sum_of_squares_ = 0;
};

#endif // OVINT_LATENCY_MATCHING_DISTRIBUTION_H
