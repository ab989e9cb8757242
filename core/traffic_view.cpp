// SPDX-License-Identifier: GPL-2.0-or-later

#include "traffic_view.h"

#include <netinet/in.h>

namespace {

inline uint16_t be16(const uint8_t *bytes)
{
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

bool is_vlan_tag(uint16_t ethertype)
{
    return ethertype == 0x8100 || ethertype == 0x88A8 || ethertype == 0x9100;
}

// The ports of a TCP or UDP header at `at`, when captured.
void read_ports(const uint8_t *frame, uint32_t captured, uint32_t at, TrafficView &view)
{
    if ((view.protocol != IPPROTO_TCP && view.protocol != IPPROTO_UDP) || at + 4 > captured)
        return;
    view.has_ports = 1;
    view.src_port = be16(frame + at);
    view.dst_port = be16(frame + at + 2);
}

} // namespace

TrafficView read_traffic_view(const uint8_t *frame, uint32_t captured)
{
    TrafficView view;
    if (captured < 14)
        return view;
    uint32_t at = 12;
    uint16_t ethertype = be16(frame + at);
    for (int tags = 0; is_vlan_tag(ethertype) && tags < 4; tags++) {
        if (at + 6 > captured)
            return view;
        if (tags == 0)
            view.vlan = be16(frame + at + 2) & 0x0FFF;
        at += 4;
        ethertype = be16(frame + at);
    }
    at += 2;
    const uint8_t *ip = frame + at;
    if (ethertype == 0x0800 && at + 20 <= captured && ip[0] >> 4 == 4) {
        view.family = 4;
        view.dscp = ip[1] >> 2;
        view.protocol = ip[9];
        std::memcpy(view.src, ip + 12, 4);
        std::memcpy(view.dst, ip + 16, 4);
        const bool later_fragment = (be16(ip + 6) & 0x1FFF) != 0;
        if (!later_fragment)
            read_ports(frame, captured, at + (ip[0] & 0x0F) * 4u, view);
    } else if (ethertype == 0x86DD && at + 40 <= captured && ip[0] >> 4 == 6) {
        view.family = 6;
        view.dscp = static_cast<uint8_t>((ip[0] & 0x0F) << 2 | ip[1] >> 6);
        std::memcpy(view.src, ip + 8, 16);
        std::memcpy(view.dst, ip + 24, 16);
        // Extension headers up to the transport header, as far as captured.
        uint8_t next = ip[6];
        uint32_t header = at + 40;
        bool later_fragment = false;
        for (int i = 0; i < 8 && header + 8 <= captured; i++) {
            if (next == IPPROTO_FRAGMENT) {
                later_fragment = (be16(frame + header + 2) & 0xFFF8) != 0;
                next = frame[header];
                header += 8;
                continue;
            }
            if (next != IPPROTO_HOPOPTS && next != IPPROTO_ROUTING && next != IPPROTO_DSTOPTS && next != IPPROTO_AH)
                break;
            const uint32_t length = next == IPPROTO_AH ? (frame[header + 1] + 2u) * 4u : (frame[header + 1] + 1u) * 8u;
            next = frame[header];
            header += length;
        }
        view.protocol = next;
        if (!later_fragment)
            read_ports(frame, captured, header, view);
    }
    return view;
}
