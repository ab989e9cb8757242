// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-export's messages: one sentence on standard error, after its name.

#ifndef OVINT_EXPORT_MESSAGES_H
#define OVINT_EXPORT_MESSAGES_H

#include "capture_io/wiretap_error.h"

#include <glib.h>

void say(const char *format, ...) G_GNUC_PRINTF(1, 2);

#endif // OVINT_EXPORT_MESSAGES_H
