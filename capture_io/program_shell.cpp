// SPDX-License-Identifier: GPL-2.0-or-later

#include "program_shell.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

static const char *program_name = "ovint";

void set_program_name(const char *name)
{
    program_name = name;
}

void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "%s: ", program_name);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

bool is_standard_stream(const char *name)
{
    return std::strcmp(name, "-") == 0;
}
