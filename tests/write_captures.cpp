// SPDX-License-Identifier: GPL-2.0-or-later
//
// Writes captures with libpcap, at nanosecond resolution.
//
//   write_captures FOLDER
//     the captures that the tshark tests read:
//     trailers.pcap  frames through the TAP, with trailers in every place
//     plain.pcap     frames without a trailer, some of them close to one
//
//   write_captures --odd FOLDER
//     pcapng files that wiretap reads but that stretch what a program
//     writing pcapng can hold, written block by block (no library writes
//     them): seconds-resolution times near 2^62 s, a time before 1970 from
//     the TAP clock, a binary time resolution, 300 interfaces, link types
//     other than Ethernet
//
//   write_captures --example FILE
//     the README's example: four ports over 40 s, the capture host's clock
//     running 25 ppm fast against the TAP's, with a few microseconds of
//     jitter
//
//   write_captures --device KIND [--line-rate GBPS] [--clock CLOCK] FILE EXPECTED [PACKETS SPACING]
//     a device between the TAP's links: frames entering on one link and
//     leaving on the other after known latencies (a long tail among them),
//     changed as a KIND of device changes them: switch (unchanged), router
//     (addresses, TTL, checksum, padding), vlan (a tag added on link 2),
//     nat (addresses and ports translated), or a router that wraps its
//     packets on link 2: qinq (two tags), mpls (two labels), pppoe, vxlan
//     or gre (a tunnel), or fragmenting (a router whose link 2 takes
//     packets of at most 576 bytes); with frames the device drops,
//     frames sent twice, frames seen on one link only, and frames written
//     a little out of TAP-time order. EXPECTED gets, for each key mode, the
//     pairings that mode must find: "MODE<tab>LATER<tab>EARLIER<tab>LATENCY"
//     (frame numbers, the latency in seconds as tshark prints it), and
//     "MODE<tab>none" where the mode cannot see through the change; then
//     the latency statistics it must show, and with --line-rate each port's
//     busiest bits on the wire at GBPS Gbit/s. PACKETS (default 400)
//     packets about SPACING ns apart (default 7000). --clock stamps the
//     trailers with a TAP clock that misbehaves: backwards (1 ns earlier
//     every frame), step-back (1000 s back from the middle frame on) or
//     ahead (the middle frame an hour ahead); EXPECTED then stays empty.
//     --hold MS: every 25th packet of the first half is held MS ms (plus
//     its number in ns), longer than the window: "late<tab>COUNT<tab>
//     LONGEST<tab>WINDOW" tells how many, the longest in ns and the window
//     in whole ms that would have held them.
//
//   write_captures --traffic COUNT [--trailers | --worst-case | --curving] FILE
//     COUNT frames of mixed traffic for benchmarks: TCP acknowledgements
//     and other 60-byte frames, full-size segments and sizes in between;
//     with --trailers each carries a TAP trailer where the TAP puts it
//     (--curving: and the capture clock bends away from the TAP's),
//     with --worst-case every frame is a 60-byte frame whose window is
//     crowded with near-markers but holds no trailer.

#include "frames.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
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

enum class Traffic { plain, trailers, worst_case, curving };

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
        if (kind == Traffic::trailers || kind == Traffic::curving) {
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
        guint64 now = 1700000000 * S + i * 10000;  // a frame every 10 us
        // The capture clock bending away from the TAP's: a parabola of
        // 100 ms over the capture, every frame on the offsets' convex hull.
        if (kind == Traffic::curving)
            now += static_cast<guint64>(100000000.0 * (double(i) / double(count)) * (double(i) / double(count)));
        hw_ts = T + i * 10000 + (i % 5);
        file.write({now / S, static_cast<guint32>(now % S), bytes});
    }
    return file.ok();
}

// ---- pcapng, block by block ----

class PcapngFile {
public:
    explicit PcapngFile(const std::string &path) : file_(fopen(path.c_str(), "wb"))
    {
        if (!file_)
            perror(path.c_str());
        block(0x0A0D0D0A, {0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    }
    ~PcapngFile()
    {
        if (file_)
            fclose(file_);
    }
    bool ok() const { return file_ != NULL; }
    // An interface of a link type, with an if_tsresol option when given.
    void interface(guint16 link_type, int tsresol = -1)
    {
        Bytes body = le(link_type, 2) + le(0, 2) + le(0, 4);
        if (tsresol >= 0)
            body = body + le(9, 2) + le(1, 2) + Bytes{static_cast<guint8>(tsresol), 0, 0, 0};
        body = body + le(0, 4);  // end of options
        block(1, body);
    }
    // An enhanced packet block: a timestamp in the interface's units.
    void packet(guint32 interface, guint64 timestamp, const Bytes &bytes)
    {
        Bytes body = le(interface, 4) + le(timestamp >> 32, 4) + le(timestamp & 0xFFFFFFFF, 4) +
                     le(bytes.size(), 4) + le(bytes.size(), 4) + bytes;
        body.resize((body.size() + 3) / 4 * 4, 0);
        block(6, body);
    }

private:
    static Bytes le(guint64 value, int size)
    {
        Bytes bytes;
        for (int i = 0; i < size; i++)
            bytes.push_back(static_cast<guint8>(value >> (8 * i)));
        return bytes;
    }
    void block(guint32 type, const Bytes &body)
    {
        const Bytes length = le(body.size() + 12, 4);
        const Bytes all = le(type, 4) + length + body + length;
        if (file_)
            fwrite(all.data(), 1, all.size(), file_);
    }
    FILE *file_;
};

Bytes tap_frame(guint8 port, guint64 ts)
{
    return udp_datagram() + trailer(record(CODE_V2, port, 0x00, ts));
}

bool write_odd_captures(const std::string &folder)
{
    bool ok = true;
    {
        // Seconds resolution: a frame with a trailer captured 2^62 s from
        // 1970 (its time comes from the TAP clock), then one without.
        PcapngFile file(folder + "/seconds-near-2-62.pcapng");
        file.interface(1, 0);
        file.packet(0, 1700000000, tap_frame(0x80, T));
        file.packet(0, guint64(1) << 62, tap_frame(0x20, T + S));
        file.packet(0, guint64(1) << 62, udp_datagram());
        file.packet(0, 1700000002, tap_frame(0x40, T + 2 * S));
        ok = ok && file.ok();
    }
    {
        // The TAP clock puts frame 3 2,000 s before the first, before 1970.
        PcapngFile file(folder + "/before-1970.pcapng");
        file.interface(1, 9);
        file.packet(0, 1000 * S, tap_frame(0x80, T));
        file.packet(0, 1001 * S, tap_frame(0x20, T + S));
        file.packet(0, 1002 * S, tap_frame(0x40, T - 2000 * S));
        ok = ok && file.ok();
    }
    {
        // Binary resolution, 2^-30 s.
        PcapngFile file(folder + "/binary-resolution.pcapng");
        file.interface(1, 0x80 | 30);
        for (guint64 i = 0; i < 20; i++)
            file.packet(0, (1700000000 + i) << 30, tap_frame(static_cast<guint8>(0x80 >> (i % 4)), T + i * S));
        ok = ok && file.ok();
    }
    {
        // 300 interfaces, a frame on each.
        PcapngFile file(folder + "/many-interfaces.pcapng");
        for (int i = 0; i < 300; i++)
            file.interface(1, 6);
        for (guint32 i = 0; i < 300; i++)
            file.packet(i, 1700000000000000 + i, i % 2 ? tap_frame(0x10, T + i) : udp_datagram());
        ok = ok && file.ok();
    }
    {
        // Raw IP (101) and Linux cooked (113) beside Ethernet; trailers only
        // count on Ethernet.
        PcapngFile file(folder + "/other-link-types.pcapng");
        file.interface(1, 9);
        file.interface(101, 9);
        file.interface(113, 9);
        const Bytes datagram = udp_datagram();
        const Bytes ip(datagram.begin() + 14, datagram.end());
        for (guint32 i = 0; i < 30; i++) {
            const Bytes bytes = i % 3 == 0 ? tap_frame(0x80, T + i) : i % 3 == 1 ? ip + trailer(record(CODE_V2, 0x40, 0, T)) : Bytes(16, 0) + ip;
            file.packet(i % 3, 1700000000 * S + i, bytes);
        }
        ok = ok && file.ok();
    }
    return ok;
}

// The README's example capture.
bool write_example(const std::string &path)
{
    CaptureFile file(path);
    const guint8 ports[] = {0x80, 0x20, 0x40, 0x10};
    const guint64 start = 1765200000 * S + 123456789;
    for (guint64 i = 0; i < 40 && file.ok(); i++) {
        const guint64 hw_ts = T + i * S + (i * 7919) % 100000;
        // 25 ppm fast, and up to 4 us of the capture host's jitter.
        const guint64 elapsed = hw_ts - T;
        const guint64 now = start + elapsed + elapsed / 40000 + (i * 104729) % 4000;
        const guint8 flags = i == 13 ? 0x08 : i == 27 ? 0x04 : 0x00;
        Bytes bytes = i % 5 == 0 ? arp_request() : tcp_segment(static_cast<unsigned>(i % 3), 1 + 100 * guint32(i), 1, 40 + i * 11);
        bytes = bytes + trailer(record(CODE_V2, ports[i % 4], flags, hw_ts));
        file.write({now / S, static_cast<guint32>(now % S), bytes});
    }
    return file.ok();
}

// ---- A device between the links ----

// A switch, a router, a switch that tags link 2's frames, an address
// translator, and routers that wrap link 2's packets: in stacked VLAN tags
// (a provider edge), an MPLS label stack (a label edge router), a PPPoE
// session (a concentrator), a VXLAN or a GRE tunnel (its end).
enum class Device { switch_, router, vlan, nat, qinq, mpls, pppoe, vxlan, gre, fragmenting };

bool wraps(Device device)
{
    return device >= Device::qinq && device <= Device::gre;
}

// Link 2's MTU behind a fragmenting router.
constexpr size_t FRAGMENTING_MTU = 576;

// An IPv4 packet in an untagged frame of ip_frame's, cut into pieces of at
// most `mtu` bytes as a router cuts it: each with the header, its length,
// "more fragments" but on the last, its offset; padded to 60 bytes.
std::vector<Bytes> fragments(const Bytes &frame, size_t mtu)
{
    const Bytes ethernet(frame.begin(), frame.begin() + 14);
    const Bytes header(frame.begin() + 14, frame.begin() + 34);
    const size_t total = size_t(frame[16]) << 8 | frame[17];
    const size_t per_piece = (mtu - 20) / 8 * 8;
    std::vector<Bytes> pieces;
    for (size_t offset = 0; offset < total - 20; offset += per_piece) {
        const size_t length = std::min(per_piece, total - 20 - offset);
        Bytes piece_header = header;
        put_be16(piece_header, 2, static_cast<unsigned>(20 + length));
        const bool more = offset + length < total - 20;
        put_be16(piece_header, 6, static_cast<unsigned>((more ? 0x2000 : 0) | offset / 8));
        Bytes piece = ethernet + piece_header +
                      Bytes(frame.begin() + 34 + static_cast<std::ptrdiff_t>(offset),
                            frame.begin() + 34 + static_cast<std::ptrdiff_t>(offset + length));
        if (piece.size() < 60)
            piece.resize(60, 0xEE);
        pieces.push_back(piece);
    }
    return pieces;
}

// One IP packet of a flow, as seen on one side of the device.
struct Flow {
    guint8 client;   // last byte of the client's address
    guint16 port;    // client's port
    bool tcp;
};

void put_be16_at(Bytes &bytes, size_t at, unsigned value)
{
    bytes[at] = static_cast<guint8>(value >> 8);
    bytes[at + 1] = static_cast<guint8>(value);
}

// An Ethernet frame of an IPv4 packet carrying `payload` (TCP with no
// payload: a bare acknowledgement), padded to 60 bytes with `pad`.
Bytes ip_frame(guint8 mac, bool vlan, guint8 source, guint16 source_port, guint8 ttl, guint16 checksum,
               bool tcp, guint32 sequence, const std::string &payload, guint8 pad, guint8 dscp)
{
    Bytes bytes = {0x02, 0, 0, 0, 0xD0, mac, 0x02, 0, 0, 0, 0xD1, mac};
    if (vlan)
        bytes = bytes + Bytes{0x81, 0x00, 0x00, 0x2A};
    const size_t l4_length = (tcp ? 20 : 8) + payload.size();
    Bytes ip(20, 0);
    ip[0] = 0x45;
    ip[1] = static_cast<guint8>(dscp << 2);
    put_be16_at(ip, 2, static_cast<unsigned>(20 + l4_length));
    put_be16_at(ip, 4, sequence & 0xFFFF);  // the identification: one a packet
    ip[8] = ttl;
    ip[9] = tcp ? 6 : 17;
    put_be16_at(ip, 10, checksum);
    ip[12] = 10, ip[13] = 1, ip[14] = 0, ip[15] = source;
    ip[16] = 192, ip[17] = 0, ip[18] = 2, ip[19] = 80;
    Bytes l4(l4_length, 0);
    put_be16_at(l4, 0, source_port);
    put_be16_at(l4, 2, 8080);
    if (tcp)
        l4[12] = 0x50, l4[13] = 0x10, l4[14] = 0x20;  // ACK, window 8192
    if (tcp)
        put_be32(l4, 4, sequence), put_be32(l4, 8, sequence * 3);
    else
        put_be16_at(l4, 4, static_cast<unsigned>(l4_length));
    std::copy(payload.begin(), payload.end(), l4.begin() + (tcp ? 20 : 8));
    bytes = bytes + Bytes{0x08, 0x00} + ip + l4;
    if (bytes.size() < 60)
        bytes.resize(60, pad);
    return bytes;
}

// A frame of ip_frame's (untagged) as a wrapping device sends it on link 2,
// or takes it there: its IP packet the same, in what the device wraps it.
Bytes wrapped(Device device, const Bytes &frame)
{
    const Bytes macs(frame.begin(), frame.begin() + 12);
    const Bytes packet(frame.begin() + 14, frame.end());  // the IP packet, and any padding
    const size_t ip_length = (size_t(packet[2]) << 8 | packet[3]);
    const Bytes ip(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(ip_length));
    // The outer packet of a tunnel: from 198.51.100.1 to 198.51.100.2.
    auto outer = [&](guint8 protocol, const Bytes &payload) {
        Bytes header(20, 0);
        header[0] = 0x45;
        put_be16_at(header, 2, static_cast<unsigned>(20 + payload.size()));
        header[8] = 64, header[9] = protocol;
        header[12] = 198, header[13] = 51, header[14] = 100, header[15] = 1;
        header[16] = 198, header[17] = 51, header[18] = 100, header[19] = 2;
        return Bytes{0x02, 0, 0, 0, 0xF0, 1, 0x02, 0, 0, 0, 0xF0, 2, 0x08, 0x00} + header + payload;
    };
    switch (device) {
    case Device::qinq:  // service tag 42, customer tag 7
        return macs + Bytes{0x88, 0xA8, 0x00, 0x2A, 0x81, 0x00, 0x00, 0x07, 0x08, 0x00} + packet;
    case Device::mpls:  // two labels, the second at the bottom of the stack
        return macs + Bytes{0x88, 0x47, 0x00, 0x01, 0x00, 0x40, 0x00, 0x02, 0x01, 0x40} + packet;
    case Device::pppoe: {
        Bytes session = {0x88, 0x64, 0x11, 0x00, 0x00, 0x2A, 0, 0, 0x00, 0x21};
        put_be16_at(session, 6, static_cast<unsigned>(2 + ip.size()));
        return macs + session + ip;
    }
    case Device::vxlan: {
        Bytes udp = {0xC3, 0x50, 0x12, 0xB5, 0, 0, 0, 0, 0x08, 0, 0, 0, 0x00, 0x00, 0x2A, 0x00};  // to 4789, VNI 42
        udp = udp + frame;
        put_be16_at(udp, 4, static_cast<unsigned>(udp.size()));
        return outer(17, udp);
    }
    case Device::gre:
        return outer(47, Bytes{0x00, 0x00, 0x08, 0x00} + ip);
    default:
        return frame;
    }
}

// How the TAP's clock stamps the frames of a device capture.
enum class Clock { steady, backwards, step_back, ahead };

// The TAP time written on the i-th of n frames, whose true time is tap_time.
guint64 stamped(Clock clock, size_t i, size_t n, guint64 tap_time)
{
    switch (clock) {
    case Clock::backwards: return T + n - i;
    case Clock::step_back: return i < n / 2 ? tap_time : tap_time - 1000 * S;
    case Clock::ahead: return i == n / 2 ? tap_time + 3600 * S : tap_time;
    case Clock::steady: break;
    }
    return tap_time;
}

// A port's frame for its busiest windows, in TAP-time order.
struct WireFrame {
    guint64 tap_time;
    guint64 bytes;  // on the wire: the Ethernet part and 24
    guint32 frame;  // its number in the capture
};

// The most bits of a port's frames that fall in a window of `window` ns,
// each frame on the wire from its TAP time for its bits at `rate` bits/s,
// found the long way: every window that starts at a frame's start or ends
// at a frame's end, each summed over every frame. Times are in units of
// 1/rate ns, where a bit is 10^9 units. Of equal windows, the earliest
// that starts at a frame's start, else the earliest that ends at a frame's
// end. Prints "BITS<tab>START<tab>FRAME" (the start rounded down to the ns,
// the first frame with bits in the window).
void print_busiest_bits(FILE *out, const std::vector<WireFrame> &frames, guint64 rate, guint64 window)
{
    using Units = __int128;
    const Units span = Units(window) * rate;
    struct Best {
        Units bits = 0, start = 0;
        guint32 frame = 0;
    } best[2];  // starting at a frame's start, ending at a frame's end
    for (const WireFrame &candidate : frames) {
        const Units at = Units(candidate.tap_time) * rate;
        const Units starts[2] = {at, at + Units(candidate.bytes) * 8 * S - span};
        for (int kind = 0; kind < 2; kind++) {
            Units bits = 0;
            guint32 first = 0;
            for (const WireFrame &f : frames) {
                const Units begin = std::max(Units(f.tap_time) * rate, starts[kind]);
                const Units end = std::min(Units(f.tap_time) * rate + Units(f.bytes) * 8 * S, starts[kind] + span);
                if (end > begin) {
                    bits += end - begin;
                    first = first ? first : f.frame;
                }
            }
            if (bits > best[kind].bits || (bits == best[kind].bits && starts[kind] < best[kind].start))
                best[kind] = {bits, starts[kind], first};
        }
    }
    const Best &busiest = best[0].bits >= best[1].bits ? best[0] : best[1];
    fprintf(out, "%" G_GUINT64_FORMAT "\t%" G_GUINT64_FORMAT "\t%u\n", guint64(busiest.bits / S),
            guint64(busiest.start / rate), busiest.frame);
}

// What groups a frame's traffic: its flow (the client's address and port
// toward 192.0.2.80:8080), DSCP and VLAN; not IP for ARP.
struct FrameTraffic {
    bool ip = false;
    guint8 client = 0;
    guint16 client_port = 0;
    bool tcp = false;
    guint8 dscp = 0;
    int vlan = -1;  // none
};

struct Sighted {
    guint64 tap_time;
    guint8 port;
    Bytes bytes;
    int packet;   // which packet the device saw; -1 for a frame of one link only
    bool inbound; // the sighting before the device
    guint8 flags = 0;
    bool keyed = true;  // under the ip key
    FrameTraffic traffic = {};
};

// A group's key as the test prints ovint-latency's: flow
// "10.1.0.12:40003>192.0.2.80:8080/6", DSCP, VLAN ("none") or protocol.
std::string group_key(const std::string &by, const FrameTraffic &t)
{
    if (by == "vlan")
        return t.vlan < 0 ? "none" : std::to_string(t.vlan);
    if (!t.ip)
        return "none";
    if (by == "dscp")
        return std::to_string(t.dscp);
    if (by == "protocol")
        return t.tcp ? "6" : "17";
    return "10.1.0." + std::to_string(t.client) + ":" + std::to_string(t.client_port) + ">192.0.2.80:8080/" +
           (t.tcp ? "6" : "17");
}

// Two UDP datagrams of 2,000 bytes between the same hosts, cut in two
// pieces each, seen on both links: the first's second piece never left the
// device; the second's identification is the first's with bits 12 and 13
// flipped (a link written at those bits would have made the two one).
bool write_colliding_fragments(const std::string &path)
{
    std::vector<Frame> frames;
    guint64 tap_time = T;
    auto seen = [&](const Bytes &piece, guint8 port) {
        frames.push_back({tap_time / S, static_cast<guint32>(tap_time % S),
                          piece + trailer(record(CODE_V2, port, 0x00, tap_time))});
        tap_time += 1000;
    };
    const std::vector<Bytes> first = fragments(ip_frame(1, false, 1, 1000, 64, 0, false, 0x0100,
                                                        std::string(1992, '\xAA'), 0, 0), 1500);
    const std::vector<Bytes> second = fragments(ip_frame(1, false, 1, 1000, 64, 0, false, 0x3100,
                                                         std::string(1992, '\xBB'), 0, 0), 1500);
    for (const Bytes &piece : first)
        seen(piece, 0x80);
    seen(first[0], 0x20);
    for (guint8 port : {guint8(0x80), guint8(0x20)})
        for (const Bytes &piece : second)
            seen(piece, port);
    return write_capture(path, frames);
}


bool write_device(Device device, const std::string &path, const std::string &expected_path, int packets,
                  guint64 spacing, guint64 line_rate, Clock clock, guint64 hold)
{
    std::vector<Sighted> sightings;
    struct Truth {
        int packet;
        guint64 latency;
        bool has_payload;
        bool from_link1;
        guint64 earlier_time;  // TAP time of the sighting before the device
        FrameTraffic traffic;       // as it entered the device
    };
    std::vector<Truth> forwarded;
    std::set<int> held_packets;
    std::set<int> fragmented_packets;  // left in pieces
    guint64 latest_held = 0;
    // 20 ms before a tenth of a second of TAP time ends, so that the
    // capture's TAP times cross into the next.
    guint64 now = (T / 100000000 + 1) * 100000000 - 20000000;
    // Latencies in ns: mostly a few microseconds, a long tail, the rarer
    // the longer a capture is.
    const int rare = packets > 1000 ? 10 : 1;
    auto latency_of = [rare](int i) -> guint64 {
        if (i % (97 * rare * 5) == 13) return 40000000 + guint64(i % 400) * 1000;  // 40 ms
        if (i % (31 * rare) == 7) return 2000000 + guint64(i % 400) * 10;         // 2 ms
        if (i % (11 * rare) == 3) return 150000 + guint64(i % 400);               // 150 us
        return 3000 + guint64(i % 17) * 250 + guint64(i % 3);                    // 3 to 7 us
    };
    for (int i = 0; i < packets; i++) {
        now += spacing + guint64(i % 5) * spacing / 6;
        const bool from_link1 = i % 3 != 2;  // both directions
        const guint8 in_port = from_link1 ? 0x80 : 0x10;   // Con A, Con D
        const guint8 out_port = from_link1 ? 0x20 : 0x40;  // Con C, Con B
        const bool tcp = i % 4 == 1;
        const bool bare_ack = tcp && i % 8 == 1;
        // Long captures carry the sizes of real traffic, up to full frames.
        const size_t padding =
            packets > 1000 || device == Device::fragmenting ? (size_t(i) * 37) % 1400 : size_t(i % 23);
        const std::string payload = bare_ack ? "" : "packet " + std::to_string(i) + std::string(padding, '.');
        const guint8 client = static_cast<guint8>(10 + i % 7);
        const guint16 client_port = static_cast<guint16>(40000 + i % 13);
        // What a device leaves as it was, and what it changes.
        const guint16 checksum = static_cast<guint16>(0x4000 + i);
        const bool link2_tag = device == Device::vlan;
        // Classes the device treats apart: expedited forwarding (EF, 46)
        // and AF11 (10) never wait long; best effort (0) carries the tail.
        const guint8 dscp = latency_of(i) >= 150000 ? 0 : i % 4 == 0 ? 46 : i % 4 == 2 ? 10 : 0;
        auto traffic_on = [&](bool link1) {
            const bool translated = device == Device::nat && !link1;  // link 2 is the public side
            const bool tagged = (link2_tag || device == Device::qinq) && !link1;
            return FrameTraffic{true, translated ? guint8(200) : client,
                           translated ? static_cast<guint16>(50000 + i % 13) : client_port, tcp, dscp,
                           tagged ? 42 : -1};
        };
        // Before a wrapping device wraps it on link 2.
        auto plain_on_link = [&](bool link1, bool after_device) {
            const bool routed = device != Device::switch_ && device != Device::vlan && after_device;
            const FrameTraffic t = traffic_on(link1);
            return ip_frame(routed ? 0x77 : 0x11, t.vlan >= 0 && !wraps(device), t.client, t.client_port,
                            routed ? 63 : 64, routed ? checksum ^ 0x0100 : checksum, tcp, static_cast<guint32>(i),
                            payload, routed ? 0xEE : 0x00, dscp);
        };
        auto on_link = [&](bool link1, bool after_device) {
            const Bytes plain = plain_on_link(link1, after_device);
            return wraps(device) && !link1 ? wrapped(device, plain) : plain;
        };
        const FrameTraffic entering = traffic_on(from_link1);
        sightings.push_back({now, in_port, on_link(from_link1, false), i, true, 0, true, entering});
        if (i % 29 == 5)
            continue;  // dropped by the device
        // Held longer than the window: seen leaving, but never paired.
        const bool held = hold && i < packets / 2 && i % 25 == 10 && i % 37 != 9;
        const guint64 latency = held ? hold + guint64(i) : latency_of(i);
        const Bytes leaving = on_link(!from_link1, true);
        if (device == Device::fragmenting && from_link1 && leaving.size() > 14 + FRAGMENTING_MTU && !held &&
            i % 37 != 9) {
            // Too long for link 2: it leaves in pieces, one after the other.
            guint64 at = now + latency;
            for (const Bytes &piece : fragments(leaving, FRAGMENTING_MTU)) {
                sightings.push_back({at, out_port, piece, i, false});
                at += 1000;
            }
            fragmented_packets.insert(i);
        } else {
            sightings.push_back({now + latency, out_port, leaving, i, false});
        }
        if (fragmented_packets.count(i)) {
        } else if (held) {
            held_packets.insert(i);
            latest_held = std::max(latest_held, latency);
        } else {
            forwarded.push_back({i, latency, !bare_ack, from_link1, now, entering});
        }
        if (i % 37 == 9) {
            // Sent twice (a retransmission 1 us later), forwarded twice in order.
            sightings.push_back({now + 1000, in_port, on_link(from_link1, false), packets + i, true, 0, true, entering});
            sightings.push_back({now + 1000 + latency + 500, out_port, on_link(!from_link1, true), packets + i, false});
            forwarded.push_back({packets + i, latency + 500, !bare_ack, from_link1, now + 1000, entering});
        }
        if (i % 19 == 4)  // a frame of link 2's own: never forwarded
            sightings.push_back({now + 300, 0x20, arp_request(), -1, false});
        if (i % 41 == 17) {
            // Damaged on the way in (the TAP flags a CRC error): its IP
            // header claims more than any frame holds, so it has no key,
            // and the device drops it.
            Bytes broken = on_link(from_link1, false);
            // The outermost IP header's total length: behind a tag, labels
            // or a session header, if any.
            const bool behind_8 = wraps(device) && !from_link1 && device != Device::vxlan && device != Device::gre;
            put_be16_at(broken, behind_8 ? 24 : entering.vlan >= 0 ? 20 : 16, 0xFFFF);
            sightings.push_back({now + 200, in_port, broken, -1, true, 0x08, false, entering});
        }
    }
    std::stable_sort(sightings.begin(), sightings.end(),
                     [](const Sighted &a, const Sighted &b) { return a.tap_time < b.tap_time; });
    // Per-port buffering: neighbours of different ports less than 2 us
    // apart are written in the other order now and then.
    for (size_t i = 0; i + 1 < sightings.size(); i += 7) {
        if (sightings[i].port != sightings[i + 1].port && sightings[i + 1].tap_time - sightings[i].tap_time < 2000)
            std::swap(sightings[i], sightings[i + 1]);
    }
    // Now and then a frame's later sighting is written before its earlier
    // one, when the device held it briefly; not a frame sent twice, as
    // which of two equal frames came out first is then a guess.
    std::map<int, guint64> inbound_time;
    std::map<int, size_t> written_first;  // by packet: its later sighting
    for (size_t i = 0; i < sightings.size(); i++) {
        const Sighted &s = sightings[i];
        if (s.packet < 0 || s.packet >= packets || s.packet % 13 != 6 || s.packet % 37 == 9 ||
            fragmented_packets.count(s.packet))
            continue;
        if (s.inbound)
            inbound_time[s.packet] = s.tap_time;
        else if (inbound_time.count(s.packet) && s.tap_time - inbound_time[s.packet] < 5000)
            written_first[s.packet] = i;
    }
    std::vector<Sighted> reordered;
    for (const Sighted &s : sightings) {
        const auto first = s.packet >= 0 ? written_first.find(s.packet) : written_first.end();
        if (first != written_first.end()) {
            if (!s.inbound)
                continue;
            reordered.push_back(sightings[first->second]);
        }
        reordered.push_back(s);
    }
    sightings.swap(reordered);

    CaptureFile file(path);
    std::map<int, guint32> inbound_frame, outbound_frame;
    for (size_t i = 0; i < sightings.size() && file.ok(); i++) {
        const Sighted &s = sightings[i];
        const guint64 host = 1765200000 * S + (s.tap_time - T);
        const guint64 tap_time = stamped(clock, i, sightings.size(), s.tap_time);
        file.write({host / S, static_cast<guint32>(host % S),
                    s.bytes + trailer(record(CODE_V2, s.port, s.flags, tap_time))});
        if (s.packet >= 0)
            (s.inbound ? inbound_frame : outbound_frame)[s.packet] = static_cast<guint32>(i + 1);
    }

    // Which modes see through this device's changes.
    // frame, ip, payload, nat
    const bool sees[4] = {device == Device::switch_, device != Device::nat, true, true};
    static const char *const modes[4] = {"frame", "ip", "payload", "nat"};
    FILE *expected = fopen(expected_path.c_str(), "w");
    if (!expected)
        return false;
    if (clock != Clock::steady)
        return fclose(expected) == 0 && file.ok();
    for (int m = 0; m < 4; m++) {
        if (!sees[m]) {
            fprintf(expected, "%s\tnone\n", modes[m]);
            continue;
        }
        std::vector<std::string> lines;
        for (const Truth &t : forwarded) {
            if (m == 2 && !t.has_payload)
                continue;
            char line[96];
            snprintf(line, sizeof line, "%s\t%u\t%u\t%" G_GUINT64_FORMAT ".%09" G_GUINT64_FORMAT, modes[m],
                     outbound_frame[t.packet], inbound_frame[t.packet], t.latency / S, t.latency % S);
            lines.push_back(line);
        }
        std::sort(lines.begin(), lines.end(), [](const std::string &a, const std::string &b) {
            return std::stoul(a.substr(a.find('\t') + 1)) < std::stoul(b.substr(b.find('\t') + 1));
        });
        for (const std::string &line : lines)
            fprintf(expected, "%s\n", line.c_str());
    }
    // The latency statistics under the ip key (for a device it sees
    // through): per direction the frames matched, their least and largest
    // latency; per port the frames not seen on the other link.
    if (sees[1]) {
        struct Direction {
            guint64 count = 0, least = ~guint64(0), most = 0;
        } directions[2];
        for (const Truth &t : forwarded) {
            Direction &d = directions[t.from_link1 ? 0 : 1];
            d.count++;
            d.least = std::min(d.least, t.latency);
            d.most = std::max(d.most, t.latency);
        }
        static const char *const names[2] = {"Con A \u2192 Con C", "Con D \u2192 Con B"};
        const std::map<guint8, std::string> port_names = {
            {0x80, "Con A"}, {0x40, "Con B"}, {0x20, "Con C"}, {0x10, "Con D"}};
        for (int d = 0; d < 2; d++)
            fprintf(expected, "direction\t%s\t%" G_GUINT64_FORMAT "\t%" G_GUINT64_FORMAT "\t%" G_GUINT64_FORMAT "\n",
                    names[d], directions[d].count, directions[d].least, directions[d].most);
        // ovint-latency's figures of each direction, in ns: least, mean,
        // the percentiles by nearest rank, largest, and the jitter in the
        // order of the earlier sightings.
        for (int d = 0; d < 2; d++) {
            std::vector<const Truth *> by_time;
            for (const Truth &t : forwarded) {
                if (t.from_link1 == (d == 0))
                    by_time.push_back(&t);
            }
            std::stable_sort(by_time.begin(), by_time.end(),
                             [](const Truth *a, const Truth *b) { return a->earlier_time < b->earlier_time; });
            std::vector<guint64> latencies;
            guint64 sum = 0, jitter_sum = 0;
            for (size_t k = 0; k < by_time.size(); k++) {
                latencies.push_back(by_time[k]->latency);
                sum += by_time[k]->latency;
                if (k > 0) {
                    const guint64 a = by_time[k]->latency, b = by_time[k - 1]->latency;
                    jitter_sum += a > b ? a - b : b - a;
                }
            }
            std::sort(latencies.begin(), latencies.end());
            const size_t n = latencies.size();
            if (n == 0)
                continue;  // a direction nothing crossed has no figures
            fprintf(expected, "latency\t%s\t%" G_GUINT64_FORMAT " %" G_GUINT64_FORMAT, names[d], latencies[0], (sum + n / 2) / n);
            for (guint64 per_10000 : {5000, 9000, 9900, 9990, 9999}) {
                const size_t rank = std::max<size_t>(1, (per_10000 * n + 9999) / 10000);
                fprintf(expected, " %" G_GUINT64_FORMAT, latencies[rank - 1]);
            }
            fprintf(expected, " %" G_GUINT64_FORMAT " %" G_GUINT64_FORMAT "\n", latencies[n - 1],
                    n > 1 ? jitter_sum / (n - 1) : 0);
        }
        // Each port's busiest windows of TAP time, counted the long way: for
        // every frame, the bytes on the wire (the Ethernet part and 24) of
        // the frames before it in TAP time less than a window back, summed
        // afresh; the window's first frame.
        std::map<std::string, std::vector<WireFrame>> port_frames;
        for (size_t i = 0; i < sightings.size(); i++) {
            const Sighted &s = sightings[i];
            port_frames[port_names.at(s.port)].push_back({s.tap_time, s.bytes.size() + 24, guint32(i + 1)});
        }
        for (auto &port : port_frames) {
            std::vector<WireFrame> &frames = port.second;
            std::stable_sort(frames.begin(), frames.end(),
                             [](const WireFrame &a, const WireFrame &b) { return a.tap_time < b.tap_time; });
            for (guint64 window : {1000, 10000, 100000, 1000000}) {
                guint64 most = 0, start = 0;
                guint32 start_frame = 0;
                for (size_t last = 0; last < frames.size(); last++) {
                    guint64 bytes = 0;
                    size_t first = last;
                    for (size_t k = last + 1; k-- > 0 && frames[last].tap_time - frames[k].tap_time < window;) {
                        bytes += frames[k].bytes;
                        first = k;
                    }
                    if (bytes > most) {
                        most = bytes;
                        start = frames[first].tap_time;
                        start_frame = frames[first].frame;
                    }
                }
                fprintf(expected, "burst\t%s\t%" G_GUINT64_FORMAT "\t%" G_GUINT64_FORMAT "\t%" G_GUINT64_FORMAT "\t%u\n",
                        port.first.c_str(), window, most, start, start_frame);
            }
            // The same, as bits on the wire at the line rate.
            for (guint64 window : {1000, 10000, 100000, 1000000}) {
                if (!line_rate)
                    break;
                fprintf(expected, "wire\t%s\t%" G_GUINT64_FORMAT "\t", port.first.c_str(), window);
                print_busiest_bits(expected, frames, line_rate, window);
            }
        }
        // A frame never seen on the other link is at the capture's edge when
        // its partner could lie outside the other link's capture (by the
        // default window): up to a window after one entering the device,
        // up to a window before one leaving it.
        constexpr guint64 WINDOW = 100000000;
        guint64 first[2] = {~guint64(0), ~guint64(0)}, last[2] = {0, 0};  // by link
        for (const Sighted &s : sightings) {
            const int link = s.port == 0x80 || s.port == 0x40 ? 0 : 1;
            first[link] = std::min(first[link], s.tap_time);
            last[link] = std::max(last[link], s.tap_time);
        }
        auto entering_seen_leaving = [&](const Sighted &s) {
            return s.packet >= 0 && (s.inbound ? outbound_frame : inbound_frame).count(s.packet) &&
                   !held_packets.count(s.packet) && !fragmented_packets.count(s.packet);
        };
        // Entered whole, left in pieces: no pair, and no loss.
        auto in_pieces = [&](const Sighted &s) { return s.packet >= 0 && fragmented_packets.count(s.packet); };
        // Held beyond the window and seen on both links: late, neither lost
        // nor the device's own.
        auto late_pair = [&](const Sighted &s) {
            return s.packet >= 0 && (s.inbound ? outbound_frame : inbound_frame).count(s.packet) &&
                   held_packets.count(s.packet);
        };
        auto at_edge_of = [&](const Sighted &s) {
            const bool toward = s.port == 0x80 || s.port == 0x10;
            const int other = s.port == 0x80 || s.port == 0x40 ? 1 : 0;
            const guint64 t = s.tap_time;
            return t < first[other] || (toward ? last[other] < t + WINDOW : t - first[other] < WINDOW || t > last[other]);
        };
        std::map<std::string, int> unseen, at_edge;  // by name, as the statistics sort
        for (const Sighted &s : sightings) {
            if (entering_seen_leaving(s) || late_pair(s))
                continue;
            (s.keyed && at_edge_of(s) ? at_edge : unseen)[port_names.at(s.port)]++;
        }
        for (const auto &port : unseen)
            fprintf(expected, "unseen\tPort %s\t%d\n", port.first.c_str(), port.second);
        // Every frame's fate, by port: of a frame sent twice, the pair made
        // first had two equal frames to pair with; a frame seen only
        // leaving is the device's own; one toward it, dropped or damaged,
        // its loss.
        std::map<std::string, std::map<std::string, int>> fates;
        for (const Sighted &s : sightings) {
            const char *fate;
            if (entering_seen_leaving(s))
                fate = s.packet < packets && s.packet % 37 == 9 ? "ambiguous" : "forwarded";
            else if (late_pair(s))
                fate = "late";
            else if (in_pieces(s))
                fate = "fragmented";  // both in the capture: at its edge too
            else if (s.keyed && at_edge_of(s))
                fate = "at_edge";
            else
                fate = s.inbound ? "not_seen_leaving" : "from_device";
            fates[port_names.at(s.port)][fate]++;
        }
        for (const auto &port : fates) {
            for (const auto &fate : port.second)
                fprintf(expected, "fate\t%s\t%s\t%d\n", port.first.c_str(), fate.first.c_str(), fate.second);
        }
        // Per group of the frames as they entered the device: those matched
        // and their least, median, p99, p99.9 and largest latency (nearest
        // rank), and those that entered and were not seen leaving.
        for (const std::string by : {"flow", "dscp", "vlan", "protocol"}) {
            std::map<std::string, std::vector<guint64>> latencies;
            std::map<std::string, int> lost;
            for (const Truth &t : forwarded)
                latencies[group_key(by, t.traffic)].push_back(t.latency);
            for (const Sighted &s : sightings) {
                if (s.inbound && !entering_seen_leaving(s) && !late_pair(s) && !in_pieces(s) &&
                    !(s.keyed && at_edge_of(s)))
                    lost[group_key(by, s.traffic)]++;
            }
            for (const auto &entry : lost)
                latencies[entry.first];
            for (auto &entry : latencies) {
                std::vector<guint64> &l = entry.second;
                std::sort(l.begin(), l.end());
                fprintf(expected, "group\t%s\t%s\t%zu\t%d", by.c_str(), entry.first.c_str(), l.size(),
                        lost.count(entry.first) ? lost[entry.first] : 0);
                if (!l.empty()) {
                    for (guint64 per_10000 : {0, 5000, 9900, 9990}) {
                        const size_t rank = std::max<size_t>(1, (per_10000 * l.size() + 9999) / 10000);
                        fprintf(expected, "\t%" G_GUINT64_FORMAT, l[rank - 1]);
                    }
                    fprintf(expected, "\t%" G_GUINT64_FORMAT, l.back());
                }
                fputc('\n', expected);
            }
        }
        for (const auto &port : at_edge)
            fprintf(expected, "edge\tPort %s\t%d\n", port.first.c_str(), port.second);
        // Held longer than the window: how many, the longest, and the
        // window in whole ms that would have held them.
        if (!held_packets.empty())
            fprintf(expected, "late\t%zu\t%" G_GUINT64_FORMAT "\t%" G_GUINT64_FORMAT "\n", held_packets.size(),
                    latest_held, (latest_held + 999999) / 1000000);
        std::map<std::string, int> without_key;
        for (const Sighted &s : sightings)
            without_key[port_names.at(s.port)] += s.keyed ? 0 : 1;
        for (const auto &port : without_key) {
            if (port.second)
                fprintf(expected, "nokey\tPort %s\t%d\n", port.first.c_str(), port.second);
        }
    }
    return fclose(expected) == 0 && file.ok();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 5 && std::string(argv[1]) == "--device") {
        const std::string kind = argv[2];
        const Device device = kind == "router"  ? Device::router
                              : kind == "vlan"  ? Device::vlan
                              : kind == "nat"   ? Device::nat
                              : kind == "qinq"  ? Device::qinq
                              : kind == "mpls"  ? Device::mpls
                              : kind == "pppoe" ? Device::pppoe
                              : kind == "vxlan" ? Device::vxlan
                              : kind == "gre"   ? Device::gre
                              : kind == "fragmenting" ? Device::fragmenting
                                                : Device::switch_;
        int arg = 3;
        guint64 line_rate = 0;
        Clock clock = Clock::steady;
        guint64 hold = 0;
        for (; arg + 1 < argc && std::string(argv[arg]).compare(0, 2, "--") == 0; arg += 2) {
            const std::string option = argv[arg], value = argv[arg + 1];
            if (option == "--line-rate")
                line_rate = std::stoull(value) * S;
            else if (option == "--clock" && value == "backwards")
                clock = Clock::backwards;
            else if (option == "--clock" && value == "step-back")
                clock = Clock::step_back;
            else if (option == "--clock" && value == "ahead")
                clock = Clock::ahead;
            else if (option == "--hold")
                hold = std::stoull(value) * 1000000;
            else
                return 2;
        }
        if (argc - arg != 2 && argc - arg != 4)
            return 2;
        const int packets = argc - arg == 4 ? std::stoi(argv[arg + 2]) : 400;
        const guint64 spacing = argc - arg == 4 ? std::stoull(argv[arg + 3]) : 7000;
        return write_device(device, argv[arg], argv[arg + 1], packets, spacing, line_rate, clock, hold) ? 0 : 1;
    }
    if (argc == 3 && std::string(argv[1]) == "--odd")
        return write_odd_captures(argv[2]) ? 0 : 1;
    if (argc == 3 && std::string(argv[1]) == "--colliding-fragments")
        return write_colliding_fragments(argv[2]) ? 0 : 1;
    if (argc == 3 && std::string(argv[1]) == "--example")
        return write_example(argv[2]) ? 0 : 1;
    if (argc >= 4 && std::string(argv[1]) == "--traffic") {
        const unsigned long count = std::stoul(argv[2]);
        const std::string option = argc == 5 ? argv[3] : "";
        const Traffic kind = option == "--trailers"     ? Traffic::trailers
                             : option == "--worst-case" ? Traffic::worst_case
                             : option == "--curving"    ? Traffic::curving
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
