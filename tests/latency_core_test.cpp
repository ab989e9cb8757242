// SPDX-License-Identifier: GPL-2.0-or-later
//
// The latency key and the matcher on their own: which changes a key sees
// through, and which sightings the matcher pairs.

#include "core/matching/fate_judge.h"
#include "core/packet/latency_key.h"
#include "core/matching/latency_matcher.h"
#include "core/matching/latency_ranges.h"
#include "core/trailer/ports.h"
#include "core/packet/traffic_view.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// An IPv4 or IPv6 packet (UDP, TCP, ICMP echo or an ICMP error quoting a
// packet) in an Ethernet frame, as a device may change it on its way:
// addresses, ports, TTL, checksums, VLAN tags, padding, and what an edge
// device wraps it in.
enum class Transport { udp, tcp, echo, error };
enum class Wrap { none, qinq, mpls, pppoe, vxlan, gre, gre_ethernet };

struct Packet {
    uint8_t mac = 0x01;
    bool vlan = false;
    bool ipv6 = false;
    uint8_t ttl = 64;
    uint16_t checksum = 0x1234;  // IPv4 header
    uint8_t source = 1;      // last byte of the source address
    uint8_t destination = 2;
    uint16_t port = 40000;   // source port, or the echo identifier
    uint16_t l4_checksum = 0;
    uint16_t ip_id = 0x0101;
    uint32_t sequence = 0;   // TCP, or the echo's sequence number
    uint32_t fragment_id = 0;  // IPv6: behind a fragment header, if not 0
    Transport transport = Transport::udp;
    std::string payload = "hello";  // for an error: the packet quoted
    size_t padded_to = 0;    // Ethernet padding up to this length
    size_t cut = 0;          // captured length, if cut
    Wrap wrap = Wrap::none;
};

void put16(Bytes &bytes, size_t at, uint16_t value)
{
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
}

// The IP packet alone.
Bytes ip_packet(const Packet &p)
{
    const bool tcp = p.transport == Transport::tcp;
    const size_t header = tcp ? 20 : 8;
    const size_t l4_length = header + p.payload.size();
    Bytes l4(l4_length, 0);
    if (p.transport == Transport::echo || p.transport == Transport::error) {
        l4[0] = p.transport == Transport::echo ? (p.ipv6 ? 128 : 8) : (p.ipv6 ? 3 : 11);
        put16(l4, 2, p.l4_checksum);
        if (p.transport == Transport::echo) {
            put16(l4, 4, p.port);
            put16(l4, 6, static_cast<uint16_t>(p.sequence));
        }
    } else {
        put16(l4, 0, p.port);
        put16(l4, 2, 443);
        if (tcp) {
            put16(l4, 4, static_cast<uint16_t>(p.sequence >> 16));
            put16(l4, 6, static_cast<uint16_t>(p.sequence));
            l4[12] = 0x50;
            put16(l4, 16, p.l4_checksum);
        } else {
            put16(l4, 4, static_cast<uint16_t>(l4_length));
            put16(l4, 6, p.l4_checksum);
        }
    }
    std::copy(p.payload.begin(), p.payload.end(), l4.begin() + header);
    const uint8_t protocol = tcp ? 6 : p.transport == Transport::udp ? 17 : p.ipv6 ? 58 : 1;
    Bytes ip;
    if (p.ipv6) {
        const size_t fragment = p.fragment_id ? 8 : 0;
        ip.assign(40 + fragment, 0);
        ip[0] = 0x60;
        put16(ip, 4, static_cast<uint16_t>(fragment + l4_length));
        ip[6] = fragment ? 44 : protocol;
        ip[7] = p.ttl;
        ip[23] = p.source;
        ip[39] = p.destination;
        if (fragment) {
            ip[40] = protocol;
            put16(ip, 44, static_cast<uint16_t>(p.fragment_id >> 16));
            put16(ip, 46, static_cast<uint16_t>(p.fragment_id));
        }
    } else {
        ip.assign(20, 0);
        ip[0] = 0x45;
        put16(ip, 2, static_cast<uint16_t>(20 + l4_length));
        put16(ip, 4, p.ip_id);
        ip[8] = p.ttl;
        ip[9] = protocol;
        put16(ip, 10, p.checksum);
        ip[12] = 10;
        ip[15] = p.source;
        ip[16] = 10;
        ip[19] = p.destination;
    }
    ip.insert(ip.end(), l4.begin(), l4.end());
    return ip;
}

// An outer IPv4 packet from 192.0.2.1 to 192.0.2.2 carrying `payload`.
Bytes outer_ipv4(uint8_t protocol, const Bytes &payload)
{
    Bytes ip(20, 0);
    ip[0] = 0x45;
    put16(ip, 2, static_cast<uint16_t>(20 + payload.size()));
    ip[8] = 64;
    ip[9] = protocol;
    ip[12] = 192, ip[14] = 2, ip[15] = 1;
    ip[16] = 192, ip[18] = 2, ip[19] = 2;
    ip.insert(ip.end(), payload.begin(), payload.end());
    return ip;
}

Bytes frame(const Packet &p)
{
    Bytes bytes = {0x02, 0, 0, 0, 0, p.mac, 0x02, 0, 0, 0, 0, 0x99};
    if (p.wrap == Wrap::qinq)
        bytes.insert(bytes.end(), {0x88, 0xA8, 0x00, 0x07, 0x81, 0x00, 0x00, 0x64});  // service 7, customer 100
    else if (p.vlan)
        bytes.insert(bytes.end(), {0x81, 0x00, 0x00, 0x07});
    const uint8_t ethertype[2] = {static_cast<uint8_t>(p.ipv6 ? 0x86 : 0x08), static_cast<uint8_t>(p.ipv6 ? 0xDD : 0x00)};
    const Bytes ip = ip_packet(p);
    Bytes inner_ethernet = {0x02, 0, 0, 0, 0, 0x31, 0x02, 0, 0, 0, 0, 0x32, ethertype[0], ethertype[1]};
    inner_ethernet.insert(inner_ethernet.end(), ip.begin(), ip.end());
    Bytes wrapped;
    switch (p.wrap) {
    case Wrap::none:
    case Wrap::qinq:
        wrapped = {ethertype[0], ethertype[1]};
        wrapped.insert(wrapped.end(), ip.begin(), ip.end());
        break;
    case Wrap::mpls:  // two labels, the second at the bottom of the stack
        wrapped = {0x88, 0x47, 0x00, 0x01, 0x00, 0x40, 0x00, 0x02, 0x01, 0x40};
        wrapped.insert(wrapped.end(), ip.begin(), ip.end());
        break;
    case Wrap::pppoe: {
        wrapped = {0x88, 0x64, 0x11, 0x00, 0x12, 0x34, 0, 0, 0x00, static_cast<uint8_t>(p.ipv6 ? 0x57 : 0x21)};
        put16(wrapped, 6, static_cast<uint16_t>(2 + ip.size()));
        wrapped.insert(wrapped.end(), ip.begin(), ip.end());
        break;
    }
    case Wrap::vxlan: {
        Bytes udp = {0xC0, 0x00, 0x12, 0xB5, 0, 0, 0, 0, 0x08, 0, 0, 0, 0x00, 0x10, 0x00, 0x00};  // to 4789, VNI 4096
        udp.insert(udp.end(), inner_ethernet.begin(), inner_ethernet.end());
        put16(udp, 4, static_cast<uint16_t>(udp.size()));
        wrapped = {0x08, 0x00};
        const Bytes outer = outer_ipv4(17, udp);
        wrapped.insert(wrapped.end(), outer.begin(), outer.end());
        break;
    }
    case Wrap::gre:
    case Wrap::gre_ethernet: {
        const bool ethernet = p.wrap == Wrap::gre_ethernet;
        Bytes gre = {0x20, 0x00, 0, 0, 0x00, 0x00, 0x00, 0x2A};  // with a key
        gre[2] = ethernet ? 0x65 : ethertype[0];
        gre[3] = ethernet ? 0x58 : ethertype[1];
        const Bytes &carried = ethernet ? inner_ethernet : ip;
        gre.insert(gre.end(), carried.begin(), carried.end());
        wrapped = {0x08, 0x00};
        const Bytes outer = outer_ipv4(47, gre);
        wrapped.insert(wrapped.end(), outer.begin(), outer.end());
        break;
    }
    }
    bytes.insert(bytes.end(), wrapped.begin(), wrapped.end());
    if (bytes.size() < p.padded_to)
        bytes.resize(p.padded_to, 0xEE);
    return bytes;
}

// An ICMP error quoting the first `quoted` bytes of `original`'s packet.
Packet icmp_error(const Packet &original, size_t quoted)
{
    Packet error;
    error.ipv6 = original.ipv6;
    error.transport = Transport::error;
    const Bytes ip = ip_packet(original);
    error.payload.assign(ip.begin(), ip.begin() + static_cast<std::ptrdiff_t>(std::min(quoted, ip.size())));
    return error;
}

// The key of a packet's frame, or "none".
std::string key_of(KeyMode mode, const Packet &p)
{
    Bytes bytes = frame(p);
    const uint32_t wire = static_cast<uint32_t>(bytes.size());
    if (p.cut)
        bytes.resize(p.cut);
    LatencyKey key;
    if (!latency_key(mode, bytes.data(), static_cast<uint32_t>(bytes.size()), wire, &key))
        return "none";
    return std::to_string(key.low) + ":" + std::to_string(key.high);
}

TEST(LatencyKey, SeesThroughWhatEachKindOfDeviceChanges)
{
    Packet base;
    Packet routed = base;
    routed.ttl = 63;
    routed.checksum = 0x1334;
    routed.mac = 0x05;
    Packet tagged = base;
    tagged.vlan = true;
    Packet padded = base;
    padded.padded_to = 60;
    Packet translated = routed;
    translated.source = 77;
    translated.port = 5555;
    Packet other_payload = base;
    other_payload.payload = "hellp";
    Packet v6 = base;
    v6.ipv6 = true;
    Packet v6_routed = v6;
    v6_routed.ttl = 1;
    v6_routed.mac = 0x09;
    v6_routed.padded_to = 90;
    // Behind address and port translation.
    const auto translate = [](Packet p) {
        p.source = 77;
        p.destination = 99;
        p.port = 5555;
        p.ttl = 63;
        p.checksum = 0x4321;
        p.l4_checksum = 0xBEEF;
        p.mac = 0x05;
        return p;
    };
    const Packet nat_udp = translate(base);
    Packet tcp = base;
    tcp.transport = Transport::tcp;
    tcp.sequence = 1000;
    Packet retransmitted = tcp;
    retransmitted.ip_id = 0x0102;
    Packet next_segment = tcp;
    next_segment.sequence = 1005;
    Packet bare_ack = tcp;
    bare_ack.payload = "";
    const Packet nat_bare_ack = translate(bare_ack);
    Packet echo = base;
    echo.transport = Transport::echo;
    echo.sequence = 1;
    const Packet nat_echo = translate(echo);
    Packet next_echo = echo;
    next_echo.sequence = 2;
    const Packet error = icmp_error(tcp, 28);
    Packet nat_error = translate(icmp_error(translate(tcp), 28));
    const Packet other_error = icmp_error(next_segment, 28);
    Packet v6_fragment = v6;
    v6_fragment.fragment_id = 0x01020304;
    Packet nat_v6_fragment = translate(v6_fragment);
    nat_v6_fragment.fragment_id = 0x0A0B0C0D;
    // What an edge device wraps around the packet it forwards.
    const auto wrapped = [](Packet p, Wrap wrap) {
        p.wrap = wrap;
        return p;
    };

    struct Row {
        const char *name;
        KeyMode mode;
        Packet a, b;
        bool same;
    } rows[] = {
        {"frame: the same frame", KeyMode::frame, base, base, true},
        {"frame: a router's change shows", KeyMode::frame, base, routed, false},
        {"ip: TTL, checksum and addresses of Ethernet masked", KeyMode::ip, base, routed, true},
        {"ip: a VLAN tag skipped", KeyMode::ip, base, tagged, true},
        {"ip: padding ignored", KeyMode::ip, base, padded, true},
        {"ip: IPv6 hop limit masked, padding ignored", KeyMode::ip, v6, v6_routed, true},
        {"ip: a translated address shows", KeyMode::ip, base, translated, false},
        {"ip: one payload byte shows", KeyMode::ip, base, other_payload, false},
        {"payload: addresses and ports translated", KeyMode::payload, base, translated, true},
        {"payload: one payload byte shows", KeyMode::payload, base, other_payload, false},
        {"nat: addresses, ports, TTL and checksums translated", KeyMode::nat, base, nat_udp, true},
        {"nat: one payload byte shows", KeyMode::nat, base, other_payload, false},
        {"nat: a retransmission's IP identification shows", KeyMode::nat, tcp, retransmitted, false},
        {"nat: a TCP sequence number shows", KeyMode::nat, tcp, next_segment, false},
        {"nat: a bare acknowledgement translated", KeyMode::nat, bare_ack, nat_bare_ack, true},
        {"nat: an ICMP echo's identifier translated", KeyMode::nat, echo, nat_echo, true},
        {"nat: an ICMP echo's sequence number shows", KeyMode::nat, echo, next_echo, false},
        {"nat: the packet an ICMP error quotes translated", KeyMode::nat, error, nat_error, true},
        {"nat: an ICMP error quoting another packet", KeyMode::nat, error, other_error, false},
        {"nat: IPv6 addresses, hop limit and fragment identification", KeyMode::nat, v6_fragment, nat_v6_fragment,
         true},
        {"nat: a VLAN tag skipped", KeyMode::nat, base, tagged, true},
        {"ip: stacked VLAN tags skipped", KeyMode::ip, tagged, wrapped(routed, Wrap::qinq), true},
        {"ip: beneath an MPLS label stack", KeyMode::ip, base, wrapped(routed, Wrap::mpls), true},
        {"ip: IPv6 beneath an MPLS label stack", KeyMode::ip, v6, wrapped(v6_routed, Wrap::mpls), true},
        {"ip: in a PPPoE session", KeyMode::ip, base, wrapped(routed, Wrap::pppoe), true},
        {"ip: IPv6 in a PPPoE session", KeyMode::ip, v6, wrapped(v6_routed, Wrap::pppoe), true},
        {"ip: beneath a VXLAN tunnel", KeyMode::ip, base, wrapped(routed, Wrap::vxlan), true},
        {"ip: beneath a GRE tunnel", KeyMode::ip, base, wrapped(routed, Wrap::gre), true},
        {"ip: IPv6 beneath a GRE tunnel", KeyMode::ip, v6, wrapped(v6_routed, Wrap::gre), true},
        {"ip: an Ethernet frame in GRE", KeyMode::ip, base, wrapped(routed, Wrap::gre_ethernet), true},
        {"ip: a tunnel's packet of another payload", KeyMode::ip, base, wrapped(other_payload, Wrap::vxlan), false},
        {"nat: translated beneath a VXLAN tunnel", KeyMode::nat, base, wrapped(nat_udp, Wrap::vxlan), true},
        {"nat: translated beneath an MPLS label stack", KeyMode::nat, base, wrapped(nat_udp, Wrap::mpls), true},
        {"payload: beneath a GRE tunnel", KeyMode::payload, base, wrapped(translated, Wrap::gre), true},
        {"payload: in a PPPoE session", KeyMode::payload, base, wrapped(translated, Wrap::pppoe), true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string a = key_of(row.mode, row.a), b = key_of(row.mode, row.b);
        EXPECT_NE(a, "none");
        EXPECT_EQ(a == b, row.same);
    }
}

TEST(LatencyKey, NoKeyRatherThanAWrongOne)
{
    Packet bare_ack;
    bare_ack.transport = Transport::tcp;
    bare_ack.payload = "";
    Packet cut_ip;
    cut_ip.payload = std::string(100, 'x');
    cut_ip.cut = 80;
    Packet cut_padding;  // the padding cut off, the packet whole
    cut_padding.padded_to = 90;
    cut_padding.cut = 60;
    Packet tcp;
    tcp.transport = Transport::tcp;
    Bytes arp(60, 0);
    arp[12] = 0x08;
    arp[13] = 0x06;
    Bytes broken_ipv4 = frame(Packet{});
    broken_ipv4[14] = 0x4F;  // a header longer than the packet

    struct Row {
        const char *name;
        KeyMode mode;
        Bytes bytes;
        uint32_t captured;
        bool has_key;
    } rows[] = {
        {"payload: a bare acknowledgement", KeyMode::payload, frame(bare_ack), 0, false},
        {"payload: a TCP segment with data", KeyMode::payload, frame(tcp), 0, true},
        {"payload: not IP", KeyMode::payload, arp, 0, false},
        {"ip: not IP falls back to the whole frame", KeyMode::ip, arp, 0, true},
        {"ip: IP cut short by the capture", KeyMode::ip, frame(cut_ip), 80, false},
        {"ip: only the padding cut", KeyMode::ip, frame(cut_padding), 60, true},
        {"frame: cut short by the capture", KeyMode::frame, frame(cut_padding), 60, false},
        {"ip: a header that does not hold together", KeyMode::ip, broken_ipv4, 0, false},
        {"off", KeyMode::off, frame(tcp), 0, false},
        {"ip: 13 bytes", KeyMode::ip, Bytes(13, 0), 0, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const uint32_t captured = row.captured ? row.captured : static_cast<uint32_t>(row.bytes.size());
        LatencyKey key;
        EXPECT_EQ(latency_key(row.mode, row.bytes.data(), captured, static_cast<uint32_t>(row.bytes.size()), &key),
                  row.has_key);
    }
}

// Records what the matcher reports: "earlier>later=latency" ("d": with
// more than one candidate), "-frame" not seen on the other link (a frame
// toward the device once its watch for a late partner ends), "|frame" at
// the capture's edge, "late earlier>later=latency".
struct Recorder : MatchSink {
    std::vector<std::string> events;
    static std::string pair(const Pairing &p)
    {
        return std::to_string(p.earlier.frame) + ">" + std::to_string(p.later.frame) + "=" +
               std::to_string(p.latency) + (p.duplicate ? "d" : "");
    }
    void paired(const Pairing &p) override { events.push_back(pair(p)); }
    void unmatched(const Sighting &s, bool at_edge) override
    {
        events.push_back((at_edge ? "|" : "-") + std::to_string(s.frame));
    }
    void late(const Pairing &p) override { events.push_back("late " + pair(p)); }
};

// A sighting on a port (A to D) of the TAP.
Sighting sighting_on(char port, uint64_t frame, uint64_t time, uint64_t key)
{
    const uint8_t byte = static_cast<uint8_t>(0x80 >> (port - 'A'));
    return Sighting{frame, time, {key, ~key}, 64, byte, 2, 0, static_cast<uint8_t>(channel_of_port_byte(byte)), 0};
}

// A frame's traffic as ovint-latency groups it: what its bytes hold, and
// nothing a later fragment or a cut leaves out. (IPv4, VLANs and frames
// that are not IP are checked against the host's dissectors end to end.)
TEST(TrafficView, WhatTheCapturedBytesHold)
{
    auto describe = [](const TrafficView &v) {
        if (!v.family)
            return std::string("not IP") + (v.vlan == NO_VLAN ? "" : " vlan " + std::to_string(v.vlan));
        char src[INET6_ADDRSTRLEN], dst[INET6_ADDRSTRLEN];
        inet_ntop(v.family == 4 ? AF_INET : AF_INET6, v.src, src, sizeof src);
        inet_ntop(v.family == 4 ? AF_INET : AF_INET6, v.dst, dst, sizeof dst);
        std::string text = std::string(src) + ">" + dst + " proto " + std::to_string(v.protocol);
        if (v.has_ports)
            text += " ports " + std::to_string(v.src_port) + ">" + std::to_string(v.dst_port);
        text += " dscp " + std::to_string(v.dscp);
        return text + (v.vlan == NO_VLAN ? "" : " vlan " + std::to_string(v.vlan));
    };
    Packet v4, v6, v6_fragment, tagged, cut, padded, qinq, mpls, pppoe, vxlan, gre;
    v6.ipv6 = v6_fragment.ipv6 = mpls.ipv6 = true;
    padded.padded_to = 60;
    qinq.wrap = Wrap::qinq;
    mpls.wrap = Wrap::mpls;
    pppoe.wrap = Wrap::pppoe;
    vxlan.wrap = Wrap::vxlan;
    vxlan.vlan = true;
    gre.wrap = Wrap::gre_ethernet;
    v6_fragment.fragment_id = 77;
    tagged.vlan = true;
    cut.cut = 14 + 20 + 3;
    struct Row {
        const char *name;
        Packet packet;
        std::vector<std::pair<size_t, uint8_t>> patches;  // bytes changed in the frame
        std::string expected;
    } rows[] = {
        {"IPv4 UDP", v4, {}, "10.0.0.1>10.0.0.2 proto 17 ports 40000>443 dscp 0"},
        {"IPv4, DSCP EF", v4, {{15, 0xB8}}, "10.0.0.1>10.0.0.2 proto 17 ports 40000>443 dscp 46"},
        {"behind a VLAN tag", tagged, {}, "10.0.0.1>10.0.0.2 proto 17 ports 40000>443 dscp 0 vlan 7"},
        {"IPv4, a later fragment: no ports", v4, {{21, 0x10}}, "10.0.0.1>10.0.0.2 proto 17 dscp 0"},
        {"IPv4 cut inside the ports", cut, {}, "10.0.0.1>10.0.0.2 proto 17 dscp 0"},
        {"IPv6 UDP, DSCP EF in the traffic class", v6, {{14, 0x6B}, {15, 0x80}},
         "::1>::2 proto 17 ports 40000>443 dscp 46"},
        {"IPv6, a first fragment", v6_fragment, {}, "::1>::2 proto 17 ports 40000>443 dscp 0"},
        {"IPv6, a later fragment: no ports", v6_fragment, {{57, 0x08}}, "::1>::2 proto 17 dscp 0"},
        {"cut inside the IP header", cut, {}, "not IP"},
        {"IPv4, a first fragment keeps its ports", v4, {{20, 0x20}}, "10.0.0.1>10.0.0.2 proto 17 ports 40000>443 dscp 0"},
        {"IPv4, a header length below 5", v4, {{14, 0x44}}, "not IP"},
        {"IPv4 without a transport header: none read from the padding", padded, {{17, 20}},
         "10.0.0.1>10.0.0.2 proto 17 dscp 0"},
        {"IPv6, ports beyond the payload length", v6, {{18, 0}, {19, 0}}, "::1>::2 proto 17 dscp 0"},
        {"IPv6, a later fragment whose data looks like a second fragment header", v6_fragment,
         {{54, 44}, {57, 0x08}, {62, 17}, {63, 0}, {64, 0}, {65, 0}, {66, 0}, {67, 0}, {68, 0}, {69, 0}},
         "::1>::2 proto 44 dscp 0"},
        {"stacked VLAN tags: the outermost", qinq, {}, "10.0.0.1>10.0.0.2 proto 17 ports 40000>443 dscp 0 vlan 7"},
        {"beneath an MPLS label stack", mpls, {}, "::1>::2 proto 17 ports 40000>443 dscp 0"},
        {"in a PPPoE session", pppoe, {}, "10.0.0.1>10.0.0.2 proto 17 ports 40000>443 dscp 0"},
        {"beneath a VXLAN tunnel: the inner packet, the outer tag", vxlan, {},
         "10.0.0.1>10.0.0.2 proto 17 ports 40000>443 dscp 0 vlan 7"},
        {"beneath a GRE tunnel", gre, {}, "10.0.0.1>10.0.0.2 proto 17 ports 40000>443 dscp 0"},
    };
    rows[8].packet.cut = 14 + 19;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Bytes bytes = frame(row.packet);
        for (const auto &patch : row.patches)
            bytes[patch.first] = patch.second;
        if (row.packet.cut)
            bytes.resize(row.packet.cut);
        EXPECT_EQ(describe(read_traffic_view(bytes.data(), static_cast<uint32_t>(bytes.size()))), row.expected);
    }
}

TEST(LatencyMatcher, PairsEachFrameWithItsOtherSighting)
{
    // Sightings in capture order: {port, TAP time, key}; frames number
    // from 1. Window 1000 ns; the TAP cabled with Con A and Con D toward
    // the device, unless a row learns it.
    struct In {
        char port;
        uint64_t time;
        uint64_t key;
        FragmentKind fragment = FragmentKind::none;
        uint32_t packet = 0;  // the packet tag of a piece
    };
    struct Row {
        const char *name;
        std::vector<In> sightings;
        std::vector<std::string> events;  // in the order reported, finish included
        Cabling cabling = Cabling::a_c;
        uint64_t wrong_direction = 0;
        Cabling contradicted_by = Cabling::learn;  // a cabling given, that the first pairs contradict
    } rows[] = {
        {"one frame through the device", {{'A', 100, 7}, {'C', 350, 7}}, {"1>2=250"}},
        {"the other direction", {{'D', 100, 7}, {'B', 104, 7}}, {"1>2=4"}},
        {"the later sighting first in the capture", {{'C', 350, 7}, {'A', 100, 7}}, {"2>1=250"}},
        {"the same link never pairs", {{'A', 100, 7}, {'B', 200, 7}}, {"|1", "|2"}},
        {"other keys never pair", {{'A', 100, 7}, {'C', 200, 8}}, {"|1", "|2"}},
        {"sent twice: first in, first out", {{'A', 100, 7}, {'A', 150, 7}, {'C', 300, 7}, {'C', 330, 7}},
         {"1>3=200d", "2>4=180"}},
        {"a duplicate out of order in the capture", {{'A', 150, 7}, {'A', 100, 7}, {'C', 300, 7}, {'C', 330, 7}},
         {"2>3=200d", "1>4=180"}},
        {"exactly the window apart", {{'A', 0, 7}, {'C', 1000, 7}}, {"1>2=1000"}},
        {"one past the window: neither link was captured where the partner would lie", {{'A', 0, 7}, {'C', 1001, 7}},
         {"|1", "|2"}},
        {"left the window before the partner came", {{'D', 0, 1}, {'A', 10, 7}, {'A', 5000, 9}, {'C', 5001, 8}},
         {"|1", "|3", "|4", "-2"}},
        {"a partner after the window, at the capture's edge: late all the same",
         {{'D', 0, 1}, {'A', 10, 7}, {'A', 5000, 9}, {'C', 5001, 7}}, {"|1", "|3", "late 2>4=4991"}},
        {"a partner after the window: the two are told as late, not as unmatched",
         {{'D', 0, 1}, {'A', 10, 7}, {'C', 1500, 7}, {'A', 5000, 9}, {'C', 5100, 9}},
         {"|1", "4>5=100", "late 2>3=1490"}},
        {"a late partner whose key came twice on its link is no measure of the window",
         {{'D', 0, 1}, {'A', 10, 7}, {'A', 500, 7}, {'C', 1900, 7}, {'A', 5000, 9}, {'C', 5100, 9}},
         {"|1", "5>6=100", "late 2>4=1890d", "-3"}},
        {"nor one whose key paired in between",
         {{'D', 0, 1}, {'A', 10, 7}, {'A', 1500, 7}, {'C', 1600, 7}, {'C', 2500, 7}, {'A', 5000, 9}, {'C', 5100, 9}},
         {"3>4=100", "|1", "6>7=100", "late 2>5=2490d"}},
        {"a packet lost whole shifts no later piece of the next (their pieces alike)",
         {{'A', 100, 7, FragmentKind::first, 101}, {'A', 101, 9, FragmentKind::later, 101},
          {'A', 200, 8, FragmentKind::first, 102}, {'A', 201, 9, FragmentKind::later, 102},
          {'C', 250, 8, FragmentKind::first, 202}, {'C', 251, 9, FragmentKind::later, 202}},
         {"3>5=50", "4>6=50", "|1", "|2"}},
        {"a router leaves a packet's identity as it was: the pieces pair, the last written first",
         {{'A', 200, 8, FragmentKind::first, 102}, {'C', 250, 8, FragmentKind::first, 102},
          {'A', 201, 9, FragmentKind::later, 102}, {'C', 251, 9, FragmentKind::later, 102},
          {'C', 252, 10, FragmentKind::later, 102}, {'A', 202, 10, FragmentKind::later, 102}},
         {"1>2=50", "3>4=50", "6>5=50"}},
        {"a later piece written before its first piece pairs once the first pieces do",
         {{'A', 200, 8, FragmentKind::first, 102}, {'A', 201, 9, FragmentKind::later, 102},
          {'C', 251, 9, FragmentKind::later, 202}, {'C', 250, 8, FragmentKind::first, 202}},
         {"1>4=50", "2>3=50"}},
        {"the first piece dropped: the later one the device forwarded pairs, its packet unpartnered too",
         {{'A', 200, 8, FragmentKind::first, 102}, {'A', 201, 9, FragmentKind::later, 102},
          {'C', 251, 9, FragmentKind::later, 202}},
         {"|1", "2>3=50"}},
        {"... but never with a piece of a packet that has its partner",
         {{'A', 100, 8, FragmentKind::first, 101}, {'A', 101, 9, FragmentKind::later, 101},
          {'A', 200, 10, FragmentKind::first, 102}, {'A', 201, 9, FragmentKind::later, 102},
          {'C', 250, 9, FragmentKind::later, 201}, {'C', 300, 10, FragmentKind::first, 202},
          {'C', 301, 9, FragmentKind::later, 202}},
         {"3>6=100", "4>7=100", "|1", "2>5=149"}},
        {"dropped by the device, the next one passes", {{'A', 3000, 7}, {'A', 3010, 8}, {'C', 3060, 8}},
         {"2>3=50", "|1"}},
        {"equal times", {{'A', 500, 7}, {'C', 500, 7}}, {"1>2=0"}},
        {"the clock steps back: what waited is settled at once, and frames pair again",
         {{'A', 5000, 7}, {'A', 1000, 8}, {'C', 1200, 8}}, {"|1", "2>3=200"}},
        {"back by the window is still the same clock", {{'A', 5000, 7}, {'A', 4000, 8}, {'C', 4200, 8}},
         {"2>3=200", "|1"}},
        {"a lone frame stamped far ahead keeps no one from pairing",
         {{'A', 100, 7}, {'A', 1000000, 9}, {'A', 200, 8}, {'C', 300, 8}}, {"3>4=100", "|1", "|2"}},
        {"a quiet link: the frame far ahead is followed, and what waited leaves",
         {{'A', 100, 7}, {'A', 9000, 8}, {'C', 9100, 8}}, {"2>3=100", "|1"}},
        {"away from the device at the start: its partner may be before the capture",
         {{'C', 100, 7}, {'A', 2000, 8}, {'C', 2100, 8}, {'C', 3200, 9}, {'A', 4000, 10}, {'C', 4100, 10}},
         {"2>3=100", "|1", "5>6=100", "-4"}},
        {"one link's capture ended first: its partner may lie after it",
         {{'D', 0, 1}, {'B', 50, 1}, {'A', 100, 2}, {'C', 150, 2}, {'B', 3000, 3}, {'A', 5000, 4}, {'B', 5000, 5}},
         {"1>2=50", "3>4=50", "|6", "|7", "|5"}},
        {"the same, the other link's capture going on: not seen",
         {{'D', 0, 1}, {'B', 50, 1}, {'A', 100, 2}, {'C', 150, 2}, {'B', 3000, 3}, {'A', 5000, 4}, {'B', 5000, 5},
          {'D', 9000, 6}},
         {"1>2=50", "3>4=50", "-5", "-6", "-7", "|8"}},
        {"a direction no forwarding makes", {{'B', 100, 7}, {'C', 200, 7}}, {"|1", "|2"}, Cabling::a_c, 1},
        {"cabled the other way round", {{'B', 100, 7}, {'C', 200, 7}, {'D', 300, 8}, {'A', 350, 8}},
         {"1>2=100", "3>4=50"}, Cabling::b_c},
        {"cabled A-D", {{'A', 100, 7}, {'D', 300, 7}, {'C', 400, 8}, {'B', 450, 8}, {'A', 500, 9}, {'C', 600, 9}},
         {"1>2=200", "3>4=50", "|5", "|6"}, Cabling::a_d, 1},
        {"learnt from the pairs", {{'C', 100, 7}, {'A', 300, 7}}, {"1>2=200"}, Cabling::learn},
        {"learnt: a pair against the cabling most pairs show stays apart",
         {{'D', 100, 1}, {'B', 150, 1}, {'D', 200, 2}, {'B', 260, 2}, {'B', 300, 3}, {'C', 400, 3}},
         {"1>2=50", "3>4=60", "|5", "|6"}, Cabling::learn, 1},
    };
    // Twelve equal frames toward the device, then each seen leaving it
    // 100 ns later: first in, first out beyond the few compared by TAP
    // time.
    Row repeated = {"twelve equal frames", {}, {}, Cabling::a_c, 0};
    for (uint64_t i = 0; i < 12; i++)
        repeated.sightings.push_back({'A', i, 7});
    for (uint64_t i = 0; i < 12; i++) {
        repeated.sightings.push_back({'C', 100 + i, 7});
        repeated.events.push_back(std::to_string(i + 1) + ">" + std::to_string(i + 13) + "=100" + (i < 11 ? "d" : ""));
    }
    // A bridge's frames (Con A to Con C, Con D to Con B) against a cabling
    // given the wrong way: none pairs, and the capture names the one that fits.
    Row miscabled = {"cabled A-D, the capture says A-C", {}, {}, Cabling::a_d, 8, Cabling::a_c};
    for (uint64_t i = 0; i < 8; i++) {
        const bool link1 = i % 2 == 0;
        miscabled.sightings.push_back({link1 ? 'A' : 'D', 100 * i, 20 + i});
        miscabled.sightings.push_back({link1 ? 'C' : 'B', 100 * i + 10, 20 + i});
        miscabled.events.push_back("|" + std::to_string(2 * i + 1));
        miscabled.events.push_back("|" + std::to_string(2 * i + 2));
    }
    std::vector<Row> all(std::begin(rows), std::end(rows));
    all.push_back(repeated);
    all.push_back(miscabled);
    for (const Row &row : all) {
        SCOPED_TRACE(row.name);
        LatencyMatcher matcher(1000, row.cabling);
        Recorder recorder;
        uint64_t frame = 0;
        for (const In &in : row.sightings) {
            frame++;
            Sighting sighting = sighting_on(in.port, frame, in.time, in.key);
            sighting.fragment = in.fragment;
            sighting.packet_tag = in.packet;
            matcher.add(sighting, recorder);
        }
        matcher.finish(recorder);
        EXPECT_EQ(recorder.events, row.events);
        EXPECT_EQ(matcher.waiting(), 0u);
        EXPECT_EQ(matcher.findings().wrong_direction, row.wrong_direction);
        EXPECT_EQ(matcher.findings().learnt, row.cabling == Cabling::learn);
        EXPECT_EQ(matcher.findings().contradicted, row.contradicted_by != Cabling::learn);
        if (row.contradicted_by != Cabling::learn) {
            EXPECT_EQ(matcher.findings().fitting, row.contradicted_by);
        }
    }
}

// Counts pairings of a frame's own two sightings (frame numbers 2i+1 and
// 2i+2 for frame i), pairings of anything else, and frames left unmatched.
struct PairCounter : MatchSink {
    uint64_t own = 0, wrong = 0, unmatched_count = 0;
    void paired(const Pairing &p) override { (p.earlier.key == p.later.key ? own : wrong)++; }
    void unmatched(const Sighting &, bool) override { unmatched_count++; }
};

TEST(LatencyMatcher, FindsEveryKeyWhileItsIndexIsCompactedAndGrown)
{
    // Many distinct keys through the device, some dropped and sent again,
    // some sent twice: the index is emptied of keys gone from the window
    // again and again (while it has room for those waiting), grows (while
    // it has not) or shrinks (when the traffic slows), and every key must
    // still be found. A frame sent twice leaves its first sighting paired
    // behind its queue, where the index's moves no longer reach it.
    struct Row {
        const char *name;
        uint64_t frames, spacing, latency, window, drop_every;
        uint64_t twice_every;     // frames sent twice, one right after the other
        uint64_t later_spacing;   // from half-way on (0: as before)
    } rows[] = {
        {"room enough: compacted in place", 300000, 100, 5000, 700000, 100, 0, 0},
        {"more waiting: grown", 100000, 100, 2000000, 10000000, 97, 0, 0},
        {"traffic slowing: shrunk", 400000, 100, 2000000, 10000000, 101, 3, 3000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        struct Seen {
            uint64_t time;
            uint64_t frame;
            uint8_t channel;
        };
        std::vector<Seen> seen;
        uint64_t dropped = 0, pairs = 0;
        for (uint64_t i = 0; i < row.frames; i++) {
            const uint64_t half = row.frames / 2;
            const uint64_t time = row.later_spacing && i >= half
                                      ? half * row.spacing + (i - half) * row.later_spacing
                                      : i * row.spacing;
            seen.push_back({time, i, 1});
            if (row.drop_every && i % row.drop_every == 0) {
                // Dropped; sent again half a window later, and that one
                // passes once the first has left the window.
                dropped++;
                pairs++;
                seen.push_back({time + row.window / 2, i, 1});
                seen.push_back({time + row.window + 1000, i, 2});
            } else if (row.twice_every && i % row.twice_every == 0) {
                pairs += 2;
                seen.push_back({time + 1, i, 1});
                seen.push_back({time + row.latency, i, 2});
                seen.push_back({time + row.latency + 1, i, 2});
            } else {
                pairs++;
                seen.push_back({time + row.latency, i, 2});
            }
        }
        std::stable_sort(seen.begin(), seen.end(), [](const Seen &a, const Seen &b) { return a.time < b.time; });
        LatencyMatcher matcher(row.window);
        PairCounter counter;
        uint64_t number = 0;
        for (const Seen &s : seen) {
            // Keys spread over the index as hashes are (splitmix64), so
            // slots crowd.
            uint64_t mixed = (s.frame + 1) * 0x9E3779B97F4A7C15u;
            mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9u;
            mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBu;
            const LatencyKey key = {mixed ^ (mixed >> 31), s.frame};
            matcher.add(Sighting{++number, s.time, key, 64, static_cast<uint8_t>(s.channel == 1 ? 0x80 : 0x20), 2, 0,
                                 s.channel, 0},
                        counter);
        }
        matcher.finish(counter);
        EXPECT_EQ(counter.own, pairs);
        EXPECT_EQ(counter.wrong, 0u);
        EXPECT_EQ(counter.unmatched_count, dropped);
    }
}

TEST(LatencyMatcher, MemoryIsBoundedByTheWindowWhateverTheClockDoes)
{
    // A million frames, 100 ns apart, none ever seen again: the waiting
    // sightings are those of one window, also when the TAP clock steps
    // back (a restarted TAP) or one frame is stamped far ahead; the clock
    // tells what it did.
    constexpr uint64_t FRAMES = 1000000, MIDDLE = FRAMES / 2, HOUR = 3600000000000;
    struct Row {
        const char *name;
        uint64_t back_at, back_by;  // from frame back_at on, the clock reads back_by less
        uint64_t ahead_at;          // this frame alone is stamped an hour ahead (of the one before)
        ClockSteps steps;
    } rows[] = {
        {"a steady clock", 0, 0, 0, {}},
        {"a step back of 1000 s", MIDDLE, 1000000000000, 0, {1, 1000000000000 - 100, MIDDLE, 0, 0, 0}},
        {"one frame an hour ahead", 0, 0, MIDDLE, {0, 0, 0, 1, HOUR + 100, MIDDLE}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        LatencyMatcher matcher(100000);
        Recorder recorder;
        size_t most = 0;
        for (uint64_t i = 1; i <= FRAMES; i++) {
            uint64_t time = 2000000000000 + i * 100;
            time -= row.back_at && i >= row.back_at ? row.back_by : 0;
            time += i == row.ahead_at ? HOUR : 0;
            matcher.add(Sighting{i, time, {i, i}, 64, 0x80, 2, 0, 1, 0}, recorder);
            most = std::max(most, matcher.waiting());
            if (recorder.events.size() > 1000)
                recorder.events.clear();
        }
        EXPECT_LE(most, 1003u);
        const ClockSteps &steps = matcher.clock().steps();
        EXPECT_EQ(steps.back, row.steps.back);
        EXPECT_EQ(steps.largest_back, row.steps.largest_back);
        EXPECT_EQ(steps.first_back_frame, row.steps.first_back_frame);
        EXPECT_EQ(steps.ahead, row.steps.ahead);
        EXPECT_EQ(steps.largest_ahead, row.steps.largest_ahead);
        EXPECT_EQ(steps.first_ahead_frame, row.steps.first_ahead_frame);
    }
}

// A frame without a partner: its fate by what the capture taught of the
// device (does it route, which addresses does it send from, how long are
// its links' frames) and by the frame's own addresses and flags.
TEST(FateJudge, WhyAFrameWasSeenOnOneLinkOnly)
{
    // Con A toward the device, Con C away from it.
    auto frame = [](char port, uint64_t time, uint32_t length, FrameScope scope, uint32_t src, uint32_t dst) {
        Sighting s = {};
        s.frame = time;
        s.tap_time = time;
        s.length = length;
        s.port = port == 'A' ? 0x80 : 0x20;
        s.version = 2;
        s.channel = port == 'A' ? 1 : 2;
        s.scope = scope;
        s.ttl = 64;
        s.src_tag = src;
        s.dst_tag = dst;
        return s;
    };
    const FrameScope ordinary = FrameScope::ordinary, link_local = FrameScope::link_local;
    const uint32_t host = 0x0A010001, server = 0xC0000250, router = 0x0A0100FE;
    auto piece = [](Sighting s, uint32_t identification, FragmentKind kind) {
        s.packet_tag = identification ^ s.src_tag ^ s.dst_tag;
        s.id_tag = identification;
        s.fragment = kind;
        return s;
    };
    struct Row {
        const char *name;
        bool routed;                 // the pairs taught so far lose a hop
        std::vector<Sighting> sent;  // frames from the device told before
        std::vector<Sighting> merged;  // records merged by the capture host
        Sighting unpaired;
        bool keyed;
        uint8_t flags;
        Fate fate;
        std::vector<Sighting> told = {};  // pieces that left, and packets that entered whole, told before
    } rows[] = {
        {"an ordinary frame toward the device: lost", true, {}, {}, frame('A', 10, 100, ordinary, host, server), true, 0,
         Fate::not_seen},
        {"seen only leaving: the device's own", true, {}, {}, frame('C', 10, 100, ordinary, router, host), true, 0,
         Fate::from_device},
        {"a link-local frame to a router: for it", true, {}, {}, frame('A', 10, 60, link_local, host, router), true, 0,
         Fate::for_device},
        {"a link-local frame through a bridge: lost", false, {}, {}, frame('A', 10, 60, link_local, host, server),
         true, 0, Fate::not_seen},
        {"an IEEE reserved group: for the device, bridge or router", false, {}, {},
         frame('A', 10, 60, FrameScope::bridge_local, 0, 0), true, 0, Fate::for_device},
        {"to an address the device sends from: for it", true, {frame('C', 5, 100, ordinary, router, host)}, {},
         frame('A', 10, 100, ordinary, host, router), true, 0, Fate::for_device},
        {"to an address frames were forwarded to: lost", true,
         {frame('C', 5, 100, ordinary, server, host)}, {}, frame('A', 10, 100, ordinary, host, server), true, 0,
         Fate::not_seen},
        {"without a key: unknown", true, {}, {}, frame('A', 10, 100, ordinary, host, server), false, 0, Fate::no_key},
        {"without a key, received in error: lost", true, {}, {}, frame('A', 10, 100, ordinary, host, server), false,
         0x08, Fate::not_seen},
        {"without a key, only 'lost packet' flagged: unknown", true, {}, {},
         frame('A', 10, 100, ordinary, host, server), false, 0x04, Fate::no_key},
        {"longer than any frame its link carried: merged", true, {}, {}, frame('A', 10, 2900, ordinary, host, server),
         true, 0, Fate::merged},
        {"a piece of a record merged on the other link", true, {}, {frame('C', 12, 2900, ordinary, host, server)},
         frame('A', 10, 1000, ordinary, host, server), true, 0, Fate::merged},
        {"another flow beside a merged record: lost", true, {}, {frame('C', 12, 2900, ordinary, server, host)},
         frame('A', 10, 1000, ordinary, host, server), true, 0, Fate::not_seen},
        {"entered whole and left in pieces: fragmented", true, {}, {}, piece(frame('A', 10, 1400, ordinary, host, server), 55, FragmentKind::none),
         true, 0, Fate::fragmented,
         {piece(frame('C', 12, 600, ordinary, host, server), 55, FragmentKind::first),
          piece(frame('C', 13, 600, ordinary, host, server), 55, FragmentKind::later)}},
        {"a piece of a packet that entered whole: fragmented", true, {}, {},
         piece(frame('C', 13, 600, ordinary, host, server), 55, FragmentKind::later), true, 0, Fate::fragmented,
         {piece(frame('A', 10, 1400, ordinary, host, server), 55, FragmentKind::none)}},
        {"behind an address translator: the pieces from its own address, fragmented", true, {}, {},
         piece(frame('A', 10, 1400, ordinary, host, server), 55, FragmentKind::none), true, 0, Fate::fragmented,
         {piece(frame('C', 12, 600, ordinary, router, server), 55, FragmentKind::first)}},
        {"... or the one whose destination it rewrote, the source kept", true, {}, {},
         piece(frame('C', 13, 600, ordinary, server, host), 55, FragmentKind::later), true, 0, Fate::fragmented,
         {piece(frame('A', 10, 1400, ordinary, server, router), 55, FragmentKind::none)}},
        {"both addresses other: another packet", true, {}, {},
         piece(frame('A', 10, 1400, ordinary, host, server), 55, FragmentKind::none), true, 0, Fate::not_seen,
         {piece(frame('C', 12, 600, ordinary, router, host), 55, FragmentKind::first)}},
        {"beside the pieces of another packet: lost", true, {}, {},
         piece(frame('A', 10, 1400, ordinary, host, server), 55, FragmentKind::none), true, 0, Fate::not_seen,
         {piece(frame('C', 12, 600, ordinary, host, server), 56, FragmentKind::first)}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FateJudge judge(1000000000);
        // Three pairs, routed or bridged, of up to 1514 bytes, one to the server.
        for (int i = 0; i < 3; i++) {
            Sighting in = frame('A', 1, 1514, ordinary, host, server), out = frame('C', 2, 1514, ordinary, host, server);
            out.ttl = row.routed ? 63 : 64;
            judge.paired(in, out);
        }
        for (const Sighting &sent : row.sent)
            EXPECT_EQ(judge.unpaired(sent, false, true), Fate::from_device);
        for (const Sighting &merged : row.merged)
            judge.merged_record(merged);
        for (const Sighting &told : row.told) {
            if (told.fragment == FragmentKind::none)
                judge.whole_entered(told);
            else
                judge.piece_left(told);
        }
        Sighting unpaired = row.unpaired;
        unpaired.flags = row.flags;
        EXPECT_EQ(fate_name(judge.unpaired(unpaired, unpaired.port == 0x80, row.keyed)), fate_name(row.fate));
    }
}

TEST(LatencyRanges, EachLatencyInItsRangeAsTheTreeNamesThem)
{
    struct Row {
        uint64_t window;
        size_t count;
        uint64_t last_floor;
    } rows[] = {
        {1000000, 10, 500000},                // 1 ms: below 1 µs … 500 µs-1 ms
        {100000000, 16, 50000000},            // the default 100 ms
        {2147483647, 21, 2000000000},         // the plug-in's largest (an int)
        {3600000000000, 30, 2000000000000},   // an hour
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.window);
        const LatencyRanges ranges = latency_ranges(row.window);
        EXPECT_EQ(ranges.count, row.count);
        EXPECT_EQ(ranges.floor[ranges.count - 1], row.last_floor);
        EXPECT_EQ(ranges.ceil(ranges.count - 1), row.window);
        // Every bound, each side of it, and every power of two: the range
        // found fast is the one a plain search finds.
        std::vector<uint64_t> latencies = {row.window, row.window + 1};
        for (size_t i = 0; i < ranges.count; i++)
            latencies.insert(latencies.end(), {ranges.floor[i], ranges.floor[i] + 1, ranges.floor[i] - 1});
        for (int bit = 0; bit < 64; bit++)
            latencies.insert(latencies.end(), {uint64_t(1) << bit, (uint64_t(1) << bit) - 1});
        for (uint64_t latency : latencies) {
            size_t plain = 0;
            while (plain + 1 < ranges.count && latency >= ranges.floor[plain + 1])
                plain++;
            EXPECT_EQ(ranges.range_of(latency), plain) << latency;
        }
    }
}

} // namespace
