// SPDX-License-Identifier: GPL-2.0-or-later
//
// A capture followed as it is written (--interval, --metrics, --follow).

#ifndef OVINT_LATENCY_FOLLOWING_H
#define OVINT_LATENCY_FOLLOWING_H

#include "command_line.h"
#include "matching/analysis.h"

// The captures read in turn (or followed), what each interval of TAP time
// settled told as the TAP clock passes its end, the rest once the input
// has ended. Returns the exit status.
int follow_captures(const Options &options, Analysis &analysis);

#endif // OVINT_LATENCY_FOLLOWING_H
