// SPDX-License-Identifier: GPL-2.0-or-later

#include "outputs/metrics.h"

#include "core/matching/latency_ranges.h"
#include "core/trailer/ports.h"

#include <prometheus/counter.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <map>
#include <vector>

using prometheus::Counter;
using prometheus::Family;
using prometheus::Gauge;
using prometheus::Histogram;

struct MetricsServer::Series {
    std::unique_ptr<prometheus::Exposer> exposer;
    std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
    Histogram::BucketBoundaries boundaries;  // s: each range's largest latency
    Family<Counter> *port_frames, *port_fates, *port_flagged, *entered, *matched, *not_seen, *late, *steps_back;
    Family<Histogram> *latency;
    Family<Gauge> *interval_latency, *window, *cabling;
    // Each direction's histogram, made once: prometheus-cpp keeps it.
    std::map<std::string, Histogram *> histograms;
    // The interval percentiles set so far: an interval without a match
    // leaves them without a value (NaN), not the last busy interval's.
    std::vector<Gauge *> interval_gauges;
};

// "Crc Error" as "crc_error".
static std::string flag_identifier(const char *name)
{
    std::string identifier = name;
    for (char &c : identifier)
        c = c == ' ' ? '_' : static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return identifier;
}

std::string metrics_listen_address(const std::string &address)
{
    return address.find(':') == std::string::npos ? "127.0.0.1:" + address : address;
}

bool MetricsServer::start(const std::string &address, uint64_t window_ns, std::string &sentence)
{
    series_.reset(new Series);
    Series &s = *series_;
    const LatencyRanges ranges = latency_ranges(window_ns);
    for (size_t i = 0; i < ranges.count; i++) {
        s.boundaries.push_back(static_cast<double>(ranges.ceil(i)) / 1e9);
    }
    auto &registry = *s.registry;
    auto counter = [&registry](const char *name, const char *help) {
        return &prometheus::BuildCounter().Name(name).Help(help).Register(registry);
    };
    auto gauge = [&registry](const char *name, const char *help) {
        return &prometheus::BuildGauge().Name(name).Help(help).Register(registry);
    };
    s.port_frames = counter("ovint_port_frames_total", "Frames with a TAP trailer, by the TAP port that saw them");
    s.port_fates =
        counter("ovint_port_fates_total", "Frames with a TAP trailer whose fate is known, by port and fate");
    s.port_flagged = counter("ovint_port_flagged_frames_total",
                             "Frames with a TAP trailer on which the TAP flagged an error, by port and flag");
    s.entered =
        counter("ovint_direction_entered_total", "Frames that entered the device at the from port, once settled");
    s.matched = counter("ovint_direction_matched_total", "Frames seen leaving at the to port within the window");
    s.not_seen = counter("ovint_direction_not_seen_leaving_total",
                         "Frames that entered at the from port and were not seen leaving within the window");
    s.late = counter("ovint_direction_late_total",
                     "Frames that entered at the from port and were seen leaving only after the window");
    s.steps_back = counter("ovint_tap_clock_steps_back_total", "Steps back of the TAP clock");
    s.latency = &prometheus::BuildHistogram()
                     .Name("ovint_latency_seconds")
                     .Help("Latency of the frames matched, by direction; buckets end at each range's "
                           "largest latency in whole ns")
                     .Register(registry);
    s.interval_latency = gauge("ovint_interval_latency_seconds",
                               "The last interval's latency percentiles (nearest rank) and largest, by direction");
    s.window = gauge("ovint_window_seconds", "How long after a frame entered it may be seen leaving");
    s.window->Add({}).Set(static_cast<double>(window_ns) / 1e9);
    s.cabling = gauge("ovint_cabling_info", "The cabling taken: 1 for the ports toward the device, once known");
    s.steps_back->Add({});
    try {
        s.exposer.reset(new prometheus::Exposer(metrics_listen_address(address), 2));
    } catch (const std::exception &error) {
        sentence = "--metrics " + address + ": cannot listen there (" + error.what() + ").";
        return false;
    }
    s.exposer->RegisterCollectable(s.registry);
    return true;
}

MetricsServer::MetricsServer() = default;
MetricsServer::~MetricsServer() = default;

void MetricsServer::add(const IntervalFigures &interval)
{
    Series &s = *series_;
    for (Gauge *gauge : s.interval_gauges)
        gauge->Set(std::numeric_limits<double>::quiet_NaN());
    for (const PortInterval &port : interval.ports) {
        const std::string name = port_label(port.version, port.port).text;
        s.port_frames->Add({{"port", name}}).Increment(static_cast<double>(port.frames));
        for (int fate = 0; fate < FATE_COUNT; fate++) {
            Counter &counter = s.port_fates->Add({{"port", name}, {"fate", fate_name(static_cast<Fate>(fate))}});
            counter.Increment(static_cast<double>(port.fates[fate]));
        }
        const TapFlagTable flags = tap_flags(port.version);
        for (size_t flag = 0; flag < flags.size(); flag++)
            s.port_flagged->Add({{"port", name}, {"flag", flag_identifier(flags[flag].name)}})
                .Increment(static_cast<double>(port.flagged[flag]));
    }
    for (const DirectionInterval &direction : interval.directions) {
        const prometheus::Labels labels = {{"from", port_label(direction.version, direction.from_port).text},
                                           {"to", port_label(direction.version, direction.to_port).text}};
        s.entered->Add(labels).Increment(static_cast<double>(direction.entered));
        s.matched->Add(labels).Increment(static_cast<double>(direction.matched));
        s.not_seen->Add(labels).Increment(static_cast<double>(direction.not_seen));
        s.late->Add(labels).Increment(static_cast<double>(direction.late));
        const std::string key = labels.at("from") + "\n" + labels.at("to");
        Histogram *&histogram = s.histograms[key];
        if (!histogram)
            histogram = &s.latency->Add(labels, s.boundaries);
        // The interval's matches by range are the buckets' (the last,
        // +Inf, beyond the window): counted exactly, in one step.
        std::vector<double> increments(direction.histogram, direction.histogram + s.boundaries.size() + 1);
        histogram->ObserveMultiple(increments, static_cast<double>(direction.sum_s));
        if (!direction.matched)
            continue;
        for (const auto &quantile : {std::make_pair("0.5", direction.median), std::make_pair("0.99", direction.p99),
                                     std::make_pair("0.999", direction.p99_9), std::make_pair("1", direction.largest)}) {
            prometheus::Labels with_quantile = labels;
            with_quantile["quantile"] = quantile.first;
            Gauge &gauge = s.interval_latency->Add(with_quantile);
            if (std::find(s.interval_gauges.begin(), s.interval_gauges.end(), &gauge) == s.interval_gauges.end())
                s.interval_gauges.push_back(&gauge);
            gauge.Set(static_cast<double>(quantile.second) / 1e9);
        }
    }
    s.steps_back->Add({}).Increment(static_cast<double>(interval.clock_steps_back));
    if (interval.cabling != Cabling::learn)
        s.cabling->Add({{"cabling", cabling_name(interval.cabling)},
                        {"from", interval.cabling_learnt ? "learnt" : interval.cabling_given ? "given" : "assumed"}})
            .Set(1);
}
