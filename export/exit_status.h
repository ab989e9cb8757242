// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-export's exit statuses, as its --help and README give them.

#ifndef OVINT_EXPORT_EXIT_STATUS_H
#define OVINT_EXPORT_EXIT_STATUS_H

enum ExitStatus {
    EXIT_EXPORTED = 0,         // every frame written, OUT in place
    EXIT_NOTHING_WRITTEN = 1,  // an error: OUT was not touched
    EXIT_USAGE = 2,            // a wrong command line: nothing done
    EXIT_PARTIAL = 3,          // the input is cut off or damaged: the frames before it are written
    EXIT_REPORT_FAILED = 4,    // OUT written in full, but the summary could not be written
    // A signal N that ends the export leaves no OUT and exits with 128 + N.
};

#endif // OVINT_EXPORT_EXIT_STATUS_H
