// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-latency's exit statuses, as its --help and README give them.

#ifndef OVINT_LATENCY_EXIT_STATUS_H
#define OVINT_LATENCY_EXIT_STATUS_H

enum ExitStatus {
    EXIT_REPORTED = 0,        // every capture read, the report and the tables written
    EXIT_NOTHING = 1,         // an error (an existing file without --force among them): no report, no table
    EXIT_USAGE = 2,           // a wrong command line (an output that is a capture among them): nothing done
    EXIT_PARTIAL = 3,         // a capture cut off or damaged: the report covers the frames before it
    EXIT_REPORT_FAILED = 4,   // the report could not be written
    // A signal that ends the program leaves no table or picture and ends
    // the program by that signal (its default action), which a shell shows
    // as 128 + N. SIGINT on standard input only ends the input.
};

#endif // OVINT_LATENCY_EXIT_STATUS_H
