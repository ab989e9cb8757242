// SPDX-License-Identifier: GPL-2.0-or-later

#include "outputs/tables/tables.h"

#include "capture_io/output_files.h"
#include "core/trailer/ports.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <system_error>

static bool ends_with_gz(const char *name)
{
    const size_t length = std::strlen(name);
    return length > 3 && std::strcmp(name + length - 3, ".gz") == 0;
}

bool Table::open(OutputFile &output, const char *header, std::string &error)
{
    const char *name = output.name;
    name_ = name;
    output_ = &output;
    const int fd = open_output(output);
    if (fd < 0) {
        error = std::string(name) + ": " + std::strerror(errno);
        return false;
    }
    if (ends_with_gz(name))
        start_compressor(fd);
    else
        file_ = fdopen(fd, "w");
    if (!gz_ && !file_) {
        close(fd);
        error = std::string(name) + ": cannot write it";
        return false;
    }
    const size_t length = std::strlen(header);
    std::memcpy(pending_, header, std::min(length, BLOCK_SIZE / 2));
    end_row(std::min(length, BLOCK_SIZE / 2));
    return true;
}

void Table::end_row(size_t row_size)
{
    pending_size_ += row_size;
    pending_[pending_size_++] = '\n';
    if (BLOCK_SIZE - pending_size_ < Row::CAPACITY + 1)
        flush();
}

Table::~Table()
{
    if (compressor_.joinable())
        stop_compressor();
}

// zlib's fastest level: 14% larger than its default level 6, at four
// times the pace. Signals are left to the main thread.
void Table::start_compressor(int fd)
{
    gz_ = gzdopen(fd, "wb1");
    if (!gz_)
        return;
    const ThreadSignals signals;
    try {
        compressor_ = std::thread(&Table::compress, this);
    } catch (const std::system_error &) {
        // No thread to be had: the rows are compressed as they are made.
    }
}

// The compressor's thread. After a failure it takes the blocks without
// writing them, so that the rows never wait for it.
void Table::compress()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return compressed_ < filled_ || last_; });
        if (compressed_ == filled_)
            return;
        const char *block = blocks_.get() + compressed_ % BLOCKS * BLOCK_SIZE;
        const unsigned size = static_cast<unsigned>(block_sizes_[compressed_ % BLOCKS]);
        lock.unlock();
        if (!compressor_failed_) {
            errno = 0;
            if (gzwrite(gz_, block, size) != static_cast<int>(size)) {
                compressor_failed_ = true;
                compressor_errno_ = errno;
            }
        }
        lock.lock();
        ++compressed_;
        changed_.notify_one();
    }
}

// Waits for the compressor to write every block, and closes the file;
// false with errno set (0: no cause known).
bool Table::stop_compressor()
{
    if (!compressor_.joinable()) {
        const bool closed = gzclose(gz_) == Z_OK;
        errno = compressor_errno_;
        return closed;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = true;
    }
    changed_.notify_one();
    compressor_.join();
    errno = 0;
    const bool closed = gzclose(gz_) == Z_OK;
    if (compressor_failed_)
        errno = compressor_errno_;
    return closed && !compressor_failed_;
}

void Table::flush()
{
    const unsigned length = static_cast<unsigned>(pending_size_);
    pending_size_ = 0;
    if (gz_ && !compressor_.joinable()) {
        errno = 0;
        if (gzwrite(gz_, pending_, length) != static_cast<int>(length)) {
            failed_ = true;
            compressor_errno_ = errno;
        }
    } else if (gz_) {
        // The block goes to the compressor; the rows go on in the next one
        // once it is free.
        std::unique_lock<std::mutex> lock(mutex_);
        block_sizes_[filled_ % BLOCKS] = length;
        ++filled_;
        changed_.notify_one();
        changed_.wait(lock, [this] { return filled_ - compressed_ < BLOCKS; });
        pending_ = blocks_.get() + filled_ % BLOCKS * BLOCK_SIZE;
    } else if (file_) {
        if (fwrite(pending_, 1, length, file_) != length)
            failed_ = true;
    }
}

bool Table::finish_writing(std::string &error)
{
    errno = 0;
    flush();
    bool written = !failed_;
    if (gz_)
        written = stop_compressor() && written;
    else if (file_)
        written = fclose(file_) == 0 && written;
    gz_ = nullptr;
    file_ = nullptr;
    if (!written) {
        error = std::string(name_) + ": " + (errno ? std::strerror(errno) : "cannot write it");
        return false;
    }
    return true;
}

bool Table::keep(std::string &error)
{
    if (!keep_output(*output_)) {
        error = std::string(name_) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void Tables::make_port_text(PortText &text, const Sighting &sighting)
{
    const PortLabel label = port_label(sighting.version, sighting.port);
    const size_t label_length = strnlen(label.text, sizeof label.text);
    std::memcpy(text.text, label.text, label_length);
    size_t length = label_length;
    text.text[length++] = ',';
    if (sighting.channel == 1 || sighting.channel == 2)
        text.text[length++] = static_cast<char>('0' + sighting.channel);
    text.text[length++] = ',';
    text.label_length = static_cast<uint8_t>(label_length);
    text.length = static_cast<uint8_t>(length);
}

// The widest row of each table fits the room a row starts with.
constexpr size_t PORT_ROOM = Tables::PORT_ROOM;
constexpr size_t VIEW_ROOM = ViewTable::COLUMNS_ROOM;

// A fate's name as the last field of a frame row, with room to copy.
constexpr size_t FATE_ROOM = 24;
static_assert(6 * Row::NUMBER_ROOM + 2 * PORT_ROOM + VIEW_ROOM + 9 <= Row::CAPACITY, "a pair row fits, with a sign");
static_assert(4 * Row::NUMBER_ROOM + PORT_ROOM + Row::HEX128_ROOM + VIEW_ROOM + FATE_ROOM + 14 <= Row::CAPACITY,
              "a frame row fits, with its fate");

namespace {

// The fates' names, each with room to copy.
struct FateFields {
    char names[FATE_COUNT][FATE_ROOM] = {};
    size_t lengths[FATE_COUNT] = {};
    FateFields()
    {
        for (int i = 0; i < FATE_COUNT; i++) {
            lengths[i] = std::strlen(fate_name(static_cast<Fate>(i)));
            std::memcpy(names[i], fate_name(static_cast<Fate>(i)), lengths[i]);
        }
    }
};
const FateFields FATE_FIELDS;

// Each flags byte's field, "0x08,", as a word's bytes (the first lowest).
struct FlagsFields {
    uint64_t words[256] = {};
    constexpr FlagsFields()
    {
        const char hex[] = "0123456789abcdef";
        for (unsigned flags = 0; flags < 256; flags++)
            words[flags] = uint64_t('0') | uint64_t('x') << 8 | uint64_t(uint8_t(hex[flags >> 4])) << 16 |
                           uint64_t(uint8_t(hex[flags & 0xF])) << 24 | uint64_t(',') << 32;
    }
};
constexpr FlagsFields FLAGS_FIELDS;
constexpr size_t FLAGS_FIELD_LENGTH = 5;

} // namespace

static RowField fate_field(Fate fate)
{
    return {FATE_FIELDS.names[static_cast<int>(fate)], FATE_FIELDS.lengths[static_cast<int>(fate)]};
}

// A matched frame's row, of fields written before.
inline __attribute__((always_inline)) void Tables::copied_frame_row(RowField frame, const PortText &port, RowField time,
                                                                    RowField length, uint8_t flags, RowField key,
                                                                    RowField partner, RowField view, Fate fate)
{
    Row row = frames.start_row();
    row.copy<Row::NUMBER_ROOM>(frame).comma();
    row.copy<PORT_ROOM>({port.text, port.length});
    row.copy<Row::NUMBER_ROOM>(time).comma().copy<Row::NUMBER_ROOM>(length).comma();
    row.characters(FLAGS_FIELDS.words[flags], FLAGS_FIELD_LENGTH);
    row.copy<Row::HEX128_ROOM>(key).comma().copy<Row::NUMBER_ROOM>(partner).comma();
    row.copy<VIEW_ROOM>(view).comma();
    row.copy<FATE_ROOM>(fate_field(fate));
    frames.end_row(row);
}

// A matched frame's row, of fields made for the match.
inline __attribute__((always_inline)) void Tables::frame_row_of_match(Digits frame, const PortText &port,
                                                                      const TimeHigh &time_high, uint64_t time_low,
                                                                      Digits length, uint8_t flags, const char *key,
                                                                      Digits partner, const char *view,
                                                                      size_t view_length, RowField fate)
{
    Row row = frames.start_row();
    row.digits(frame).comma().copy<PORT_ROOM>({port.text, port.length});
    row.copy<16>({time_high.text, time_high.length}).characters(time_low, 8).comma();
    row.digits(length).comma().characters(FLAGS_FIELDS.words[flags], FLAGS_FIELD_LENGTH);
    row.copy<Row::HEX128_ROOM>({key, Row::HEX128_ROOM}).comma().digits(partner).comma();
    row.text<48, VIEW_ROOM>(view, view_length).comma();
    row.text<16, FATE_ROOM>(fate.text, fate.length);
    frames.end_row(row);
}

// A match's three rows repeat most of each other's fields: each is made
// once, numbers as words of digits, and put in every row that has it.
void Tables::match_rows(const Pairing &pairing, int64_t latency)
{
    constexpr uint64_t EIGHT_DIGITS = 100000000;
    const Sighting &earlier = pairing.earlier;
    const Sighting &later = pairing.later;
    const uint64_t magnitude = latency < 0 ? uint64_t(0) - static_cast<uint64_t>(latency) : static_cast<uint64_t>(latency);
    // Numbers of more than 8 digits, and TAP times of no more, are rare:
    // they take the way that writes any number.
    const uint64_t largest = std::max(std::max(earlier.frame, later.frame),
                                      std::max(magnitude, uint64_t(std::max(earlier.length, later.length))));
    if (__builtin_expect(largest >= EIGHT_DIGITS || std::min(earlier.tap_time, later.tap_time) < EIGHT_DIGITS, 0)) {
        wide_match_rows(pairing, latency);
        return;
    }
    const bool pairs_open = pairs.is_open(), frames_open = frames.is_open();
    const TimeHigh &earlier_time_high = time_high(0, earlier.tap_time);
    const TimeHigh &later_time_high = time_high(1, later.tap_time);
    uint64_t words[4];
    row_digits::eight_digits_of_four(static_cast<uint32_t>(earlier.frame), static_cast<uint32_t>(later.frame),
                                     static_cast<uint32_t>(earlier.tap_time - earlier_time_high.start),
                                     static_cast<uint32_t>(later.tap_time - later_time_high.start), words);
    const Digits earlier_frame = without_leading_zeros(words[0]);
    const Digits later_frame = without_leading_zeros(words[1]);
    const uint64_t earlier_time_low = words[2], later_time_low = words[3];
    const Digits earlier_length = length_digits(earlier.length);
    const PortText &earlier_port = port_text(earlier);
    const PortText &later_port = port_text(later);
    size_t earlier_view_length;
    const char *earlier_view = views_->columns(earlier.view, &earlier_view_length);

    if (pairs_open) {
        Row pair = pairs.start_row();
        pair.digits(earlier_frame).comma().digits(later_frame).comma();
        pair.copy<PORT_ROOM>({earlier_port.text, earlier_port.label_length}).comma();
        pair.copy<PORT_ROOM>({later_port.text, later_port.label_length}).comma();
        pair.copy<16>({earlier_time_high.text, earlier_time_high.length}).characters(earlier_time_low, 8).comma();
        pair.copy<16>({later_time_high.text, later_time_high.length}).characters(later_time_low, 8).comma();
        if (latency < 0)
            pair.character('-');
        pair.digits(digits_of(static_cast<uint32_t>(magnitude))).comma().digits(earlier_length).comma();
        pair.text<48, VIEW_ROOM>(earlier_view, earlier_view_length);
        pairs.end_row(pair);
    }
    if (frames_open) {
        char key[Row::HEX128_ROOM];
        Row(key).hex128(earlier.key.high, earlier.key.low);  // the same for both: they matched by it
        const Digits later_length = later.length == earlier.length ? earlier_length : length_digits(later.length);
        const RowField fate = fate_field(pairing.duplicate ? Fate::ambiguous : Fate::forwarded);
        frame_row_of_match(earlier_frame, earlier_port, earlier_time_high, earlier_time_low, earlier_length,
                           earlier.flags, key, later_frame, earlier_view, earlier_view_length, fate);
        size_t later_view_length = earlier_view_length;
        const char *later_view =
            later.view == earlier.view ? earlier_view : views_->columns(later.view, &later_view_length);
        frame_row_of_match(later_frame, later_port, later_time_high, later_time_low, later_length, later.flags, key,
                           earlier_frame, later_view, later_view_length, fate);
    }
}

// The same, of any numbers: written once in the pair row, put together
// first (in its table or else aside) and ended last, and copied from there.
void Tables::wide_match_rows(const Pairing &pairing, int64_t latency)
{
    const Sighting &earlier = pairing.earlier;
    const Sighting &later = pairing.later;
    char aside[Row::CAPACITY];
    Row pair = pairs.is_open() ? pairs.start_row() : Row(aside);
    const RowField earlier_frame = pair.number_field(earlier.frame);
    pair.comma();
    const RowField later_frame = pair.number_field(later.frame);
    pair.comma();
    const PortText &earlier_port = port_text(earlier);
    const PortText &later_port = port_text(later);
    if (pairs.is_open()) {
        pair.copy<PORT_ROOM>({earlier_port.text, earlier_port.label_length}).comma();
        pair.copy<PORT_ROOM>({later_port.text, later_port.label_length}).comma();
    }
    const RowField earlier_time = tap_time(pair, earlier.tap_time);
    pair.comma();
    const RowField later_time = tap_time(pair, later.tap_time);
    pair.comma();
    if (pairs.is_open()) {
        if (latency < 0)
            pair.character('-').number(uint64_t(0) - static_cast<uint64_t>(latency)).comma();
        else
            pair.number(static_cast<uint64_t>(latency)).comma();
    }
    const RowField earlier_length = pair.number_field(earlier.length);
    const RowField earlier_view = view_columns(earlier);

    if (frames.is_open()) {
        char key_text[Row::HEX128_ROOM];
        Row(key_text).hex128(earlier.key.high, earlier.key.low);
        const RowField key = {key_text, Row::HEX128_ROOM};  // the same for both: they matched by it
        char later_length_text[Row::NUMBER_ROOM];
        const RowField later_length = later.length == earlier.length
                                          ? earlier_length
                                          : Row(later_length_text).number_field(later.length);

        const Fate fate = pairing.duplicate ? Fate::ambiguous : Fate::forwarded;
        copied_frame_row(earlier_frame, earlier_port, earlier_time, earlier_length, earlier.flags, key, later_frame,
                         earlier_view, fate);
        copied_frame_row(later_frame, later_port, later_time, later_length, later.flags, key, earlier_frame,
                         later.view == earlier.view ? earlier_view : view_columns(later), fate);
    }
    if (pairs.is_open()) {
        pair.comma().copy<VIEW_ROOM>(earlier_view);
        pairs.end_row(pair);
    }
}

void Tables::frame_row(const Sighting &sighting, bool keyed, Fate fate)
{
    if (!frames.is_open())
        return;
    Row row = frames.start_row();
    row.number(sighting.frame).comma();
    const PortText &port = port_text(sighting);
    row.copy<PORT_ROOM>({port.text, port.length});
    tap_time(row, sighting.tap_time);
    if (sighting.length < 100000000)
        row.comma().digits(length_digits(sighting.length)).comma();
    else
        row.comma().number(sighting.length).comma();
    row.characters(FLAGS_FIELDS.words[sighting.flags], FLAGS_FIELD_LENGTH);
    if (keyed)
        row.hex128(sighting.key.high, sighting.key.low);
    const RowField view = view_columns(sighting);
    row.comma().comma().text<48, VIEW_ROOM>(view.text, view.length).comma();
    row.copy<FATE_ROOM>(fate_field(fate));
    frames.end_row(row);
}
