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
#include "exit_status.h"
#include "export_loop.h"
#include "messages.h"
#include "capture_io/output_files.h"
#include "report.h"
#include "summary.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

// The output: a temporary file beside OUT, or standard output.
struct Output {
    wtap_dumper *dumper = nullptr;
    bool to_stdout = false;
    bool replaces_existing = false;
};

// Checks IN and OUT before anything is opened; false after saying why not.
static bool check_files(const Options &options, Output &output)
{
    struct stat in_stat = {}, out_stat;
    const bool in_is_stdin = is_standard_stream(options.in);
    if (!in_is_stdin && stat(options.in, &in_stat) != 0) {
        say("%s: %s.", options.in, g_strerror(errno));
        return false;
    }
    output.to_stdout = is_standard_stream(options.out);
    if (output.to_stdout) {
        if (isatty(STDOUT_FILENO)) {
            say("standard output is a terminal; send the capture to a file or a pipe.");
            return false;
        }
        return true;
    }
    if (stat(options.out, &out_stat) == 0) {
        if (!in_is_stdin && out_stat.st_dev == in_stat.st_dev && out_stat.st_ino == in_stat.st_ino) {
            say("%s: the output would overwrite the input.", options.out);
            return false;
        }
        if (!options.force) {
            say("%s: the file exists; give --force to overwrite it.", options.out);
            return false;
        }
        output.replaces_existing = true;
    }
    return true;
}

static bool open_output(const Options &options, wtap *wth, wtap_dump_params *params, Output &output)
{
    int err = 0;
    gchar *err_info = nullptr;
    const int pcapng = wtap_pcapng_file_type_subtype();
    if (output.to_stdout) {
        output.dumper = wtap_dump_open_stdout(pcapng, WTAP_UNCOMPRESSED, params, &err, &err_info);
    } else {
        const int fd = create_temporary(options.out);
        if (fd < 0) {
            say("%s: %s.", options.out, g_strerror(errno));
            return false;
        }
        // Written through the descriptor mkstemp gave: reopening the file by
        // name would truncate it, which costs ext4 a flush on close.
        output.dumper = wtap_dump_fdopen(fd, pcapng, WTAP_UNCOMPRESSED, params, &err, &err_info);
        if (!output.dumper)
            close(fd);
    }
    if (!output.dumper) {
        say("%s: %s.", options.out, wiretap_error(err, err_info).c_str());
        remove_temporaries();
        return false;
    }
    (void)wth;
    return true;
}

static void tell_ending(const Options &options, const LoopResult &result, const Summary &summary)
{
    if (result.kind == LoopResult::damaged)
        say("%s: frame %" PRIu64 ": %s; the %" PRIu64 " frames before it are written to %s.", options.in,
            result.frame, result.reason.c_str(), summary.frames_written, options.out);
    else if (result.kind == LoopResult::write_failed)
        say("%s: %s; nothing is written.", options.out, result.reason.c_str());
}

int main(int argc, char **argv)
{
    Options options;
    const int parsed = parse_command_line(argc, argv, options);
    if (parsed >= 0)
        return parsed;

    Output output;
    if (!check_files(options, output))
        return EXIT_NOTHING_WRITTEN;
    // Before any file of ours exists.
    install_signal_handlers(is_standard_stream(options.in));

    start_log("ovint-export");
    wtap_init(FALSE);

    int err = 0;
    gchar *err_info = nullptr;
    wtap *wth = wtap_open_offline(options.in, WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    if (!wth) {
        say("%s: %s.", is_standard_stream(options.in) ? "standard input" : options.in,
            wiretap_error(err, err_info).c_str());
        return EXIT_NOTHING_WRITTEN;
    }

    // wiretap reads some files that hold no network frames (media files,
    // for one); pcapng cannot hold what they hold.
    const int file_encap = wtap_file_encap(wth);
    if (file_encap != WTAP_ENCAP_PER_PACKET && !wtap_dump_can_write_encap(wtap_pcapng_file_type_subtype(), file_encap)) {
        say("%s: not a capture of network frames (it reads as %s).", options.in,
            wtap_file_type_subtype_description(wtap_file_type_subtype(wth)));
        wtap_close(wth);
        return EXIT_NOTHING_WRITTEN;
    }

    wtap_dump_params params = WTAP_DUMP_PARAMS_INIT;
    wtap_dump_params_init_no_idbs(&params, wth);
    params.encap = WTAP_ENCAP_PER_PACKET;
    params.tsprec = WTAP_TSPREC_NSEC;
    if (!open_output(options, wth, &params, output)) {
        wtap_dump_params_cleanup(&params);
        wtap_close(wth);
        return EXIT_NOTHING_WRITTEN;
    }

    Summary summary;
    LoopResult result;
    {
        const ChangeOptions change = {options.keep_trailers, options.tap_clock};
        ExportLoop loop(change, wth, output.dumper, summary, !options.quiet && isatty(STDERR_FILENO),
                        is_standard_stream(options.in));
        result = loop.run();
    }
    const bool closed = close_dump(output.dumper, &err, &err_info);
    wtap_dump_params_cleanup(&params);
    wtap_close(wth);
    tell_ending(options, result, summary);
    if (result.kind == LoopResult::write_failed) {
        remove_temporaries();
        return EXIT_NOTHING_WRITTEN;
    }
    if (!closed) {
        say("%s: %s; nothing is written.", options.out, wiretap_error(err, err_info).c_str());
        remove_temporaries();
        return EXIT_NOTHING_WRITTEN;
    }
    if (!output.to_stdout && !keep_temporary(options.out)) {
        say("%s: %s; nothing is written.", options.out, g_strerror(errno));
        return EXIT_NOTHING_WRITTEN;
    }

    const ReportHeader header = {options.in, options.out, &result, output.replaces_existing};
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
    return reported ? EXIT_EXPORTED : EXIT_REPORT_FAILED;
}
