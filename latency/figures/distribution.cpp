// SPDX-License-Identifier: GPL-2.0-or-later

#include "figures/distribution.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <unordered_map>

#include <unistd.h>

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

// A file of the system's temporary folder, gone from it at once: nothing is
// left behind, however the program ends.
static FILE *anonymous_file()
{
    const char *folder = std::getenv("TMPDIR");
    std::string name = std::string(folder && *folder ? folder : "/tmp") + "/ovint-latencies-XXXXXX";
    const int fd = mkstemp(&name[0]);
    if (fd < 0)
        return nullptr;
    unlink(name.c_str());
    FILE *file = fdopen(fd, "w+b");
    if (!file)
        close(fd);
    return file;
}

void LatencyDistribution::to_histogram()
{
    buckets_.assign(bucket_of(UINT64_MAX) + 1, 0);
    negative_buckets_.assign(bucket_of(UINT64_MAX) + 1, 0);
    if (spilling_)
        spill_.reset(anonymous_file());
    for (int64_t latency : latencies_) {
        count_in_histogram(latency);
        spill(latency);
    }
    std::deque<int64_t>().swap(latencies_);
}

// Every latency spilled to `file`, in blocks, to `take`: false when the
// file could not be read back.
template <typename Take>
static bool read_spilled(FILE *file, Take take)
{
    if (std::fflush(file) != 0)
        return false;
    std::vector<int64_t> block(65536);
    for (off_t at = 0;;) {
        const ssize_t got = pread(fileno(file), block.data(), block.size() * sizeof block[0], at);
        if (got <= 0)
            return got == 0;
        at += got;
        for (size_t i = 0; i < size_t(got) / sizeof block[0]; i++)
            take(block[i]);
    }
}

void LatencyDistribution::spill(int64_t latency)
{
    // A disk that refuses leaves the estimates, and says so through exact().
    if (spill_ && std::fwrite(&latency, sizeof latency, 1, spill_.get()) != 1)
        spill_.reset();
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
        spill(latency);
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
    if (other.buckets_.empty()) {
        for (int64_t latency : other.latencies_)
            add(latency);
        return;
    }
    if (other.spill_) {
        // Its latencies one by one, as if added here.
        read_spilled(other.spill_.get(), [this](int64_t latency) { add(latency); });
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
    if (spill_) {
        auto found = looked_up_.find(rank);
        if (found == looked_up_.end()) {
            // The report's ranks with it, in the same look.
            std::vector<uint64_t> ranks = {rank};
            for (const uint64_t usual : {5000, 9000, 9900, 9990, 9999}) {
                const unsigned __int128 usual_product = static_cast<unsigned __int128>(usual) * count_;
                ranks.push_back(std::max<uint64_t>(static_cast<uint64_t>((usual_product + 9999) / 10000), 1));
            }
            look_up(ranks);
            found = looked_up_.find(rank);
        }
        if (found != looked_up_.end())
            return found->second;
    }
    int64_t place;
    uint64_t before;
    find_place(rank, place, before);
    return estimate(place);
}

int64_t LatencyDistribution::place_of(int64_t latency)
{
    return latency >= 0 ? static_cast<int64_t>(bucket_of(static_cast<uint64_t>(latency)))
                        : -1 - static_cast<int64_t>(bucket_of(size_below_zero(latency)));
}

// Below zero, the largest sizes first; then from zero up.
void LatencyDistribution::find_place(uint64_t rank, int64_t &place, uint64_t &before) const
{
    uint64_t seen = 0;
    for (size_t bucket = negative_buckets_.size(); bucket-- > 0;) {
        if (seen + negative_buckets_[bucket] >= rank) {
            place = -1 - static_cast<int64_t>(bucket);
            before = seen;
            return;
        }
        seen += negative_buckets_[bucket];
    }
    for (size_t bucket = 0; bucket < buckets_.size(); bucket++) {
        if (seen + buckets_[bucket] >= rank) {
            place = static_cast<int64_t>(bucket);
            before = seen;
            return;
        }
        seen += buckets_[bucket];
    }
    place = static_cast<int64_t>(buckets_.size());  // beyond every bucket: the largest
    before = seen;
}

// The least latency a place may hold, not below the least seen: a
// negative bucket's least value is the negative of its largest size.
int64_t LatencyDistribution::estimate(int64_t place) const
{
    if (place >= static_cast<int64_t>(buckets_.size()))
        return largest_;
    if (place < 0) {
        const size_t bucket = static_cast<size_t>(-1 - place);
        const uint64_t largest_size = bucket + 1 < negative_buckets_.size() ? bucket_floor(bucket + 1) - 1 : UINT64_MAX;
        const int64_t least = largest_size >= uint64_t(INT64_MAX) ? INT64_MIN : -static_cast<int64_t>(largest_size);
        return std::max(least, least_);
    }
    return std::max(static_cast<int64_t>(std::min<uint64_t>(bucket_floor(static_cast<size_t>(place)), INT64_MAX)),
                    least_);
}

void LatencyDistribution::look_up(const std::vector<uint64_t> &ranks)
{
    // The places asked for, each with the count of each latency in it: at
    // most its width of them (a 1/1024 of its values).
    struct Wanted {
        uint64_t rank, before;
        int64_t place;
    };
    std::vector<Wanted> wanted;
    std::unordered_map<int64_t, std::map<int64_t, uint64_t>> counts;
    for (const uint64_t rank : ranks) {
        Wanted w = {rank, 0, 0};
        find_place(rank, w.place, w.before);
        if (w.place >= static_cast<int64_t>(buckets_.size()))
            continue;
        wanted.push_back(w);
        counts[w.place];
    }
    const bool read = read_spilled(spill_.get(), [&counts](int64_t latency) {
        const auto in = counts.find(place_of(latency));
        if (in != counts.end())
            in->second[latency]++;
    });
    if (!read) {
        spill_.reset();
        return;
    }
    for (const Wanted &w : wanted) {
        uint64_t seen = w.before;
        for (const auto &value : counts[w.place]) {
            seen += value.second;
            if (seen >= w.rank) {
                looked_up_[w.rank] = value.first;
                break;
            }
        }
    }
}
