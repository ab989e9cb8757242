// SPDX-License-Identifier: GPL-2.0-or-later
//
// What a frame's addresses say of where it may go, for telling each
// frame's fate: a frame to an IEEE 802.1 reserved group (STP, LACP, LLDP,
// 802.1X, pause) is never forwarded by a bridge or a router; ARP, neighbour
// discovery and frames to or from a link-local address or group are never
// forwarded by a router (a bridge floods them). And its IP addresses (an
// ARP frame's sender and target), folded to 32 bits, by which a device's
// own addresses are known: frames it sends come from them, frames to them
// are its own.

#ifndef OVINT_CORE_PACKET_FRAME_FACTS_H
#define OVINT_CORE_PACKET_FRAME_FACTS_H

#include "core/packet/ip_packet.h"

#include <cstdint>

enum class FrameScope : uint8_t {
    ordinary,
    bridge_local,  // an IEEE 802.1 reserved group
    link_local,    // ARP, NDP, a link-local address or group
};

// Whether a frame's IP packet is a piece of a larger one.
enum class FragmentKind : uint8_t { none, first, later };

struct FrameFacts {
    FrameScope scope = FrameScope::ordinary;
    uint8_t ttl = 0;  // IPv4 TTL or IPv6 hop limit of the packet located; 0: not IP
    FragmentKind fragment = FragmentKind::none;
    // The addresses folded (an IPv4 address is itself); 0: none.
    uint32_t src_tag = 0, dst_tag = 0;
    // The packet's identity as its sender gave it (addresses, protocol and
    // identification, folded): every piece of one packet has it, and so
    // has the packet whole. 0: none (IPv6 but a fragment, not IP).
    uint32_t packet_tag = 0;
    // The same without its addresses (protocol and identification), which
    // an address translator leaves as they were. 0 where packet_tag is 0.
    uint32_t id_tag = 0;
    // A TCP segment's: the sequence number of its first byte and its
    // payload's length (0: no payload, or not TCP). A record merged from
    // several segments spans theirs.
    uint32_t tcp_seq = 0;
    uint16_t tcp_payload = 0;
};

// The facts of an Ethernet frame of `captured` bytes whose IP packet was
// located (`found`, `packet`) by locate_ip_packet.
FrameFacts frame_facts(const uint8_t *frame, uint32_t captured, IpFound found, const IpPacket &packet);

// "forwarded", ...: a frame's fate as the tables and JSON name it.
enum class Fate : uint8_t {
    forwarded,    // seen entering and leaving the device, paired
    ambiguous,    // paired, with more than one equal frame to pair with
    fragmented,   // one packet entered the device, and left it in pieces
    late,         // its partner came on the other link beyond the window
    for_device,   // addressed to the device or a link-local group: not the device's to forward
    from_device,  // sent by the device: seen only leaving it
    merged,       // a record the capture host merged from several frames
    at_edge,      // its partner may lie outside the capture
    no_key,       // without a key to be recognised by
    not_seen,     // entered the device and was not seen leaving it: the device's loss
};
constexpr int FATE_COUNT = 10;
// As the tables and JSON name them, and as a report says them.
constexpr const char *FATE_NAMES[FATE_COUNT] = {"forwarded",   "ambiguous", "fragmented", "late",
                                                "for_device",  "from_device", "merged",   "at_edge",
                                                "no_key",      "not_seen_leaving"};
constexpr const char *FATE_TEXTS[FATE_COUNT] = {
    "forwarded",       "forwarded, one of equal frames", "fragmented by the device", "seen leaving after the window",
    "for the device",  "from the device",                "merged by the capture host",
    "at the capture's edge", "without a key",            "not seen leaving"};
inline const char *fate_name(Fate fate)
{
    return FATE_NAMES[static_cast<int>(fate)];
}
inline const char *fate_text(Fate fate)
{
    return FATE_TEXTS[static_cast<int>(fate)];
}

#endif // OVINT_CORE_PACKET_FRAME_FACTS_H
