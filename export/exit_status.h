// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-export's exit statuses, as its --help and README give them.

#ifndef OVINT_EXPORT_EXIT_STATUS_H
#define OVINT_EXPORT_EXIT_STATUS_H

enum ExitStatus {
    EXIT_EXPORTED = 0,         // every frame written, OUT in place
    EXIT_NOTHING_WRITTEN = 1,  // an error: OUT was not touched
    EXIT_USAGE = 2,            // a wrong command line (OUT that is IN among them): nothing done
    EXIT_PARTIAL = 3,          // the input is cut off or damaged: the frames before it are written
    EXIT_REPORT_FAILED = 4,    // OUT written in full, but the summary could not be written
    // A signal that ends the export leaves OUT as it was and ends the
    // program by that signal (its default action), which a shell shows as
    // 128 + N. SIGINT on standard input only ends the input.
};

#endif // OVINT_EXPORT_EXIT_STATUS_H
