// SPDX-License-Identifier: GPL-2.0-or-later

#include "messages.h"

#include <wiretap/wtap.h>

#include <cstdarg>
#include <cstdio>

void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("ovint-export: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

std::string wiretap_error(int err, gchar *err_info)
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
