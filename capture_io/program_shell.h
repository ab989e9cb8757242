// SPDX-License-Identifier: GPL-2.0-or-later
//
// What ovint's programs share of a command-line program's shell: their exit
// statuses (each program's --help and the README say what each means for
// it), their one-sentence messages after the program's name, and "-" as
// standard input or output.

#ifndef OVINT_CAPTURE_IO_PROGRAM_SHELL_H
#define OVINT_CAPTURE_IO_PROGRAM_SHELL_H

#include <glib.h>

enum ExitStatus {
    EXIT_DONE = 0,           // everything read and written
    EXIT_NOTHING_DONE = 1,   // an error: nothing written under the user's names
    EXIT_USAGE = 2,          // a wrong command line: nothing done
    EXIT_PARTIAL = 3,        // an input cut off or damaged: what came before it is done
    EXIT_REPORT_FAILED = 4,  // the report (the summary) could not be written
    // A signal that ends a program leaves no output half-written and ends
    // it by that signal (its default action), which a shell shows as
    // 128 + N. SIGINT on standard input only ends the input.
};

// The name messages start with ("ovint-export"), set once at start.
void set_program_name(const char *name);
// One sentence on standard error, after the program's name.
void say(const char *format, ...) G_GNUC_PRINTF(1, 2);
// Whether a file name stands for standard input or output.
bool is_standard_stream(const char *name);

// The answers to --help (the usage text) and --version (the program's and
// the host's, as built), and to an option not known: their exit statuses.
int print_help(const char *usage);
int print_version(const char *version);
int unknown_option();

#endif // OVINT_CAPTURE_IO_PROGRAM_SHELL_H
