// SPDX-License-Identifier: GPL-2.0-or-later

#include "matching/intervals.h"

#include <algorithm>

IntervalFigures IntervalWatch::take(Analysis &analysis, uint64_t start, uint64_t end)
{
    IntervalFigures figures;
    figures.start = start;
    figures.end = end;
    // A port's frames not seen leaving (or late) count against the
    // direction most of its frames have taken, as in the report.
    std::map<uint16_t, size_t> busiest_from;  // by port_order_key: an index into figures.directions
    analysis.take_interval_jitter();
    figures.directions.reserve(analysis.directions.size());
    for (auto &entry : analysis.directions) {
        DirectionFigures &running = entry.second;
        Taken &taken = directions_[entry.first];
        DirectionInterval direction;
        direction.version = running.version;
        direction.from_port = running.from_port;
        direction.to_port = running.to_port;
        direction.matched = running.latencies.count() - taken.matched;
        direction.entered = direction.matched + running.fragmented - taken.fragmented;
        taken.matched = running.latencies.count();
        taken.fragmented = running.fragmented;
        LatencyDistribution &latencies = running.interval_latencies;
        direction.median = latencies.percentile(5000);
        direction.p99 = latencies.percentile(9900);
        direction.p99_9 = latencies.percentile(9990);
        direction.largest = latencies.largest();
        direction.exact = latencies.exact();
        direction.sum_s = latencies.sum_seconds();
        latencies = LatencyDistribution(DirectionFigures::INTERVAL_EXACT_LIMIT, LatencyDistribution::Beyond::estimate);
        Jitter &jitter = running.interval_jitter;
        if (jitter.count) {
            direction.jitter = jitter.mean();
            direction.any_jitter = true;
        }
        jitter = Jitter();
        std::copy(std::begin(running.interval_histogram), std::end(running.interval_histogram), direction.histogram);
        std::fill(std::begin(running.interval_histogram), std::end(running.interval_histogram), 0);
        const uint16_t from = port_order_key(running.version, running.from_port);
        const auto busiest = busiest_from.find(from);
        if (busiest == busiest_from.end() ||
            running.latencies.count() > directions_[busiest_key_[busiest->second]].matched)
            busiest_from[from] = figures.directions.size();
        busiest_key_.resize(figures.directions.size() + 1);
        busiest_key_[figures.directions.size()] = entry.first;
        figures.directions.push_back(std::move(direction));
    }
    for (auto &entry : analysis.ports) {
        const PortFigures &running = entry.second;
        PortTaken &taken = ports_[entry.first];
        PortInterval port;
        port.version = running.version;
        port.port = running.port;
        analysis.take_interval_bursts(running.version, running.port, port.bursts);
        port.line_rate = analysis.line_rate_of(running.port);
        port.frames = running.frames - taken.frames;
        taken.frames = running.frames;
        for (int fate = 0; fate < FATE_COUNT; fate++) {
            port.fates[fate] = running.fates[fate] - taken.fates[fate];
            taken.fates[fate] = running.fates[fate];
        }
        for (size_t flag = 0; flag < MAX_FLAGS; flag++) {
            port.flagged[flag] = running.flagged[flag] - taken.flagged[flag];
            taken.flagged[flag] = running.flagged[flag];
        }
        // Against the busiest direction from the port, as the report counts
        // them; kept until the port has one (no frame of it matched yet).
        const uint64_t not_seen = port.fates[static_cast<int>(Fate::not_seen)] + taken.unattributed_not_seen;
        const uint64_t late = port.fates[static_cast<int>(Fate::late)] + taken.unattributed_late;
        const auto busiest = busiest_from.find(entry.first);
        if (busiest != busiest_from.end()) {
            DirectionInterval &direction = figures.directions[busiest->second];
            direction.not_seen += not_seen;
            direction.late += late;
            direction.entered += not_seen + late;
            taken.unattributed_not_seen = taken.unattributed_late = 0;
        } else {
            taken.unattributed_not_seen = not_seen;
            taken.unattributed_late = late;
        }
        figures.ports.push_back(port);
    }
    const uint64_t steps_back = analysis.clock_steps_so_far().back;
    figures.clock_steps_back = steps_back - steps_back_;
    steps_back_ = steps_back;
    figures.cabling = analysis.cabling_so_far();
    figures.cabling_learnt = analysis.cabling_learnt_so_far();
    figures.cabling_given = analysis.cabling_given;
    figures.groups = analysis.take_interval_groups();
    figures.definition = analysis.definition();
    return figures;
}

bool IntervalClock::ended(uint64_t now, uint64_t &start, uint64_t &end, bool assumed)
{
    if (!started_) {
        begin(now);
        return false;
    }
    if (!assumed && now < last_read_ && now < start_) {
        // The TAP clock stepped back: the interval ends where it stood.
        start = start_;
        end = last_now_ + 1;
        start_ = last_now_ = last_read_ = now;
        return true;
    }
    if (!assumed)
        last_read_ = std::max(last_read_, now);
    last_now_ = std::max(last_now_, now);
    // Frames after a quiet spell may lie behind the time it was taken to
    // reach: they belong to the interval under way.
    if (now < start_ || now - start_ < length_)
        return false;
    start = start_;
    end = start_ + length_;
    // A silence longer than an interval is one interval to the next
    // boundary, not one per boundary passed.
    start_ += (now - start_) / length_ * length_;
    if (start_ != end)
        end = start_;
    return true;
}
