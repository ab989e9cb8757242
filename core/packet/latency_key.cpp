// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/packet/latency_key.h"

#include "core/packet/ip_packet.h"
#include "core/packet/latency_hash.h"

// For the few bytes hashed into a packet's seed, inlined: XXH3's short path.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstring>
#include <initializer_list>

namespace {

constexpr int MAX_IPV6_EXTENSIONS = 8;

// Whether a located packet can be keyed: captured whole, its headers
// holding together.
enum class Parsed { not_ip, ip, broken };

Parsed keyable(uint32_t captured, IpFound found, const IpPacket &packet)
{
    switch (found) {
    case IpFound::not_ip:
        return Parsed::not_ip;
    case IpFound::broken:
        return Parsed::broken;
    case IpFound::ip:
        break;
    }
    if (packet.end > captured || !packet.headers_whole)
        return Parsed::broken;
    return Parsed::ip;
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
bool key_of_packet(const uint8_t *frame, const IpPacket &packet, LatencyKey *key)
{
    const uint8_t *ip = frame + packet.start;
    const uint32_t length = packet.end - packet.start;
    uint8_t head[12];
    size_t head_length;
    if (packet.version == 6) {
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

// ---- What address translation may change ----

// The fields of a packet, by offset from its IP header, that a translator
// may rewrite: hashed as zeros.
struct Masks {
    static constexpr int MAX = 24;
    uint32_t at[MAX];
    uint32_t size[MAX];
    int count = 0;
    uint32_t end = 0;  // one past the last masked byte
    bool overflow = false;

    // `size` bytes at `offset`, as far as `limit`.
    void add(uint32_t offset, uint32_t size_, uint32_t limit)
    {
        if (offset >= limit)
            return;
        if (count == MAX) {
            overflow = true;
            return;
        }
        at[count] = offset;
        size[count] = offset + size_ > limit ? limit - offset : size_;
        count++;
        if (at[count - 1] + size[count - 1] > end)
            end = at[count - 1] + size[count - 1];
    }
};

bool is_icmp_error(bool ipv6, uint8_t type)
{
    if (ipv6)
        return type >= 1 && type <= 4;  // unreachable, too big, time exceeded, parameter problem
    return type == 3 || type == 4 || type == 5 || type == 11 || type == 12;
}

bool is_icmp_echo(bool ipv6, uint8_t type)
{
    return ipv6 ? type == 128 || type == 129 : type == 0 || type == 8;
}

// The fields translation may change in the IP packet of `length` bytes at
// `ip`, which lies at `base` in the packet keyed: both addresses, TTL or
// hop limit, the IPv4 header checksum, the IPv6 fragment identification,
// TCP and UDP ports and checksums, ICMP checksums and echo identifiers,
// and the same in the packet an ICMP error quotes (`quoted`: may be cut
// short anywhere).
void mask_translated(const uint8_t *ip, uint32_t length, uint32_t base, bool quoted, Masks &masks)
{
    const uint32_t limit = base + length;
    if (length == 0)
        return;
    const bool ipv6 = ip[0] >> 4 == 6;
    if (!ipv6 && ip[0] >> 4 != 4)
        return;
    uint8_t protocol;
    uint32_t transport;
    bool has_transport = true;  // not a fragment after the first
    if (!ipv6) {
        masks.add(base + 8, 1, limit);   // TTL
        masks.add(base + 10, 10, limit); // header checksum, addresses
        if (length < 20)
            return;
        transport = (ip[0] & 0x0F) * 4u;
        protocol = ip[9];
        has_transport = (read_be16(ip + 6) & 0x1FFF) == 0;
    } else {
        masks.add(base + 7, 33, limit);  // hop limit, addresses
        if (length < 40)
            return;
        uint8_t next = ip[6];
        transport = 40;
        for (int i = 0; i < MAX_IPV6_EXTENSIONS; i++) {
            if (next == 44) {  // fragment header
                masks.add(base + transport + 4, 4, limit);
                if (transport + 8 > length)
                    return;
                has_transport = has_transport && (read_be16(ip + transport + 2) & 0xFFF8) == 0;
                next = ip[transport];
                transport += 8;
                continue;
            }
            if (next != 0 && next != 43 && next != 60 && next != 51)
                break;
            if (transport + 2 > length)
                return;
            const uint32_t size = next == 51 ? (ip[transport + 1] + 2u) * 4u : (ip[transport + 1] + 1u) * 8u;
            next = ip[transport];
            transport += size;
        }
        protocol = next;
    }
    if (!has_transport || transport >= length)
        return;
    const uint8_t *l4 = ip + transport;
    const uint32_t at = base + transport;
    if (protocol == 6) {
        masks.add(at, 4, limit);       // ports
        masks.add(at + 16, 2, limit);  // checksum
    } else if (protocol == 17) {
        masks.add(at, 4, limit);
        masks.add(at + 6, 2, limit);
    } else if (protocol == (ipv6 ? 58 : 1)) {
        masks.add(at + 2, 2, limit);  // checksum
        if (is_icmp_echo(ipv6, l4[0]))
            masks.add(at + 4, 2, limit);  // identifier
        else if (!quoted && is_icmp_error(ipv6, l4[0]) && transport + 8 < length)
            mask_translated(l4 + 8, length - transport - 8, at + 8, true, masks);
    }
}

// The longest stretch at a packet's start that holds every masked field.
constexpr uint32_t MASKED_HEAD_MAX = 512;

// A packet's hash with what translation may change hashed as zeros: the
// bytes up to the last masked field as a copy, into the seed of the hash of
// the rest, read in place.
bool key_of_translated_packet(const uint8_t *frame, const IpPacket &packet, LatencyKey *key)
{
    const uint8_t *ip = frame + packet.start;
    const uint32_t length = packet.end - packet.start;
    Masks masks;
    mask_translated(ip, length, 0, false, masks);
    if (masks.overflow || masks.end > MASKED_HEAD_MAX)
        return false;  // headers no translator writes: never matched wrongly
    uint8_t head[MASKED_HEAD_MAX];
    std::memcpy(head, ip, masks.end);
    for (int i = 0; i < masks.count; i++)
        std::memset(head + masks.at[i], 0, masks.size[i]);
    const Hash128 hash = hash128(ip + masks.end, length - masks.end, XXH3_64bits(head, masks.end) ^ length);
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
    IpPacket packet;
    const IpFound found = locate_ip_packet(frame, captured, packet);
    return latency_key_of_located(mode, frame, captured, wire_length, found, packet, key);
}

bool latency_key_of_located(KeyMode mode, const uint8_t *frame, uint32_t captured, uint32_t wire_length,
                            IpFound found, const IpPacket &packet, LatencyKey *key)
{
    if (mode == KeyMode::off)
        return false;
    if (mode == KeyMode::frame)
        return frame_key(frame, captured, wire_length, key);

    switch (keyable(captured, found, packet)) {
    case Parsed::broken:
        return false;
    case Parsed::not_ip:
        return (mode == KeyMode::ip || mode == KeyMode::nat) && frame_key(frame, captured, wire_length, key);
    case Parsed::ip:
        break;
    }

    if (mode == KeyMode::ip)
        return key_of_packet(frame, packet, key);
    if (mode == KeyMode::nat)
        return key_of_translated_packet(frame, packet, key);

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
    case KeyMode::nat: return "nat";
    }
    return "off";
}

bool key_mode_from_name(const char *name, KeyMode *mode)
{
    for (KeyMode candidate : {KeyMode::off, KeyMode::frame, KeyMode::ip, KeyMode::payload, KeyMode::nat}) {
        if (std::strcmp(name, key_mode_name(candidate)) == 0) {
            *mode = candidate;
            return true;
        }
    }
    return false;
}
