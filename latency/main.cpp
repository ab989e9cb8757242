// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-latency: latency, loss and bursts of a device between the two links
// of a BRAXEL TAP VESTRIL, for captures of any size. Reads each capture in
// turn, pcap and pcapng straight from the file and anything else through
// the host's wiretap library, keying and matching frames as the plug-in
// does, and reports on standard output.

#include "capture_io/wiretap_compat.h"

#include "matching/analysis.h"
#include "command_line.h"
#include "capture_io/program_shell.h"
#include "matching/intervals.h"
#include "outputs/interval_report.h"
#include "outputs/metrics.h"
#include "outputs/plot.h"
#include "reading/capture_follower.h"
#include "reading/capture_reader.h"
#include "reading/parallel_reading.h"
#include "outputs/report.h"
#include "reading/sightings.h"
#include "outputs/tables.h"

#include "capture_io/output_files.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <functional>
#include <deque>
#include <thread>
#include <memory>
#include <string>
#include <vector>

// Reads one capture, numbering its records on from `frame`, and hands each
// to `take(frame, bytes, captured, wire_length, ethernet)` (a record that is
// no packet as no Ethernet frame). False when it could not be opened (after
// saying why); a cut or damaged capture ends the reading with `ending`
// telling where, and a sentence saying that `covered` covers the frames
// before it.
template <typename Take>
static bool read_capture(const char *name, uint64_t &frame, CaptureEnding &ending, const char *covered, Take take,
                         std::function<bool()> more_may_come = nullptr)
{
    std::string sentence;
    CaptureReader reader;
    if (more_may_come)
        reader.follow(std::move(more_may_come));
    if (!reader.open(name, sentence)) {
        say("%s", sentence.c_str());
        return false;
    }
    const uint64_t before = frame;
    FrameChunk chunk;
    while (!input_interrupted() && reader.read_chunk(chunk, size_t(1) << 20)) {
        for (const RawFrame &raw : chunk.frames)
            take(before + raw.frame, chunk.frame_bytes(raw), raw.captured, raw.wire, raw.ethernet);
        for (uint64_t other = chunk.frames.size(); other < chunk.records; other++)
            take(before, nullptr, 0, 0, false);
    }
    ending = reader.ending();
    frame = before + ending.frames;
    if (!ending.complete) {
        ending.frame += before;
        say("%s: frame %" PRIu64 ": %s; %s the frames before it.", name, ending.frame, ending.reason.c_str(), covered);
    }
    return true;
}

// --sightings FILE: each capture's trailer-bearing frames, keyed, into one
// sightings file, its frames numbered in their capture.
static int write_sightings(const Options &options, OutputFile &output)
{
    SightingsWriter writer;
    const int fd = open_output(output);
    if (fd < 0 || !writer.open(fd, options.key)) {
        say("%s: %s.", options.sightings, std::strerror(errno));
        remove_temporaries();
        return EXIT_NOTHING_DONE;
    }
    bool complete = true;
    for (const char *capture : options.captures) {
        writer.begin_capture(capture);
        uint64_t frame = 0;
        CaptureEnding ending;
        const bool read = read_capture(capture, frame, ending, "the sightings cover",
                                       [&](uint64_t number, const uint8_t *bytes, uint32_t captured, uint32_t wire,
                                           bool ethernet) {
                                           const FrameRecord record =
                                               read_frame(options.key, true, number, bytes, captured, wire, ethernet);
                                           if (record.kind != FrameRecord::no_trailer)
                                               writer.add(record);
                                       });
        if (!read) {
            remove_temporaries();
            return EXIT_NOTHING_DONE;
        }
        writer.end_capture(ending);
        complete = ending.complete;
        if (!complete || input_interrupted())
            break;
    }
    if (!writer.finish() || !keep_output(output)) {
        say("%s: %s.", options.sightings, errno ? std::strerror(errno) : "cannot write it");
        remove_temporaries();
        return EXIT_NOTHING_DONE;
    }
    return complete ? EXIT_DONE : EXIT_PARTIAL;
}

// A capture's trailer-bearing records taken in: its frames without a
// trailer counted and, when it ended early, the report told where, and a
// sentence said so. False when it ended early.
static bool capture_taken(Analysis &analysis, const char *name, uint64_t before, uint64_t with_trailer,
                          const CaptureEnding &ending, ReportContext &context)
{
    analysis.count_frames_without_trailer(ending.frames - with_trailer);
    if (ending.complete)
        return true;
    context.complete = false;
    context.ending_frame = before + ending.frame;
    context.ending_reason = ending.reason;
    say("%s: frame %" PRIu64 ": %s; the report covers the frames before it.", name, context.ending_frame,
        ending.reason.c_str());
    return false;
}

// --from-sightings: the sightings files, each checked whole first, fed to
// the analysis in order, their captures' frames numbered on as read one
// after another. False (after saying why) when a file is refused.
static bool read_sightings(const Options &options, Analysis &analysis, ReportContext &context,
                           std::deque<std::string> &capture_names)
{
    std::vector<std::unique_ptr<SightingsReader>> readers;
    for (const char *name : options.captures) {
        readers.emplace_back(new SightingsReader);
        std::string sentence;
        if (!readers.back()->open(name, sentence)) {
            say("%s", sentence.c_str());
            return false;
        }
        if (readers.back()->key_mode() != analysis.key_mode()) {
            say("%s holds frames keyed by %s, not %s: give --key %s or leave --key out.", name,
                key_mode_name(readers.back()->key_mode()), key_mode_name(analysis.key_mode()),
                key_mode_name(readers.back()->key_mode()));
            return false;
        }
    }
    context.captures.clear();
    uint64_t before = 0;  // frames of the captures before this one
    for (auto &reader : readers) {
        std::string name;
        while (reader->next_capture(name)) {
            capture_names.push_back(name);
            context.captures.push_back(capture_names.back().c_str());
            FrameRecord record;
            CaptureEnding ending;
            uint64_t with_trailer = 0;
            while (reader->next_record(record, ending)) {
                record.frame += before;
                analysis.add_record(record);
                with_trailer++;
            }
            if (!capture_taken(analysis, name.c_str(), before, with_trailer, ending, context))
                return true;
            before += ending.frames;
        }
    }
    return true;
}

// -j N: the captures read by N threads, their records taken here in order.
// False (after saying why) when a capture could not be opened.
static bool read_in_parallel(const Options &options, Analysis &analysis, ReportContext &context)
{
    ParallelReading reading(options.captures, options.jobs, analysis.key_mode(), analysis.keeps_views());
    if (!reading.started()) {
        say("%s", "no thread could be started to read the captures: give -j 1.");
        return false;
    }
    uint64_t before = 0;  // frames of the captures before this one
    std::vector<FrameRecord> block;
    for (size_t index = 0; index < options.captures.size(); index++) {
        std::string sentence;
        if (!reading.open(index, sentence)) {
            say("%s", sentence.c_str());
            return false;
        }
        CaptureEnding ending;
        uint64_t with_trailer = 0;
        while (reading.next_block(index, block, ending)) {
            for (FrameRecord &record : block) {
                record.frame += before;
                analysis.add_record(record);
            }
            with_trailer += block.size();
        }
        reading.taken(index);
        if (!capture_taken(analysis, options.captures[index], before, with_trailer, ending, context))
            break;
        before += ending.frames;
        if (input_interrupted())
            break;
    }
    return true;
}

// --interval and --metrics: the captures read in turn on one thread, what
// each interval of TAP time settled told as the TAP clock passes its end,
// the rest once the captures have ended. True when every capture could be
// read to its end or was interrupted; false (after saying why) otherwise.
static int follow_captures(const Options &options, Analysis &analysis)
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
        const IntervalFigures interval = watch.take(analysis, start, end);
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
                                                : nullptr);
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

// What the tables tell of each frame's traffic (for a pair, its earlier
// sighting's): empty where it has none.
#define VIEW_COLUMNS "src,dst,protocol,src_port,dst_port,dscp,vlan"

int main(int argc, char **argv)
{
    set_program_name("ovint-latency");
    Options options;
    const int parsed = parse_command_line(argc, argv, options);
    if (parsed >= 0)
        return parsed;

    // Every output is checked before any file is opened or read.
    OutputFile pairs, frames, plot, sightings;
    pairs.name = options.pairs;
    frames.name = options.frames;
    plot.name = options.plot;
    sightings.name = options.sightings;
    std::vector<OutputFile *> outputs;
    for (OutputFile *output : {&pairs, &frames, &plot, &sightings}) {
        if (output->name)
            outputs.push_back(output);
    }
    std::string error;
    const OutputCheck checked = check_outputs(options.captures, outputs, options.force, error);
    if (checked != OutputCheck::fine) {
        say("%s", error.c_str());
        return checked == OutputCheck::usage ? EXIT_USAGE : EXIT_NOTHING_DONE;
    }
    // An output on standard output has it to itself: the report goes to
    // standard error.
    FILE *report = stdout;
    for (const OutputFile *output : outputs)
        report = output->kind == OutputFile::standard_output ? stderr : report;

    bool from_stdin = false;
    for (const char *capture : options.captures)
        from_stdin = from_stdin || is_standard_stream(capture);
    install_signal_handlers(from_stdin, options.interval_ns != 0);
    start_log("ovint-latency");
    wtap_init(FALSE);
    if (options.sightings)
        return write_sightings(options, sightings);

    if (options.plot && !gnuplot_found()) {
        say("--plot draws with gnuplot, which is not installed here (Debian: apt install gnuplot-nox).");
        return EXIT_NOTHING_DONE;
    }

    // The latency column names its definition but for the first bits'.
    const std::string latency_column = options.definition == LatencyDefinition::fifo
                                           ? "latency_ns"
                                           : std::string("latency_") + definition_name(options.definition) + "_ns";
    const std::string pairs_header = "earlier_frame,later_frame,earlier_port,later_port,earlier_tap_time_ns,"
                                     "later_tap_time_ns," +
                                     latency_column + ",length," + VIEW_COLUMNS;
    Tables tables;
    if ((options.pairs && !tables.pairs.open(pairs, pairs_header.c_str(), error)) ||
        (options.frames &&
         !tables.frames.open(frames,
                             "frame,port,channel,tap_time_ns,length,flags,key,matched_frame," VIEW_COLUMNS ",fate",
                             error))) {
        say("%s.", error.c_str());
        remove_temporaries();
        return EXIT_NOTHING_DONE;
    }

    // The picture's file is made now, so that a signal removes it too.
    // gnuplot writes a file by name: for a stream, one of its own, copied
    // into the stream once drawn.
    int picture_stream = -1;
    if (options.plot) {
        const int fd = open_output(plot);
        if (fd >= 0 && plot.kind == OutputFile::file)
            close(fd);
        else
            picture_stream = fd;
        if (fd < 0 || (picture_stream >= 0 && !open_scratch(plot))) {
            say("%s: %s.", options.plot, std::strerror(errno));
            remove_temporaries();
            return EXIT_NOTHING_DONE;
        }
    }

    // Matching from sightings: by the key they were made with.
    if (options.from_sightings && !options.key_given)
        SightingsReader::peek_key_mode(options.captures[0], &options.key);
    if (!options.jobs)
        options.jobs = std::max(1u, std::thread::hardware_concurrency());
    const bool tabling = options.pairs || options.frames;
    Analysis analysis(options.key, options.window_ms * 1000000, options.cabling, tabling ? &tables : nullptr);
    if (options.plot)
        analysis.gather_picture();
    analysis.line_rates(options.line_rates[0], options.line_rates[1]);
    analysis.define_latency(options.definition);
    if (options.by != GroupBy::none)
        analysis.group_by(options.by, options.groups_limit);
    if (tabling) {
        analysis.keep_views();
        tables.read_views_from(analysis.views);
    }
    if (options.interval_ns)
        return follow_captures(options, analysis);
    ReportContext context = {options.captures, options.key, options.window_ms, {options.line_rates[0], options.line_rates[1]},
                             true, 0, ""};
    context.top = options.top ? options.top : options.by == GroupBy::flow ? 10 : 0;
    context.order = options.order;
    std::deque<std::string> capture_names;  // as the sightings files name them
    if (options.from_sightings) {
        if (!read_sightings(options, analysis, context, capture_names)) {
            remove_temporaries();
            return EXIT_NOTHING_DONE;
        }
    } else if (options.jobs > 1) {
        if (!read_in_parallel(options, analysis, context)) {
            remove_temporaries();
            return EXIT_NOTHING_DONE;
        }
    } else {
        uint64_t frame = 0;
        for (const char *capture : options.captures) {
            CaptureEnding ending;
            if (!read_capture(capture, frame, ending, "the report covers",
                              [&analysis](uint64_t number, const uint8_t *bytes, uint32_t captured, uint32_t wire,
                                          bool ethernet) { analysis.add_frame(number, bytes, captured, wire, ethernet); })) {
                remove_temporaries();
                return EXIT_NOTHING_DONE;
            }
            if (!ending.complete) {
                context.complete = false;
                context.ending_frame = ending.frame;
                context.ending_reason = ending.reason;
            }
            if (!context.complete || input_interrupted())
                break;
        }
    }
    analysis.finish();

    // Every output is written whole before any is put in place.
    std::vector<Table *> written;
    for (Table *table : {&tables.pairs, &tables.frames}) {
        if (!table->is_open())
            continue;
        if (!table->finish_writing(error)) {
            say("%s.", error.c_str());
            remove_temporaries();
            return EXIT_NOTHING_DONE;
        }
        written.push_back(table);
    }
    if (options.plot) {
        std::string title = std::string("ovint-latency: key ") + key_mode_name(options.key) + ", window " +
                            std::to_string(options.window_ms) + " ms";
        if (options.definition != LatencyDefinition::fifo)
            title += std::string(", latency ") + definition_name(options.definition);
        std::vector<GroupFigures *> drawn;
        if (analysis.groups) {
            title += std::string(", by ") + group_by_name(options.by);
            drawn = analysis.groups->ranked(context.order, context.top && context.top < 10 ? context.top : 10);
        }
        if (!draw_plot(options.plot, temporary_path(plot), analysis, title, drawn, error)) {
            say("%s: %s.", options.plot, error.empty() ? std::strerror(errno) : error.c_str());
            remove_temporaries();
            return EXIT_NOTHING_DONE;
        }
    }
    {
        // A signal now finds the outputs all new or all as they were.
        HeldSignals held;
        if (options.plot &&
            (!keep_output(plot, picture_stream) || (picture_stream >= 0 && close(picture_stream) != 0))) {
            say("%s: %s.", options.plot, std::strerror(errno));
            remove_temporaries();
            return EXIT_NOTHING_DONE;
        }
        for (Table *table : written) {
            if (!table->keep(error)) {
                say("%s.", error.c_str());
                remove_temporaries();
                return EXIT_NOTHING_DONE;
            }
        }
    }
    const bool reported = options.json_lines ? print_json_lines(report, context, analysis)
                          : options.json ? print_json_report(report, context, analysis)
                                       : print_text_report(report, context, analysis);
    if (!reported) {
        say("%s: the report could not be written.", report == stdout ? "standard output" : "standard error");
        return EXIT_REPORT_FAILED;
    }
    return context.complete ? EXIT_DONE : EXIT_PARTIAL;
}
