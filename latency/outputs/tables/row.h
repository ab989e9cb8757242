// SPDX-License-Identifier: GPL-2.0-or-later
//
// One row of a table being put together. The tables write a row or two
// for every frame of captures of millions of them: printf's formatting, or
// even a digit at a time, would cost more than reading the capture.

#ifndef OVINT_LATENCY_OUTPUTS_TABLES_ROW_H
#define OVINT_LATENCY_OUTPUTS_TABLES_ROW_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// A field already written, to be copied into another row.
struct RowField {
    const char *text;
    size_t length;
};

// A number below 10^8 as number() writes it, ready to be put in several
// rows: the digits as a word's bytes, the first lowest, and how many.
struct Digits {
    uint64_t word;
    size_t length;
};

class Row {
public:
    // A table starts each row with room for this many characters, and a
    // row's fields write without checks: where a row is put together, its
    // fields' rooms (NUMBER_ROOM for a number, and so on) are counted
    // against it at compile time.
    static constexpr size_t CAPACITY = 384;
    static constexpr size_t NUMBER_ROOM = 24;  // 20 digits, written in words of 8
    static constexpr size_t HEX64_ROOM = 16;
    static constexpr size_t HEX128_ROOM = 32;

    explicit Row(char *line) : start_(line), end_(line) {}

    Row &number(uint64_t value);  // decimal
    Row &hex64(uint64_t value);   // 16 lowercase hexadecimal digits
    Row &hex128(uint64_t high, uint64_t low);  // 32, the high half first
    Row &character(char value)
    {
        *end_++ = value;
        return *this;
    }
    Row &comma() { return character(','); }

    // Up to 8 characters, a word's bytes, the first lowest.
    inline Row &characters(uint64_t word, size_t length);
    // Up to 8 digits, as digits_of() made them.
    Row &digits(Digits value) { return characters(value.word, value.length); }
    // Text of at most ROOM bytes with at least ROOM readable from `text`;
    // up to SHORT of them, the common case, copied as SHORT.
    template <size_t SHORT, size_t ROOM>
    Row &text(const char *text, size_t length)
    {
        if (__builtin_expect(length <= SHORT, 1))
            std::memcpy(end_, text, SHORT);
        else
            std::memcpy(end_, text, ROOM);
        end_ += length;
        return *this;
    }

    // A number written as number() does, and where it went.
    inline RowField number_field(uint64_t value);
    // A number of more than 8 digits whose digits but the last 8 are
    // written already (as a number field), and where it went.
    inline RowField number_field(RowField leading_digits, uint32_t last_eight);
    // A field written before, with at least ROOM bytes readable from its
    // start (a number has NUMBER_ROOM, as it had while being written).
    template <size_t ROOM>
    Row &copy(RowField field)
    {
        std::memcpy(end_, field.text, ROOM);
        end_ += field.length;
        return *this;
    }

    size_t size() const { return static_cast<size_t>(end_ - start_); }
    char *end() const { return end_; }

private:
    char *start_;
    char *end_;
};

// Inline: a row's fields are written one after the other, and the
// compiler can keep the row's end in a register throughout.
namespace row_digits {

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

// The digits of `value` (below 10^8) without leading zeros; 0 is "0".
inline char *put_up_to_eight(char *at, uint32_t value)
{
    const uint64_t word = eight_digits(value);
    // Leading zeros are the lowest bytes that are '0': the first other
    // byte's lowest bit, counted in bytes (the last digit stays).
    const int zeros = value ? __builtin_ctzll(word ^ 0x3030303030303030u) / 8 : 7;
    put_word(at, word >> (8 * zeros));
    return at + 8 - zeros;
}

// The eight digits of each of four numbers below 10^8, as eight_digits()
// gives them, all at once where there is SSE2: each number's halves of
// four digits side by side, each half in four lanes of 16 bits, divided by
// 1000, 100, 10 and 1 (multiplied by reciprocals, checked for every half),
// less ten times the lane before.
inline void eight_digits_of_four(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint64_t words[4])
{
#if defined(__SSE2__) && defined(__x86_64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const __m128i values = _mm_setr_epi32(static_cast<int>(a), static_cast<int>(b), static_cast<int>(c),
                                          static_cast<int>(d));
    const __m128i by_10000 = _mm_set1_epi32(static_cast<int>(0xD1B71759u));  // >> 45
    const __m128i even = _mm_srli_epi64(_mm_mul_epu32(values, by_10000), 45);
    const __m128i odd = _mm_srli_epi64(_mm_mul_epu32(_mm_srli_epi64(values, 32), by_10000), 45);
    const __m128i high = _mm_or_si128(even, _mm_slli_epi64(odd, 32));
    const __m128i low = _mm_sub_epi32(values, _mm_madd_epi16(high, _mm_set1_epi32(10000)));
    const __m128i halves =
        _mm_slli_epi16(_mm_packs_epi32(_mm_unpacklo_epi32(high, low), _mm_unpackhi_epi32(high, low)), 2);
    const __m128i first_two = _mm_unpacklo_epi16(halves, halves);
    const __m128i last_two = _mm_unpackhi_epi16(halves, halves);
    const __m128i reciprocals = _mm_setr_epi16(8389, 5243, 13108, -32768, 8389, 5243, 13108, -32768);
    const __m128i shifts = _mm_setr_epi16(1 << 7, 1 << 11, 1 << 13, -32768, 1 << 7, 1 << 11, 1 << 13, -32768);
    const auto digits = [&](__m128i lanes) {
        const __m128i quotients = _mm_mulhi_epu16(_mm_mulhi_epu16(lanes, reciprocals), shifts);
        return _mm_sub_epi16(quotients, _mm_slli_epi64(_mm_mullo_epi16(quotients, _mm_set1_epi16(10)), 16));
    };
    const __m128i zeros = _mm_set1_epi8('0');
    const __m128i ab = _mm_add_epi8(_mm_packus_epi16(digits(_mm_unpacklo_epi32(first_two, first_two)),
                                                     digits(_mm_unpackhi_epi32(first_two, first_two))),
                                    zeros);
    const __m128i cd = _mm_add_epi8(_mm_packus_epi16(digits(_mm_unpacklo_epi32(last_two, last_two)),
                                                     digits(_mm_unpackhi_epi32(last_two, last_two))),
                                    zeros);
    words[0] = static_cast<uint64_t>(_mm_cvtsi128_si64(ab));
    words[1] = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(ab, ab)));
    words[2] = static_cast<uint64_t>(_mm_cvtsi128_si64(cd));
    words[3] = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(cd, cd)));
#else
    words[0] = eight_digits(a);
    words[1] = eight_digits(b);
    words[2] = eight_digits(c);
    words[3] = eight_digits(d);
#endif
}

} // namespace row_digits

// Eight digits as eight_digits() gives them, without their leading zeros.
inline Digits without_leading_zeros(uint64_t word)
{
    // Leading zeros are the lowest bytes that are '0'; the last digit
    // stays, even a zero.
    const unsigned zeros = static_cast<unsigned>(__builtin_ctzll((word ^ 0x3030303030303030u) | uint64_t(1) << 56)) / 8;
    return {word >> (8 * zeros), 8 - zeros};
}

inline Digits digits_of(uint32_t value)
{
    return without_leading_zeros(row_digits::eight_digits(value));
}

inline Row &Row::characters(uint64_t word, size_t length)
{
    row_digits::put_word(end_, word);
    end_ += length;
    return *this;
}

inline __attribute__((always_inline)) Row &Row::number(uint64_t value)
{
    if (value < 100000000) {
        end_ = row_digits::put_up_to_eight(end_, static_cast<uint32_t>(value));
        return *this;
    }
    // Up to 20 digits: the first part without its leading zeros, then
    // parts of 8.
    uint64_t high = value / 100000000;
    const uint32_t low = static_cast<uint32_t>(value - high * 100000000);
    if (high < 100000000) {
        end_ = row_digits::put_up_to_eight(end_, static_cast<uint32_t>(high));
    } else {
        const uint64_t highest = high / 100000000;
        end_ = row_digits::put_up_to_eight(end_, static_cast<uint32_t>(highest));
        high -= highest * 100000000;
        row_digits::put_word(end_, row_digits::eight_digits(static_cast<uint32_t>(high)));
        end_ += 8;
    }
    row_digits::put_word(end_, row_digits::eight_digits(low));
    end_ += 8;
    return *this;
}

inline __attribute__((always_inline)) RowField Row::number_field(uint64_t value)
{
    const char *start = end_;
    number(value);
    return {start, static_cast<size_t>(end_ - start)};
}

inline __attribute__((always_inline)) RowField Row::number_field(RowField leading_digits, uint32_t last_eight)
{
    const char *start = end_;
    copy<NUMBER_ROOM>(leading_digits);
    row_digits::put_word(end_, row_digits::eight_digits(last_eight));
    end_ += 8;
    return {start, static_cast<size_t>(end_ - start)};
}

inline Row &Row::hex64(uint64_t value)
{
    row_digits::put_word(end_, row_digits::eight_hex_digits(static_cast<uint32_t>(value >> 32)));
    row_digits::put_word(end_ + 8, row_digits::eight_hex_digits(static_cast<uint32_t>(value)));
    end_ += 16;
    return *this;
}

inline Row &Row::hex128(uint64_t high, uint64_t low)
{
#if defined(__SSE2__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // All 32 digits at once: the bytes in writing order, each split into
    // its two nibbles side by side, each nibble made a digit.
    const __m128i bytes = _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(low)),
                                         static_cast<long long>(__builtin_bswap64(high)));
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i upper = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
    const __m128i lower = _mm_and_si128(bytes, nibble);
    const auto digits = [](__m128i nibbles) {
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
        return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
    };
    _mm_storeu_si128(reinterpret_cast<__m128i *>(end_), digits(_mm_unpacklo_epi8(upper, lower)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(end_ + 16), digits(_mm_unpackhi_epi8(upper, lower)));
    end_ += 32;
    return *this;
#else
    return hex64(high).hex64(low);
#endif
}

#endif // OVINT_LATENCY_OUTPUTS_TABLES_ROW_H
