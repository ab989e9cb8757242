// SPDX-License-Identifier: GPL-2.0-or-later

#include "figures/picture.h"

#include <algorithm>
#include <cmath>

void DirectionPicture::add(uint64_t since_start, uint64_t latency)
{
    const double decades = latency ? std::log10(static_cast<double>(latency)) : 0;
    const size_t bin = std::min(static_cast<size_t>(decades * BINS_PER_DECADE), histogram_.size() - 1);
    histogram_[bin]++;

    while (since_start / bin_width_ >= MOST_BINS) {
        // Twice as long: each pair of bins becomes one.
        for (size_t i = 0; i < timeline_.size(); i++) {
            const TimeBin &from = timeline_[i];
            TimeBin &into = timeline_[i / 2];
            if (i % 2 == 0) {
                into = from;
            } else if (from.count) {
                into.least = into.count ? std::min(into.least, from.least) : from.least;
                into.largest = std::max(into.largest, from.largest);
                into.count += from.count;
                into.sum += from.sum;
            }
        }
        timeline_.resize((timeline_.size() + 1) / 2);
        bin_width_ *= 2;
    }
    const size_t at = static_cast<size_t>(since_start / bin_width_);
    if (at >= timeline_.size())
        timeline_.resize(at + 1);
    TimeBin &bin_at = timeline_[at];
    bin_at.least = bin_at.count ? std::min(bin_at.least, latency) : latency;
    bin_at.largest = std::max(bin_at.largest, latency);
    bin_at.count++;
    bin_at.sum += static_cast<double>(latency);
}
