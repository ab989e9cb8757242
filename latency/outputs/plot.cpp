// SPDX-License-Identifier: GPL-2.0-or-later

#include "outputs/plot.h"

#include "outputs/reports/report.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

extern char **environ;

namespace {

constexpr int WIDTH = 1200, HEIGHT_PER_DIRECTION = 420;

bool ends_with(const char *name, const char *ending)
{
    const size_t length = std::strlen(name), ending_length = std::strlen(ending);
    return length > ending_length && strcasecmp(name + length - ending_length, ending) == 0;
}

// A gnuplot string in single quotes, where nothing is special but the
// quote itself, written twice: any file name comes through as it is.
std::string quoted(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        out += c;
        if (c == '\'')
            out += c;
    }
    return out + "'";
}

void append(std::string &script, const char *format, ...) __attribute__((format(printf, 2, 3)));
void append(std::string &script, const char *format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    script += line;
}

// The script with its data blocks, for the directions in report order.
std::string plot_script(bool png, const char *path, const Analysis &analysis, const std::string &title)
{
    const size_t rows = analysis.directions.empty() ? 1 : analysis.directions.size();
    std::string script;
    if (png)
        append(script, "set terminal pngcairo size %d,%zu font \"sans,10\"\n", WIDTH, HEIGHT_PER_DIRECTION * rows);
    else
        append(script, "set terminal svg size %d,%zu font \"sans,10\" background \"white\"\n", WIDTH,
               HEIGHT_PER_DIRECTION * rows);
    script += "set encoding utf8\nset output " + quoted(path) + "\n";
    if (analysis.directions.empty()) {
        script += "unset border\nunset tics\nunset key\nset title " + quoted(title) + "\n" +
                  "set label 1 \"No frame was seen on both links within the window.\" at graph 0.5,0.5 center\n"
                  "plot [0:1][0:1] NaN\n";
        return script;
    }

    int number = 0;
    for (const auto &entry : analysis.directions) {
        const DirectionPicture &picture = entry.second.picture;
        number++;
        append(script, "$histogram%d << EOD\n", number);
        const auto &histogram = picture.histogram();
        for (size_t bin = 0; bin < histogram.size(); bin++) {
            if (!histogram[bin])
                continue;
            // In microseconds: from 10^(bin/20) ns to the next bin.
            const double low = std::pow(10.0, double(bin) / DirectionPicture::BINS_PER_DECADE) / 1000;
            const double high = std::pow(10.0, double(bin + 1) / DirectionPicture::BINS_PER_DECADE) / 1000;
            append(script, "%.6g %.6g %" PRIu64 "\n", low, high, histogram[bin]);
        }
        script += "EOD\n";
        append(script, "$timeline%d << EOD\n", number);
        const auto &timeline = picture.timeline();
        for (size_t bin = 0; bin < timeline.size(); bin++) {
            const DirectionPicture::TimeBin &at = timeline[bin];
            if (!at.count)
                continue;
            // Seconds at the bin's middle; microseconds, 1 ns the least a
            // logarithmic axis shows.
            append(script, "%.9f %.6g %.6g %.6g\n", (double(bin) + 0.5) * double(picture.bin_width()) / 1e9,
                   double(std::max<uint64_t>(at.least, 1)) / 1000, at.sum / double(at.count) / 1000,
                   double(std::max<uint64_t>(at.largest, 1)) / 1000);
        }
        script += "EOD\n";
    }

    script += "set multiplot layout " + std::to_string(rows) + ",2 title " + quoted(title) + "\n";
    script += "set grid\nset logscale y\nset style fill transparent solid 0.35 noborder\n";
    number = 0;
    for (const auto &entry : analysis.directions) {
        number++;
        const std::string name = direction_name(entry.second);
        const unsigned long long matched = static_cast<unsigned long long>(entry.second.latencies.count());
        script += "set title " + quoted(name + ": latencies of " + std::to_string(matched) + " frames") + "\n";
        script += "set logscale x\nset xlabel \"latency (µs)\"\nset ylabel \"frames\"\nset key off\n"
                  "set yrange [0.5:*]\n";
        append(script, "plot $histogram%d using (sqrt($1*$2)):3:1:2:(0.5):3 with boxxyerror lc rgb \"#2a6fb0\"\n",
               number);
        script += "set title " + quoted(name + ": latency over TAP time") + "\n";
        script += "unset logscale x\nset xlabel \"TAP time since the first frame (s)\"\nset ylabel \"latency (µs)\"\n"
                  "set key top left\nset yrange [*:*]\n";
        append(script,
               "plot $timeline%d using 1:2:4 with filledcurves lc rgb \"#2a6fb0\" title \"least to largest\", "
               "'' using 1:3 with lines lw 1.5 lc rgb \"#c0392b\" title \"mean\"\n",
               number);
    }
    script += "unset multiplot\n";
    return script;
}

// With --by: the latency CDF of each group given, on one logarithmic time
// axis, the view in which classes of traffic are compared; each curve read
// off the group's percentiles by nearest rank, every 0.5% and in the tail.
std::string groups_script(bool png, const char *path, const std::vector<GroupFigures *> &groups, GroupBy by,
                          const std::string &title)
{
    std::string script;
    if (png)
        append(script, "set terminal pngcairo size %d,%d font \"sans,10\"\n", WIDTH, 2 * HEIGHT_PER_DIRECTION);
    else
        append(script, "set terminal svg size %d,%d font \"sans,10\" background \"white\"\n", WIDTH,
               2 * HEIGHT_PER_DIRECTION);
    script += "set encoding utf8\nset output " + quoted(path) + "\n";
    std::vector<std::string> curves;
    for (GroupFigures *group : groups) {
        if (!group->matched())
            continue;
        const size_t number = curves.size() + 1;
        append(script, "$cdf%zu << EOD\n", number);
        std::vector<uint64_t> ranks = {0, 1, 10};
        for (uint64_t per_10000 = 50; per_10000 <= 10000; per_10000 += 50)
            ranks.push_back(per_10000);
        for (uint64_t per_10000 : {9925, 9990, 9999})
            ranks.push_back(per_10000);
        std::sort(ranks.begin(), ranks.end());
        for (uint64_t per_10000 : ranks) {
            const int64_t latency = per_10000 ? group->latencies->percentile(per_10000) : group->latencies->least();
            // Microseconds, 1 ns the least a logarithmic axis shows (below
            // zero too).
            append(script, "%.6g %.6g\n", double(std::max<int64_t>(latency, 1)) / 1000, double(per_10000) / 10000);
        }
        script += "EOD\n";
        curves.push_back(TrafficGroups::label(by, group->key) + ": " + std::to_string(group->matched()) + " frames");
    }
    script += "set title " + quoted(title) + "\n";
    if (curves.empty()) {
        script += "unset border\nunset tics\nunset key\n"
                  "set label 1 \"No frame was seen on both links within the window.\" at graph 0.5,0.5 center\n"
                  "plot [0:1][0:1] NaN\n";
        return script;
    }
    script += "set grid\nset logscale x\nset xlabel \"latency (µs)\"\nset ylabel \"share of the group's frames at or "
              "below\"\nset yrange [0:1]\nset key bottom right\n";
    script += "plot ";
    for (size_t i = 0; i < curves.size(); i++)
        script += std::string(i ? ", " : "") + "$cdf" + std::to_string(i + 1) + " using 1:2 with steps lw 1.5 title " +
                  quoted(curves[i]);
    script += "\n";
    return script;
}

} // namespace

bool is_picture_name(const char *name)
{
    return ends_with(name, ".svg") || ends_with(name, ".png");
}

bool gnuplot_found()
{
    const char *path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        if (access((folder + "/gnuplot").c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

bool draw_plot(const char *name, const char *path, const Analysis &analysis, const std::string &title,
               const std::vector<GroupFigures *> &groups, std::string &error)
{
    const bool png = ends_with(name, ".png");
    const std::string script = analysis.groups ? groups_script(png, path, groups, analysis.groups->by(), title)
                                               : plot_script(png, path, analysis, title);
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) {
        error = std::string("cannot run gnuplot: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
    char program[] = "gnuplot";
    char *arguments[] = {program, nullptr};
    pid_t child;
    const int spawned = posix_spawnp(&child, program, &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[0]);
    if (spawned != 0) {
        close(pipe_ends[1]);
        error = std::string("cannot run gnuplot: ") + std::strerror(spawned);
        return false;
    }
    // gnuplot may end before it has read everything: that is its error to
    // tell, not a signal to end this program.
    struct sigaction ignore = {}, before;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &before);
    size_t written = 0;
    while (written < script.size()) {
        const ssize_t count = write(pipe_ends[1], script.data() + written, script.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        written += static_cast<size_t>(count);
    }
    close(pipe_ends[1]);
    sigaction(SIGPIPE, &before, nullptr);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (written < script.size() || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "gnuplot could not draw the picture";
        return false;
    }
    return true;
}
