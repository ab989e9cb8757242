// SPDX-License-Identifier: GPL-2.0-or-later
//
// ovint-latency's capture reader against wiretap: in every form of pcap and
// pcapng, in chunks small enough that records straddle them, it gives each
// frame's bytes and lengths, its number and how the reading ended exactly
// as wiretap reads them; and it reads straight from the file only the forms
// it knows whole.

#include "reading/capture_reader.h"
#include "reading/sightings.h"

#include "capture_io/wiretap_compat.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Seen {
    uint64_t frame;
    uint32_t captured, wire;
    bool ethernet;
    Bytes bytes;
    bool operator==(const Seen &other) const
    {
        return frame == other.frame && captured == other.captured && wire == other.wire &&
               ethernet == other.ethernet && bytes == other.bytes;
    }
};

struct Reading {
    std::vector<Seen> frames;
    uint64_t records = 0;
    CaptureEnding ending;
};

// Frames of many lengths, up to 200 kB (a receive offload's), each byte
// telling its frame and place.
std::vector<Bytes> sample_frames()
{
    std::vector<Bytes> frames;
    const size_t lengths[] = {60, 1514, 64, 9018, 200000, 61, 1500, 62, 3000, 1024};
    for (int i = 0; i < 300; i++) {
        Bytes frame(lengths[i % 10] + i % 7);
        for (size_t b = 0; b < frame.size(); b++)
            frame[b] = uint8_t(i * 31 + b);
        frames.push_back(frame);
    }
    return frames;
}

std::string temporary_path(const char *suffix)
{
    char path[] = "/tmp/ovint-reader-XXXXXX";
    const int fd = mkstemp(path);
    close(fd);
    unlink(path);
    return std::string(path) + suffix;
}

Bytes file_bytes(const std::string &path)
{
    Bytes bytes;
    FILE *file = std::fopen(path.c_str(), "rb");
    for (int c; file && (c = std::fgetc(file)) != EOF;)
        bytes.push_back(uint8_t(c));
    if (file)
        std::fclose(file);
    return bytes;
}

void write_file(const std::string &path, const Bytes &bytes)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

// pcap as libpcap writes it, in µs or ns.
Bytes libpcap_file(const std::vector<Bytes> &frames, bool nanoseconds)
{
    const std::string path = temporary_path(".pcap");
    pcap_t *pcap = pcap_open_dead_with_tstamp_precision(
        DLT_EN10MB, 262144, nanoseconds ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO);
    pcap_dumper_t *dumper = pcap_dump_open(pcap, path.c_str());
    for (size_t i = 0; i < frames.size(); i++) {
        pcap_pkthdr header = {};
        header.ts.tv_sec = long(1000 + i);
        header.ts.tv_usec = long(i * 7);
        header.caplen = uint32_t(frames[i].size());
        header.len = header.caplen + uint32_t(i % 3 == 0 ? 4 : 0);  // some cut short by the snap length
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, frames[i].data());
    }
    pcap_dump_close(dumper);
    pcap_close(pcap);
    Bytes bytes = file_bytes(path);
    unlink(path.c_str());
    return bytes;
}

// The same pcap in the other byte order: every header word swapped.
Bytes swapped_pcap(const Bytes &pcap)
{
    Bytes out = pcap;
    auto swap = [&out](size_t at, size_t width) { std::reverse(out.begin() + at, out.begin() + at + width); };
    const size_t widths[] = {4, 2, 2, 4, 4, 4, 4};
    size_t at = 0;
    for (size_t width : widths)
        swap(at, width), at += width;
    while (at + 16 <= out.size()) {
        uint32_t captured;
        std::memcpy(&captured, &pcap[at + 8], 4);
        for (int word = 0; word < 4; word++)
            swap(at + 4 * word, 4);
        at += 16 + captured;
    }
    return out;
}

// pcapng block by block (section, interface, packet and statistics
// blocks), in either byte order.
struct PcapngWriter {
    bool big_endian;
    Bytes bytes;
    void word32(uint32_t value)
    {
        for (int i = 0; i < 4; i++)
            bytes.push_back(uint8_t(value >> (big_endian ? 24 - 8 * i : 8 * i)));
    }
    void word16(uint16_t value)
    {
        for (int i = 0; i < 2; i++)
            bytes.push_back(uint8_t(value >> (big_endian ? 8 - 8 * i : 8 * i)));
    }
    void block(uint32_t type, const Bytes &body)
    {
        const uint32_t length = uint32_t(12 + (body.size() + 3) / 4 * 4);
        word32(type);
        word32(length);
        bytes.insert(bytes.end(), body.begin(), body.end());
        bytes.resize(bytes.size() + (4 - body.size() % 4) % 4);
        word32(length);
    }
    Bytes body(const std::vector<uint32_t> &words)
    {
        PcapngWriter part{big_endian, {}};
        for (uint32_t word : words)
            part.word32(word);
        return part.bytes;
    }
    void section()
    {
        PcapngWriter part{big_endian, {}};
        part.word32(0x1A2B3C4D);
        part.word16(1);
        part.word16(0);
        part.word32(0xFFFFFFFF);
        part.word32(0xFFFFFFFF);
        block(0x0A0D0D0A, part.bytes);
    }
    void interface(uint16_t linktype)
    {
        PcapngWriter part{big_endian, {}};
        part.word16(linktype);
        part.word16(0);
        part.word32(262144);
        block(1, part.bytes);
    }
    // One name for one IPv4 address, as Wireshark's "Save As" writes them.
    void name_resolution()
    {
        PcapngWriter part{big_endian, {}};
        part.word16(1);
        part.word16(9);
        const Bytes record = {192, 0, 2, 1, 'h', 'o', 's', 't', 0, 0, 0, 0, 0, 0, 0, 0};
        part.bytes.insert(part.bytes.end(), record.begin(), record.end());
        block(4, part.bytes);
    }
    void packet(uint32_t interface, const Bytes &frame, uint32_t wire)
    {
        Bytes body = this->body({interface, 0, 1000, uint32_t(frame.size()), wire});
        body.insert(body.end(), frame.begin(), frame.end());
        block(6, body);
    }
};

// Frames on an Ethernet interface and, from the tenth, every third on a
// raw IP one; statistics and names between. `second_section`: a new
// section half way.
Bytes pcapng_file(const std::vector<Bytes> &frames, bool big_endian, bool second_section)
{
    PcapngWriter writer{big_endian, {}};
    writer.section();
    writer.interface(1);
    writer.interface(101);
    for (size_t i = 0; i < frames.size(); i++) {
        if (second_section && i == frames.size() / 2) {
            writer.section();
            writer.interface(1);
            writer.interface(101);
        }
        writer.packet(i >= 10 && i % 3 == 0 ? 1 : 0, frames[i], uint32_t(frames[i].size() + i % 2));
        if (i % 50 == 49)
            writer.block(5, writer.body({0, 0, 0}));
        if (i % 50 == 24)
            writer.name_resolution();
    }
    return writer.bytes;
}

// The 150th pcap record longer on the wire than... shorter: odd.
Bytes pcap_with_odd_record(const Bytes &pcap)
{
    Bytes out = pcap;
    size_t at = 24;
    for (int record = 1; at + 16 <= out.size(); record++) {
        uint32_t captured;
        std::memcpy(&captured, &out[at + 8], 4);
        if (record == 150) {
            const uint32_t wire = captured - 1;
            std::memcpy(&out[at + 12], &wire, 4);
        }
        at += 16 + captured;
    }
    return out;
}

// The same records under another link type (raw IP): not read straight.
Bytes raw_ip_pcap(const Bytes &pcap)
{
    Bytes out = pcap;
    const uint32_t raw_ip = 101;
    std::memcpy(&out[20], &raw_ip, 4);
    return out;
}

Reading read_through_wiretap(const std::string &path)
{
    Reading reading;
    int err = 0;
    gchar *err_info = nullptr;
    wtap *wth = wtap_open_offline(path.c_str(), WTAP_TYPE_AUTO, &err, &err_info, FALSE);
    EXPECT_NE(wth, nullptr) << path;
    if (!wth)
        return reading;
    ReadRecord record;
    record_init(record);
    gint64 offset;
    while (read_record(wth, record, &err, &err_info, &offset)) {
        reading.records++;
        const wtap_packet_header &header = record.rec.rec_header.packet_header;
        if (record.rec.rec_type == REC_TYPE_PACKET) {
            const uint8_t *bytes = record_bytes(record);
            reading.frames.push_back({reading.records, header.caplen, header.len,
                                      header.pkt_encap == WTAP_ENCAP_ETHERNET, Bytes(bytes, bytes + header.caplen)});
        }
        wtap_rec_reset(&record.rec);
    }
    reading.ending.frames = reading.records;
    reading.ending.complete = err == 0;
    g_free(err_info);
    record_cleanup(record);
    wtap_close(wth);
    return reading;
}

TEST(CaptureReader, EveryFormAsWiretapReadsIt)
{
    start_log("capture_reader_tests");
    wtap_init(FALSE);
    const std::vector<Bytes> frames = sample_frames();
    const Bytes micro = libpcap_file(frames, false);
    Bytes cut = libpcap_file(frames, true);
    cut.resize(cut.size() * 2 / 3);
    struct Form {
        const char *name;
        Bytes bytes;
        bool straight;  // read straight from the file to its end
    } forms[] = {
        {"pcap in µs", micro, true},
        {"pcap in ns", libpcap_file(frames, true), true},
        {"pcap in the other byte order", swapped_pcap(micro), true},
        {"pcapng, little-endian", pcapng_file(frames, false, false), true},
        {"pcapng, big-endian", pcapng_file(frames, true, false), true},
        {"pcapng of two sections", pcapng_file(frames, false, true), false},
        {"pcap with an odd record", pcap_with_odd_record(micro), false},
        {"pcap cut off", cut, false},
        {"pcap of raw IP", raw_ip_pcap(micro), false},
    };
    const std::string path = temporary_path(".capture");
    for (const Form &form : forms) {
        write_file(path, form.bytes);
        const Reading expected = read_through_wiretap(path);
        // From the file, and from a pipe (as standard input is read).
        for (const bool piped : {false, true})
        for (size_t chunk_bytes : {size_t(700), size_t(1) << 20}) {
            SCOPED_TRACE(std::string(form.name) + (piped ? ", through a pipe" : "") + ", chunks of " +
                         std::to_string(chunk_bytes) + " bytes");
            int ends[2] = {-1, -1};
            std::thread writer;
            std::string name = path;
            if (piped) {
                ASSERT_EQ(0, pipe(ends));
                writer = std::thread([&form, &ends] {
                    size_t at = 0;
                    while (at < form.bytes.size()) {
                        const ssize_t put = write(ends[1], form.bytes.data() + at, form.bytes.size() - at);
                        if (put <= 0)
                            break;
                        at += size_t(put);
                    }
                    close(ends[1]);
                });
                name = "/dev/fd/" + std::to_string(ends[0]);
            }
            CaptureReader reader;
            std::string sentence;
            const bool opened = reader.open(name.c_str(), sentence);
            if (piped)
                close(ends[0]);
            ASSERT_TRUE(opened) << sentence;
            Reading got;
            FrameChunk chunk;
            while (reader.read_chunk(chunk, chunk_bytes)) {
                got.records += chunk.records;
                for (const RawFrame &raw : chunk.frames)
                    got.frames.push_back({raw.frame, raw.captured, raw.wire, raw.ethernet,
                                          Bytes(chunk.frame_bytes(raw), chunk.frame_bytes(raw) + raw.captured)});
            }
            const CaptureEnding ending = reader.ending();
            EXPECT_EQ(form.straight, reader.read_directly());
            EXPECT_EQ(expected.records, got.records);
            EXPECT_EQ(expected.ending.frames, ending.frames);
            EXPECT_EQ(expected.ending.complete, ending.complete);
            ASSERT_EQ(expected.frames.size(), got.frames.size());
            for (size_t i = 0; i < got.frames.size(); i++)
                ASSERT_TRUE(expected.frames[i] == got.frames[i]) << "frame " << expected.frames[i].frame;
            if (writer.joinable())
                writer.join();
        }
    }
    unlink(path.c_str());
}

// A sightings file written by the writer itself, changed as a damaged or
// hostile one would be: refused whole with a sentence, never read on into
// figures that index or count wrongly.
TEST(SightingsReader, RefusesWhatReadingACaptureNeverWrites)
{
    FrameRecord good = {};
    good.frame = 1, good.tap_time = 5, good.wire = 60, good.kind = FrameRecord::keyed, good.port = 0x80;
    good.version = 2;
    CaptureEnding complete;
    complete.frames = 2;
    struct Row {
        const char *name;
        std::function<void(FrameRecord &, CaptureEnding &)> change;
        bool taken;
    } rows[] = {
        {"as written", [](FrameRecord &, CaptureEnding &) {}, true},
        {"a TAP time at the clock's end", [](FrameRecord &r, CaptureEnding &) { r.tap_time = ~uint64_t(0); }, true},
        {"a port without a frame's key", [](FrameRecord &r, CaptureEnding &) { r.port = 0x08, r.kind = FrameRecord::unkeyed; }, true},
        {"a key on a port of no link", [](FrameRecord &r, CaptureEnding &) { r.port = 0x08; }, false},
        {"a key on no port", [](FrameRecord &r, CaptureEnding &) { r.port = 0x00; }, false},
        {"a key on a record longer than any frame", [](FrameRecord &r, CaptureEnding &) { r.wire = 20000; }, false},
        {"merged, yet a frame's length", [](FrameRecord &r, CaptureEnding &) { r.kind = FrameRecord::merged; }, false},
        {"frame 0", [](FrameRecord &r, CaptureEnding &) { r.frame = 0; }, false},
        {"fewer frames read than numbered", [](FrameRecord &r, CaptureEnding &) { r.frame = 3; }, false},
        {"frames read beyond numbering",
         [](FrameRecord &, CaptureEnding &e) { e.frames = ~uint64_t(0) - 1; }, false},
        {"ended early at the frame after the last read",
         [](FrameRecord &, CaptureEnding &e) { e.complete = false, e.frame = 3, e.reason = "cut"; }, true},
        {"ended early at frame 0",
         [](FrameRecord &, CaptureEnding &e) { e.complete = false, e.frame = 0, e.reason = "cut"; }, false},
        {"complete, yet ended at a frame", [](FrameRecord &, CaptureEnding &e) { e.frame = 3; }, false},
    };
    const std::string path = temporary_path(".sightings");
    // One capture of one record, written anew at `path`.
    auto write_file = [&path](const FrameRecord &record, const CaptureEnding &ending) {
        unlink(path.c_str());
        SightingsWriter writer;
        if (!writer.open(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600), KeyMode::ip))
            return false;
        writer.begin_capture("ring_00001.pcap");
        writer.add(record);
        writer.end_capture(ending);
        return writer.finish();
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FrameRecord record = good;
        CaptureEnding ending = complete;
        row.change(record, ending);
        for (const bool trailing_byte : {false, true}) {
            ASSERT_TRUE(write_file(record, ending));
            if (trailing_byte) {
                FILE *file = fopen(path.c_str(), "ab");
                fputc(0, file);
                fclose(file);
            }
            SightingsReader reader;
            std::string sentence;
            EXPECT_EQ(row.taken && !trailing_byte, reader.open(path.c_str(), sentence)) << sentence;
            if (!row.taken || trailing_byte) {
                EXPECT_NE(std::string::npos, sentence.find(" is damaged")) << sentence;
            }
        }
    }
    // Cut short after it was checked, before its second reading: the
    // capture ends cut off where the file does (its frames are not counted
    // as read), or the file is told changed.
    struct Cut {
        const char *name;
        off_t from_end;         // bytes cut off its end
        bool record_read, capture_complete;
    } cuts[] = {
        {"in its record", 40, false, false},
        {"before its sum", 9, true, true},
    };
    for (const Cut &cut : cuts) {
        SCOPED_TRACE(cut.name);
        ASSERT_TRUE(write_file(good, complete));
        SightingsReader reader;
        std::string sentence, name;
        ASSERT_TRUE(reader.open(path.c_str(), sentence)) << sentence;
        struct stat status;
        ASSERT_EQ(0, stat(path.c_str(), &status));
        ASSERT_EQ(0, truncate(path.c_str(), status.st_size - cut.from_end));
        ASSERT_TRUE(reader.next_capture(name));
        FrameRecord record;
        CaptureEnding ending;
        EXPECT_EQ(cut.record_read, reader.next_record(record, ending));
        if (cut.record_read) {
            EXPECT_FALSE(reader.next_record(record, ending));
        }
        EXPECT_EQ(cut.capture_complete, ending.complete);
        EXPECT_EQ(cut.capture_complete ? 2u : 0u, ending.frames);
        EXPECT_FALSE(reader.next_capture(name));
        EXPECT_TRUE(reader.changed());
    }
    // A FIFO is refused at once, not waited on for a writer.
    unlink(path.c_str());
    ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    SightingsReader reader;
    std::string sentence;
    EXPECT_FALSE(reader.open(path.c_str(), sentence));
    EXPECT_NE(std::string::npos, sentence.find("is not a file")) << sentence;
    KeyMode mode;
    EXPECT_FALSE(SightingsReader::peek_key_mode(path.c_str(), &mode));
    unlink(path.c_str());
}

} // namespace
