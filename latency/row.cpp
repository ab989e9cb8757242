// SPDX-License-Identifier: GPL-2.0-or-later

#include "row.h"

#include <cstring>

namespace {

// "00" to "99": two digits a division.
constexpr struct DigitPairs {
    char text[200];
    constexpr DigitPairs() : text()
    {
        for (int i = 0; i < 100; i++) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
} DIGIT_PAIRS;

// "00" to "ff": a byte's two hexadecimal digits.
constexpr struct HexPairs {
    char text[512];
    constexpr HexPairs() : text()
    {
        const char digits[] = "0123456789abcdef";
        for (int i = 0; i < 256; i++) {
            text[2 * i] = digits[i >> 4];
            text[2 * i + 1] = digits[i & 0xF];
        }
    }
} HEX_PAIRS;

// The least number of each count of digits (0 too has one).
constexpr uint64_t LEAST_OF_DIGITS[20] = {
    0u, 10u, 100u, 1000u, 10000u, 100000u, 1000000u, 10000000u, 100000000u, 1000000000u, 10000000000u,
    100000000000u, 1000000000000u, 10000000000000u, 100000000000000u, 1000000000000000u, 10000000000000000u,
    100000000000000000u, 1000000000000000000u, 10000000000000000000u,
};

// From the count of significant bits (1233/4096 is just over log10 2),
// corrected by one comparison.
int decimal_digits(uint64_t value)
{
    const int bits = 64 - __builtin_clzll(value | 1);
    const int guess = (bits * 1233) >> 12;
    return guess + (value >= LEAST_OF_DIGITS[guess] ? 1 : 0);
}

} // namespace

Row &Row::text(const char *value)
{
    return text(value, std::strlen(value));
}

Row &Row::text(const char *value, size_t length)
{
    if (length > CAPACITY - used_)
        length = CAPACITY - used_;
    std::memcpy(line_ + used_, value, length);
    used_ += length;
    return *this;
}

namespace {

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

// The eight hexadecimal digits of `value`: each nibble spread to a byte of its own,
// then made a digit, all eight at once.
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

} // namespace

Row &Row::number(uint64_t value)
{
    const int digits = decimal_digits(value);
    if (static_cast<size_t>(digits) > CAPACITY - used_)
        return *this;
    char *at = line_ + used_ + digits;
    used_ += digits;
    while (value >= 100000000) {
        at -= 8;
        eight_digits(at, static_cast<uint32_t>(value % 100000000));
        value /= 100000000;
    }
    uint32_t rest = static_cast<uint32_t>(value);
    while (rest >= 100) {
        at -= 2;
        digit_pair(at, rest % 100);
        rest /= 100;
    }
    if (rest >= 10)
        digit_pair(at - 2, rest);
    else
        at[-1] = static_cast<char>('0' + rest);
    return *this;
}

Row &Row::hex64(uint64_t value)
{
    if (16 > CAPACITY - used_)
        return *this;
    const uint64_t high = eight_hex_digits(static_cast<uint32_t>(value >> 32));
    const uint64_t low = eight_hex_digits(static_cast<uint32_t>(value));
    std::memcpy(line_ + used_, &high, 8);
    std::memcpy(line_ + used_ + 8, &low, 8);
    used_ += 16;
    return *this;
}

Row &Row::text8(const char *value, size_t length)
{
    if (8 > CAPACITY - used_)
        return text(value, length);
    std::memcpy(line_ + used_, value, 8);
    used_ += length;
    return *this;
}
