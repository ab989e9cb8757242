// SPDX-License-Identifier: GPL-2.0-or-later
//
// The tables for other tools (pandas, DuckDB, Spark): --pairs, one row per
// match, and --frames, one row per trailer-bearing frame, as CSV with a
// header row, compressed with zlib when the name ends in ".gz". Each is
// written to a temporary file and put in place only when complete.

#ifndef OVINT_LATENCY_TABLES_H
#define OVINT_LATENCY_TABLES_H

#include "analysis.h"
#include "row.h"

#include <zlib.h>

#include <cstdio>
#include <string>

class Table {
public:
    // Opens the table's temporary file; false with `error` set.
    bool open(const char *name, const char *header, std::string &error);
    // A row is put together in place, at the end of what waits to be
    // written, and ended there.
    Row start_row() { return Row(pending_ + pending_size_); }
    void end_row(size_t row_size);
    // Closes it and puts it in place; false with `error` set.
    bool keep(std::string &error);
    bool is_open() const { return gz_ || file_; }

private:
    void flush();

    const char *name_ = nullptr;
    gzFile gz_ = nullptr;
    FILE *file_ = nullptr;
    bool failed_ = false;
    // Rows gathered for the file in writes of 64 kB, always with room for
    // one more.
    char pending_[65536];
    size_t pending_size_ = 0;
};

class Tables : public TableSink {
public:
    Table pairs, frames;
    void match_rows(const Pairing &pairing) override;
    void frame_row(const Sighting &sighting, bool keyed) override;

private:
    // A frame row's fields from the port to the flags.
    void port_fields(Row &row, const Sighting &sighting);
    // The port's label, 8 characters readable, and its length.
    const char *label(uint8_t version, uint8_t port, size_t *length)
    {
        const int known = version < 3 ? version : 0;
        if (!label_lengths_[known][port])
            make_label(known, version, port);
        *length = label_lengths_[known][port];
        return labels_[known][port];
    }
    void make_label(int known, uint8_t version, uint8_t port);
    // Port labels made once: by version (0 to 2) and port byte.
    char labels_[3][256][8] = {};
    uint8_t label_lengths_[3][256] = {};
};

#endif // OVINT_LATENCY_TABLES_H
