// SPDX-License-Identifier: GPL-2.0-or-later

#include "reading/sightings.h"

#include "core/trailer/ports.h"
#include "core/trailer/trailer_format.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr char MAGIC[8] = {'O', 'V', 'I', 'N', 'T', 'S', 'G', 'T'};
// A record: its frame, TAP time, key, length, kind, port, version and
// flags (40), its view (42), from format 2 on its facts (15), from format
// 3 on its identity less addresses and its TCP segment's span (10).
constexpr size_t RECORD_SIZE_1 = 40 + 42;
constexpr size_t RECORD_SIZE_2 = RECORD_SIZE_1 + 15;
constexpr size_t RECORD_SIZE = RECORD_SIZE_2 + 10;
// Format 1 is read still: its frames' facts are unknown, as a frame's that
// holds none.
constexpr uint32_t OLDEST_VERSION = 1;

size_t record_size(uint32_t version)
{
    return version == 1 ? RECORD_SIZE_1 : version == 2 ? RECORD_SIZE_2 : RECORD_SIZE;
}
constexpr uint64_t MOST_NAME = 65536;
// Frames a capture may hold, and all of a file's captures together: room
// to number frames on across files without wrapping.
constexpr uint64_t MOST_FRAMES = uint64_t(1) << 56;

// Little-endian fields; on a little-endian processor one load or store
// each (the byte loop had cost some 500 instructions a record).
inline void put(uint8_t *&at, uint64_t value, int bytes)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(at, &value, static_cast<size_t>(bytes));
    at += bytes;
#else
    for (int i = 0; i < bytes; i++)
        *at++ = static_cast<uint8_t>(value >> (8 * i));
#endif
}

inline uint64_t take(const uint8_t *&at, int bytes)
{
    uint64_t value = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&value, at, static_cast<size_t>(bytes));
    at += bytes;
#else
    for (int i = 0; i < bytes; i++)
        value |= uint64_t(*at++) << (8 * i);
#endif
    return value;
}

void encode(const FrameRecord &r, uint8_t *bytes)
{
    uint8_t *at = bytes;
    put(at, r.frame, 8), put(at, r.tap_time, 8), put(at, r.key.low, 8), put(at, r.key.high, 8);
    put(at, r.wire, 4), put(at, r.kind, 1), put(at, r.port, 1), put(at, r.version, 1), put(at, r.flags, 1);
    const TrafficView &v = r.view;
    put(at, v.family, 1), put(at, v.protocol, 1), put(at, v.dscp, 1), put(at, v.has_ports, 1);
    put(at, v.src_port, 2), put(at, v.dst_port, 2), put(at, v.vlan, 2);
    std::memcpy(at, v.src, 16), std::memcpy(at + 16, v.dst, 16);
    at += 32;
    const FrameFacts &f = r.facts;
    put(at, static_cast<uint8_t>(f.scope), 1), put(at, f.ttl, 1), put(at, f.src_tag, 4), put(at, f.dst_tag, 4);
    put(at, static_cast<uint8_t>(f.fragment), 1), put(at, f.packet_tag, 4);
    put(at, f.id_tag, 4), put(at, f.tcp_seq, 4), put(at, f.tcp_payload, 2);
}

// False for a record ovint does not write.
bool decode(const uint8_t *bytes, uint32_t version, FrameRecord &r)
{
    const uint8_t *at = bytes;
    r = {};
    r.frame = take(at, 8), r.tap_time = take(at, 8), r.key.low = take(at, 8), r.key.high = take(at, 8);
    r.wire = static_cast<uint32_t>(take(at, 4));
    r.kind = static_cast<uint8_t>(take(at, 1)), r.port = static_cast<uint8_t>(take(at, 1));
    r.version = static_cast<uint8_t>(take(at, 1)), r.flags = static_cast<uint8_t>(take(at, 1));
    TrafficView &v = r.view;
    v.family = static_cast<uint8_t>(take(at, 1)), v.protocol = static_cast<uint8_t>(take(at, 1));
    v.dscp = static_cast<uint8_t>(take(at, 1)), v.has_ports = static_cast<uint8_t>(take(at, 1));
    v.src_port = static_cast<uint16_t>(take(at, 2)), v.dst_port = static_cast<uint16_t>(take(at, 2));
    v.vlan = static_cast<uint16_t>(take(at, 2));
    std::memcpy(v.src, at, 16), std::memcpy(v.dst, at + 16, 16);
    at += 32;
    FrameFacts &f = r.facts;
    uint8_t scope = 0, fragment = 0;
    if (version >= 2) {
        scope = static_cast<uint8_t>(take(at, 1)), f.ttl = static_cast<uint8_t>(take(at, 1));
        f.src_tag = static_cast<uint32_t>(take(at, 4)), f.dst_tag = static_cast<uint32_t>(take(at, 4));
        fragment = static_cast<uint8_t>(take(at, 1)), f.packet_tag = static_cast<uint32_t>(take(at, 4));
    }
    if (version >= 3) {
        f.id_tag = static_cast<uint32_t>(take(at, 4));
        f.tcp_seq = static_cast<uint32_t>(take(at, 4)), f.tcp_payload = static_cast<uint16_t>(take(at, 2));
    }
    f.scope = static_cast<FrameScope>(scope);
    f.fragment = static_cast<FragmentKind>(fragment);
    // As reading a capture makes them: a key only for a frame of a link,
    // merged exactly when longer than any frame.
    const bool kind_fits = r.kind >= FrameRecord::keyed && r.kind <= FrameRecord::merged &&
                           (r.kind != FrameRecord::keyed || channel_of_port_byte(r.port) != NO_CHANNEL) &&
                           (r.kind == FrameRecord::merged) == (r.wire > LONGEST_WIRE_FRAME);
    return scope <= static_cast<uint8_t>(FrameScope::link_local) &&
           fragment <= static_cast<uint8_t>(FragmentKind::later) && kind_fits && (r.version == 1 || r.version == 2) &&
           (v.family == 0 || v.family == 4 || v.family == 6) && v.has_ports <= 1 && r.frame > 0 && r.frame <= MOST_FRAMES;
}

// An ending as reading a capture writes it: complete, or ended at the frame
// after the last read.
bool ending_fits(const CaptureEnding &ending, uint64_t last_frame)
{
    return ending.frames >= last_frame && ending.frames <= MOST_FRAMES &&
           (ending.complete ? ending.frame == 0 : ending.frame == ending.frames + 1);
}

CaptureEnding decode_ending(const uint8_t tail[21])
{
    const uint8_t *at = tail;
    CaptureEnding ending;
    ending.frames = take(at, 8);
    const uint64_t complete = take(at, 1);
    ending.complete = complete != 0;
    ending.frame = take(at, 8);
    if (complete > 1)
        ending.frame = ~uint64_t(0);  // fits no ending
    return ending;
}

} // namespace

SightingsWriter::~SightingsWriter()
{
    if (file_)
        fclose(file_);
    if (hash_)
        XXH64_freeState(static_cast<XXH64_state_t *>(hash_));
}

bool SightingsWriter::open(int fd, KeyMode mode)
{
    file_ = fdopen(fd, "w");
    hash_ = XXH64_createState();
    if (!file_ || !hash_) {
        if (!file_)
            close(fd);
        return false;
    }
    XXH64_reset(static_cast<XXH64_state_t *>(hash_), 0);
    uint8_t header[16] = {};
    std::memcpy(header, MAGIC, sizeof MAGIC);
    uint8_t *at = header + 8;
    put(at, SIGHTINGS_VERSION, 4);
    put(at, static_cast<uint8_t>(mode), 1);
    write(header, sizeof header);
    return true;
}

void SightingsWriter::write(const void *bytes, size_t length)
{
    XXH64_update(static_cast<XXH64_state_t *>(hash_), bytes, length);
    if (fwrite(bytes, 1, length, file_) != length)
        failed_ = true;
}

void SightingsWriter::begin_capture(const char *name)
{
    const size_t length = std::min<size_t>(std::strlen(name), MOST_NAME);
    uint8_t head[5] = {'C'};
    uint8_t *at = head + 1;
    put(at, length, 4);
    write(head, sizeof head);
    write(name, length);
}

void SightingsWriter::add(const FrameRecord &record)
{
    uint8_t bytes[1 + RECORD_SIZE] = {'F'};
    encode(record, bytes + 1);
    write(bytes, sizeof bytes);
}

void SightingsWriter::end_capture(const CaptureEnding &ending)
{
    const size_t length = std::min<size_t>(ending.reason.size(), MOST_NAME);
    uint8_t tail[22] = {'E'};
    uint8_t *at = tail + 1;
    put(at, ending.frames, 8), put(at, ending.complete ? 1 : 0, 1), put(at, ending.frame, 8), put(at, length, 4);
    write(tail, sizeof tail);
    write(ending.reason.data(), length);
}

bool SightingsWriter::finish()
{
    const uint8_t tag = 'Z';
    write(&tag, 1);
    uint8_t sum[8];
    uint8_t *at = sum;
    put(at, XXH64_digest(static_cast<XXH64_state_t *>(hash_)), 8);
    errno = 0;
    if (fwrite(sum, 1, sizeof sum, file_) != sizeof sum)
        failed_ = true;
    const bool closed = fclose(file_) == 0;
    file_ = nullptr;
    return closed && !failed_;
}

SightingsReader::~SightingsReader()
{
    if (fd_ >= 0)
        close(fd_);
    if (hash_)
        XXH64_freeState(static_cast<XXH64_state_t *>(hash_));
}

// A block of the file at a time: big enough for any name, and held only
// while the file is read (many files may be open at once).
constexpr size_t BLOCK_BYTES = size_t(256) << 10;
static_assert(BLOCK_BYTES > MOST_NAME + 1 + RECORD_SIZE, "a name or a record fits in a block");

void SightingsReader::hash_taken()
{
    if (hash_ && block_start_ > hashed_)
        XXH64_update(static_cast<XXH64_state_t *>(hash_), block_.get() + hashed_, block_start_ - hashed_);
    hashed_ = block_start_;
}

const uint8_t *SightingsReader::bytes(size_t length)
{
    if (!block_)
        block_.reset(new uint8_t[BLOCK_BYTES]);
    if (block_end_ - block_start_ < length) {
        hash_taken();
        std::memmove(block_.get(), block_.get() + block_start_, block_end_ - block_start_);
        block_end_ -= block_start_;
        block_start_ = hashed_ = 0;
        while (block_end_ < length) {
            const ssize_t got = ::read(fd_, block_.get() + block_end_, BLOCK_BYTES - block_end_);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return nullptr;
            block_end_ += static_cast<size_t>(got);
        }
    }
    const uint8_t *at = block_.get() + block_start_;
    block_start_ += length;
    return at;
}

bool SightingsReader::read(void *into, size_t length)
{
    const uint8_t *at = bytes(length);
    if (at && length)
        std::memcpy(into, at, length);
    return at != nullptr;
}

bool SightingsReader::rewind_to(off_t offset)
{
    block_start_ = block_end_ = hashed_ = 0;
    return lseek(fd_, offset, SEEK_SET) == offset;
}

void SightingsReader::release_block()
{
    block_.reset();
    block_start_ = block_end_ = hashed_ = 0;
}

// The whole file is read once to check it, then again as it is used: a
// damaged file is refused before anything is matched.
bool SightingsReader::open(const char *name, std::string &sentence)
{
    // Opened without waiting (a FIFO's writer may never come), then taken
    // only as a regular file.
    const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        sentence = std::string(name) + ": " + std::strerror(errno) + ".";
        return false;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        sentence = std::string(name) + " is not a file: sightings files are read twice (checked, then used).";
        close(fd);
        return false;
    }
    fd_ = fd;
    name_ = name;
    const std::string foreign = std::string(name) + " is not a sightings file of ovint-latency.";
    const std::string damaged = std::string(name) + " is damaged (cut short, or changed since it was written).";
    XXH64_state_t *hash = XXH64_createState();
    XXH64_reset(hash, 0);
    hash_ = hash;
    uint8_t header[16] = {};
    bool good = false;
    const bool ours = read(header, sizeof header) && std::memcmp(header, MAGIC, sizeof MAGIC) == 0;
    const uint8_t *at_version = header + 8;
    const uint64_t version = ours ? take(at_version, 4) : 0;
    mode_ = static_cast<KeyMode>(header[12]);
    version_ = static_cast<uint32_t>(version);
    if (!ours || header[12] < static_cast<uint8_t>(KeyMode::frame) || header[12] > static_cast<uint8_t>(KeyMode::nat)) {
        sentence = foreign;
    } else if (version < OLDEST_VERSION || version > SIGHTINGS_VERSION) {
        sentence = std::string(name) + " is in sightings format " + std::to_string(version) +
                   ", which this ovint-latency (format " + std::to_string(SIGHTINGS_VERSION) + ") cannot read.";
    } else {
        sentence = damaged;
        const size_t size = record_size(static_cast<uint32_t>(version));
        bool in_capture = false;
        uint64_t last_frame = 0;
        for (;;) {
            const uint8_t *tag = bytes(1);
            if (!tag)
                break;
            if (*tag == 'C' && !in_capture) {
                const uint8_t *at = bytes(4);
                if (!at)
                    break;
                const uint64_t length = take(at, 4);
                if (length > MOST_NAME || !bytes(static_cast<size_t>(length)))
                    break;
                in_capture = true;
                last_frame = 0;
            } else if (*tag == 'F' && in_capture) {
                const uint8_t *at = bytes(size);
                FrameRecord record;
                if (!at || !decode(at, static_cast<uint32_t>(version), record) || record.frame <= last_frame)
                    break;
                last_frame = record.frame;
            } else if (*tag == 'E' && in_capture) {
                const uint8_t *tail = bytes(21);
                if (!tail)
                    break;
                const CaptureEnding ending = decode_ending(tail);
                const uint8_t *at = tail + 17;
                const uint64_t length = take(at, 4);
                if (!ending_fits(ending, last_frame) || length > MOST_NAME || !bytes(static_cast<size_t>(length)))
                    break;
                frames_ += ending.frames;
                if (frames_ > MOST_FRAMES)
                    break;
                in_capture = false;
            } else if (*tag == 'Z' && !in_capture) {
                // Every byte up to the sum, this tag's included.
                hash_taken();
                const uint64_t digest = XXH64_digest(hash);
                const uint8_t *at = bytes(8);
                good = at && take(at, 8) == digest && !bytes(1);
                break;
            } else {
                break;
            }
        }
    }
    hash_ = nullptr;
    XXH64_freeState(hash);
    release_block();
    if (!good || !rewind_to(sizeof header)) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool SightingsReader::peek_key_mode(const char *name, KeyMode *mode)
{
    // Not from a pipe: what is read here would be gone for the check.
    const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    uint8_t header[16] = {};
    const bool read = fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                      ::read(fd, header, sizeof header) == sizeof header;
    if (fd >= 0)
        close(fd);
    if (!read || std::memcmp(header, MAGIC, sizeof MAGIC) != 0 || header[12] < static_cast<uint8_t>(KeyMode::frame) ||
        header[12] > static_cast<uint8_t>(KeyMode::nat))
        return false;
    *mode = static_cast<KeyMode>(header[12]);
    return true;
}

bool SightingsReader::next_capture(std::string &name)
{
    const uint8_t *head = bytes(5);
    if (!head || head[0] != 'C') {
        // The file ends with its sum; anything else was changed since.
        changed_ = !head || head[0] != 'Z';
        release_block();  // the file is done with
        return false;
    }
    const uint8_t *at = head + 1;
    const uint64_t length = take(at, 4);
    if (length > MOST_NAME) {
        changed_ = true;
        return false;
    }
    name.assign(static_cast<size_t>(length), '\0');
    last_frame_ = 0;
    changed_ = !read(&name[0], name.size());
    return !changed_;
}

// A file changed since it was checked (cut short, written over) ends the
// capture there, as a capture cut off does: never as complete.
bool SightingsReader::changed_at(CaptureEnding &ending)
{
    changed_ = true;
    ending = CaptureEnding();
    ending.frames = last_frame_;
    ending.complete = false;
    ending.frame = last_frame_ + 1;
    ending.reason = "the sightings file changed after it was checked";
    return false;
}

bool SightingsReader::next_record(FrameRecord &record, CaptureEnding &ending)
{
    const uint8_t *tag = bytes(1);
    if (!tag)
        return changed_at(ending);
    if (*tag == 'F') {
        const uint8_t *at = bytes(record_size(version_));
        if (!at || !decode(at, version_, record) || record.frame <= last_frame_)
            return changed_at(ending);
        last_frame_ = record.frame;
        return true;
    }
    const uint8_t *tail = *tag == 'E' ? bytes(21) : nullptr;
    if (!tail)
        return changed_at(ending);
    const CaptureEnding read_ending = decode_ending(tail);
    const uint8_t *at = tail + 17;
    const uint64_t length = take(at, 4);
    if (!ending_fits(read_ending, last_frame_) || length > MOST_NAME)
        return changed_at(ending);
    ending = read_ending;
    ending.reason.assign(static_cast<size_t>(length), '\0');
    if (!read(&ending.reason[0], ending.reason.size()))
        return changed_at(ending);
    return false;
}
