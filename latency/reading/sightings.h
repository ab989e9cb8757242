// SPDX-License-Identifier: GPL-2.0-or-later
//
// Sightings files: what matching needs of every trailer-bearing frame of
// some captures (its number in its capture, port, TAP time, length, flags,
// key and traffic view), read where the captures are and matched anywhere
// later exactly as from the captures (--sightings, --from-sightings).
//
// Layout, little-endian:
//   "OVINTSGT", the format's version (u32), the key mode (u8), 3 bytes 0
//   per capture: 'C', its name's length (u32) and name; its records, each
//     'F' and a record's bytes (82 in format 1, 97 in 2, 107 from 3 on); then 'E', the frames read (u64), whether
//     it was read to its end (u8), the frame reading ended at (u64) and why
//     (u32 length, text)
//   'Z' and the XXH64 of every byte up to it.
// A record's frame number counts from 1 in its capture: files read one
// after another number their frames on, as `mergecap -a` does.

#ifndef OVINT_LATENCY_READING_SIGHTINGS_H
#define OVINT_LATENCY_READING_SIGHTINGS_H

#include "matching/analysis.h"

#include <cstdint>
#include <sys/types.h>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

constexpr uint32_t SIGHTINGS_VERSION = 3;

// How a capture's reading ended.
struct CaptureEnding {
    uint64_t frames = 0;  // read
    bool complete = true;
    uint64_t frame = 0;   // else: the frame reading ended at, in the capture
    std::string reason;
};

class SightingsWriter {
public:
    ~SightingsWriter();
    // Writes into `fd` (taken over); false with errno set.
    bool open(int fd, KeyMode mode);
    void begin_capture(const char *name);
    void add(const FrameRecord &record);  // its frame numbered in its capture
    void end_capture(const CaptureEnding &ending);
    // The checksum, and the file closed; false with errno set (0: unknown).
    bool finish();

private:
    void write(const void *bytes, size_t length);
    FILE *file_ = nullptr;
    void *hash_ = nullptr;  // XXH64 state
    bool failed_ = false;
};

// A capture's sightings as read back, its frame numbers those of the file.
class SightingsReader {
public:
    ~SightingsReader();
    // Opens a sightings file and checks it whole (its form and checksum);
    // false with `sentence` saying what is wrong with it.
    bool open(const char *name, std::string &sentence);
    KeyMode key_mode() const { return mode_; }
    // The key mode a sightings file names, read off its header alone.
    static bool peek_key_mode(const char *name, KeyMode *mode);
    // The frames its captures hold, all told (checked by open).
    uint64_t frames() const { return frames_; }
    // The next capture in the file: false when there is none.
    bool next_capture(std::string &name);
    // The capture's next record, false at its end, when `ending` is set.
    bool next_record(FrameRecord &record, CaptureEnding &ending);
    // Whether the file was found changed since it was checked: a capture
    // then ends cut off there, or no capture follows where one should.
    bool changed() const { return changed_; }
    const std::string &name() const { return name_; }

private:
    // The file is read a block at a time (a call a record had cost more
    // than the record's decoding): `bytes(n)` gives the next n bytes, null
    // when the file ends before them. While checking, what is read is
    // hashed as the block moves on.
    const uint8_t *bytes(size_t length);
    bool read(void *into, size_t length);
    bool rewind_to(off_t offset);
    void hash_taken();
    void release_block();
    bool changed_at(CaptureEnding &ending);
    std::string name_;
    uint64_t last_frame_ = 0;  // of the capture being read
    bool changed_ = false;
    int fd_ = -1;
    std::unique_ptr<uint8_t[]> block_;
    size_t block_start_ = 0, block_end_ = 0, hashed_ = 0;
    void *hash_ = nullptr;  // XXH64 state, while checking
    KeyMode mode_ = KeyMode::ip;
    uint32_t version_ = SIGHTINGS_VERSION;  // of the file's format
    uint64_t frames_ = 0;
};

#endif // OVINT_LATENCY_READING_SIGHTINGS_H
