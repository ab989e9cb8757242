// SPDX-License-Identifier: GPL-2.0-or-later

#include "tables.h"

#include "capture_io/output_files.h"
#include "core/ports.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

static bool ends_with_gz(const char *name)
{
    const size_t length = std::strlen(name);
    return length > 3 && std::strcmp(name + length - 3, ".gz") == 0;
}

bool Table::open(const char *name, const char *header, std::string &error)
{
    name_ = name;
    const int fd = create_temporary(name);
    if (fd < 0) {
        error = std::string(name) + ": " + std::strerror(errno);
        return false;
    }
    if (ends_with_gz(name))
        gz_ = gzdopen(fd, "wb6");
    else
        file_ = fdopen(fd, "w");
    if (!gz_ && !file_) {
        close(fd);
        error = std::string(name) + ": cannot write it";
        return false;
    }
    const size_t length = std::strlen(header);
    std::memcpy(pending_, header, std::min(length, sizeof pending_ / 2));
    end_row(std::min(length, sizeof pending_ / 2));
    return true;
}

void Table::end_row(size_t row_size)
{
    pending_size_ += row_size;
    pending_[pending_size_++] = '\n';
    if (sizeof pending_ - pending_size_ < Row::CAPACITY + 1)
        flush();
}

void Table::flush()
{
    const unsigned length = static_cast<unsigned>(pending_size_);
    pending_size_ = 0;
    if (gz_) {
        if (gzwrite(gz_, pending_, length) != static_cast<int>(length))
            failed_ = true;
    } else if (file_) {
        if (fwrite(pending_, 1, length, file_) != length)
            failed_ = true;
    }
}

bool Table::keep(std::string &error)
{
    errno = 0;
    flush();
    bool written = !failed_;
    if (gz_)
        written = gzclose(gz_) == Z_OK && written;
    else if (file_)
        written = fclose(file_) == 0 && written;
    gz_ = nullptr;
    file_ = nullptr;
    if (!written) {
        error = std::string(name_) + ": " + (errno ? std::strerror(errno) : "cannot write it");
        return false;
    }
    if (!keep_temporary(name_)) {
        error = std::string(name_) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void Tables::make_label(int known, uint8_t version, uint8_t port)
{
    char *label = labels_[known][port];
    memcpy(label, port_label(version, port).text, sizeof labels_[0][0]);
    label_lengths_[known][port] = static_cast<uint8_t>(strnlen(label, sizeof labels_[0][0]));
}

// The widest row of each table fits the room a row starts with.
static_assert(6 * Row::NUMBER_ROOM + 2 * Row::TEXT8_ROOM + 7 <= Row::CAPACITY, "a pair row fits");
static_assert(4 * Row::NUMBER_ROOM + Row::TEXT8_ROOM + 2 * Row::HEX64_ROOM + 12 <= Row::CAPACITY, "a frame row fits");
constexpr size_t KEY_ROOM = 2 * Row::HEX64_ROOM;

static void flags_field(Row &row, uint8_t flags)
{
    static const char hex[] = "0123456789abcdef";
    row.character('0').character('x').character(hex[flags >> 4]).character(hex[flags & 0xF]).comma();
}

void Tables::port_fields(Row &row, const Sighting &sighting)
{
    size_t length;
    const char *port = label(sighting.version, sighting.port, &length);
    row.text8(port, length).comma();
    if (sighting.channel == 1 || sighting.channel == 2)
        row.character(static_cast<char>('0' + sighting.channel));
    row.comma();
}

// A match's three rows repeat most of each other's numbers: each is
// written once and copied. The pair row is put together first, in its
// table or else aside, and ended last, so that its fields stay in place
// while the frame rows copy them.
void Tables::match_rows(const Pairing &pairing)
{
    const Sighting &earlier = pairing.earlier;
    const Sighting &later = pairing.later;
    char aside[Row::CAPACITY];
    Row pair = pairs.is_open() ? pairs.start_row() : Row(aside);
    const RowField earlier_frame = pair.number_field(earlier.frame);
    pair.comma();
    const RowField later_frame = pair.number_field(later.frame);
    pair.comma();
    if (pairs.is_open()) {
        size_t length;
        const char *earlier_port = label(earlier.version, earlier.port, &length);
        pair.text8(earlier_port, length).comma();
        const char *later_port = label(later.version, later.port, &length);
        pair.text8(later_port, length).comma();
    }
    const RowField earlier_time = pair.number_field(earlier.tap_time);
    pair.comma();
    const RowField later_time = pair.number_field(later.tap_time);
    pair.comma();
    if (pairs.is_open())
        pair.number(pairing.latency).comma();
    const RowField earlier_length = pair.number_field(earlier.length);

    if (frames.is_open()) {
        char key_text[KEY_ROOM];
        Row(key_text).hex64(earlier.key.high).hex64(earlier.key.low);
        const RowField key = {key_text, KEY_ROOM};  // the same for both: they matched by it
        char later_length_text[Row::NUMBER_ROOM];
        const RowField later_length = later.length == earlier.length
                                          ? earlier_length
                                          : Row(later_length_text).number_field(later.length);

        Row row = frames.start_row();
        row.copy<Row::NUMBER_ROOM>(earlier_frame).comma();
        port_fields(row, earlier);
        row.copy<Row::NUMBER_ROOM>(earlier_time).comma().copy<Row::NUMBER_ROOM>(earlier_length).comma();
        flags_field(row, earlier.flags);
        row.copy<KEY_ROOM>(key).comma().copy<Row::NUMBER_ROOM>(later_frame);
        frames.end_row(row.size());

        row = frames.start_row();
        row.copy<Row::NUMBER_ROOM>(later_frame).comma();
        port_fields(row, later);
        row.copy<Row::NUMBER_ROOM>(later_time).comma().copy<Row::NUMBER_ROOM>(later_length).comma();
        flags_field(row, later.flags);
        row.copy<KEY_ROOM>(key).comma().copy<Row::NUMBER_ROOM>(earlier_frame);
        frames.end_row(row.size());
    }
    if (pairs.is_open())
        pairs.end_row(pair.size());
}

void Tables::frame_row(const Sighting &sighting, bool keyed)
{
    if (!frames.is_open())
        return;
    Row row = frames.start_row();
    row.number(sighting.frame).comma();
    port_fields(row, sighting);
    row.number(sighting.tap_time).comma().number(sighting.length).comma();
    flags_field(row, sighting.flags);
    if (keyed)
        row.hex64(sighting.key.high).hex64(sighting.key.low);
    row.comma();
    frames.end_row(row.size());
}
