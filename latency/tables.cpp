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

void Tables::pair_row(const Pairing &pairing)
{
    if (!pairs.is_open())
        return;
    Row row = pairs.start_row();
    row.number(pairing.earlier.frame).comma().number(pairing.later.frame).comma();
    size_t length;
    const char *earlier_port = label(pairing.earlier.version, pairing.earlier.port, &length);
    row.text8(earlier_port, length).comma();
    const char *later_port = label(pairing.later.version, pairing.later.port, &length);
    row.text8(later_port, length).comma();
    row.number(pairing.earlier.tap_time).comma().number(pairing.later.tap_time).comma();
    row.number(pairing.latency).comma().number(pairing.earlier.length);
    pairs.end_row(row.size());
}

void Tables::frame_row(const Sighting &sighting, bool keyed, uint64_t partner)
{
    if (!frames.is_open())
        return;
    static const char hex[] = "0123456789abcdef";
    Row row = frames.start_row();
    row.number(sighting.frame).comma();
    size_t length;
    const char *port = label(sighting.version, sighting.port, &length);
    row.text8(port, length).comma();
    if (sighting.channel == 1 || sighting.channel == 2)
        row.character(static_cast<char>('0' + sighting.channel));
    row.comma().number(sighting.tap_time).comma().number(sighting.length).comma();
    row.character('0').character('x').character(hex[sighting.flags >> 4]).character(hex[sighting.flags & 0xF]);
    row.comma();
    if (keyed)
        row.hex64(sighting.key.high).hex64(sighting.key.low);
    row.comma();
    if (partner)
        row.number(partner);
    frames.end_row(row.size());
}
