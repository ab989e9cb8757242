// SPDX-License-Identifier: GPL-2.0-or-later
//
// Writes the captures that the tshark tests read, with libpcap, at
// nanosecond resolution:
//   trailers.pcap  frames through the TAP, with trailers in every place
//   plain.pcap     frames without a trailer, some of them close to one
//
// Usage: write_captures FOLDER

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
};

bool write_capture(const std::string &path, const std::vector<Frame> &frames)
{
    pcap_t *pcap = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535, PCAP_TSTAMP_PRECISION_NANO);
    pcap_dumper_t *dumper = pcap ? pcap_dump_open(pcap, path.c_str()) : NULL;
    if (!dumper) {
        fprintf(stderr, "%s: %s\n", path.c_str(), pcap ? pcap_geterr(pcap) : "pcap_open_dead failed");
        return false;
    }
    for (const Frame &frame : frames) {
        pcap_pkthdr header = {};
        header.ts.tv_sec = static_cast<time_t>(frame.secs);
        header.ts.tv_usec = static_cast<suseconds_t>(frame.nsecs);  // nanoseconds in this precision
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.bytes.size());
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, frame.bytes.data());
    }
    pcap_dump_close(dumper);
    pcap_close(pcap);
    return true;
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

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
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
