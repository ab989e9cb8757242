// SPDX-License-Identifier: GPL-2.0-or-later
//
// What the picture of one direction needs (--plot), gathered as matches
// come and bounded whatever the capture's length: the latencies by
// twentieths of a decade, and the least, mean and largest latency over the
// capture's TAP time, in at most MOST_BINS stretches that double in length
// as the capture goes on.

#ifndef OVINT_LATENCY_FIGURES_PICTURE_H
#define OVINT_LATENCY_FIGURES_PICTURE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

class DirectionPicture {
public:
    static constexpr int BINS_PER_DECADE = 20;
    static constexpr size_t MOST_BINS = 600;

    struct TimeBin {
        uint64_t count = 0;
        double sum = 0;  // ns: only drawn
        uint64_t least = 0, largest = 0;
    };

    // A match whose earlier sighting came `since_start` ns of TAP time
    // after the capture's first frame.
    void add(uint64_t since_start, uint64_t latency);

    // Bin i holds the latencies from 10^(i/20) ns to below 10^((i+1)/20) ns
    // (bin 0 those of 0 ns too).
    const std::array<uint64_t, 20 * BINS_PER_DECADE> &histogram() const { return histogram_; }
    // Bin i covers the TAP time from i * bin_width() ns after the first frame.
    const std::vector<TimeBin> &timeline() const { return timeline_; }
    uint64_t bin_width() const { return bin_width_; }

private:
    std::array<uint64_t, 20 * BINS_PER_DECADE> histogram_ = {};
    std::vector<TimeBin> timeline_;
    uint64_t bin_width_ = 100000;  // 100 us, doubled as needed
};

#endif // OVINT_LATENCY_FIGURES_PICTURE_H
