// SPDX-License-Identifier: GPL-2.0-or-later
//
// The latencies of one direction, for their percentiles: every one of
// them (8 bytes each) while there are at most a limit (ten million), then
// a histogram whose buckets are at most 1/1024 of their value wide, and
// every latency spilled to a temporary file (unlinked at once): a
// percentile's bucket is found in the histogram and its exact value by one
// look through the file at that bucket's latencies, which are at most the
// bucket's width apart, so memory stays bounded however many there are.
// Without the file (asked not to spill, or the disk refused it) a
// percentile is read off the histogram, at most 0.1% below the exact one.
// Count, least, largest and mean stay exact either way. Latencies are
// signed: a cut-through device's last-in-first-out latency is below zero.

#ifndef OVINT_LATENCY_FIGURES_DISTRIBUTION_H
#define OVINT_LATENCY_FIGURES_DISTRIBUTION_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <vector>

class LatencyDistribution {
public:
    static constexpr size_t EXACT_LIMIT = 10000000;
    // Beyond the limit: spill (exact), or estimate from the histogram.
    enum class Beyond : uint8_t { spill, estimate };
    explicit LatencyDistribution(size_t exact_limit = EXACT_LIMIT, Beyond beyond = Beyond::spill)
        : exact_limit_(exact_limit), spilling_(beyond == Beyond::spill)
    {
    }

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
    // Whether percentiles are the exact ones: held, or spilled.
    bool exact() const { return buckets_.empty() || spill_; }
    long double sum_seconds() const { return static_cast<long double>(sum_) / 1e9L; }
    // Nearest rank: the smallest latency with at least `per_10000`
    // ten-thousandths of them at or below it (9990: 99.9%); from the
    // histogram, the least value of that latency's bucket.
    int64_t percentile(uint64_t per_10000);

private:
    struct CloseFile {
        void operator()(FILE *file) const { std::fclose(file); }
    };
    // A histogram place: a bucket of latencies at or above zero (0, 1,
    // ...) or below it (-1 for bucket 0 of sizes, -2 for 1, ...).
    static int64_t place_of(int64_t latency);
    // The place of rank `rank` (from 1) and how many lie in places before.
    void find_place(uint64_t rank, int64_t &place, uint64_t &before) const;
    int64_t estimate(int64_t place) const;
    void spill(int64_t latency);
    // Each rank's exact value by one look through the spilled latencies.
    void look_up(const std::vector<uint64_t> &ranks);
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
    bool spilling_;
    std::unique_ptr<FILE, CloseFile> spill_;  // every latency once beyond the limit; none: estimates
    std::map<uint64_t, int64_t> looked_up_;   // rank: latency, from the spill
};

#endif // OVINT_LATENCY_FIGURES_DISTRIBUTION_H
