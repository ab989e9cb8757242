// SPDX-License-Identifier: GPL-2.0-or-later
//
// The tables for other tools (pandas, DuckDB, Spark): --pairs, one row per
// match, and --frames, one row per trailer-bearing frame, as CSV with a
// header row, compressed with zlib when the name ends in ".gz". Each is
// written to a temporary file and put in place only when complete.

#ifndef OVINT_LATENCY_TABLES_H
#define OVINT_LATENCY_TABLES_H

#include "analysis.h"

#include <zlib.h>

#include <cstdio>
#include <string>

// One row being put together: the tables write millions of them, and
// printf's formatting would cost them more than all the rest of the work.
class Row {
public:
    Row &text(const char *value);
    Row &number(uint64_t value);
    Row &hex64(uint64_t value);  // 16 digits
    Row &comma();
    const char *data() const { return line_; }
    size_t size() const { return used_; }

private:
    char line_[256];
    size_t used_ = 0;
};

class Table {
public:
    // Opens the table's temporary file; false with `error` set.
    bool open(const char *name, const char *header, std::string &error);
    void write(const Row &row);
    // Closes it and puts it in place; false with `error` set.
    bool keep(std::string &error);
    bool is_open() const { return gz_ || file_; }

private:
    const char *name_ = nullptr;
    gzFile gz_ = nullptr;
    FILE *file_ = nullptr;
    bool failed_ = false;
};

class Tables : public TableSink {
public:
    Table pairs, frames;
    void pair_row(const Pairing &pairing) override;
    void frame_row(const Sighting &sighting, bool keyed, uint64_t partner) override;

private:
    const char *label(uint8_t version, uint8_t port);
    // Port labels made once: by version (0 to 2) and port byte.
    char labels_[3][256][8] = {};
};

#endif // OVINT_LATENCY_TABLES_H
