// SPDX-License-Identifier: GPL-2.0-or-later
//
// The output file's life: written to a hidden temporary file beside OUT and
// renamed into place only when kept, so that OUT is never half-written. The
// temporary file is removed on every other way out short of SIGKILL: an
// error, a signal that ends the program, an abort.

#ifndef OVINT_EXPORT_OUTPUT_FILE_H
#define OVINT_EXPORT_OUTPUT_FILE_H

// Installs the handlers of SIGINT, SIGTERM and SIGHUP (each one the caller
// has not ignored) and of the fatal signals. With `input_is_stdin`, SIGINT
// only ends the input, as it ends a live capture feeding it.
void install_signal_handlers(bool input_is_stdin);

// Whether SIGINT asked to end the input.
bool input_interrupted();

// Makes the temporary file for `out`; returns its descriptor, or -1 with
// errno set.
int create_temporary(const char *out);

// Renames the temporary file to `out`, with the permissions a new file
// gets; false with errno set when that fails (the temporary file is then
// removed).
bool keep_temporary(const char *out);

// Removes the temporary file, if there is one.
void remove_temporary();

#endif // OVINT_EXPORT_OUTPUT_FILE_H
