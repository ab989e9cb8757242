// SPDX-License-Identifier: GPL-2.0-or-later
//
// One row of a table being put together. The tables write a row or two
// for every frame of captures of millions of them: printf's formatting, or
// even a digit at a time, would cost more than reading the capture.

#ifndef OVINT_LATENCY_ROW_H
#define OVINT_LATENCY_ROW_H

#include <cstddef>
#include <cstdint>

class Row {
public:
    static constexpr size_t CAPACITY = 256;

    // Puts the row together in `line`, which has room for CAPACITY
    // characters: a table's own output buffer.
    explicit Row(char *line) : line_(line) {}

    // What does not fit is left out: a row of the tables is at most 160
    // characters, so only an overlong text could be cut.
    Row &text(const char *value);
    Row &text(const char *value, size_t length);
    // The first `length` (at most 8) of 8 readable characters.
    Row &text8(const char *value, size_t length);
    Row &number(uint64_t value);  // decimal
    Row &hex64(uint64_t value);   // 16 lowercase hexadecimal digits
    Row &comma() { return character(','); }
    Row &character(char value)
    {
        if (used_ < CAPACITY)
            line_[used_++] = value;
        return *this;
    }

    const char *data() const { return line_; }
    size_t size() const { return used_; }

private:
    char *line_;
    size_t used_ = 0;
};

#endif // OVINT_LATENCY_ROW_H
