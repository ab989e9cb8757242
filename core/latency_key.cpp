// SPDX-License-Identifier: GPL-2.0-or-later

#include "latency_key.h"

#include "latency_hash.h"

// For the few bytes hashed into a packet's seed, inlined: XXH3's short path.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstring>
#include <initializer_list>

namespace {

constexpr uint32_t ETHERNET_HEADER = 14;
constexpr int MAX_TAGS = 4;
constexpr int MAX_IPV6_EXTENSIONS = 8;

inline uint32_t be16(const uint8_t *bytes)
{
    return uint32_t(bytes[0]) << 8 | bytes[1];
}

bool is_tag(uint32_t ethertype)
{
    return ethertype == 0x8100 || ethertype == 0x88A8 || ethertype == 0x9100;
}

// Where a frame's IP packet lies, what a router changes in it, and its
// payload.
struct Packet {
    uint32_t start = 0;      // of the IP header, in the Ethernet part
    uint32_t end = 0;        // one past the last byte the header counts
    bool ipv6 = false;       // masked: hop limit; else TTL and header checksum
    uint8_t protocol = 0;    // of what follows the IP headers
    uint32_t transport = 0;  // where that starts
    bool fragment = false;
};

enum class Parsed { not_ip, ip, broken };

Parsed parse_ip(const uint8_t *frame, uint32_t captured, Packet &packet)
{
    if (captured < ETHERNET_HEADER)
        return Parsed::broken;  // not even an Ethernet header
    uint32_t at = 12;
    uint32_t ethertype = be16(frame + at);
    for (int tags = 0; ethertype != 0x0800 && is_tag(ethertype) && tags < MAX_TAGS; tags++) {
        at += 4;
        if (at + 2 > captured)
            return Parsed::broken;
        ethertype = be16(frame + at);
    }
    at += 2;
    const uint8_t *ip = frame + at;
    if (ethertype == 0x0800) {
        if (at + 20 > captured || ip[0] >> 4 != 4)
            return Parsed::broken;
        const uint32_t header_length = (ip[0] & 0x0F) * 4u;
        const uint32_t total = be16(ip + 2);
        if (header_length < 20 || total < header_length || at + total > captured)
            return Parsed::broken;
        packet.start = at;
        packet.end = at + total;
        packet.protocol = ip[9];
        packet.transport = at + header_length;
        packet.fragment = (be16(ip + 6) & 0x3FFF) != 0;
        return Parsed::ip;
    }
    if (ethertype == 0x86DD) {
        if (at + 40 > captured || ip[0] >> 4 != 6)
            return Parsed::broken;
        const uint32_t end = at + 40 + be16(ip + 4);
        if (end > captured)
            return Parsed::broken;
        packet.start = at;
        packet.end = end;
        packet.ipv6 = true;
        // Extension headers up to the transport header.
        uint8_t next = ip[6];
        uint32_t transport = at + 40;
        for (int i = 0; i < MAX_IPV6_EXTENSIONS; i++) {
            if (next == 44) {
                packet.fragment = true;
                break;
            }
            if (next != 0 && next != 43 && next != 60 && next != 51)
                break;
            if (transport + 2 > end)
                return Parsed::broken;
            const uint32_t length =
                next == 51 ? (frame[transport + 1] + 2u) * 4u : (frame[transport + 1] + 1u) * 8u;
            next = frame[transport];
            transport += length;
            if (transport > end)
                return Parsed::broken;
        }
        packet.protocol = next;
        packet.transport = transport;
        return Parsed::ip;
    }
    return Parsed::not_ip;
}

// The bytes' hash. XXH3 mixes their count into it at every length.
bool key_of_bytes(const uint8_t *bytes, uint32_t length, LatencyKey *key)
{
    const Hash128 hash = hash128(bytes, length);
    *key = {hash.low, hash.high};
    return true;
}

bool frame_key(const uint8_t *frame, uint32_t captured, uint32_t wire_length, LatencyKey *key)
{
    if (captured == 0 || captured < wire_length)
        return false;  // cut by a snap length: the rest is unknown
    return key_of_bytes(frame, captured, key);
}

// A packet's hash, with what a router changes hashed as zeros: the first
// bytes, up to the last field masked, are hashed on their own (a copy, with
// those fields zeroed) into the seed of the hash of the rest, which is read
// in place. The split is fixed per IP version, so every byte keeps its
// place.
bool key_of_packet(const uint8_t *frame, const Packet &packet, LatencyKey *key)
{
    const uint8_t *ip = frame + packet.start;
    const uint32_t length = packet.end - packet.start;
    uint8_t head[12];
    size_t head_length;
    if (packet.ipv6) {
        head_length = 8;
        std::memcpy(head, ip, head_length);
        head[7] = 0;  // hop limit
    } else {
        head_length = 12;
        std::memcpy(head, ip, head_length);
        head[8] = 0;   // TTL
        head[10] = 0;  // header checksum
        head[11] = 0;
    }
    const Hash128 hash = hash128(ip + head_length, length - head_length, XXH3_64bits(head, head_length) ^ length);
    *key = {hash.low, hash.high};
    return true;
}

} // namespace

bool latency_key(KeyMode mode, const uint8_t *frame, uint32_t captured, uint32_t wire_length, LatencyKey *key)
{
    if (mode == KeyMode::off)
        return false;
    if (mode == KeyMode::frame)
        return frame_key(frame, captured, wire_length, key);

    Packet packet;
    switch (parse_ip(frame, captured, packet)) {
    case Parsed::broken:
        return false;
    case Parsed::not_ip:
        return mode == KeyMode::ip && frame_key(frame, captured, wire_length, key);
    case Parsed::ip:
        break;
    }

    if (mode == KeyMode::ip)
        return key_of_packet(frame, packet, key);

    // The payload of TCP or UDP.
    if (packet.fragment)
        return false;
    uint32_t payload;
    if (packet.protocol == 6) {
        if (packet.transport + 20 > packet.end)
            return false;
        const uint32_t offset = (frame[packet.transport + 12] >> 4) * 4u;
        if (offset < 20)
            return false;
        payload = packet.transport + offset;
    } else if (packet.protocol == 17) {
        payload = packet.transport + 8;
    } else {
        return false;
    }
    if (payload >= packet.end)
        return false;  // no payload: a bare acknowledgement, say
    return key_of_bytes(frame + payload, packet.end - payload, key);
}

const char *key_mode_name(KeyMode mode)
{
    switch (mode) {
    case KeyMode::off: return "off";
    case KeyMode::frame: return "frame";
    case KeyMode::ip: return "ip";
    case KeyMode::payload: return "payload";
    }
    return "off";
}

bool key_mode_from_name(const char *name, KeyMode *mode)
{
    for (KeyMode candidate : {KeyMode::off, KeyMode::frame, KeyMode::ip, KeyMode::payload}) {
        if (std::strcmp(name, key_mode_name(candidate)) == 0) {
            *mode = candidate;
            return true;
        }
    }
    return false;
}
