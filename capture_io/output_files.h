// SPDX-License-Identifier: GPL-2.0-or-later
//
// The output files' life, for the programs that write captures or tables:
// each is written to a hidden temporary file beside its name and renamed
// into place only when kept, so that no output is ever half-written. The
// temporary files are removed on every other way out short of SIGKILL: an
// error, an abort, a signal, which then ends the program as it would have
// without us.

#ifndef OVINT_CAPTURE_IO_OUTPUT_FILES_H
#define OVINT_CAPTURE_IO_OUTPUT_FILES_H

// Installs the handlers of SIGINT, SIGTERM, SIGHUP and SIGPIPE (each one
// the caller has not ignored) and of the fatal signals. With `input_is_stdin`, SIGINT
// only ends the input, as it ends a live capture feeding it.
void install_signal_handlers(bool input_is_stdin);

// Whether SIGINT asked to end the input.
bool input_interrupted();

// Makes the temporary file for `out` (at most four at once); returns its
// descriptor, or -1 with errno set.
int create_temporary(const char *out);

// The temporary file's path, for a program that writes it by name; null
// when `out` has none.
const char *temporary_path(const char *out);

// Renames the temporary file of `out` to `out`, with the permissions a new
// file gets; false with errno set when that fails (the temporary file is
// then removed).
bool keep_temporary(const char *out);

// Removes every temporary file there still is.
void remove_temporaries();

#endif // OVINT_CAPTURE_IO_OUTPUT_FILES_H
