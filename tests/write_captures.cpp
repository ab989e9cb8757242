// SPDX-License-Identifier: GPL-2.0-or-later
//
// Writes captures with libpcap, at nanosecond resolution.
//
//   write_captures FOLDER
//     the captures that the tshark tests read:
//     trailers.pcap  frames through the TAP, with trailers in every place
//     plain.pcap     frames without a trailer, some of them close to one
//
//   write_captures --traffic COUNT [--trailers | --worst-case] FILE
//     COUNT frames of mixed traffic for benchmarks: TCP acknowledgements
//     and other 60-byte frames, full-size segments and sizes in between;
//     with --trailers each carries a TAP trailer where the TAP puts it,
//     with --worst-case every frame is a 60-byte frame whose window is
//     crowded with near-markers but holds no trailer.

#include "frames.h"

#include <pcap/pcap.h>

#include <cstdio>
#include <string>

namespace {

constexpr guint64 S = 1000000000;
constexpr guint64 T = 7000 * S;  // the TAP clock at the first trailer

struct Frame {
    guint64 secs;
    guint32 nsecs;
    Bytes bytes;
    size_t captured = 0;  // cut by a snap length to this many bytes; 0: not cut
};

class CaptureFile {
public:
    explicit CaptureFile(const std::string &path) : path_(path)
    {
        pcap_ = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535, PCAP_TSTAMP_PRECISION_NANO);
        dumper_ = pcap_ ? pcap_dump_open(pcap_, path.c_str()) : NULL;
        if (!dumper_)
            fprintf(stderr, "%s: %s\n", path.c_str(), pcap_ ? pcap_geterr(pcap_) : "pcap_open_dead failed");
    }
    ~CaptureFile()
    {
        if (dumper_)
            pcap_dump_close(dumper_);
        if (pcap_)
            pcap_close(pcap_);
    }
    bool ok() const { return dumper_ != NULL; }
    void write(const Frame &frame)
    {
        pcap_pkthdr header = {};
        header.ts.tv_sec = static_cast<time_t>(frame.secs);
        header.ts.tv_usec = static_cast<suseconds_t>(frame.nsecs);  // nanoseconds in this precision
        header.len = static_cast<bpf_u_int32>(frame.bytes.size());
        header.caplen = frame.captured ? static_cast<bpf_u_int32>(frame.captured) : header.len;
        pcap_dump(reinterpret_cast<u_char *>(dumper_), &header, frame.bytes.data());
    }

private:
    std::string path_;
    pcap_t *pcap_ = NULL;
    pcap_dumper_t *dumper_ = NULL;
};

bool write_capture(const std::string &path, const std::vector<Frame> &frames)
{
    CaptureFile file(path);
    for (const Frame &frame : frames)
        file.write(frame);
    return file.ok();
}

Record record(guint8 code, guint8 port, guint8 flags, guint64 ts)
{
    Record result;
    result.code = code;
    result.port = port;
    result.flags = flags;
    result.ts = ts;
    return result;
}

// An ARP request, padded to the minimum frame length as on the wire.
Bytes arp_request()
{
    Bytes bytes = {
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x00, 0x02, 0x08, 0x06,
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,  // Ethernet/IPv4, request
        0x02, 0x00, 0x00, 0x00, 0x00, 0x02, 192, 168, 1, 2,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 192, 168, 1, 1,
    };
    bytes.resize(60, 0);
    return bytes;
}

// A UDP datagram over IPv4 with an eight-byte payload.
Bytes udp_datagram()
{
    return {
        0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x02, 0x08, 0x00,
        0x45, 0x00, 0x00, 0x24, 0x12, 0x34, 0x40, 0x00, 0x40, 0x11, 0x00, 0x00,
        10, 0, 0, 1, 10, 0, 0, 2,
        0x30, 0x39, 0x00, 0x35, 0x00, 0x10, 0x00, 0x00,
        'p', 'a', 'y', 'l', 'o', 'a', 'd', '!',
    };
}

void put_be16(Bytes &bytes, size_t offset, unsigned value)
{
    bytes[offset] = static_cast<guint8>(value >> 8);
    bytes[offset + 1] = static_cast<guint8>(value);
}

void put_be32(Bytes &bytes, size_t offset, guint32 value)
{
    put_be16(bytes, offset, value >> 16);
    put_be16(bytes, offset + 2, value & 0xFFFF);
}

// A TCP segment of one of a few connections over IPv4, `payload` bytes of
// data, padded to the Ethernet minimum as on the wire.
Bytes tcp_segment(unsigned connection, guint32 seq, guint32 ack, size_t payload)
{
    Bytes bytes = {
        0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x02, 0x08, 0x00,
        0x45, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x40, 0x06, 0x00, 0x00,
        10, 0, 0, 1, 10, 0, 1, static_cast<guint8>(connection),
        0xC0, 0x00, 0x01, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0, 0x50, 0x10, 0x01, 0xF5, 0x00, 0x00, 0x00, 0x00,
    };
    put_be16(bytes, 16, static_cast<unsigned>(40 + payload));
    put_be16(bytes, 34, 49152 + connection);
    put_be32(bytes, 38, seq);
    put_be32(bytes, 42, ack);
    for (size_t i = 0; i < payload; i++)
        bytes.push_back(static_cast<guint8>('a' + i % 26));
    if (bytes.size() < 60)
        bytes.resize(60, 0);
    return bytes;
}

enum class Traffic { plain, trailers, worst_case };

bool write_traffic(const std::string &path, unsigned long count, Traffic kind)
{
    CaptureFile file(path);
    guint32 seq[8] = {};
    guint64 hw_ts = T;
    for (unsigned long i = 0; i < count && file.ok(); i++) {
        const unsigned connection = i % 8;
        const unsigned pick = (i * 2654435761u) >> 24 & 0xFF;  // a fixed, well-spread mix
        Bytes bytes;
        if (kind == Traffic::worst_case) {
            // Near-markers at shifting places, none with a version code.
            const guint8 wrong_code = static_cast<guint8>(0x18 + pick % 7);
            bytes = patched(crowded_min_frame(17 + pick % 6, wrong_code, wrong_code), 0, ethernet_frame(14));
        } else if (pick < 100) {
            bytes = tcp_segment(connection, 1, seq[connection], 0);  // acknowledgement: 60 bytes
        } else if (pick < 120) {
            bytes = arp_request();
        } else if (pick < 200) {
            bytes = tcp_segment(connection, seq[connection], 1, 1460);  // full size
            seq[connection] += 1460;
        } else {
            const size_t payload = 40 + (pick * 37) % 900;
            bytes = tcp_segment(connection, seq[connection], 1, payload);
            seq[connection] += static_cast<guint32>(payload);
        }
        if (kind == Traffic::trailers) {
            Record record;
            record.port = static_cast<guint8>(0x80 >> (i % 4));
            record.flags = pick == 7 ? 0x08 : 0x00;
            record.ts = hw_ts;
            // Some short frames carry their trailer inside the minimum length.
            if (pick % 16 == 0 && bytes.size() == 60)
                bytes = frame_with_marker_at(60, 44, record);
            else
                bytes = bytes + trailer(record);
        }
        const guint64 now = 1700000000 * S + i * 10000;  // a frame every 10 us
        hw_ts = T + i * 10000 + (i % 5);
        file.write({now / S, static_cast<guint32>(now % S), bytes});
    }
    return file.ok();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 4 && std::string(argv[1]) == "--traffic") {
        const unsigned long count = std::stoul(argv[2]);
        const std::string option = argc == 5 ? argv[3] : "";
        const Traffic kind = option == "--trailers"     ? Traffic::trailers
                             : option == "--worst-case" ? Traffic::worst_case
                                                        : Traffic::plain;
        return write_traffic(argv[argc - 1], count, kind) ? 0 : 1;
    }
    if (argc != 2) {
        fprintf(stderr, "usage: %s FOLDER\n       %s --traffic COUNT [--trailers | --worst-case] FILE\n",
                argv[0], argv[0]);
        return 2;
    }
    const std::string folder = argv[1];

    // Host times are deliberately far from the TAP clock's, so that the
    // re-timed frames stand out.
    const std::vector<Frame> trailers = {
        {1000, 0, ethernet_frame(64)},
        {1000, 100000000, ethernet_frame(64) + trailer(record(CODE_V2, 0x80, 0x00, T))},
        {1000, 200000000, frame_with_marker_at(60, 44, record(CODE_V1, 0x10, 0x08, T + 1500000000))},
        {1000, 300000000, leading_record(record(CODE_V2, 0x40, 0x81, T + 2250000000)) + ethernet_frame(60)},
        {1000, 400000000, frame_with_marker_at(60, 16, record(CODE_V2, 0x80, 0x00, T))},
        {1000, 500000000, ethernet_frame(100) + trailer(record(CODE_V2, 0x20, 0x00, T - 1))},
        {1000, 600000000, frame_with_marker_at(60, 17, record(CODE_V2, 0x80, 0x01, T + 3 * S))},
        // Version 1 on the port byte that frame 2 has in version 2.
        {1000, 700000000, ethernet_frame(64) + trailer(record(CODE_V1, 0x80, 0x20, T + 4 * S))},
        // A port byte of no channel.
        {1000, 800000000, ethernet_frame(64) + trailer(record(CODE_V2, 0x08, 0x00, T + 5 * S))},
        // Cut by a snap length: 80 of 200 bytes captured.
        {1000, 900000000, leading_record(record(CODE_V2, 0x10, 0x00, T + 6 * S)) + ethernet_frame(180), 80},
    };

    const std::vector<Frame> plain = {
        {2000, 0, arp_request()},
        {2000, 1000, udp_datagram()},
        {2000, 2000, ethernet_frame(64) + trailer(record(0x18, 0x80, 0x00, T))},
        {2000, 3000, frame_with_marker_at(60, 16, record(CODE_V1, 0x80, 0x00, T))},
        {2000, 4000, leading_record(record(0x00, 0x80, 0x00, T)) + ethernet_frame(60)},
        {2000, 5000, patched(ethernet_frame(64) + trailer(record(CODE_V2, 0x80, 0x00, T)), 68, {0xC9})},
    };

    return write_capture(folder + "/trailers.pcap", trailers) &&
                   write_capture(folder + "/plain.pcap", plain)
               ? 0
               : 1;
}
