// SPDX-License-Identifier: GPL-2.0-or-later
//
// The key that tells two sightings of one frame apart from every other
// frame: a 128-bit hash (XXH3) of the bytes that a device between the TAP's
// links leaves as they were, and of their count.
//   frame    every byte of the Ethernet part (switches, bridges);
//   ip       the IPv4 or IPv6 packet to the length its header gives, behind
//            any VLAN tags, with the fields a router changes (IPv4 TTL and
//            header checksum, IPv6 hop limit) hashed as zeros; a frame that
//            is not IP is keyed as in `frame`;
//   payload  the TCP or UDP payload alone (proxies that segment anew);
//            a frame without one has no key;
//   nat      the IP packet as in `ip`, also without what address and port
//            translation may change on either side: both addresses, TCP
//            and UDP ports, ICMP echo identifiers, every checksum, the IPv6
//            fragment identification, and the same in the packet an ICMP
//            error quotes. The IP identification, sequence numbers, flags,
//            options and payload stay: a retransmission is not its
//            original. A frame that is not IP is keyed as in `frame`.
// A frame captured shorter than those bytes, or whose headers do not hold
// together, has no key: it is never matched rather than matched wrongly.

#ifndef OVINT_CORE_PACKET_LATENCY_KEY_H
#define OVINT_CORE_PACKET_LATENCY_KEY_H

#include "core/packet/ip_packet.h"

#include <cstdint>

enum class KeyMode : uint8_t { off, frame, ip, payload, nat };

struct LatencyKey {
    uint64_t low;
    uint64_t high;
};

inline bool operator==(const LatencyKey &a, const LatencyKey &b)
{
    return a.low == b.low && a.high == b.high;
}

// The key of an Ethernet part of `captured` bytes, `wire_length` on the
// wire; false when the frame has none in this mode.
bool latency_key(KeyMode mode, const uint8_t *ethernet, uint32_t captured, uint32_t wire_length, LatencyKey *key);
// The same, of a frame whose IP packet was located already.
bool latency_key_of_located(KeyMode mode, const uint8_t *ethernet, uint32_t captured, uint32_t wire_length,
                            IpFound found, const IpPacket &packet, LatencyKey *key);

// "off", "frame", "ip", "payload", "nat".
const char *key_mode_name(KeyMode mode);
bool key_mode_from_name(const char *name, KeyMode *mode);

#endif // OVINT_CORE_PACKET_LATENCY_KEY_H
