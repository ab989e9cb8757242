// SPDX-License-Identifier: GPL-2.0-or-later
//
// wiretap's words for an error, as the programs tell it.

#ifndef OVINT_CAPTURE_IO_WIRETAP_ERROR_H
#define OVINT_CAPTURE_IO_WIRETAP_ERROR_H

#include <glib.h>
#include <wiretap/wtap.h>

#include <string>

// wiretap's words for an error, with its detail when it gives one (freed).
inline std::string wiretap_error(int err, gchar *err_info)
{
    std::string text = wtap_strerror(err);
    if (err_info) {
        text += " (";
        text += err_info;
        text += ")";
        g_free(err_info);
    }
    return text;
}

#endif // OVINT_CAPTURE_IO_WIRETAP_ERROR_H
