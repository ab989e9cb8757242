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

class Table {
public:
    // Opens the table's temporary file; false with `error` set.
    bool open(const char *name, const char *header, std::string &error);
    void row(const char *format, ...) __attribute__((format(printf, 2, 3)));
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
};

#endif // OVINT_LATENCY_TABLES_H
