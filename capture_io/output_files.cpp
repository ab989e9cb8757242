// SPDX-License-Identifier: GPL-2.0-or-later

#include "output_files.h"

#include "program_shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// A temporary file's name is written before the file exists (mkstemp fills
// it in place), so a signal at any moment finds what there is to remove.
struct Temporary {
    char path[PATH_MAX];
    volatile sig_atomic_t exists;
    bool taken;  // by an output, until kept or removed
};
Temporary temporaries[4];
// The signals that end the program, SIGINT first (it may only end the
// input instead).
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ};
volatile sig_atomic_t interrupted = 0;
volatile sig_atomic_t reopen = 0;

void unlink_all()
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
void end_by_signal(int signal_number)
{
    unlink_all();
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    sigset_t pending;
    sigemptyset(&pending);
    sigaddset(&pending, signal_number);
    sigprocmask(SIG_UNBLOCK, &pending, nullptr);
}

void end_input(int)
{
    interrupted = 1;
}

void ask_reopen(int)
{
    reopen = 1;
}

void handle(int signal_number, void (*handler)(int), bool restart)
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

// Makes a temporary file from `pattern` (ending in XXXXXX) for `output`.
int make_temporary(const std::string &pattern, OutputFile &output)
{
    Temporary *free_one = nullptr;
    for (Temporary &temporary : temporaries) {
        if (!temporary.taken) {
            free_one = &temporary;
            break;
        }
    }
    if (!free_one) {
        errno = EMFILE;
        return -1;
    }
    if (pattern.size() >= sizeof free_one->path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(free_one->path, pattern.c_str(), pattern.size() + 1);
    free_one->taken = true;
    free_one->exists = 1;
    const int fd = mkostemp(free_one->path, O_CLOEXEC);
    if (fd < 0) {
        const int saved = errno;
        free_one->exists = 0;
        free_one->taken = false;
        errno = saved;
        return -1;
    }
    output.temporary = static_cast<int>(free_one - temporaries);
    return fd;
}

void remove_temporary(OutputFile &output)
{
    Temporary &temporary = temporaries[output.temporary];
    if (temporary.exists)
        unlink(temporary.path);
    temporary.exists = 0;
    temporary.taken = false;
    output.temporary = -1;
}

bool copy_file(const char *path, int to)
{
    const int from = open(path, O_RDONLY | O_CLOEXEC);
    if (from < 0)
        return false;
    char buffer[65536];
    ssize_t count;
    bool copied = true;
    while (copied && (count = read(from, buffer, sizeof buffer)) != 0) {
        if (count < 0)
            copied = errno == EINTR;
        else
            copied = write_all(to, buffer, static_cast<size_t>(count));
    }
    const int saved = errno;
    close(from);
    errno = saved;
    return copied;
}

// Where a name that is no file yet leads: through a chain of symbolic
// links that ends nowhere (a dangling link makes its target), or the name
// itself. False with errno set.
bool follow_dangling_links(const char *name, std::string &path)
{
    path = name;
    for (int links = 0;; links++) {
        struct stat status;
        if (lstat(path.c_str(), &status) != 0)
            return errno == ENOENT;
        if (!S_ISLNK(status.st_mode) || links == 40) {
            // A file made since the name was looked at, or a loop.
            errno = S_ISLNK(status.st_mode) ? ELOOP : EEXIST;
            return false;
        }
        char target[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        if (length < 0)
            return false;
        target[length] = '\0';
        const size_t slash = path.rfind('/');
        if (target[0] == '/' || slash == std::string::npos)
            path = target;
        else
            path = path.substr(0, slash + 1) + target;
    }
}

// What a name is on the disk, to tell two names of one file: its device
// and inode; for a file not made yet, its folder's and its entry there.
struct Place {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string entry;

    static Place of(const struct stat &status) { return {true, status.st_dev, status.st_ino, ""}; }
    bool operator==(const Place &other) const
    {
        return known && other.known && device == other.device && inode == other.inode && entry == other.entry;
    }
};

Place place_to_be(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat status;
    if (stat(folder.c_str(), &status) != 0)
        return {};  // it cannot be made: opening it says why
    Place place = Place::of(status);
    place.entry = slash == std::string::npos ? path : path.substr(slash + 1);
    return place;
}

std::string shown(const char *name, const char *stream_name)
{
    return is_standard_stream(name) ? stream_name : name;
}

} // namespace

bool write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t count = write(fd, data, size);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        data += count;
        size -= static_cast<size_t>(count);
    }
    return true;
}

OutputCheck check_outputs(const std::vector<const char *> &inputs, const std::vector<OutputFile *> &outputs,
                          bool force, std::string &sentence)
{
    struct stat standard, null_device, status;
    const bool standard_known = fstat(STDOUT_FILENO, &standard) == 0;
    const bool null_known = stat("/dev/null", &null_device) == 0 && S_ISCHR(null_device.st_mode);
    // Any number of outputs and inputs may be the null device.
    auto is_null = [&](const struct stat &s) {
        return null_known && S_ISCHR(s.st_mode) && s.st_rdev == null_device.st_rdev;
    };

    std::vector<Place> places;
    for (OutputFile *output : outputs) {
        Place place;
        output->replaces = false;
        if (is_standard_stream(output->name)) {
            output->kind = OutputFile::standard_output;
            output->path = output->name;
            if (standard_known && !is_null(standard))
                place = Place::of(standard);
        } else if (stat(output->name, &status) == 0) {
            if (S_ISDIR(status.st_mode)) {
                sentence = std::string(output->name) + ": " + std::strerror(EISDIR) + ".";
                return OutputCheck::unusable;
            }
            if (!S_ISREG(status.st_mode) && !S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)) {
                sentence = std::string(output->name) + ": a socket or a block device, which no output can be.";
                return OutputCheck::unusable;
            }
            output->path = output->name;
            if (!is_null(status))
                place = Place::of(status);
            if (standard_known && place == Place::of(standard)) {
                // /dev/stdout, or the very file standard output goes to:
                // written through standard output, where the shell put it.
                output->kind = OutputFile::standard_output;
            } else if (S_ISREG(status.st_mode)) {
                // The file itself, past every link, for the temporary file
                // to be made beside it and renamed onto it.
                char real[PATH_MAX];
                struct stat real_status;
                if (!realpath(output->name, real) || stat(real, &real_status) != 0 ||
                    !(Place::of(real_status) == place)) {
                    sentence = std::string(output->name) + ": cannot find the file it leads to.";
                    return OutputCheck::unusable;
                }
                output->kind = OutputFile::file;
                output->path = real;
                output->replaces = true;
            } else {
                output->kind = OutputFile::stream;
            }
        } else if (errno == ENOENT) {
            if (!follow_dangling_links(output->name, output->path)) {
                sentence = std::string(output->name) + ": " + std::strerror(errno) + ".";
                return OutputCheck::unusable;
            }
            output->kind = OutputFile::file;
            place = place_to_be(output->path);
        } else {
            sentence = std::string(output->name) + ": " + std::strerror(errno) + ".";
            return OutputCheck::unusable;
        }
        places.push_back(place);
    }

    // An input is harmed only where it keeps what it holds: a device's
    // input (a terminal) is no file to protect.
    for (const char *input : inputs) {
        const bool known = is_standard_stream(input) ? fstat(STDIN_FILENO, &status) == 0 : stat(input, &status) == 0;
        if (!known || S_ISCHR(status.st_mode))
            continue;
        for (size_t i = 0; i < outputs.size(); i++) {
            if (places[i] == Place::of(status)) {
                const char *name = outputs[i]->name;
                sentence = shown(name, "standard output") + ": the output would overwrite the input" +
                           (std::strcmp(name, input) == 0 && !is_standard_stream(name) ? "" : " " + shown(input, "standard input")) +
                           ".";
                return OutputCheck::usage;
            }
        }
        // Standard output, where the report goes, sent into an input
        // (`>> capture`).
        if (standard_known && S_ISREG(standard.st_mode) && Place::of(standard) == Place::of(status)) {
            sentence = "standard output: the output would overwrite the input " + shown(input, "standard input") + ".";
            return OutputCheck::usage;
        }
    }
    for (size_t i = 0; i < outputs.size(); i++) {
        for (size_t j = i + 1; j < outputs.size(); j++) {
            const char *first = outputs[i]->name, *second = outputs[j]->name;
            if (outputs[i]->kind == OutputFile::standard_output && outputs[j]->kind == OutputFile::standard_output) {
                sentence = shown(first, "\"-\"") + " and " + shown(second, "\"-\"") +
                           " are both standard output; give one of them a file.";
                return OutputCheck::usage;
            }
            if (places[i] == places[j]) {
                sentence = std::string(first) + " and " + second + " are one file; give each output its own.";
                return OutputCheck::usage;
            }
        }
    }
    for (const OutputFile *output : outputs) {
        if (output->replaces && !force) {
            sentence = std::string(output->name) + ": the file exists; give --force to overwrite it.";
            return OutputCheck::exists;
        }
    }
    return OutputCheck::fine;
}

int open_output(OutputFile &output)
{
    if (output.kind == OutputFile::standard_output)
        return fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (output.kind == OutputFile::stream) {
        // No O_CREAT or O_TRUNC: should the name have become a file since
        // it was checked, it is neither made nor emptied.
        const int fd = open(output.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        struct stat status;
        if (fd >= 0 && (fstat(fd, &status) != 0 || !(S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode)))) {
            close(fd);
            errno = EEXIST;
            return -1;
        }
        return fd;
    }
    const size_t slash = output.path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : output.path.substr(0, slash + 1);
    const std::string entry = slash == std::string::npos ? output.path : output.path.substr(slash + 1);
    // A name near the longest a folder takes leaves no room for the
    // temporary's dot and suffix: its start serves.
    constexpr size_t LONGEST_ENTRY = 255 - 8;
    return make_temporary(folder + "." + entry.substr(0, LONGEST_ENTRY) + ".XXXXXX", output);
}

bool open_scratch(OutputFile &output)
{
    const char *folder = std::getenv("TMPDIR");
    const int fd = make_temporary(std::string(folder && *folder ? folder : "/tmp") + "/ovint-XXXXXX", output);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

const char *temporary_path(const OutputFile &output)
{
    return output.temporary >= 0 ? temporaries[output.temporary].path : nullptr;
}

bool keep_output(OutputFile &output, int stream_fd)
{
    if (output.temporary < 0)
        return true;
    const char *path = temporaries[output.temporary].path;
    bool kept;
    if (output.kind == OutputFile::file) {
        // A file replaced keeps who may read it (a private capture stays
        // private) and, where this user may give them, its owner and group;
        // a new one is made as any other. Set through the temporary itself,
        // never through a link another user may have put in its place.
        const mode_t mask = umask(0);
        umask(mask);
        mode_t mode = 0666 & ~mask;
        struct stat replaced, temporary;
        const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        kept = fd >= 0 && fstat(fd, &temporary) == 0 && S_ISREG(temporary.st_mode) && temporary.st_nlink == 1;
        if (kept && output.replaces && stat(output.path.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode)) {
            mode = replaced.st_mode & 0777;
            if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0 && fchown(fd, uid_t(-1), replaced.st_gid) != 0) {
                // Neither is this user's to give: the file is this user's, as any new one.
            }
        }
        kept = kept && fchmod(fd, mode) == 0 && rename(path, output.path.c_str()) == 0;
        if (fd >= 0)
            close(fd);
        if (kept)
            temporaries[output.temporary].exists = 0;
    } else {
        kept = copy_file(path, stream_fd);
    }
    const int saved = errno;
    remove_temporary(output);
    errno = saved;
    return kept;
}

void install_signal_handlers(bool input_is_stdin, bool following)
{
    handle(SIGINT, input_is_stdin || following ? end_input : end_by_signal, !input_is_stdin && !following);
    if (following) {
        handle(SIGTERM, end_input, false);
        handle(SIGHUP, ask_reopen, true);
    }
    // The signals whose default ends the program; SIGPIPE among them, for
    // a reader of a stream output that goes away.
    for (int ending : ENDING_SIGNALS) {
        if (ending != SIGINT && !(following && (ending == SIGTERM || ending == SIGHUP)))
            handle(ending, end_by_signal, true);
    }
    for (int fault : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        handle(fault, end_by_signal, true);
    // exit() from anywhere, the host's libraries included.
    atexit(remove_temporaries);
}

bool input_interrupted()
{
    return interrupted != 0;
}

bool reopen_requested()
{
    if (!reopen)
        return false;
    reopen = 0;
    return true;
}

void remove_temporaries()
{
    unlink_all();
}

HeldSignals::HeldSignals()
{
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal_number : ENDING_SIGNALS)
        sigaddset(&ending, signal_number);
    pthread_sigmask(SIG_BLOCK, &ending, &old_);
}

HeldSignals::~HeldSignals()
{
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

ThreadSignals::ThreadSignals()
{
    sigset_t others;
    sigfillset(&others);
    for (int fault : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        sigdelset(&others, fault);
    pthread_sigmask(SIG_BLOCK, &others, &old_);
}

ThreadSignals::~ThreadSignals()
{
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}
