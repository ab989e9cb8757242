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

    // What does not fit is left out (a number needs 24 characters of room,
    // as it writes whole words): a row of the tables is at most 160
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

// The eight decimal digits of `value` (below 10^8), leading zeros
// included, as the bytes of a word whose lowest byte is the first digit:
// both halves of four digits at once, then their hundreds, then their tens,
// each in lanes of one word (checked for every value below 10^8).
inline uint64_t eight_digits(uint32_t value)
{
    const uint64_t merged = value / 10000 | uint64_t(value % 10000) << 32;
    const uint64_t hundreds = ((merged * 10486) >> 20) & (uint64_t(0x7F) << 32 | 0x7F);
    const uint64_t pairs = (merged - 100 * hundreds) << 16 | hundreds;
    uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Fu;
    tens += (pairs - 10 * tens) << 8;
    return tens + 0x3030303030303030u;
}

// Writes the word's bytes, the lowest first, as 8 characters.
inline void put_word(char *at, uint64_t word)
{
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    std::memcpy(at, &word, 8);
}

// The eight hexadecimal digits of `value`, the same way: each nibble
// spread to a byte of its own, then made a digit, all eight at once.
inline uint64_t eight_hex_digits(uint32_t value)
{
    uint64_t spread = value;
    spread = ((spread & 0xFFFF0000u) << 16) | (spread & 0xFFFFu);
    spread = ((spread & 0x0000FF000000FF00u) << 8) | (spread & 0x000000FF000000FFu);
    spread = ((spread & 0x00F000F000F000F0u) << 4) | (spread & 0x000F000F000F000Fu);
    // 1 in each byte whose nibble is 10 or more.
    const uint64_t letters = ((spread + 0x0606060606060606u) >> 4) & 0x0101010101010101u;
    // The most significant nibble is in the highest byte: to the lowest.
    return __builtin_bswap64(spread + 0x3030303030303030u + letters * ('a' - '0' - 10));
}

} // namespace row_digits

inline __attribute__((always_inline)) Row &Row::number(uint64_t value)
{
    if (24 > CAPACITY - used_)
        return *this;
    // Up to three parts of 8 digits, the first without its leading zeros.
    uint32_t parts[3];
    int count = 0;
    while (value >= 100000000) {
        parts[count++] = static_cast<uint32_t>(value % 100000000);
        value /= 100000000;
    }
    const int digits = row_digits::decimal_digits(value);
    row_digits::put_word(line_ + used_, row_digits::eight_digits(static_cast<uint32_t>(value)) >> (8 * (8 - digits)));
    used_ += digits;
    while (count) {
        row_digits::put_word(line_ + used_, row_digits::eight_digits(parts[--count]));
        used_ += 8;
    }
    return *this;
}

inline Row &Row::hex64(uint64_t value)
{
    if (16 > CAPACITY - used_)
        return *this;
    row_digits::put_word(line_ + used_, row_digits::eight_hex_digits(static_cast<uint32_t>(value >> 32)));
    row_digits::put_word(line_ + used_ + 8, row_digits::eight_hex_digits(static_cast<uint32_t>(value)));
    used_ += 16;
    return *this;
}

inline Row &Row::text(const char *value)
{
    return text(value, std::strlen(value));
}

inline Row &Row::text(const char *value, size_t length)
{
    if (length > CAPACITY - used_)
        length = CAPACITY - used_;
    std::memcpy(line_ + used_, value, length);
    used_ += length;
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
