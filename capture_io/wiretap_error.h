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

// Why reading stopped before the end of a capture (err_info is freed): a
// file cut off mid-frame, as a ring buffer's last file often is, is said
// plainly; anything else in wiretap's words.
inline std::string read_error(int err, gchar *err_info)
{
    if (err == WTAP_ERR_SHORT_READ) {
        g_free(err_info);
        return "the capture is cut off in the middle of this frame";
    }
    return wiretap_error(err, err_info);
}

#endif // OVINT_CAPTURE_IO_WIRETAP_ERROR_H
