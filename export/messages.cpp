// SPDX-License-Identifier: GPL-2.0-or-later

#include "messages.h"

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
