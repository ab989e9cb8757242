// SPDX-License-Identifier: GPL-2.0-or-later
//
// The summary of an export, as text (standard error) or JSON (standard
// output). Reports only: every figure is computed by the summary.

#ifndef OVINT_EXPORT_REPORT_H
#define OVINT_EXPORT_REPORT_H

#include "export_loop.h"
#include "summary.h"

#include <cstdio>

struct ReportHeader {
    const char *in;
    const char *out;
    const LoopResult *result;
    bool replaced_existing;  // OUT existed and was overwritten
};

// Both return false when the stream could not be written.
bool print_text_report(FILE *stream, const ReportHeader &header, const Summary &summary);
bool print_json_report(FILE *stream, const ReportHeader &header, const Summary &summary);

#endif // OVINT_EXPORT_REPORT_H
