// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-export: a capture taken through a BRAXEL TAP VESTRIL as standard
// pcapng that every tool reads. Each frame's TAP trailer is found exactly
// where the plug-in finds it and removed; the frame is timed as Wireshark
// with ovint times it; the TAP port becomes the pcapng interface and the
// TAP's error flags the packet flags. Reads and writes through the host's
// wiretap library, one record at a time.

#include "capture_io/wiretap_compat.h"

#include "command_line.h"
#include "export_loop.h"
#include "capture_io/program_shell.h"
#include "capture_io/wiretap_error.h"
#include "capture_io/output_files.h"
#include "report.h"
#include "summary.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

// Checks IN and OUT before anything is opened; after saying why not, the
// exit status to end with, else -1.
static int check_files(const Options &options, OutputFile &output)
{
    struct stat in_stat;
    if (!is_standard_stream(options.in) && stat(options.in, &in_stat) != 0) {
        say("%s: %s.", options.in, g_strerror(errno));
        return EXIT_NOTHING_DONE;
    }
    std::string sentence;
    switch (check_outputs({options.in}, {&output}, options.force, sentence)) {
    case OutputCheck::fine: break;
    case OutputCheck::usage: say("%s", sentence.c_str()); return EXIT_USAGE;
    default: say("%s", sentence.c_str()); return EXIT_NOTHING_DONE;
    }
    if (output.kind == OutputFile::standard_output) {
        if (options.json) {
            say("--json and OUT %s would both write to standard output; give one of them.",
                is_standard_stream(options.out) ? "\"-\"" : options.out);
            return EXIT_USAGE;
        }
        if (isatty(STDOUT_FILENO)) {
            say("standard output is a terminal; send the capture to a file or a pipe.");
            return EXIT_NOTHING_DONE;
        }
    }
    return -1;
}

static wtap_dumper *open_dumper(const Options &options, wtap_dump_params *params, OutputFile &output)
{
    // Written through the descriptor that open_output gives: reopening a
    // temporary file by name would truncate it, which costs ext4 a flush on
    // close.
    const int fd = open_output(output);
    if (fd < 0) {
        say("%s: %s.", options.out, g_strerror(errno));
        return nullptr;
    }
    if (output.kind == OutputFile::stream && isatty(fd)) {
        close(fd);
        say("%s is a terminal; send the capture to a file or a pipe.", options.out);
        return nullptr;
    }
    int err = 0;
    gchar *err_info = nullptr;
    wtap_dumper *dumper =
        wtap_dump_fdopen(fd, wtap_pcapng_file_type_subtype(), WTAP_UNCOMPRESSED, params, &err, &err_info);
    if (!dumper) {
        close(fd);
        say("%s: %s.", options.out, wiretap_error(err, err_info).c_str());
        remove_temporaries();
    }
    return dumper;
}

// What a failed write leaves: a file is not kept, but a stream keeps what
// reached it.
static const char *left_by_failure(const OutputFile &output)
{
    return output.kind == OutputFile::file ? "nothing is written" : "what was sent is cut short";
}

static void tell_ending(const Options &options, const OutputFile &output, const LoopResult &result,
                        const Summary &summary)
{
    if (result.kind == LoopResult::damaged)
        say("%s: frame %" PRIu64 ": %s; the %" PRIu64 " frames before it are written to %s.", options.in,
            result.frame, result.reason.c_str(), summary.frames_written, options.out);
    else if (result.kind == LoopResult::write_failed)
        say("%s: %s; %s.", options.out, result.reason.c_str(), left_by_failure(output));
}

int main(int argc, char **argv)
{
    set_program_name("ovint-export");
    Options options;
    const int parsed = parse_command_line(argc, argv, options);
    if (parsed >= 0)
        return parsed;

    OutputFile output;
    output.name = options.out;
    const int refused = check_files(options, output);
    if (refused >= 0)
        return refused;
    // Before any file of ours exists.
    install_signal_handlers(is_standard_stream(options.in));

    start_log("ovint-export");
    wtap_init(FALSE);

    // wiretap takes an empty file for an empty ERF capture, which pcapng
    // cannot be made of: said of the input, not blamed on the output.
    struct stat input_status;
    if ((is_standard_stream(options.in) ? fstat(STDIN_FILENO, &input_status) : stat(options.in, &input_status)) == 0 &&
        S_ISREG(input_status.st_mode) && input_status.st_size == 0) {
        say("%s: the file is empty: no capture.", is_standard_stream(options.in) ? "standard input" : options.in);
        return EXIT_NOTHING_DONE;
    }
    int err = 0;
    gchar *err_info = nullptr;
    wtap *wth = wtap_open_offline(options.in, WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    if (!wth) {
        say("%s: %s.", is_standard_stream(options.in) ? "standard input" : options.in,
            wiretap_error(err, err_info).c_str());
        return EXIT_NOTHING_DONE;
    }

    // wiretap reads some files that hold no network frames (media files,
    // for one); pcapng cannot hold what they hold. A pcapng file whose
    // first interface comes after other blocks (secrets, names) has no
    // link type yet.
    const int file_encap = wtap_file_encap(wth);
    const bool encap_to_come =
        file_encap == WTAP_ENCAP_UNKNOWN && wtap_file_type_subtype(wth) == wtap_pcapng_file_type_subtype();
    if (file_encap != WTAP_ENCAP_PER_PACKET && !encap_to_come &&
        !wtap_dump_can_write_encap(wtap_pcapng_file_type_subtype(), file_encap)) {
        say("%s: not a capture of network frames (it reads as %s).", options.in,
            wtap_file_type_subtype_description(wtap_file_type_subtype(wth)));
        wtap_close(wth);
        return EXIT_NOTHING_DONE;
    }

    wtap_dump_params params = WTAP_DUMP_PARAMS_INIT;
    Summary summary;
    const auto open_for_input = [&]() -> wtap_dumper * {
        // An empty stream reads as an ERF capture without records.
        if (summary.frames_read == 0 && wtap_read_so_far(wth) == 0) {
            say("%s: nothing came: no capture.", is_standard_stream(options.in) ? "standard input" : options.in);
            return nullptr;
        }
        // Of the input's interfaces, none is copied: each is added as a
        // frame comes on it.
        wtap_dump_params_init_no_idbs(&params, wth);
        params.encap = WTAP_ENCAP_PER_PACKET;
        params.tsprec = WTAP_TSPREC_NSEC;
        return open_dumper(options, &params, output);
    };
    LoopResult result;
    wtap_dumper *dumper;
    {
        const ChangeOptions change = {options.keep_trailers, options.tap_clock, options.interface_per_link};
        ExportLoop loop(change, wth, open_for_input, summary, !options.quiet && isatty(STDERR_FILENO),
                        is_standard_stream(options.in));
        result = loop.run();
        dumper = loop.dumper();
    }
    if (result.kind == LoopResult::not_opened) {
        wtap_dump_params_cleanup(&params);
        wtap_close(wth);
        return EXIT_NOTHING_DONE;
    }
    const bool closed = close_dump(dumper, &err, &err_info);
    wtap_dump_params_cleanup(&params);
    wtap_close(wth);
    tell_ending(options, output, result, summary);
    if (result.kind == LoopResult::write_failed) {
        remove_temporaries();
        return EXIT_NOTHING_DONE;
    }
    if (!closed) {
        say("%s: %s; %s.", options.out, wiretap_error(err, err_info).c_str(), left_by_failure(output));
        remove_temporaries();
        return EXIT_NOTHING_DONE;
    }
    if (!keep_output(output)) {
        say("%s: %s; nothing is written.", options.out, g_strerror(errno));
        return EXIT_NOTHING_DONE;
    }

    const ReportHeader header = {options.in, options.out, &result, output.replaces};
    bool reported = true;
    if (options.json) {
        reported = print_json_report(stdout, header, summary);
        if (!reported)
            say("standard output: %s; the summary is lost, %s is written.", g_strerror(errno ? errno : EIO),
                options.out);
    } else if (!options.quiet) {
        reported = print_text_report(stderr, header, summary);
    }
    if (result.kind == LoopResult::damaged)
        return EXIT_PARTIAL;
    return reported ? EXIT_DONE : EXIT_REPORT_FAILED;
}
