// SPDX-License-Identifier: GPL-2.0-or-later

#include "tables.h"

#include "capture_io/output_files.h"
#include "core/ports.h"

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

static RowField fate_field(Fate fate)
{
    static char names[FATE_COUNT][FATE_ROOM];
    static size_t lengths[FATE_COUNT];
    static const bool made = [] {
        for (int i = 0; i < FATE_COUNT; i++) {
            lengths[i] = std::strlen(fate_name(static_cast<Fate>(i)));
            std::memcpy(names[i], fate_name(static_cast<Fate>(i)), lengths[i]);
        }
        return true;
    }();
    (void)made;
    return {names[static_cast<int>(fate)], lengths[static_cast<int>(fate)]};
}

static inline __attribute__((always_inline)) void flags_field(Row &row, uint8_t flags)
{
    static const char hex[] = "0123456789abcdef";
    row.character('0').character('x').character(hex[flags >> 4]).character(hex[flags & 0xF]).comma();
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
    flags_field(row, flags);
    row.copy<Row::HEX128_ROOM>(key).comma().copy<Row::NUMBER_ROOM>(partner).comma();
    row.copy<VIEW_ROOM>(view).comma();
    row.copy<FATE_ROOM>(fate_field(fate));
    frames.end_row(row.size());
}

// A match's three rows repeat most of each other's numbers: each is
// written once and copied. The pair row is put together first, in its
// table or else aside, and ended last, so that its fields stay in place
// while the frame rows copy them.
void Tables::match_rows(const Pairing &pairing, int64_t latency)
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
        pairs.end_row(pair.size());
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
    row.comma().number(sighting.length).comma();
    flags_field(row, sighting.flags);
    if (keyed)
        row.hex128(sighting.key.high, sighting.key.low);
    row.comma().comma().copy<VIEW_ROOM>(view_columns(sighting)).comma();
    row.copy<FATE_ROOM>(fate_field(fate));
    frames.end_row(row.size());
}
