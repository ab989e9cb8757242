// SPDX-License-Identifier: GPL-2.0-or-later

#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

// Written before the file exists (mkstemp fills in the name in place), so a
// signal at any moment finds the name of what there is to remove.
static char temporary_path[4096];
static volatile sig_atomic_t temporary_exists = 0;
static volatile sig_atomic_t interrupted = 0;

static void end_on_signal(int signal_number)
{
    if (temporary_exists)
        unlink(temporary_path);
    _exit(128 + signal_number);
}

static void end_input(int)
{
    interrupted = 1;
}

// Removes the file and lets the fault take its default course (a core dump,
// the sanitizer's report).
static void remove_on_fault(int signal_number)
{
    if (temporary_exists)
        unlink(temporary_path);
    temporary_exists = 0;
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

static void handle(int signal_number, void (*handler)(int), bool restart)
{
    struct sigaction action;
    if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN)
        return;  // nohup, or a background job: the caller's choice stays
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigfillset(&action.sa_mask);
    // Without SA_RESTART a read waiting on standard input returns at once.
    action.sa_flags = restart ? SA_RESTART : 0;
    sigaction(signal_number, &action, nullptr);
}

void install_signal_handlers(bool input_is_stdin)
{
    handle(SIGINT, input_is_stdin ? end_input : end_on_signal, !input_is_stdin);
    handle(SIGTERM, end_on_signal, true);
    handle(SIGHUP, end_on_signal, true);
    for (int fault : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        handle(fault, remove_on_fault, true);
    // exit() from anywhere, the host's libraries included.
    atexit(remove_temporary);
}

bool input_interrupted()
{
    return interrupted != 0;
}

int create_temporary(const char *out)
{
    const char *slash = std::strrchr(out, '/');
    const int folder_length = slash ? static_cast<int>(slash - out) + 1 : 0;
    const int length = snprintf(temporary_path, sizeof temporary_path, "%.*s.%s.XXXXXX", folder_length, out,
                                slash ? slash + 1 : out);
    if (length < 0 || static_cast<size_t>(length) >= sizeof temporary_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    temporary_exists = 1;
    const int fd = mkstemp(temporary_path);
    if (fd < 0) {
        const int saved = errno;
        temporary_exists = 0;
        errno = saved;
    }
    return fd;
}

bool keep_temporary(const char *out)
{
    const mode_t mask = umask(0);
    umask(mask);
    if (chmod(temporary_path, 0666 & ~mask) != 0 || rename(temporary_path, out) != 0) {
        const int saved = errno;
        remove_temporary();
        errno = saved;
        return false;
    }
    temporary_exists = 0;
    return true;
}

void remove_temporary()
{
    if (temporary_exists)
        unlink(temporary_path);
    temporary_exists = 0;
}
