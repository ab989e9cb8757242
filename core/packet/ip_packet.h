// SPDX-License-Identifier: GPL-2.0-or-later
//
// Where a frame's IP packet lies, for the key and the traffic view alike,
// so that both read the same packet of a frame: behind any stack of VLAN
// tags (802.1Q, 802.1ad), an MPLS label stack or a PPPoE session header,
// and beneath the outer packet of a VXLAN or GRE tunnel, the innermost IP
// packet. A device that pushes or pops such headers forwards that packet
// as it was.
//
// Only what the headers say is there counts: an IPv4 header length below
// 20 bytes, or a total length below the header's, is no IP packet, and a
// packet ends where its header says (Ethernet padding is not part of it).
// The packet may end beyond the bytes captured: a reader checks `end`
// against what it needs.

#ifndef OVINT_CORE_PACKET_IP_PACKET_H
#define OVINT_CORE_PACKET_IP_PACKET_H

#include <cstdint>

constexpr uint16_t NO_VLAN = 0xFFFF;
constexpr uint16_t ETHERTYPE_ARP = 0x0806;

// A big-endian 16-bit field of a header.
inline uint32_t read_be16(const uint8_t *bytes)
{
    return uint32_t(bytes[0]) << 8 | bytes[1];
}

enum class IpFound : uint8_t {
    not_ip,  // a frame of another kind (ARP, LLDP, a pseudowire…)
    ip,
    broken,  // headers cut short, or that do not hold together
};

struct IpPacket {
    uint32_t start = 0;      // of the IP header, in the frame
    uint32_t end = 0;        // one past the last byte the header counts
    uint32_t transport = 0;  // where the header after the IP headers starts
    uint8_t version = 0;     // 4 or 6
    uint8_t protocol = 0;    // of what follows the IP headers
    bool fragment = false;        // a piece of a larger packet, the first one included
    bool later_fragment = false;  // a piece after the first: it holds no transport header
    uint32_t identification = 0;  // IPv4's; an IPv6 fragment header's (0 without one)
    // IPv6: the extension headers were walked to the transport header; not
    // when one of them runs past the bytes captured or the packet.
    bool headers_whole = true;
    uint16_t vlan = NO_VLAN;  // the frame's outermost VLAN ID
    // The outermost EtherType behind the VLAN tags, and where what it
    // names starts: an ARP frame's, say.
    uint16_t ethertype = 0;
    uint32_t network = 0;
    uint8_t tunnels = 0;      // outer packets opened to reach this one
};

// Which tunnels are opened: those whose outer packet was captured whole
// (to key a frame by), or also one cut short, as far as it was captured
// (to group a frame by what it still holds).
enum class Tunnels : uint8_t { whole, as_captured };

// The IP packet of an Ethernet frame of which `captured` bytes are at hand.
// Not IP: `vlan` is still the outermost tag's.
IpFound locate_ip_packet(const uint8_t *frame, uint32_t captured, IpPacket &packet, Tunnels tunnels = Tunnels::whole);

#endif // OVINT_CORE_PACKET_IP_PACKET_H
