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
#include "following.h"
#include "outputs/plot.h"
#include "reading/read_capture.h"
#include "reading/parallel_reading.h"
#include "outputs/reports/report.h"
#include "reading/sightings.h"
#include "outputs/tables/tables.h"

#include "capture_io/output_files.h"

#include <sys/stat.h>
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
    constexpr uint64_t MOST_NUMBERED_FRAMES = uint64_t(1) << 62;
    uint64_t total_frames = 0;
    for (const char *name : options.captures) {
        readers.emplace_back(new SightingsReader);
        std::string sentence;
        if (!readers.back()->open(name, sentence)) {
            say("%s", sentence.c_str());
            return false;
        }
        const KeyMode mode = readers.back()->key_mode();
        if (mode != analysis.key_mode() && options.key_given) {
            say("%s holds frames keyed by %s, not %s: give --key %s or leave --key out.", name, key_mode_name(mode),
                key_mode_name(analysis.key_mode()), key_mode_name(mode));
            return false;
        }
        if (mode != analysis.key_mode()) {
            say("%s holds frames keyed by %s, %s by %s: sightings are matched together only when made with one key.",
                name, key_mode_name(mode), options.captures[0], key_mode_name(analysis.key_mode()));
            return false;
        }
        // Frames are numbered on across the files: their sum must fit.
        total_frames += readers.back()->frames();
        if (total_frames > MOST_NUMBERED_FRAMES) {
            say("%s: the sightings files hold more than %" PRIu64 " frames together, more than can be numbered.", name,
                MOST_NUMBERED_FRAMES);
            return false;
        }
    }
    context.captures.clear();
    uint64_t before = 0;  // frames of the captures before this one
    MatchingLookahead lookahead(analysis);
    for (auto &reader : readers) {
        std::string name;
        while (reader->next_capture(name)) {
            capture_names.push_back(name);
            context.captures.push_back(capture_names.back().c_str());
            CaptureEnding ending;
            uint64_t with_trailer = 0;
            for (;;) {
                FrameRecord &record = lookahead.next();
                if (!reader->next_record(record, ending))
                    break;
                record.frame += before;
                lookahead.taken();
                with_trailer++;
            }
            lookahead.flush();
            if (!capture_taken(analysis, name.c_str(), before, with_trailer, ending, context))
                return true;
            before += ending.frames;
        }
        if (reader->changed()) {
            context.complete = false;
            context.ending_frame = before + 1;
            context.ending_reason = "the sightings file changed after it was checked";
            say("%s changed after it was checked; the report covers the frames before it.", reader->name().c_str());
            return true;
        }
    }
    return true;
}

// Standard input or a FIFO among the captures: read here, one record at a
// time, so that SIGINT ends the input (a reading thread would sit in the
// stream's read with the signal held off until the writer closed it). A
// stream is read through in order anyway.
static bool reads_a_stream(const Options &options)
{
    for (const char *capture : options.captures) {
        struct stat status;
        if (is_standard_stream(capture) || (stat(capture, &status) == 0 && S_ISFIFO(status.st_mode)))
            return true;
    }
    return false;
}

// -j N: N threads in all: the captures read by N - 1, their records taken
// here in order and matched, so that no thread waits for a core (the
// matching is the longest part). False (after saying why) when a capture
// could not be opened.
static bool read_in_parallel(const Options &options, Analysis &analysis, ReportContext &context)
{
    ParallelReading reading(options.captures, options.jobs - 1, analysis.key_mode(), analysis.keeps_views());
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
            // The matcher's slot of a record a few ahead is asked for.
            for (size_t i = 0; i < block.size(); i++) {
                if (i + MatchingLookahead::DEPTH < block.size())
                    analysis.prefetch(block[i + MatchingLookahead::DEPTH]);
                block[i].frame += before;
                analysis.add_record(block[i]);
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
    } else if (options.jobs > 1 && !reads_a_stream(options)) {
        if (!read_in_parallel(options, analysis, context)) {
            remove_temporaries();
            return EXIT_NOTHING_DONE;
        }
    } else {
        // One thread reads, keys and matches each frame in turn: the fewest
        // instructions (a lookahead would cost some 30 a frame).
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
