// SPDX-License-Identifier: GPL-2.0-or-later

#include "reading/capture_reader.h"

#include "capture_io/output_files.h"
#include "capture_io/program_shell.h"
#include "capture_io/wiretap_error.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// wiretap refuses an Ethernet record longer than this.
constexpr uint32_t LONGEST_RECORD = 262144;
constexpr size_t PCAP_FILE_HEADER = 24, PCAP_RECORD_HEADER = 16;
constexpr uint32_t PCAPNG_SECTION = 0x0A0D0D0A, PCAPNG_INTERFACE = 1, PCAPNG_NAMES = 4, PCAPNG_STATISTICS = 5,
                   PCAPNG_PACKET = 6;
constexpr uint32_t PCAPNG_BYTE_ORDER = 0x1A2B3C4D;
// An enhanced packet block's words before its packet's bytes, and the
// trailing length after them.
constexpr size_t PCAPNG_PACKET_HEADER = 28, PCAPNG_BLOCK_TRAILER = 4;
constexpr uint32_t LINKTYPE_ETHERNET = 1;
constexpr int QUIET_TICK_MS = 250;  // how often a quiet input is told
// A block beyond this is left to wiretap (options this long are odd).
constexpr uint32_t LONGEST_BLOCK = LONGEST_RECORD + 65536;

uint32_t load32(const uint8_t *at, bool swapped)
{
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return swapped ? __builtin_bswap32(value) : value;
}

uint16_t load16(const uint8_t *at, bool swapped)
{
    uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return swapped ? __builtin_bswap16(value) : value;
}

} // namespace

void FrameChunk::reserve_more(size_t more)
{
    if (capacity - size >= more)
        return;
    const size_t wanted = std::max(size + more, capacity * 2);
    std::unique_ptr<uint8_t[]> grown(new uint8_t[wanted]);
    if (size)
        std::memcpy(grown.get(), bytes.get(), size);
    bytes = std::move(grown);
    capacity = wanted;
}

CaptureReader::~CaptureReader()
{
    if (wth_) {
        record_cleanup(record_);
        wtap_close(wth_);  // the feeder, writing, then finds its pipe closed
    }
    if (feeder_.joinable()) {
        stop_feeding_ = true;
        feeder_.join();
    }
    if (fd_ >= 0)
        close(fd_);
    g_free(err_info_);
}

bool CaptureReader::open(const char *name, std::string &sentence)
{
    name_ = name;
    fd_ = is_standard_stream(name) ? fcntl(0, F_DUPFD_CLOEXEC, 0) : ::open(name, O_RDONLY | O_CLOEXEC);
    struct stat status;
    const bool got_status = fd_ >= 0 && fstat(fd_, &status) == 0;
    if (got_status && (is_standard_stream(name) || S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))) {
        // Read once (standard input even from a file, which is not opened
        // again): what it held goes to wiretap if it is not read here.
        stream_ = true;
        if (recognise() || go_on_from_stream())
            return true;
        sentence = (is_standard_stream(name) ? std::string("standard input") : name_) + ": " +
                   wiretap_error(err_, err_info_) + ".";
        err_info_ = nullptr;  // freed
        return false;
    }
    if (got_status && S_ISREG(status.st_mode) && recognise())
        return true;
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    format_ = Format::wiretap;
    wth_ = open_through_wiretap(name, sentence);
    if (!wth_)
        return false;
    record_init(record_);
    return true;
}

// Reads until at least `wanted` bytes are pending; false at the file's end
// (or an error) before that.
bool CaptureReader::read_more(size_t wanted)
{
    if (pending_end_ - pending_start_ >= wanted)
        return true;
    if (pending_start_ && pending_start_ == pending_end_)
        pending_start_ = pending_end_ = 0;
    if (pending_capacity_ - pending_start_ < wanted) {
        const size_t capacity = std::max(wanted, size_t(65536));
        std::unique_ptr<uint8_t[]> moved(new uint8_t[capacity]);
        if (pending_end_ > pending_start_)
            std::memcpy(moved.get(), pending_.get() + pending_start_, pending_end_ - pending_start_);
        pending_ = std::move(moved);
        pending_end_ -= pending_start_;
        pending_start_ = 0;
        pending_capacity_ = capacity;
    }
    while (pending_end_ - pending_start_ < wanted) {
        const size_t got = read_file(pending_.get() + pending_end_, pending_capacity_ - pending_end_);
        if (!got)
            return false;
        pending_end_ += got;
    }
    return true;
}

// Up to `room` bytes of the file into `into`: how many, 0 once it has
// ended or a read failed (at_end_ then set, and read_failed_ for a failure).
size_t CaptureReader::read_file(uint8_t *into, size_t room)
{
    for (;;) {
        if (stream_ && quiet_) {
            // Waited on a few times a second, to tell the quiet.
            pollfd ready = {fd_, POLLIN, 0};
            const int polled = poll(&ready, 1, QUIET_TICK_MS);
            if (polled == 0) {
                tell_quiet(uint64_t(QUIET_TICK_MS) * 1000000);
                continue;
            }
            if (polled < 0 && errno == EINTR && !input_interrupted())
                continue;
            if (polled < 0) {
                at_end_ = read_failed_ = true;
                return 0;
            }
        }
        const ssize_t got = read(fd_, into, room);
        if (got > 0) {
            quiet_since_ = 0;
            return size_t(got);
        }
        if (got < 0 && errno == EINTR && !input_interrupted())
            continue;
        if (got == 0 && more_may_come_) {
            if (followed_file_changed()) {
                at_end_ = true;
                return 0;
            }
            if (quiet_)
                tell_quiet(0);
            if (more_may_come_())
                continue;
        }
        at_end_ = true;
        read_failed_ = got < 0;
        return 0;
    }
}

// Whether the followed file is now shorter than what was read of it, or
// its name now names another file: what comes is not what followed.
bool CaptureReader::followed_file_changed()
{
    struct stat read_from, named;
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    if (fstat(fd_, &read_from) != 0 || at < 0)
        return false;
    if (read_from.st_size < at)
        stop_reason_ = "the file was cut short while it was followed";
    else if (stat(name_.c_str(), &named) == 0 && (named.st_ino != read_from.st_ino || named.st_dev != read_from.st_dev))
        stop_reason_ = "the file was written anew while it was followed";
    return !stop_reason_.empty();
}

// `waited` ns of the quiet have passed unseen (a wait before the first
// call).
void CaptureReader::tell_quiet(uint64_t waited)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ns = uint64_t(now.tv_sec) * 1000000000 + uint64_t(now.tv_nsec);
    if (!quiet_since_)
        quiet_since_ = ns - std::min(ns - 1, waited);
    quiet_(ns - quiet_since_);
}

// Whether the file is one read straight: pcap of Ethernet, version 2.4,
// or pcapng of version 1.0. Its header is then taken.
bool CaptureReader::recognise()
{
    if (!read_more(PCAP_FILE_HEADER))
        return false;
    const uint8_t *header = pending_.get();
    const uint32_t magic = load32(header, false);
    if (magic == 0xA1B2C3D4 || magic == 0xA1B23C4D || magic == 0xD4C3B2A1 || magic == 0x4D3CB2A1) {
        swapped_ = magic == 0xD4C3B2A1 || magic == 0x4D3CB2A1;
        fraction_unit_ = magic == 0xA1B2C3D4 || magic == 0xD4C3B2A1 ? 1000000 : 1000000000;
        if (load16(header + 4, swapped_) != 2 || load16(header + 6, swapped_) != 4 ||
            load32(header + 20, swapped_) != LINKTYPE_ETHERNET)
            return false;
        if (stream_)
            preamble_.assign(header, header + PCAP_FILE_HEADER);
        pending_start_ += PCAP_FILE_HEADER;
        format_ = Format::pcap;
        return true;
    }
    if (magic != PCAPNG_SECTION)
        return false;
    const uint32_t order = load32(header + 8, false);
    if (order != PCAPNG_BYTE_ORDER && order != __builtin_bswap32(PCAPNG_BYTE_ORDER))
        return false;
    swapped_ = order != PCAPNG_BYTE_ORDER;
    const uint32_t length = load32(header + 4, swapped_);
    if (load16(header + 12, swapped_) != 1 || load16(header + 14, swapped_) != 0 || length % 4 ||
        length < PCAP_FILE_HEADER + 4 || length > LONGEST_BLOCK || !read_more(length) ||
        load32(pending_.get() + length - 4, swapped_) != length)
        return false;
    if (stream_)
        preamble_.assign(pending_.get(), pending_.get() + length);
    pending_start_ += length;
    format_ = Format::pcapng;
    return true;
}

// One pcap record at `at`, `left` bytes on: taken into `chunk` when whole
// (`length` then its size); `odd` when wiretap must read it.
inline __attribute__((always_inline)) bool CaptureReader::take_pcap_record(FrameChunk &chunk, const uint8_t *at,
                                                                           size_t left, size_t &length, bool &odd)
{
    if (left < PCAP_RECORD_HEADER) {
        length = PCAP_RECORD_HEADER;
        return false;
    }
    const uint32_t fraction = load32(at + 4, swapped_), captured = load32(at + 8, swapped_),
                   wire = load32(at + 12, swapped_);
    if (captured > LONGEST_RECORD || wire > LONGEST_RECORD || captured > wire || fraction >= fraction_unit_) {
        odd = true;
        return false;
    }
    length = PCAP_RECORD_HEADER + captured;
    if (left < length)
        return false;
    chunk.frames.push_back({++frames_, size_t(at + PCAP_RECORD_HEADER - chunk.bytes.get()), captured, wire, true});
    chunk.records++;
    return true;
}

// Likewise one pcapng block: a packet block is a record; interface,
// statistics and name resolution blocks (Wireshark's "Save As" writes
// them mid-file) are taken in passing, as wiretap takes them.
inline __attribute__((always_inline)) bool CaptureReader::take_pcapng_block(FrameChunk &chunk, const uint8_t *at,
                                                                            size_t left, size_t &length, bool &odd)
{
    if (left < 8) {
        length = 8;
        return false;
    }
    const uint32_t type = load32(at, swapped_);
    length = load32(at + 4, swapped_);
    if (length % 4 || length < 12 || length > LONGEST_BLOCK ||
        (type != PCAPNG_INTERFACE && type != PCAPNG_NAMES && type != PCAPNG_STATISTICS && type != PCAPNG_PACKET)) {
        odd = true;
        return false;
    }
    if (left < length)
        return false;
    if (load32(at + length - 4, swapped_) != length) {
        odd = true;
        return false;
    }
    if (type == PCAPNG_INTERFACE) {
        if (length < 20) {
            odd = true;
            return false;
        }
        ethernet_interfaces_.push_back(load16(at + 8, swapped_) == LINKTYPE_ETHERNET);
        if (stream_)
            preamble_.insert(preamble_.end(), at, at + length);
        return true;
    }
    if (type == PCAPNG_STATISTICS || type == PCAPNG_NAMES)
        return true;
    if (length < PCAPNG_PACKET_HEADER + PCAPNG_BLOCK_TRAILER) {
        odd = true;
        return false;
    }
    const uint32_t interface = load32(at + 8, swapped_), captured = load32(at + 20, swapped_),
                   wire = load32(at + 24, swapped_);
    if (interface >= ethernet_interfaces_.size() || captured > LONGEST_RECORD || wire > LONGEST_RECORD ||
        captured > wire || PCAPNG_PACKET_HEADER + ((uint64_t(captured) + 3) & ~uint64_t(3)) + PCAPNG_BLOCK_TRAILER > length) {
        odd = true;
        return false;
    }
    chunk.frames.push_back({++frames_, size_t(at + PCAPNG_PACKET_HEADER - chunk.bytes.get()), captured, wire,
                            bool(ethernet_interfaces_[interface])});
    chunk.records++;
    return true;
}

bool CaptureReader::take_records(FrameChunk &chunk, size_t most_bytes, size_t &used)
{
    for (;;) {
        if (used >= most_bytes && chunk.records)
            return true;
        size_t length = 0;
        bool odd = false;
        const uint8_t *at = chunk.bytes.get() + used;
        const size_t left = chunk.size - used;
        const bool taken = format_ == Format::pcap ? take_pcap_record(chunk, at, left, length, odd)
                                                   : take_pcapng_block(chunk, at, left, length, odd);
        if (odd)
            return false;
        if (taken) {
            used += length;
            continue;
        }
        // The record runs beyond what is held: it waits for the next chunk
        // once this one holds enough, else the chunk reads on.
        // Cut off, or a read that failed: wiretap says where and how.
        if (at_end_ && pending_start_ == pending_end_)
            return left == 0 && !read_failed_;
        if (chunk.records && chunk.size >= most_bytes)
            return true;
        // Live: the records at hand now, not once a chunk has filled.
        if (chunk.records && (stream_ || more_may_come_) && !more_at_hand())
            return true;
        const size_t parsed = chunk.size;  // all the parse above saw
        const size_t target = std::max(used + length, most_bytes);
        chunk.reserve_more(target - chunk.size);
        const size_t moved = std::min(pending_end_ - pending_start_, target - chunk.size);
        if (moved)
            std::memcpy(chunk.bytes.get() + chunk.size, pending_.get() + pending_start_, moved);
        pending_start_ += moved;
        chunk.size += moved;
        while (chunk.size < target) {
            // Live: what has come since the parse is parsed before waiting
            // for more. A record that came in part waits here, where the
            // quiet is told and a signal heard.
            if ((stream_ || more_may_come_) && chunk.size > parsed && !more_at_hand())
                break;
            const size_t got = read_file(chunk.bytes.get() + chunk.size, target - chunk.size);
            if (!got)
                break;
            chunk.size += got;
        }
    }
}

// Whether more of a stream, or of a file followed, can be read at once.
bool CaptureReader::more_at_hand() const
{
    if (pending_end_ > pending_start_)
        return true;
    if (stream_) {
        pollfd ready = {fd_, POLLIN, 0};
        return poll(&ready, 1, 0) > 0;
    }
    struct stat status;
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    return fstat(fd_, &status) == 0 && at >= 0 && status.st_size > at;
}

// Puts `count` bytes back before those pending.
void CaptureReader::put_back(const uint8_t *bytes, size_t count)
{
    const size_t held = pending_end_ - pending_start_;
    if (pending_start_ < count) {
        if (pending_capacity_ < count + held) {
            pending_capacity_ = std::max(count + held, size_t(65536));
            std::unique_ptr<uint8_t[]> moved(new uint8_t[pending_capacity_]);
            if (held)
                std::memcpy(moved.get() + count, pending_.get() + pending_start_, held);
            pending_ = std::move(moved);
        } else {
            std::memmove(pending_.get() + count, pending_.get() + pending_start_, held);
        }
        pending_start_ = count;
        pending_end_ = count + held;
    }
    pending_start_ -= count;
    if (count)
        std::memcpy(pending_.get() + pending_start_, bytes, count);
}

bool CaptureReader::read_chunk(FrameChunk &chunk, size_t most_bytes)
{
    chunk.clear();
    if (format_ == Format::wiretap)
        return read_through_wiretap(chunk, most_bytes);
    size_t used = 0;
    if (take_records(chunk, most_bytes, used)) {
        // What follows the last whole record waits for the next chunk.
        put_back(chunk.bytes.get() + used, chunk.size - used);
        chunk.size = used;
        return chunk.records > 0;
    }
    // A signal ended the input, or the followed file changed: what was
    // read is all there is.
    if ((input_interrupted() && read_failed_) || !stop_reason_.empty()) {
        chunk.size = used;
        return chunk.records > 0;
    }
    // A stream cannot be read again: what the chunk holds from the odd
    // record on goes to wiretap.
    if (stream_)
        put_back(chunk.bytes.get() + used, chunk.size - used);
    chunk.size = used;
    if (!(stream_ ? go_on_from_stream() : go_on_through_wiretap()))
        return chunk.records > 0;
    read_through_wiretap(chunk, most_bytes);
    return chunk.records > 0;
}
