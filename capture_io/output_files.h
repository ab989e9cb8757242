// SPDX-License-Identifier: GPL-2.0-or-later
//
// The outputs' life, one set of rules for every output of every program
// (a capture, a table, a picture):
// - an output that is one of the inputs under any name (a symbolic or a
//   hard link) is refused before anything is read, and so are two outputs
//   that are one file;
// - an existing file is replaced only when the user allows it (--force);
// - a file is written to a hidden temporary file beside it and renamed
//   into place only when complete, so that no file is ever half-written
//   under its name; a symbolic link is written through: the file it leads
//   to gets the content, the link stays;
// - a FIFO, a character device or "-" is a stream, written in place.
// Temporary files are removed on every other way out short of SIGKILL: an
// error, an abort, a signal, which then ends the program as it would have
// without us.

#ifndef OVINT_CAPTURE_IO_OUTPUT_FILES_H
#define OVINT_CAPTURE_IO_OUTPUT_FILES_H

#include <signal.h>

#include <string>
#include <vector>

struct OutputFile {
    enum Kind {
        file,             // a regular file, new or replaced
        stream,           // a FIFO or a character device, written in place
        standard_output,  // "-", or another name of what standard output is
    };
    const char *name = nullptr;  // as given
    // Set by check_outputs.
    Kind kind = file;
    bool replaces = false;  // an existing file, replaced when kept
    std::string path;       // a file's own name: where its symbolic links end
    // Set by open_output or open_scratch.
    int temporary = -1;
};

enum class OutputCheck {
    fine,
    usage,     // an output that is an input, two outputs that are one: a wrong command line
    exists,    // an existing file, and no `force`
    unusable,  // a folder, a socket, a loop of links, a name that cannot be looked at
};

// Applies the rules to `outputs` against `inputs` ("-": standard input)
// before any file is opened, and sets each output's kind and path. Any
// answer but fine comes with `sentence`, which names the file.
OutputCheck check_outputs(const std::vector<const char *> &inputs, const std::vector<OutputFile *> &outputs,
                          bool force, std::string &sentence);

// Opens a checked output for writing: a file's new temporary file (at most
// four at once), a stream itself. Returns its descriptor, or -1 with errno
// set.
int open_output(OutputFile &output);

// For a program that writes a stream's content by name (gnuplot): a
// temporary file of the stream's own in $TMPDIR, removed like the others.
// False with errno set.
bool open_scratch(OutputFile &output);

// The temporary file's path, for a program that writes it by name; null
// when the output has none.
const char *temporary_path(const OutputFile &output);

// Puts a file in place: renames its temporary file onto it, with the
// permissions a new file gets. For a stream with a scratch file, copies
// that into `stream_fd` (which the caller closes). False with errno set;
// the temporary file is removed either way.
bool keep_output(OutputFile &output, int stream_fd = -1);

// Installs the handlers of SIGINT, SIGTERM, SIGHUP and SIGPIPE (each one
// the caller has not ignored) and of the fatal signals. With
// `input_is_stdin`, SIGINT only ends the input, as it ends a live capture
// feeding it; with `following` (a capture followed as it is written),
// SIGINT and SIGTERM both do, and SIGHUP asks for a log to be reopened.
void install_signal_handlers(bool input_is_stdin, bool following = false);

// Whether SIGHUP asked for a log to be reopened since the last call.
bool reopen_requested();

// Writes all of `size` bytes to `fd`, a write interrupted by a signal
// taken up again; false when a write failed.
bool write_all(int fd, const char *data, size_t size);

// Whether SIGINT asked to end the input.
bool input_interrupted();

// For threads started while it lives: every signal but the faults is
// blocked in them, so that signals stay with the main thread, where the
// handlers expect them (SIGINT ends its read of standard input), and a
// fault stays with the thread that causes it.
class ThreadSignals {
public:
    ThreadSignals();
    ~ThreadSignals();
    ThreadSignals(const ThreadSignals &) = delete;
    ThreadSignals &operator=(const ThreadSignals &) = delete;

private:
    sigset_t old_;
};

// While it lives, the signals that end the program wait: outputs put in
// place meanwhile are all put in place before a signal takes effect, so
// that a signal leaves them all new or all as they were, never some of
// each. (Faults are not held.)
class HeldSignals {
public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals &) = delete;
    HeldSignals &operator=(const HeldSignals &) = delete;

private:
    sigset_t old_;
};

// Removes every temporary file there still is.
void remove_temporaries();

#endif // OVINT_CAPTURE_IO_OUTPUT_FILES_H
