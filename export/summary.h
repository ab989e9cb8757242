// SPDX-License-Identifier: GPL-2.0-or-later
//
// What an export counts: frames and bytes, per TAP port its frames and
// flags, and how the capture host's clock ran against the TAP's.

#ifndef OVINT_EXPORT_SUMMARY_H
#define OVINT_EXPORT_SUMMARY_H

#include "core/trailer/ports.h"
#include "core/trailer/tap_clock.h"

#include <cstdint>
#include <map>
#include <vector>

struct PortCount {
    uint8_t version = 0;
    uint8_t port = 0;
    uint16_t channel = NO_CHANNEL;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t flags[MAX_FLAGS] = {};  // by the version's flag table
};

// The offset of the capture clock from the TAP clock (capture time less TAP
// time) at each trailer-bearing frame, fitted to a line over the TAP clock.
// Offsets are exact nanosecond counts; the fit is a least-squares line
// through them (running means and co-moments, stable over long captures).
// The largest deviation from that line needs only the convex hulls of the
// points; a hull that grows past a bound (a curving offset) is thinned, and
// the most that can cost the deviation is kept beside it.
class ClockFit {
public:
    void add(Nanoseconds capture_time, uint64_t tap_time);

    uint64_t count() const { return count_; }
    Nanoseconds first_offset() const { return first_offset_; }
    Nanoseconds last_offset() const { return last_offset_; }
    // The capture clock's drift against the TAP's, in parts per million.
    double drift_ppm() const;
    // The largest distance of an offset from the fitted line, in ns, false
    // when the TAP clock went backwards (the hulls then mean nothing).
    bool max_deviation(double *deviation_ns, double *uncertainty_ns) const;
    // The points the hulls hold: bounded whatever the clocks do.
    size_t hull_points() const { return upper_.size() + lower_.size(); }

    static constexpr size_t MAX_HULL = 4096;

private:
    struct Point {
        double x, y;
    };
    static void push(std::vector<Point> &hull, Point p, bool upper);
    static double thin(std::vector<Point> &hull);

    uint64_t count_ = 0;
    uint64_t first_tap_ = 0;
    Nanoseconds first_offset_ = 0, last_offset_ = 0;
    double last_x_ = 0, mean_x_ = 0, mean_y_ = 0, sxx_ = 0, sxy_ = 0;
    bool forward_ = true;
    std::vector<Point> upper_, lower_;
    double thinned_upper_ = 0, thinned_lower_ = 0;
};

struct Summary {
    uint64_t frames_read = 0, bytes_read = 0;
    uint64_t frames_written = 0, bytes_written = 0;
    uint64_t trailers = 0;
    std::map<uint16_t, PortCount> ports;  // by port_order_key
    ClockFit clock;

    PortCount &port(uint8_t version, uint8_t port);
    void count_trailer(PortCount &port, uint32_t bytes, uint8_t flags);
};

#endif // OVINT_EXPORT_SUMMARY_H
