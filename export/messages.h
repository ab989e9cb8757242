// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-export's messages: one sentence on standard error, after its name.

#ifndef OVINT_EXPORT_MESSAGES_H
#define OVINT_EXPORT_MESSAGES_H

#include <glib.h>

#include <string>

void say(const char *format, ...) G_GNUC_PRINTF(1, 2);

// wiretap's words for an error, with its detail when it gives one (freed).
std::string wiretap_error(int err, gchar *err_info);

#endif // OVINT_EXPORT_MESSAGES_H
