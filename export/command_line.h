// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-export's command line: its options, its usage text and its version.

#ifndef OVINT_EXPORT_COMMAND_LINE_H
#define OVINT_EXPORT_COMMAND_LINE_H

struct Options {
    bool keep_trailers = false;
    bool tap_clock = false;
    bool interface_per_link = false;
    bool force = false;
    bool quiet = false;
    bool json = false;
    const char *in = nullptr;   // "-": standard input
    const char *out = nullptr;  // "-": standard output
};

// "-" as a file name: the standard stream.

// Reads the command line into `options`. Returns -1 to go on, or the exit
// status to end with at once (after --help, --version or a usage error,
// which it has told).
int parse_command_line(int argc, char **argv, Options &options);

#endif // OVINT_EXPORT_COMMAND_LINE_H
