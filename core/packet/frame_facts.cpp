// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/packet/frame_facts.h"

#include <netinet/in.h>

#include <algorithm>

namespace {

inline uint32_t be32(const uint8_t *bytes)
{
    return read_be16(bytes) << 16 | read_be16(bytes + 2);
}

// 128 bits folded to 32, so that an IPv6 address is told apart as an IPv4
// one is (and is never 0 but for ::).
uint32_t fold(const uint8_t *address)
{
    uint32_t folded = 0;
    for (int i = 0; i < 16; i += 4)
        folded = (folded ^ be32(address + i)) * 0x9E3779B1u;
    return folded ^ be32(address + 12);
}

uint32_t packet_tag(uint32_t src_tag, uint32_t dst_tag, uint8_t protocol, uint32_t identification)
{
    uint32_t tag = (src_tag * 0x9E3779B1u) ^ dst_tag;
    tag = (tag ^ (uint32_t(protocol) << 24) ^ identification) * 0x85EBCA6Bu;
    tag ^= tag >> 15;
    return tag ? tag : 1;
}

bool link_local_v4(uint32_t address)
{
    return (address >> 8) == 0xE00000     // 224.0.0.0/24, local network control
           || (address >> 16) == 0xA9FE  // 169.254.0.0/16
           || address == 0xFFFFFFFF;      // limited broadcast
}

bool link_local_v6(const uint8_t *address)
{
    return (address[0] == 0xFE && (address[1] & 0xC0) == 0x80)  // fe80::/10
           || (address[0] == 0xFF && (address[1] & 0x0F) <= 2);  // interface- and link-local scope groups
}

// ARP's facts, its header at `at`: link-local; its IPv4 sender and target.
void arp_facts(const uint8_t *frame, uint32_t captured, uint32_t at, FrameFacts &facts)
{
    facts.scope = FrameScope::link_local;
    const uint8_t *arp = frame + at;
    // Ethernet and IPv4 addresses: the sender's at 14, the target's at 24.
    if (at + 28 <= captured && read_be16(arp) == 1 && read_be16(arp + 2) == 0x0800 && arp[4] == 6 && arp[5] == 4) {
        facts.src_tag = be32(arp + 14);
        facts.dst_tag = be32(arp + 24);
    }
}

// Where the ARP a VXLAN packet carries starts (a tunnel's end resolving
// the addresses of its far end), or 0.
uint32_t arp_in_vxlan(const uint8_t *frame, uint32_t captured, const IpPacket &packet)
{
    const uint32_t at = packet.transport;  // UDP, then VXLAN, then Ethernet
    if (packet.protocol != IPPROTO_UDP || packet.fragment || at + 16 + 14 > captured || at + 16 + 14 > packet.end ||
        read_be16(frame + at + 2) != 4789 || (frame[at + 8] & 0x08) == 0 ||
        read_be16(frame + at + 16 + 12) != ETHERTYPE_ARP)
        return 0;
    return at + 16 + 14;
}

} // namespace

FrameFacts frame_facts(const uint8_t *frame, uint32_t captured, IpFound found, const IpPacket &packet)
{
    FrameFacts facts;
    if (captured < 14)
        return facts;
    // 01:80:C2:00:00:00 to 0F.
    if (frame[0] == 0x01 && frame[1] == 0x80 && frame[2] == 0xC2 && frame[3] == 0 && frame[4] == 0 &&
        frame[5] <= 0x0F) {
        facts.scope = FrameScope::bridge_local;
        return facts;
    }
    if (found == IpFound::ip && packet.tunnels == 0) {
        if (const uint32_t arp = arp_in_vxlan(frame, captured, packet)) {
            arp_facts(frame, captured, arp, facts);
            return facts;
        }
    }
    if (found == IpFound::ip) {
        const uint8_t *ip = frame + packet.start;
        facts.fragment = !packet.fragment          ? FragmentKind::none
                         : packet.later_fragment ? FragmentKind::later
                                                 : FragmentKind::first;
        if (packet.version == 4) {
            facts.ttl = ip[8];
            facts.src_tag = be32(ip + 12);
            facts.dst_tag = be32(ip + 16);
            if (link_local_v4(facts.src_tag) || link_local_v4(facts.dst_tag))
                facts.scope = FrameScope::link_local;
            facts.packet_tag = packet_tag(facts.src_tag, facts.dst_tag, ip[9], packet.identification);
            facts.id_tag = packet_tag(0, 0, ip[9], packet.identification);
        } else {
            facts.ttl = ip[7];
            facts.src_tag = fold(ip + 8);
            facts.dst_tag = fold(ip + 24);
            const bool neighbour_discovery = packet.protocol == IPPROTO_ICMPV6 && !packet.later_fragment &&
                                             packet.transport < captured && frame[packet.transport] >= 133 &&
                                             frame[packet.transport] <= 137;
            if (neighbour_discovery || link_local_v6(ip + 8) || link_local_v6(ip + 24))
                facts.scope = FrameScope::link_local;
            if (packet.fragment) {
                facts.packet_tag = packet_tag(facts.src_tag, facts.dst_tag, packet.protocol, packet.identification);
                facts.id_tag = packet_tag(0, 0, packet.protocol, packet.identification);
            }
        }
        const uint32_t tcp = packet.transport;
        if (packet.protocol == IPPROTO_TCP && !packet.later_fragment && tcp + 20 <= captured) {
            const uint32_t payload_start = tcp + (frame[tcp + 12] >> 4) * 4u;
            facts.tcp_seq = be32(frame + tcp + 4);
            if (packet.end > payload_start)
                facts.tcp_payload = static_cast<uint16_t>(std::min<uint32_t>(packet.end - payload_start, 0xFFFF));
        }
        return facts;
    }
    // ARP behind any VLAN tags.
    if (packet.ethertype == ETHERTYPE_ARP)
        arp_facts(frame, captured, packet.network, facts);
    return facts;
}
