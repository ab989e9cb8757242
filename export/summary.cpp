// SPDX-License-Identifier: GPL-2.0-or-later

#include "summary.h"

#include <algorithm>
#include <cmath>

void ClockFit::add(Nanoseconds capture_time, uint64_t tap_time)
{
    const Nanoseconds offset = capture_time - static_cast<Nanoseconds>(tap_time);
    if (count_ == 0) {
        first_tap_ = tap_time;
        first_offset_ = offset;
    }
    last_offset_ = offset;
    const double x = static_cast<double>(static_cast<int64_t>(tap_time - first_tap_));
    const double y = static_cast<double>(offset - first_offset_);
    if (count_ > 0 && x < last_x_)
        forward_ = false;
    last_x_ = x;
    count_++;
    const double dx = x - mean_x_;
    mean_x_ += dx / static_cast<double>(count_);
    mean_y_ += (y - mean_y_) / static_cast<double>(count_);
    sxx_ += dx * (x - mean_x_);
    sxy_ += dx * (y - mean_y_);
    if (forward_) {
        push(upper_, {x, y}, true);
        push(lower_, {x, y}, false);
        if (upper_.size() > MAX_HULL)
            thinned_upper_ += thin(upper_);
        if (lower_.size() > MAX_HULL)
            thinned_lower_ += thin(lower_);
    }
}

double ClockFit::drift_ppm() const
{
    return sxx_ > 0 ? sxy_ / sxx_ * 1e6 : 0.0;
}

bool ClockFit::max_deviation(double *deviation_ns, double *uncertainty_ns) const
{
    if (!forward_)
        return false;
    const double b = sxx_ > 0 ? sxy_ / sxx_ : 0.0;
    const double a = mean_y_ - b * mean_x_;
    double deviation = 0;
    for (const Point &p : upper_)
        deviation = std::max(deviation, std::fabs(p.y - (a + b * p.x)));
    for (const Point &p : lower_)
        deviation = std::max(deviation, std::fabs(p.y - (a + b * p.x)));
    *deviation_ns = deviation;
    *uncertainty_ns = std::max(thinned_upper_, thinned_lower_);
    return true;
}

// Andrew's monotone chain, one point at a time.
void ClockFit::push(std::vector<Point> &hull, Point p, bool upper)
{
    while (hull.size() >= 2) {
        const Point &a = hull[hull.size() - 2];
        const Point &b = hull.back();
        const double cross = (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
        if ((upper && cross < 0) || (!upper && cross > 0))
            break;
        hull.pop_back();
    }
    hull.push_back(p);
}

// Drops every second inner vertex. The hull then lies inside the true one,
// nowhere by more than the largest height of a dropped vertex over the
// chord that replaced it: returned, to be added to what earlier rounds cost.
double ClockFit::thin(std::vector<Point> &hull)
{
    double lost = 0;
    size_t kept = 1;
    for (size_t i = 1; i + 1 < hull.size(); i += 2) {
        const Point &a = hull[kept - 1], &v = hull[i], &c = hull[i + 1];
        const double chord = c.x > a.x ? a.y + (c.y - a.y) * (v.x - a.x) / (c.x - a.x) : a.y;
        lost = std::max(lost, std::fabs(v.y - chord));
        hull[kept++] = c;
    }
    if (hull.size() % 2 == 0)
        hull[kept++] = hull.back();
    hull.resize(kept);
    return lost;
}

PortCount &Summary::port(uint8_t version, uint8_t port_byte)
{
    PortCount &count = ports[port_order_key(version, port_byte)];
    count.version = version;
    count.port = port_byte;
    count.channel = channel_of_port_byte(port_byte);
    return count;
}

void Summary::count_trailer(PortCount &port, uint32_t bytes, uint8_t flags)
{
    port.frames++;
    port.bytes += bytes;
    trailers++;
    if (flags) {
        const TapFlagTable table = tap_flags(port.version);
        for (size_t i = 0; i < table.size(); i++)
            port.flags[i] += (flags & table[i].mask) ? 1 : 0;
    }
}
