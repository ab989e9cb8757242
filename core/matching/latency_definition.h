// SPDX-License-Identifier: GPL-2.0-or-later
//
// Latency as device benchmarks define it (RFC 1242, RFC 4689, MEF 10),
// from the TAP's times, which stamp a frame's first bit: first in to first
// out (FIFO) is what the times give; the others move it by the frames'
// time on the wire.
//   fifo  first bit in to first bit out (cut-through devices)
//   lifo  last bit in to first bit out (store-and-forward devices)
//   lilo  last bit in to last bit out (forwarding delay)
//   filo  first bit in to last bit out (frame delay)

#ifndef OVINT_CORE_MATCHING_LATENCY_DEFINITION_H
#define OVINT_CORE_MATCHING_LATENCY_DEFINITION_H

#include <cstdint>
#include <cstring>

enum class LatencyDefinition : uint8_t { fifo, lifo, lilo, filo };

inline const char *definition_name(LatencyDefinition definition)
{
    static const char *const names[] = {"fifo", "lifo", "lilo", "filo"};
    return names[static_cast<int>(definition)];
}

inline bool definition_from_name(const char *name, LatencyDefinition *definition)
{
    for (int i = 0; i < 4; i++) {
        if (std::strcmp(name, definition_name(static_cast<LatencyDefinition>(i))) == 0) {
            *definition = static_cast<LatencyDefinition>(i);
            return true;
        }
    }
    return false;
}

// A frame's time on the wire in ns, to the nearest (halves up): its
// Ethernet part and 4 bytes of FCS, at `bits_per_second`.
inline uint64_t wire_duration(uint32_t ethernet_length, uint64_t bits_per_second)
{
    const unsigned __int128 bit_ns = static_cast<unsigned __int128>(ethernet_length + 4u) * 8u * 1000000000u;
    return static_cast<uint64_t>((bit_ns + bits_per_second / 2) / bits_per_second);
}

// The latency under a definition, from FIFO and the earlier and later
// sightings' times on the wire; below zero when the frame's first bit left
// before its last bit came in (a cut-through device under LIFO).
inline int64_t defined_latency(LatencyDefinition definition, uint64_t fifo, uint64_t earlier_duration,
                               uint64_t later_duration)
{
    const int64_t latency = static_cast<int64_t>(fifo);
    switch (definition) {
    case LatencyDefinition::lifo: return latency - static_cast<int64_t>(earlier_duration);
    case LatencyDefinition::lilo:
        return latency - static_cast<int64_t>(earlier_duration) + static_cast<int64_t>(later_duration);
    case LatencyDefinition::filo: return latency + static_cast<int64_t>(later_duration);
    case LatencyDefinition::fifo: break;
    }
    return latency;
}

#endif // OVINT_CORE_MATCHING_LATENCY_DEFINITION_H
