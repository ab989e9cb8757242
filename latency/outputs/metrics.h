// SPDX-License-Identifier: GPL-2.0-or-later
//
// --metrics: the figures of a capture followed as it is written, served
// for Prometheus at /metrics (and nothing else) by prometheus-cpp's own
// HTTP server, on threads of its own: a slow or hostile client holds up
// only itself. Counters run from the start; the latency histogram's
// buckets are the report's ranges; the last interval's percentiles are
// gauges. Labels are the ports' names only: bounded.

#ifndef OVINT_LATENCY_OUTPUTS_METRICS_H
#define OVINT_LATENCY_OUTPUTS_METRICS_H

#include "matching/intervals.h"

#include <memory>
#include <string>

class MetricsServer {
public:
    // Serves on `address` ("PORT" or "HOST:PORT", checked as the command
    // line is read; the loopback address unless a host is given; an IPv6
    // address where the listening library has IPv6, which Debian's has
    // not), for latencies of the ranges of a
    // window of `window_ns`. False, with a sentence, when it cannot listen.
    bool start(const std::string &address, uint64_t window_ns, std::string &sentence);
    // What an interval settled, added to the series.
    void add(const IntervalFigures &interval);
    MetricsServer();
    ~MetricsServer();

private:
    struct Series;
    std::unique_ptr<Series> series_;
};

// "9101" as "127.0.0.1:9101"; an address with a host as it is.
std::string metrics_listen_address(const std::string &address);

#endif // OVINT_LATENCY_OUTPUTS_METRICS_H
