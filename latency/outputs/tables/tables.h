// SPDX-License-Identifier: GPL-2.0-or-later
//
// The tables for other tools (pandas, DuckDB, Spark): --pairs, one row per
// match, and --frames, one row per trailer-bearing frame, as CSV with a
// header row, compressed with zlib when the name ends in ".gz". Each is
// put in place only when complete, or written in place to a stream, as
// capture_io/output_files.h has it. Compression has a thread of its own
// per table: deflate, even at zlib's fastest level, takes longer than
// making the rows.

#ifndef OVINT_LATENCY_OUTPUTS_TABLES_TABLES_H
#define OVINT_LATENCY_OUTPUTS_TABLES_TABLES_H

#include "matching/analysis.h"
#include "outputs/tables/row.h"

#include "capture_io/output_files.h"
#include "core/trailer/ports.h"

#include <zlib.h>

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class Table {
public:
    ~Table();
    // Opens the table's output; false with `error` set.
    bool open(OutputFile &output, const char *header, std::string &error);
    // A row is put together in place, at the end of what waits to be
    // written, and ended there.
    Row start_row() { return Row(pending_ + pending_size_); }
    void end_row(size_t row_size);
    void end_row(const Row &row)
    {
        char *end = row.end();
        *end = '\n';
        pending_size_ = static_cast<size_t>(end + 1 - pending_);
        if (__builtin_expect(BLOCK_SIZE - pending_size_ < Row::CAPACITY + 1, 0))
            flush();
    }
    // Closes it, all written; false with `error` set.
    bool finish_writing(std::string &error);
    // Puts it in place once closed; false with `error` set.
    bool keep(std::string &error);
    bool is_open() const { return gz_ || file_; }

private:
    static constexpr size_t BLOCK_SIZE = 65536;
    // Blocks a compressed table has at most (2 MB): one being filled, the
    // others waiting for the compressor or being compressed. The rows wait
    // for the compressor when it falls that far behind, so memory stays
    // bounded. With fewer, on two cores shared by the rows and the two
    // compressors, the rows wait often while a core is idle.
    static constexpr size_t BLOCKS = 32;

    void flush();
    void start_compressor(int fd);  // gz_ null when it fails
    bool stop_compressor();
    void compress();

    const char *name_ = nullptr;
    OutputFile *output_ = nullptr;
    gzFile gz_ = nullptr;
    FILE *file_ = nullptr;
    bool failed_ = false;
    // Rows gathered for the file in writes of 64 kB, always with room for
    // one more; a plain table uses only the first block.
    std::unique_ptr<char[]> blocks_{new char[BLOCKS * BLOCK_SIZE]};
    char *pending_ = blocks_.get();
    size_t pending_size_ = 0;

    // The compressor's thread takes the blocks in turn from the ring:
    // those from `compressed_` up to `filled_` wait for it, in order.
    std::thread compressor_;
    std::mutex mutex_;
    std::condition_variable changed_;  // only one side ever waits at a time
    size_t block_sizes_[BLOCKS];
    uint64_t filled_ = 0;
    uint64_t compressed_ = 0;
    bool last_ = false;  // no more blocks come
    // Its first failure, read once it has ended; errno 0: none known.
    bool compressor_failed_ = false;
    int compressor_errno_ = 0;
};

class Tables : public TableSink {
public:
    static constexpr size_t PORT_ROOM = 16;  // a port's fields in a row

    Table pairs, frames;
    // Where the frames' traffic views are read from for their columns.
    void read_views_from(ViewTable &views) { views_ = &views; }
    void match_rows(const Pairing &pairing, int64_t latency) override;
    void frame_row(const Sighting &sighting, bool keyed, Fate fate) override;

private:
    // A port's fields in a frame row, "label,channel,", with the label's
    // length for the pair rows; made once per trailer version (0 to 2,
    // later ones share 0) and port byte. Of 32 bytes, found by a shift.
    struct alignas(32) PortText {
        char text[PORT_ROOM];
        uint8_t label_length;
        uint8_t length;  // 0: not made yet
    };
    const PortText &port_text(const Sighting &sighting)
    {
        PortText &text = port_texts_(sighting.version, sighting.port);
        if (!text.length)
            make_port_text(text, sighting);
        return text;
    }
    static void make_port_text(PortText &text, const Sighting &sighting);
    __attribute__((noinline)) void wide_match_rows(const Pairing &pairing, int64_t latency);
    struct TimeHigh;
    void frame_row_of_match(Digits frame, const PortText &port, const TimeHigh &time_high, uint64_t time_low,
                            Digits length, uint8_t flags, const char *key, Digits partner, const char *view,
                            size_t view_length, RowField fate);
    void copied_frame_row(RowField frame, const PortText &port, RowField time, RowField length, uint8_t flags,
                          RowField key, RowField partner, RowField view, Fate fate);
    RowField view_columns(const Sighting &sighting)
    {
        size_t length;
        const char *text = views_->columns(sighting.view, &length);
        return {text, length};
    }
    ViewTable *views_ = nullptr;
    PortTable<PortText> port_texts_;

    // A TAP time's digits above the last 8, which stay the same for 0.1 s
    // of TAP time: written once, in one of two places, as a match's two
    // times may lie either side of a change.
    struct TimeHigh {
        uint64_t start = 0;  // of the 0.1 s they stand for (none yet: 0, below 10^8)
        char text[Row::NUMBER_ROOM];
        size_t length = 0;
    };
    TimeHigh time_highs_[2];

    // Those of a time of at least 10^8 ns.
    const TimeHigh &time_high(int place, uint64_t time)
    {
        TimeHigh &made = time_highs_[place];
        if (__builtin_expect(time - made.start >= 100000000, 0)) {
            const uint64_t high = time / 100000000;
            made.start = high * 100000000;
            made.length = Row(made.text).number_field(high).length;
        }
        return made;
    }
    __attribute__((always_inline)) RowField tap_time(Row &row, uint64_t time)
    {
        if (time < 100000000)
            return row.number_field(time);
        const TimeHigh &leading = time_high(0, time);
        return row.number_field({leading.text, leading.length}, static_cast<uint32_t>(time - leading.start));
    }

    // The digits of frame lengths, which are few, kept by their length's
    // lowest bits.
    struct LengthDigits {
        uint32_t length = 0;
        Digits digits = {'0', 1};
    };
    LengthDigits length_digits_[64];
    Digits length_digits(uint32_t length)
    {
        LengthDigits &kept = length_digits_[length % 64];
        if (__builtin_expect(kept.length != length, 0)) {
            kept.length = length;
            kept.digits = digits_of(length);
        }
        return kept.digits;
    }
};

#endif // OVINT_LATENCY_OUTPUTS_TABLES_TABLES_H
