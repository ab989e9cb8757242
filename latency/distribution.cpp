// SPDX-License-Identifier: GPL-2.0-or-later

#include "distribution.h"

#include <algorithm>
#include <cmath>

// Values below 1024 have a bucket each; above, 1024 buckets for each power
// of two, by the ten bits after the leading one.
constexpr int MANTISSA_BITS = 10;
constexpr uint64_t SUB_BUCKETS = uint64_t(1) << MANTISSA_BITS;

size_t LatencyDistribution::bucket_of(uint64_t value)
{
    if (value < SUB_BUCKETS)
        return static_cast<size_t>(value);
    const int exponent = 63 - __builtin_clzll(value);  // at least MANTISSA_BITS
    const uint64_t mantissa = (value >> (exponent - MANTISSA_BITS)) & (SUB_BUCKETS - 1);
    return static_cast<size_t>(SUB_BUCKETS + uint64_t(exponent - MANTISSA_BITS) * SUB_BUCKETS + mantissa);
}

uint64_t LatencyDistribution::bucket_floor(size_t bucket)
{
    if (bucket < SUB_BUCKETS)
        return bucket;
    const uint64_t shift = (bucket - SUB_BUCKETS) / SUB_BUCKETS;
    const uint64_t mantissa = (bucket - SUB_BUCKETS) % SUB_BUCKETS;
    return (SUB_BUCKETS + mantissa) << shift;
}

void LatencyDistribution::to_histogram()
{
    buckets_.assign(bucket_of(UINT64_MAX) + 1, 0);
    for (uint64_t latency : latencies_)
        buckets_[bucket_of(latency)]++;
    std::deque<uint64_t>().swap(latencies_);
}

void LatencyDistribution::add(uint64_t latency)
{
    if (count_ == 0 || latency < least_)
        least_ = latency;
    if (count_ == 0 || latency > largest_)
        largest_ = latency;
    count_++;
    sum_ += latency;
    sum_of_squares_ += static_cast<unsigned __int128>(latency) * latency;
    if (!buckets_.empty()) {
        buckets_[bucket_of(latency)]++;
        return;
    }
    if (!latencies_.empty() && latency < latencies_.back())
        sorted_ = false;
    latencies_.push_back(latency);
    in_place_.clear();
    if (latencies_.size() > exact_limit_)
        to_histogram();
}

void LatencyDistribution::add_all(const LatencyDistribution &other)
{
    if (other.exact()) {
        for (uint64_t latency : other.latencies_)
            add(latency);
        return;
    }
    if (other.count_ == 0)
        return;
    if (buckets_.empty())
        to_histogram();
    for (size_t bucket = 0; bucket < buckets_.size(); bucket++)
        buckets_[bucket] += other.buckets_[bucket];
    least_ = count_ == 0 ? other.least_ : std::min(least_, other.least_);
    largest_ = count_ == 0 ? other.largest_ : std::max(largest_, other.largest_);
    count_ += other.count_;
    sum_ += other.sum_;
    sum_of_squares_ += other.sum_of_squares_;
}

uint64_t LatencyDistribution::standard_deviation() const
{
    if (count_ == 0)
        return 0;
    const long double n = static_cast<long double>(count_);
    const long double mean = static_cast<long double>(sum_) / n;
    const long double variance = static_cast<long double>(sum_of_squares_) / n - mean * mean;
    return variance > 0 ? static_cast<uint64_t>(std::sqrt(variance) + 0.5L) : 0;
}

uint64_t LatencyDistribution::percentile(uint64_t per_10000)
{
    if (count_ == 0)
        return 0;
    // Exact in integers: the rank is ceil(per_10000 * n / 10000), at least 1.
    const unsigned __int128 product = static_cast<unsigned __int128>(per_10000) * count_;
    uint64_t rank = static_cast<uint64_t>((product + 9999) / 10000);
    rank = std::max<uint64_t>(rank, 1);
    if (buckets_.empty()) {
        const size_t index = static_cast<size_t>(rank - 1);
        if (sorted_)
            return latencies_[index];
        // Put in order only around the ranks asked for: each selection
        // within the stretch between two ranks already in place (a report
        // asks for a handful, the highest over ever fewer latencies).
        const auto above = std::upper_bound(in_place_.begin(), in_place_.end(), index);
        if (above != in_place_.begin() && above[-1] == index)
            return latencies_[index];
        const size_t from = above == in_place_.begin() ? 0 : above[-1] + 1;
        const size_t to = above == in_place_.end() ? latencies_.size() : *above;
        std::nth_element(latencies_.begin() + from, latencies_.begin() + index, latencies_.begin() + to);
        in_place_.insert(above, index);
        return latencies_[index];
    }
    uint64_t seen = 0;
    for (size_t bucket = 0; bucket < buckets_.size(); bucket++) {
        seen += buckets_[bucket];
        if (seen >= rank)
            return std::max(bucket_floor(bucket), least_);
    }
    return largest_;
}
