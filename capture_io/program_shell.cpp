// SPDX-License-Identifier: GPL-2.0-or-later

#include "program_shell.h"

#include <ws_version.h>

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

static int flushed_stdout()
{
    return fflush(stdout) == 0 && !ferror(stdout) ? EXIT_DONE : EXIT_REPORT_FAILED;
}

int print_help(const char *usage)
{
    fputs(usage, stdout);
    return flushed_stdout();
}

// The host's version as built: only wiretap and wsutil are loaded, and the
// dissection library, which alone tells its version at run time, would cost
// 70 MB.
int print_version(const char *version)
{
    printf("%s %s; built for Wireshark %d.%d.%d\n", program_name, version, WIRESHARK_VERSION_MAJOR,
           WIRESHARK_VERSION_MINOR, WIRESHARK_VERSION_MICRO);
    return flushed_stdout();
}

int unknown_option()
{
    fprintf(stderr, "Try '%s --help' for more.\n", program_name);
    return EXIT_USAGE;
}
