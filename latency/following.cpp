// SPDX-License-Identifier: GPL-2.0-or-later
//
// --interval, --metrics and --follow: a capture followed as it is written,
// told in intervals of TAP time and served for Prometheus.

#include "following.h"

#include "matching/intervals.h"
#include "outputs/reports/interval_report.h"
#include "outputs/metrics.h"
#include "reading/capture_follower.h"
#include "reading/read_capture.h"

#include "capture_io/output_files.h"
#include "capture_io/program_shell.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// How long a live input may stay quiet before its TAP clock is taken to go
// on with the wall clock: more than dumpcap holds frames back.
constexpr uint64_t QUIET_GRACE_NS = 2000000000;

// --interval and --metrics: the captures read in turn on one thread, what
// each interval of TAP time settled told as the TAP clock passes its end,
// the rest once the captures have ended. Returns the exit status, after
// saying why when it is not 0.
int follow_captures(const Options &options, Analysis &analysis)
{
    MetricsServer metrics;
    std::string sentence;
    if (options.metrics && !metrics.start(options.metrics, options.window_ms * 1000000, sentence)) {
        say("%s", sentence.c_str());
        return EXIT_NOTHING_DONE;
    }
    // --interval-log: a log, appended to (never replaced), and opened anew
    // on SIGHUP once a rotation has moved it away.
    FILE *out = stdout;
    std::string log_path;
    if (options.interval_log) {
        OutputFile log;
        log.name = options.interval_log;
        std::vector<OutputFile *> logs = {&log};
        const OutputCheck checked = check_outputs(options.captures, logs, true, sentence);
        if (checked == OutputCheck::usage || checked == OutputCheck::unusable) {
            say("%s", sentence.c_str());
            return checked == OutputCheck::usage ? EXIT_USAGE : EXIT_NOTHING_DONE;
        }
        log_path = log.kind == OutputFile::file ? log.path : options.interval_log;
        if (log.kind != OutputFile::standard_output && !(out = std::fopen(log_path.c_str(), "a"))) {
            say("%s: %s.", options.interval_log, std::strerror(errno));
            return EXIT_NOTHING_DONE;
        }
    }
    analysis.keep_interval_latencies();
    IntervalClock clock(options.interval_ns);
    IntervalWatch watch;
    bool written = true;
    auto tell = [&](uint64_t start, uint64_t end, bool last) {
        IntervalFigures interval = watch.take(analysis, start, end);
        interval.order = options.order;
        interval.top = options.top ? options.top : options.by == GroupBy::flow ? 10 : 0;  // as the report's
        if (out != stdout && reopen_requested()) {
            FILE *reopened = std::fopen(log_path.c_str(), "a");
            if (reopened) {
                std::fclose(out);
                out = reopened;
            } else {
                say("%s: %s; the intervals go on into the file as it was.", options.interval_log,
                    std::strerror(errno));
            }
        }
        written = print_interval_line(out, interval, analysis.first_frame_tap_time, last) && written;
        if (options.metrics)
            metrics.add(interval);
    };
    // The input fell quiet: the TAP clock is taken to have gone on with the
    // wall clock, less a grace for what the capture still buffers, so the
    // last frames of a quiet link are settled and intervals still told.
    auto settle_quiet = [&](uint64_t quiet_ns) {
        const uint64_t now = analysis.clock_now();
        if (!now || quiet_ns <= QUIET_GRACE_NS)
            return;
        const uint64_t assumed = now + std::min(quiet_ns - QUIET_GRACE_NS, UINT64_MAX - now);
        analysis.settle_until(assumed);
        uint64_t start, end;
        if (clock.begun() && clock.ended(assumed, start, end, true))
            tell(start, end, false);
    };
    uint64_t frame = 0;
    bool complete = true;
    // --follow: the file or the ring's files in turn, as they are written.
    std::unique_ptr<CaptureFollower> follower;
    if (options.follow && !is_standard_stream(options.captures[0]))
        follower.reset(new CaptureFollower(options.captures[0]));
    size_t told_missed = 0;
    std::string followed;
    for (size_t index = 0;; index++) {
        const char *capture;
        if (follower) {
            if (!follower->next(followed))
                break;
            capture = followed.c_str();
            for (; told_missed < follower->missed().size(); told_missed++)
                say("%s was removed before it was read: its frames are not counted.",
                    follower->missed()[told_missed].c_str());
        } else if (index < options.captures.size()) {
            capture = options.captures[index];
        } else {
            break;
        }
        CaptureEnding ending;
        const bool read = read_capture(capture, frame, ending, "the intervals cover",
                                       [&](uint64_t number, const uint8_t *bytes, uint32_t captured, uint32_t wire,
                                           bool ethernet) {
                                           analysis.add_frame(number, bytes, captured, wire, ethernet);
                                           // The matcher's clock starts once the cabling is learnt.
                                           const uint64_t now = analysis.clock_now();
                                           if (now && !clock.begun())
                                               clock.begin(analysis.first_frame_tap_time);
                                           uint64_t start, end;
                                           if (now && clock.ended(now, start, end))
                                               tell(start, end, false);
                                       },
                                       follower ? std::function<bool()>([&] { return follower->more_may_come(); })
                                                : nullptr,
                                       settle_quiet);
        if (!read) {
            // A ring's file removed between its listing and its opening.
            if (follower && access(capture, F_OK) != 0)
                continue;
            return EXIT_NOTHING_DONE;
        }
        complete = ending.complete;
        if (!complete || input_interrupted())
            break;
    }
    // The frames still waiting are settled as at the captures' end.
    const uint64_t last_start = analysis.any_tap_time ? clock.start() : 0;
    analysis.finish();
    tell(last_start, analysis.any_tap_time ? std::max(last_start, analysis.last_tap_time) + 1 : 0, true);
    if (out != stdout && std::fclose(out) != 0)
        written = false;
    if (!written) {
        say("%s: the intervals could not be written.", out != stdout ? options.interval_log : "standard output");
        return EXIT_REPORT_FAILED;
    }
    while (options.linger && !input_interrupted())
        usleep(100000);
    return complete ? EXIT_DONE : EXIT_PARTIAL;
}

