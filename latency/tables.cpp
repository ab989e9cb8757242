// SPDX-License-Identifier: GPL-2.0-or-later

#include "tables.h"

#include "capture_io/output_files.h"
#include "core/ports.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
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
    row("%s\n", header);
    return true;
}

void Table::row(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    if (gz_) {
        char line[512];
        const int length = vsnprintf(line, sizeof line, format, args);
        if (length < 0 || gzwrite(gz_, line, static_cast<unsigned>(length)) != length)
            failed_ = true;
    } else if (file_) {
        if (vfprintf(file_, format, args) < 0)
            failed_ = true;
    }
    va_end(args);
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

void Tables::pair_row(const Pairing &pairing)
{
    if (!pairs.is_open())
        return;
    pairs.row("%" PRIu64 ",%" PRIu64 ",%s,%s,%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%u\n", pairing.earlier.frame,
              pairing.later.frame, port_label(pairing.earlier.version, pairing.earlier.port).text,
              port_label(pairing.later.version, pairing.later.port).text, pairing.earlier.tap_time,
              pairing.later.tap_time, pairing.latency, pairing.earlier.length);
}

void Tables::frame_row(const Sighting &sighting, bool keyed, uint64_t partner)
{
    if (!frames.is_open())
        return;
    char channel[8] = "";
    if (sighting.channel == 1 || sighting.channel == 2)
        snprintf(channel, sizeof channel, "%u", sighting.channel);
    char key[40] = "";
    if (keyed)
        snprintf(key, sizeof key, "%016" PRIx64 "%016" PRIx64, sighting.key.high, sighting.key.low);
    char matched[24] = "";
    if (partner)
        snprintf(matched, sizeof matched, "%" PRIu64, partner);
    frames.row("%" PRIu64 ",%s,%s,%" PRIu64 ",%u,0x%02x,%s,%s\n", sighting.frame,
               port_label(sighting.version, sighting.port).text, channel, sighting.tap_time, sighting.length,
               sighting.flags, key, matched);
}
