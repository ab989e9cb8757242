// SPDX-License-Identifier: GPL-2.0-or-later

#include "tables.h"

#include "capture_io/output_files.h"
#include "core/ports.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

static bool ends_with_gz(const char *name)
{
    const size_t length = std::strlen(name);
    return length > 3 && std::strcmp(name + length - 3, ".gz") == 0;
}

Row &Row::text(const char *value)
{
    while (*value && used_ < sizeof line_ - 1)
        line_[used_++] = *value++;
    return *this;
}

Row &Row::number(uint64_t value)
{
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (count && used_ < sizeof line_ - 1)
        line_[used_++] = digits[--count];
    return *this;
}

Row &Row::hex64(uint64_t value)
{
    static const char hex[] = "0123456789abcdef";
    for (int shift = 60; shift >= 0 && used_ < sizeof line_ - 1; shift -= 4)
        line_[used_++] = hex[(value >> shift) & 0xF];
    return *this;
}

Row &Row::comma()
{
    return text(",");
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
    Row first;
    write(first.text(header));
    return true;
}

void Table::write(const Row &row)
{
    const unsigned length = static_cast<unsigned>(row.size());
    if (gz_) {
        if (gzwrite(gz_, row.data(), length) != static_cast<int>(length) || gzputc(gz_, '\n') < 0)
            failed_ = true;
    } else if (file_) {
        if (fwrite(row.data(), 1, length, file_) != length || putc('\n', file_) == EOF)
            failed_ = true;
    }
}

bool Table::keep(std::string &error)
{
    bool written = !failed_;
    errno = 0;
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

const char *Tables::label(uint8_t version, uint8_t port)
{
    char *label = labels_[version < 3 ? version : 0][port];
    if (!label[0])
        memcpy(label, port_label(version, port).text, sizeof labels_[0][0]);
    return label;
}

void Tables::pair_row(const Pairing &pairing)
{
    if (!pairs.is_open())
        return;
    Row row;
    row.number(pairing.earlier.frame).comma().number(pairing.later.frame).comma();
    row.text(label(pairing.earlier.version, pairing.earlier.port)).comma();
    row.text(label(pairing.later.version, pairing.later.port)).comma();
    row.number(pairing.earlier.tap_time).comma().number(pairing.later.tap_time).comma();
    row.number(pairing.latency).comma().number(pairing.earlier.length);
    pairs.write(row);
}

void Tables::frame_row(const Sighting &sighting, bool keyed, uint64_t partner)
{
    if (!frames.is_open())
        return;
    static const char hex[] = "0123456789abcdef";
    const char flags[] = {'0', 'x', hex[sighting.flags >> 4], hex[sighting.flags & 0xF], '\0'};
    Row row;
    row.number(sighting.frame).comma().text(label(sighting.version, sighting.port)).comma();
    if (sighting.channel == 1 || sighting.channel == 2)
        row.number(sighting.channel);
    row.comma().number(sighting.tap_time).comma().number(sighting.length).comma().text(flags).comma();
    if (keyed)
        row.hex64(sighting.key.high).hex64(sighting.key.low);
    row.comma();
    if (partner)
        row.number(partner);
    frames.write(row);
}
