// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/packet/ip_packet.h"

#include <netinet/in.h>

namespace {

constexpr uint32_t ETHERNET_HEADER = 14;
constexpr int MAX_TAGS = 4;
constexpr int MAX_LABELS = 8;
constexpr int MAX_IPV6_EXTENSIONS = 8;
// A tunnel inside a tunnel is opened too; deeper, the packet reached is
// keyed as it is.
constexpr int MAX_TUNNELS = 2;

constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_IPV6 = 0x86DD;
constexpr uint16_t ETHERTYPE_MPLS = 0x8847;
constexpr uint16_t ETHERTYPE_MPLS_MULTICAST = 0x8848;
constexpr uint16_t ETHERTYPE_PPPOE_SESSION = 0x8864;
constexpr uint16_t ETHERTYPE_TRANSPARENT_BRIDGING = 0x6558;  // Ethernet in GRE
constexpr uint16_t PPP_IPV4 = 0x0021;
constexpr uint16_t PPP_IPV6 = 0x0057;
constexpr uint16_t VXLAN_PORT = 4789;
constexpr uint32_t UDP_HEADER = 8;
constexpr uint32_t VXLAN_HEADER = 8;

inline bool is_vlan_tag(uint32_t ethertype)
{
    return ethertype == 0x8100 || ethertype == 0x88A8 || ethertype == 0x9100;
}

// The bytes that may be read: those captured, and none past the packet
// that holds them.
struct Bounds {
    uint32_t captured;
    uint32_t packet_end;  // of the outer packet; the frame's, at the top
    uint32_t readable() const { return captured < packet_end ? captured : packet_end; }
};

// The IP header at `at`, of version 4 or 6 as its first nibble says.
IpFound read_ip_header(const uint8_t *frame, const Bounds &bounds, uint32_t at, IpPacket &packet)
{
    const uint32_t readable = bounds.readable();
    if (at >= readable)
        return IpFound::broken;
    const uint8_t *ip = frame + at;
    if (ip[0] >> 4 == 4) {
        if (at + 20 > readable)
            return IpFound::broken;
        const uint32_t header_length = (ip[0] & 0x0F) * 4u;
        const uint32_t total = read_be16(ip + 2);
        if (header_length < 20 || total < header_length || at + total > bounds.packet_end)
            return IpFound::broken;
        packet.start = at;
        packet.end = at + total;
        packet.version = 4;
        packet.protocol = ip[9];
        packet.transport = at + header_length;
        packet.identification = read_be16(ip + 4);
        const uint32_t fragment_field = read_be16(ip + 6);
        packet.fragment = (fragment_field & 0x3FFF) != 0;  // more fragments, or an offset
        packet.later_fragment = (fragment_field & 0x1FFF) != 0;
        packet.headers_whole = true;
        return IpFound::ip;
    }
    if (ip[0] >> 4 != 6 || at + 40 > readable)
        return IpFound::broken;
    const uint32_t end = at + 40 + read_be16(ip + 4);
    if (end > bounds.packet_end)
        return IpFound::broken;
    packet.start = at;
    packet.end = end;
    packet.version = 6;
    packet.fragment = packet.later_fragment = false;
    packet.identification = 0;
    packet.headers_whole = true;
    // Extension headers up to the transport header, as far as both the
    // packet and the capture hold them.
    const uint32_t limit = end < bounds.captured ? end : bounds.captured;
    uint8_t next = ip[6];
    uint32_t header = at + 40;
    for (int i = 0; i < MAX_IPV6_EXTENSIONS; i++) {
        if (next != IPPROTO_HOPOPTS && next != IPPROTO_ROUTING && next != IPPROTO_DSTOPTS && next != IPPROTO_AH &&
            next != IPPROTO_FRAGMENT)
            break;
        if (header + 8 > limit) {
            packet.headers_whole = false;
            break;
        }
        uint32_t length;
        if (next == IPPROTO_FRAGMENT) {
            const uint32_t offset_field = read_be16(frame + header + 2);
            const bool later = (offset_field & 0xFFF8) != 0;
            // One fragment header or several: any offset makes a later piece.
            packet.later_fragment = packet.later_fragment || later;
            packet.fragment = packet.fragment || later || (offset_field & 1) != 0;
            packet.identification = read_be16(frame + header + 4) << 16 | read_be16(frame + header + 6);
            if (later) {
                // What follows is the packet's data, not its headers.
                packet.protocol = frame[header];
                packet.transport = header + 8;
                return IpFound::ip;
            }
            length = 8;
        } else {
            length = next == IPPROTO_AH ? (frame[header + 1] + 2u) * 4u : (frame[header + 1] + 1u) * 8u;
        }
        next = frame[header];
        header += length;
        if (header > limit) {
            packet.headers_whole = false;
            break;
        }
    }
    packet.protocol = next;
    packet.transport = header;
    return IpFound::ip;
}

IpFound read_ethernet(const uint8_t *frame, const Bounds &bounds, uint32_t at, bool outermost, IpPacket &packet);

// What follows an EtherType (or a GRE protocol type) at `at`.
IpFound read_after_ethertype(const uint8_t *frame, Bounds bounds, uint32_t ethertype, uint32_t at,
                             IpPacket &packet)
{
    switch (ethertype) {
    case ETHERTYPE_IPV4:
    case ETHERTYPE_IPV6:
        return read_ip_header(frame, bounds, at, packet);
    case ETHERTYPE_MPLS:
    case ETHERTYPE_MPLS_MULTICAST: {
        // Labels down to the bottom of the stack; beneath, IP by its first
        // nibble, or else a pseudowire.
        for (int labels = 0;; labels++) {
            if (labels == MAX_LABELS)
                return IpFound::not_ip;
            if (at + 4 > bounds.readable())
                return IpFound::broken;
            const bool bottom = (frame[at + 2] & 1) != 0;
            at += 4;
            if (bottom)
                break;
        }
        if (at >= bounds.readable())
            return IpFound::broken;
        const uint8_t version = frame[at] >> 4;
        return version == 4 || version == 6 ? read_ip_header(frame, bounds, at, packet) : IpFound::not_ip;
    }
    case ETHERTYPE_PPPOE_SESSION: {
        if (at + 8 > bounds.readable())
            return IpFound::broken;
        if (frame[at] != 0x11 || frame[at + 1] != 0)
            return IpFound::not_ip;  // not version 1, type 1, session data
        const uint32_t payload_end = at + 6 + read_be16(frame + at + 4);
        const uint32_t protocol = read_be16(frame + at + 6);
        if (protocol != PPP_IPV4 && protocol != PPP_IPV6)
            return IpFound::not_ip;
        if (payload_end < bounds.packet_end)
            bounds.packet_end = payload_end;
        return read_ip_header(frame, bounds, at + 8, packet);
    }
    case ETHERTYPE_TRANSPARENT_BRIDGING:
        return read_ethernet(frame, bounds, at, false, packet);
    default:
        return IpFound::not_ip;
    }
}

IpFound read_ethernet(const uint8_t *frame, const Bounds &bounds, uint32_t at, bool outermost, IpPacket &packet)
{
    if (at + ETHERNET_HEADER > bounds.readable())
        return IpFound::broken;
    at += 12;
    uint32_t ethertype = read_be16(frame + at);
    for (int tags = 0; is_vlan_tag(ethertype); tags++) {
        if (tags == MAX_TAGS)
            return IpFound::not_ip;
        if (at + 6 > bounds.readable())
            return IpFound::broken;
        if (tags == 0 && outermost)
            packet.vlan = static_cast<uint16_t>(read_be16(frame + at + 2) & 0x0FFF);
        at += 4;
        ethertype = read_be16(frame + at);
    }
    if (outermost) {
        packet.ethertype = static_cast<uint16_t>(ethertype);
        packet.network = at + 2;
    }
    return read_after_ethertype(frame, bounds, ethertype, at + 2, packet);
}

// The packet a tunnel's outer packet carries: VXLAN (UDP to 4789) or GRE.
// False when `outer` is no such packet, or carries no IP packet.
bool open_tunnel(const uint8_t *frame, uint32_t captured, const IpPacket &outer, Tunnels tunnels, IpPacket &inner)
{
    // To key a frame by, only an outer packet captured whole: what a cut or
    // damaged one holds is not known to be what it says.
    if (outer.fragment || !outer.headers_whole || (tunnels == Tunnels::whole && outer.end > captured))
        return false;
    const Bounds bounds = {captured, outer.end};
    const uint32_t at = outer.transport;
    if (outer.protocol == IPPROTO_UDP) {
        if (at + UDP_HEADER + VXLAN_HEADER > bounds.readable() || read_be16(frame + at + 2) != VXLAN_PORT ||
            (frame[at + UDP_HEADER] & 0x08) == 0)  // no valid network identifier
            return false;
        return read_ethernet(frame, bounds, at + UDP_HEADER + VXLAN_HEADER, false, inner) == IpFound::ip;
    }
    if (outer.protocol == IPPROTO_GRE) {
        if (at + 4 > bounds.readable())
            return false;
        const uint32_t flags = read_be16(frame + at);
        if ((flags & 0x4007) != 0)  // source routing, or a version other than 0
            return false;
        const uint32_t header = 4 + ((flags & 0x8000) ? 4 : 0) + ((flags & 0x2000) ? 4 : 0) + ((flags & 0x1000) ? 4 : 0);
        return read_after_ethertype(frame, bounds, read_be16(frame + at + 2), at + header, inner) == IpFound::ip;
    }
    return false;
}

} // namespace

IpFound locate_ip_packet(const uint8_t *frame, uint32_t captured, IpPacket &packet, Tunnels tunnels)
{
    const Bounds bounds = {captured, UINT32_MAX};
    IpFound found;
    // Most frames: IP straight behind the Ethernet header, read without
    // the walk through tags and labels.
    const uint32_t ethertype = captured >= ETHERNET_HEADER ? read_be16(frame + 12) : 0;
    if (ethertype == ETHERTYPE_IPV4 || ethertype == ETHERTYPE_IPV6) {
        packet.ethertype = static_cast<uint16_t>(ethertype);
        packet.network = ETHERNET_HEADER;
        found = read_ip_header(frame, bounds, ETHERNET_HEADER, packet);
    } else {
        found = read_ethernet(frame, bounds, 0, true, packet);
    }
    if (found != IpFound::ip || (packet.protocol != IPPROTO_UDP && packet.protocol != IPPROTO_GRE))
        return found;
    // UDP to any port but VXLAN's carries no tunnel.
    if (packet.protocol == IPPROTO_UDP &&
        (packet.transport + 4 > captured || read_be16(frame + packet.transport + 2) != VXLAN_PORT))
        return found;
    for (int tunnel = 0; tunnel < MAX_TUNNELS; tunnel++) {
        IpPacket inner;
        inner.vlan = packet.vlan;
        if (!open_tunnel(frame, captured, packet, tunnels, inner))
            break;
        inner.tunnels = static_cast<uint8_t>(packet.tunnels + 1);
        packet = inner;
    }
    return IpFound::ip;
}
