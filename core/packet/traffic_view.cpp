// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/packet/traffic_view.h"

#include <netinet/in.h>

TrafficView read_traffic_view(const uint8_t *frame, uint32_t captured)
{
    IpPacket packet;
    const IpFound found = locate_ip_packet(frame, captured, packet, Tunnels::as_captured);
    return traffic_view_of(frame, captured, found, packet);
}

TrafficView traffic_view_of(const uint8_t *frame, uint32_t captured, IpFound found, const IpPacket &located)
{
    // A tunnel's outer packet cut short is opened as far as it was
    // captured: the traffic is what it carries.
    IpPacket packet = located;
    if (found == IpFound::ip && !packet.tunnels && packet.end > captured &&
        (packet.protocol == IPPROTO_UDP || packet.protocol == IPPROTO_GRE))
        locate_ip_packet(frame, captured, packet, Tunnels::as_captured);
    TrafficView view;
    view.vlan = packet.vlan;
    if (found != IpFound::ip)
        return view;
    const uint8_t *ip = frame + packet.start;
    view.family = packet.version;
    view.protocol = packet.protocol;
    if (packet.version == 4) {
        view.dscp = ip[1] >> 2;
        std::memcpy(view.src, ip + 12, 4);
        std::memcpy(view.dst, ip + 16, 4);
    } else {
        view.dscp = static_cast<uint8_t>((ip[0] & 0x0F) << 2 | ip[1] >> 6);
        std::memcpy(view.src, ip + 8, 16);
        std::memcpy(view.dst, ip + 24, 16);
    }
    // Ports where the packet holds them and they were captured.
    const uint32_t readable = packet.end < captured ? packet.end : captured;
    if ((packet.protocol == IPPROTO_TCP || packet.protocol == IPPROTO_UDP) && !packet.later_fragment &&
        packet.headers_whole && packet.transport + 4 <= readable) {
        view.has_ports = 1;
        view.src_port = static_cast<uint16_t>(read_be16(frame + packet.transport));
        view.dst_port = static_cast<uint16_t>(read_be16(frame + packet.transport + 2));
    }
    return view;
}
