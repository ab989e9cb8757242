// SPDX-License-Identifier: GPL-2.0-or-later

#include "output_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

// A temporary file's name is written before the file exists (mkstemp fills
// it in place), so a signal at any moment finds what there is to remove.
struct Temporary {
    char path[4096];
    const char *out;
    volatile sig_atomic_t exists;
};
static Temporary temporaries[4];
static volatile sig_atomic_t interrupted = 0;

static void unlink_all()
{
    for (Temporary &temporary : temporaries) {
        if (temporary.exists)
            unlink(temporary.path);
        temporary.exists = 0;
    }
}

// Removes the files and lets the signal take its default course, so that
// the caller sees the program ended by it (a shell's 128 + N, Python's -N)
// and a fault still leaves its core dump or the sanitizer's report.
static void end_by_signal(int signal_number)
{
    unlink_all();
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    sigset_t pending;
    sigemptyset(&pending);
    sigaddset(&pending, signal_number);
    sigprocmask(SIG_UNBLOCK, &pending, nullptr);
}

static void end_input(int)
{
    interrupted = 1;
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
    handle(SIGINT, input_is_stdin ? end_input : end_by_signal, !input_is_stdin);
    // The signals whose default ends the program; SIGPIPE among them, for
    // a reader of a stream output that goes away.
    for (int ending : {SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ})
        handle(ending, end_by_signal, true);
    for (int fault : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        handle(fault, end_by_signal, true);
    // exit() from anywhere, the host's libraries included.
    atexit(remove_temporaries);
}

bool input_interrupted()
{
    return interrupted != 0;
}

int create_temporary(const char *out)
{
    Temporary *free_one = nullptr;
    for (Temporary &temporary : temporaries) {
        if (!temporary.exists && !temporary.out) {
            free_one = &temporary;
            break;
        }
    }
    if (!free_one) {
        errno = EMFILE;
        return -1;
    }
    const char *slash = std::strrchr(out, '/');
    const int folder_length = slash ? static_cast<int>(slash - out) + 1 : 0;
    const int length = snprintf(free_one->path, sizeof free_one->path, "%.*s.%s.XXXXXX", folder_length, out,
                                slash ? slash + 1 : out);
    if (length < 0 || static_cast<size_t>(length) >= sizeof free_one->path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    free_one->out = out;
    free_one->exists = 1;
    const int fd = mkstemp(free_one->path);
    if (fd < 0) {
        const int saved = errno;
        free_one->exists = 0;
        errno = saved;
    }
    return fd;
}

const char *temporary_path(const char *out)
{
    for (const Temporary &temporary : temporaries) {
        if (temporary.exists && temporary.out == out)
            return temporary.path;
    }
    return nullptr;
}

bool keep_temporary(const char *out)
{
    for (Temporary &temporary : temporaries) {
        if (!temporary.exists || temporary.out != out)
            continue;
        const mode_t mask = umask(0);
        umask(mask);
        if (chmod(temporary.path, 0666 & ~mask) != 0 || rename(temporary.path, out) != 0) {
            const int saved = errno;
            unlink(temporary.path);
            temporary.exists = 0;
            errno = saved;
            return false;
        }
        temporary.exists = 0;
        return true;
    }
    errno = ENOENT;
    return false;
}

void remove_temporaries()
{
    unlink_all();
}
