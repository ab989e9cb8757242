// SPDX-License-Identifier: GPL-2.0-or-later
//
// One row of a table being put together. The tables write a row or two
// for every frame of captures of millions of them: printf's formatting, or
// even a digit at a time, would cost more than reading the capture.

#ifndef OVINT_LATENCY_ROW_H
#define OVINT_LATENCY_ROW_H

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Inline: a row's fields are written one after the other, and the
// compiler can keep the row's end in a register throughout.
namespace row_digits {

// "00" to "99": two digits a division.
inline constexpr struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text()
    {
        for (int i = 0; i < 100; i++) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
} DIGIT_PAIRS;

// The least number of each count of digits (0 too has one).
inline constexpr uint64_t LEAST_OF_DIGITS[20] = {
    0u, 10u, 100u, 1000u, 10000u, 100000u, 1000000u, 10000000u, 100000000u, 1000000000u, 10000000000u,
    100000000000u, 1000000000000u, 10000000000000u, 100000000000000u, 1000000000000000u, 10000000000000000u,
    100000000000000000u, 1000000000000000000u, 10000000000000000000u,
};

// From the count of significant bits (1233/4096 is just over log10 2),
// corrected by one comparison.
inline int decimal_digits(uint64_t value)
{
    const int bits = 64 - __builtin_clzll(value | 1);
    const int guess = (bits * 1233) >> 12;
    return guess + (value >= LEAST_OF_DIGITS[guess] ? 1 : 0);
}

inline void digit_pair(char *at, uint32_t value)
{
    std::memcpy(at, DIGIT_PAIRS.text + 2 * value, 2);
}

// The eight digits of `value` (below 10^8), leading zeros included, in
// 32-bit arithmetic.
inline void eight_digits(char *at, uint32_t value)
{
    const uint32_t high = value / 10000, low = value % 10000;
    digit_pair(at, high / 100);
    digit_pair(at + 2, high % 100);
    digit_pair(at + 4, low / 100);
    digit_pair(at + 6, low % 100);
}

// The eight hexadecimal digits of `value`: each nibble spread to a byte
// of its own, then made a digit, all eight at once.
inline uint64_t eight_hex_digits(uint32_t value)
{
    uint64_t spread = value;
    spread = ((spread & 0xFFFF0000u) << 16) | (spread & 0xFFFFu);
    spread = ((spread & 0x0000FF000000FF00u) << 8) | (spread & 0x000000FF000000FFu);
    spread = ((spread & 0x00F000F000F000F0u) << 4) | (spread & 0x000F000F000F000Fu);
    // 1 in each byte whose nibble is 10 or more.
    const uint64_t letters = ((spread + 0x0606060606060606u) >> 4) & 0x0101010101010101u;
    const uint64_t digits = spread + 0x3030303030303030u + letters * ('a' - '0' - 10);
    // The most significant nibble is in the highest byte: first in the text.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap64(digits);
#else
    return digits;
#endif
}

} // namespace row_digits

inline Row &Row::number(uint64_t value)
{
    const int digits = row_digits::decimal_digits(value);
    if (static_cast<size_t>(digits) > CAPACITY - used_)
        return *this;
    char *at = line_ + used_ + digits;
    used_ += digits;
    while (value >= 100000000) {
        at -= 8;
        row_digits::eight_digits(at, static_cast<uint32_t>(value % 100000000));
        value /= 100000000;
    }
    uint32_t rest = static_cast<uint32_t>(value);
    while (rest >= 100) {
        at -= 2;
        row_digits::digit_pair(at, rest % 100);
        rest /= 100;
    }
    if (rest >= 10)
        row_digits::digit_pair(at - 2, rest);
    else
        at[-1] = static_cast<char>('0' + rest);
    return *this;
}

inline Row &Row::hex64(uint64_t value)
{
    if (16 > CAPACITY - used_)
        return *this;
    const uint64_t high = row_digits::eight_hex_digits(static_cast<uint32_t>(value >> 32));
    const uint64_t low = row_digits::eight_hex_digits(static_cast<uint32_t>(value));
    std::memcpy(line_ + used_, &high, 8);
    std::memcpy(line_ + used_ + 8, &low, 8);
    used_ += 16;
    return *this;
}

inline Row &Row::text8(const char *value, size_t length)
{
    if (8 > CAPACITY - used_)
        return text(value, length);
    std::memcpy(line_ + used_, value, 8);
    used_ += length;
    return *this;
}

#endif // OVINT_LATENCY_ROW_H
