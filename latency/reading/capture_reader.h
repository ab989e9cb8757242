// SPDX-License-Identifier: GPL-2.0-or-later
//
// A capture's frames, read a chunk at a time: the bytes of whole records
// and where each frame lies in them. A capture host's own files (pcap, and
// pcapng of packet blocks) are read straight from the file, each chunk one
// read of about a megabyte, at a small part of what wiretap spends a record;
// everything else (compressed files, other formats, a record that is odd
// in any way) through wiretap. A file that turns odd part way is read on
// through wiretap from the record it turned at, so its frames, their
// numbers and how its reading ended are wiretap's. Standard input and
// other pipes are read the same way: wiretap then reads on from a pipe of
// its own, fed the stream's header and what follows the odd record.

#ifndef OVINT_LATENCY_READING_CAPTURE_READER_H
#define OVINT_LATENCY_READING_CAPTURE_READER_H

#include "reading/sightings.h"

#include "capture_io/wiretap_compat.h"

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

// A frame of a chunk: its bytes from `offset` in the chunk's bytes.
struct RawFrame {
    uint64_t frame;  // in its capture, from 1
    size_t offset;
    uint32_t captured, wire;
    bool ethernet;
};

struct FrameChunk {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0, capacity = 0;
    std::vector<RawFrame> frames;  // the packets among its records
    uint64_t records = 0;          // packets and other records

    const uint8_t *frame_bytes(const RawFrame &frame) const { return bytes.get() + frame.offset; }
    void clear() { size = 0, records = 0, frames.clear(); }
    // Room for `more` bytes beyond `size`, what is held kept.
    void reserve_more(size_t more);
};

class CaptureReader {
public:
    CaptureReader() = default;
    CaptureReader(const CaptureReader &) = delete;
    CaptureReader &operator=(const CaptureReader &) = delete;
    ~CaptureReader();

    // False with `sentence` saying why it cannot be read.
    bool open(const char *name, std::string &sentence);
    // The next records into `chunk` (emptied first): about `most_bytes`
    // bytes, at least one record. False once none is left; `ending()` then
    // tells how the reading ended.
    bool read_chunk(FrameChunk &chunk, size_t most_bytes);
    CaptureEnding ending();
    // Follows the file as it is written: at its end `more_may_come()` is
    // asked (before open) whether to wait for more, which it does itself a
    // little, or to end there. Only a file read straight is followed.
    void follow(std::function<bool()> more_may_come) { more_may_come_ = std::move(more_may_come); }
    // While a stream or a followed file has nothing to read, `quiet(ns)` is
    // called every fraction of a second with how long it has had nothing.
    void when_quiet(std::function<void(uint64_t)> quiet) { quiet_ = std::move(quiet); }
    // Whether the records are read straight from the file (for the tests
    // and the benchmark).
    bool read_directly() const { return format_ != Format::wiretap; }

private:
    enum class Format { wiretap, pcap, pcapng };
    bool recognise();
    // Whole records from the front of `pending_` into `chunk`; false when
    // the next one is odd (wiretap reads on from there).
    bool take_records(FrameChunk &chunk, size_t most_bytes, size_t &used);
    bool take_pcap_record(FrameChunk &chunk, const uint8_t *at, size_t left, size_t &length, bool &odd);
    bool take_pcapng_block(FrameChunk &chunk, const uint8_t *at, size_t left, size_t &length, bool &odd);
    bool read_more(size_t wanted);
    bool more_at_hand() const;
    size_t read_file(uint8_t *into, size_t room);
    void put_back(const uint8_t *bytes, size_t count);
    // Opens a capture for wiretap; null with `sentence` saying why.
    static wtap *open_through_wiretap(const char *name, std::string &sentence);
    bool go_on_through_wiretap();
    bool go_on_from_stream();
    bool read_through_wiretap(FrameChunk &chunk, size_t most_bytes);

    std::string name_;
    Format format_ = Format::wiretap;
    int fd_ = -1;
    bool at_end_ = false;
    bool read_failed_ = false;  // wiretap reads on, and tells why
    // A followed file cut short or written anew under its name: reading
    // ends there, and this says why.
    std::string stop_reason_;
    bool followed_file_changed();
    bool swapped_ = false;       // the file's byte order is not ours
    uint32_t fraction_unit_ = 0;  // pcap: a second in the timestamp's fraction
    std::vector<bool> ethernet_interfaces_;  // pcapng
    // Bytes read from the file but not yet taken, from a record's start.
    std::unique_ptr<uint8_t[]> pending_;
    size_t pending_start_ = 0, pending_end_ = 0, pending_capacity_ = 0;

    wtap *wth_ = nullptr;
    ReadRecord record_;
    int err_ = 0;
    gchar *err_info_ = nullptr;
    bool wiretap_done_ = false;
    uint64_t frames_ = 0;  // records read
    std::function<bool()> more_may_come_;
    std::function<void(uint64_t)> quiet_;
    // Since when (CLOCK_MONOTONIC, ns) nothing has come; 0 while it comes.
    uint64_t quiet_since_ = 0;
    void tell_quiet(uint64_t waited);
    // A stream (standard input, a pipe): its header blocks as read, which
    // wiretap is fed again should it read on; the thread that feeds it.
    bool stream_ = false;
    std::vector<uint8_t> preamble_;
    std::thread feeder_;
    std::atomic<bool> stop_feeding_{false};
};

#endif // OVINT_LATENCY_READING_CAPTURE_READER_H
