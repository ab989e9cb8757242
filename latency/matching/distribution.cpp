// SPDX-License-Identifier: GPL-2.0-or-later

#include "matching/distribution.h"

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

// The size of a latency below zero, without overflow at the least int64.
static uint64_t size_below_zero(int64_t latency)
{
    return uint64_t(0) - static_cast<uint64_t>(latency);
}

void LatencyDistribution::count_in_histogram(int64_t latency)
{
    if (latency >= 0)
        buckets_[bucket_of(static_cast<uint64_t>(latency))]++;
    else
        negative_buckets_[bucket_of(size_below_zero(latency))]++;
}

void LatencyDistribution::to_histogram()
{
    buckets_.assign(bucket_of(UINT64_MAX) + 1, 0);
    negative_buckets_.assign(bucket_of(UINT64_MAX) + 1, 0);
    for (int64_t latency : latencies_)
        count_in_histogram(latency);
    std::deque<int64_t>().swap(latencies_);
}

int64_t LatencyDistribution::mean() const
{
    if (!count_)
        return 0;
    // floor((2 sum + n) / 2n): halves up, below zero too.
    const __int128 twice = 2 * sum_ + static_cast<__int128>(count_);
    const __int128 divisor = 2 * static_cast<__int128>(count_);
    __int128 quotient = twice / divisor;
    if (twice % divisor != 0 && twice < 0)
        quotient--;
    return static_cast<int64_t>(quotient);
}

void LatencyDistribution::add(int64_t latency)
{
    if (count_ == 0 || latency < least_)
        least_ = latency;
    if (count_ == 0 || latency > largest_)
        largest_ = latency;
    count_++;
    sum_ += latency;
    const uint64_t size = latency >= 0 ? static_cast<uint64_t>(latency) : size_below_zero(latency);
    sum_of_squares_ += static_cast<unsigned __int128>(size) * size;
    if (!buckets_.empty()) {
        count_in_histogram(latency);
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
        for (int64_t latency : other.latencies_)
            add(latency);
        return;
    }
    if (other.count_ == 0)
        return;
    if (buckets_.empty())
        to_histogram();
    for (size_t bucket = 0; bucket < buckets_.size(); bucket++) {
        buckets_[bucket] += other.buckets_[bucket];
        negative_buckets_[bucket] += other.negative_buckets_[bucket];
    }
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
    const long double mean = static_cast<long double>(sum_) / n;  // signed
    const long double variance = static_cast<long double>(sum_of_squares_) / n - mean * mean;
    return variance > 0 ? static_cast<uint64_t>(std::sqrt(variance) + 0.5L) : 0;
}

int64_t LatencyDistribution::percentile(uint64_t per_10000)
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
    // Below zero, the largest sizes first: a bucket's least value is the
    // negative of its largest size.
    uint64_t seen = 0;
    for (size_t bucket = negative_buckets_.size(); bucket-- > 0;) {
        seen += negative_buckets_[bucket];
        if (seen >= rank) {
            const uint64_t largest_size = bucket + 1 < negative_buckets_.size() ? bucket_floor(bucket + 1) - 1 : UINT64_MAX;
            const int64_t least = largest_size >= uint64_t(INT64_MAX) ? INT64_MIN : -static_cast<int64_t>(largest_size);
            return std::max(least, least_);
        }
    }
    for (size_t bucket = 0; bucket < buckets_.size(); bucket++) {
        seen += buckets_[bucket];
        if (seen >= rank)
            return std::max(static_cast<int64_t>(std::min<uint64_t>(bucket_floor(bucket), INT64_MAX)), least_);
    }
    return largest_;
}
