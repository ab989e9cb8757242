// SPDX-License-Identifier: GPL-2.0-or-later
//
// A frame as the engineer groups traffic: its IP addresses, protocol and
// TCP or UDP ports (the 5-tuple), its DSCP and its outermost VLAN ID, read
// from the Ethernet part as far as it was captured, of the IP packet the
// key reads (beneath any tunnel or label stack). A frame cut short still
// has what its captured bytes hold; a field it lacks is marked absent, and
// nothing is read beyond the packet its header describes.

#ifndef OVINT_CORE_PACKET_TRAFFIC_VIEW_H
#define OVINT_CORE_PACKET_TRAFFIC_VIEW_H

#include "core/packet/ip_packet.h"

#include <cstdint>
#include <cstring>

struct TrafficView {
    uint8_t family = 0;  // 4 or 6; 0: not IP (nothing below but the VLAN)
    uint8_t protocol = 0;
    uint8_t dscp = 0;
    uint8_t has_ports = 0;  // TCP or UDP, not a later fragment, ports captured
    uint16_t src_port = 0, dst_port = 0;
    uint16_t vlan = NO_VLAN;
    uint8_t src[16] = {}, dst[16] = {};  // IPv4: the first four bytes

    // Byte for byte, padding included: every view starts zeroed.
    bool operator==(const TrafficView &other) const { return std::memcmp(this, &other, sizeof *this) == 0; }
};
static_assert(sizeof(TrafficView) == 42, "a view has no padding");

// The view of an Ethernet part of which `captured` bytes are at hand.
TrafficView read_traffic_view(const uint8_t *ethernet, uint32_t captured);
// The same, of a frame whose IP packet was located already.
TrafficView traffic_view_of(const uint8_t *ethernet, uint32_t captured, IpFound found, const IpPacket &packet);

#endif // OVINT_CORE_PACKET_TRAFFIC_VIEW_H
