// SPDX-License-Identifier: GPL-2.0-or-later
//
// The TAP's ports, channels and error flags: what each trailer version calls
// them, and how they map onto pcapng's interfaces and packet flags.

#ifndef OVINT_CORE_TRAILER_PORTS_H
#define OVINT_CORE_TRAILER_PORTS_H

#include <cstddef>
#include <cstdint>

// ---- Ports and channels ----

// The name each trailer version gives the port bits 0x80, 0x40, 0x20, 0x10.
constexpr uint8_t PORT_BITS[4] = {0x80, 0x40, 0x20, 0x10};
constexpr const char *PORT_NAMES_V1[4] = {"X1.1", "X1.2", "X2.1", "X2.2"};
constexpr const char *PORT_NAMES_V2[4] = {"Con A", "Con B", "Con C", "Con D"};

constexpr uint16_t NO_CHANNEL = 0xFFFF;
constexpr uint16_t NO_PORT = 0xFFFF;

// The name a trailer version (1 or 2; 0 reads as 1) gives a port byte, or
// NULL for a byte with none (several bits, or none of the four).
const char *tap_port_name(uint8_t version, uint8_t port);

// A port as ovint shows it: its name ("Con A"), or its byte ("0x11").
struct PortLabel {
    char text[8];
};
PortLabel port_label(uint8_t version, uint8_t port);

// The port number of the first of twelve bits set in the port word (bytes
// 10 and 11, big-endian), or NO_PORT.
uint16_t port_from_bits(uint16_t port_word);
// 1 for ports 1 and 2, 2 for ports 3 and 4, else NO_CHANNEL.
uint16_t channel_from_port(uint16_t port);
// The channel of a port byte (byte 11 never changes it): the first of its
// bits set names the port, as in port_from_bits.
inline uint16_t channel_of_port_byte(uint8_t port)
{
    return (port & 0xC0) ? 1 : (port & 0x30) ? 2 : NO_CHANNEL;
}

// Ports told apart by trailer version and port byte, ordered as shown: by
// version, then Con A before Con D.
inline uint16_t port_order_key(uint8_t version, uint8_t port)
{
    return static_cast<uint16_t>(version << 8 | (0xFF - port));
}

// A T for each trailer version (1 and 2; 0 and later ones share one) and
// port byte, reached without a search: what a port leads to is found once,
// and most frames carry one of a few ports.
template <typename T>
class PortTable {
public:
    T &operator()(uint8_t version, uint8_t port) { return slots_[version < 3 ? version : 0][port]; }

private:
    T slots_[3][256] = {};
};

// ---- Error flags ----

// pcapng's link-layer error bits (enhanced packet block flags, bits 24-31).
constexpr uint32_t PCAPNG_SYMBOL_ERROR = 1u << 31;
constexpr uint32_t PCAPNG_PREAMBLE_ERROR = 1u << 30;
constexpr uint32_t PCAPNG_UNALIGNED_FRAME = 1u << 28;
constexpr uint32_t PCAPNG_WRONG_IFG = 1u << 27;
constexpr uint32_t PCAPNG_PACKET_TOO_SHORT = 1u << 26;
constexpr uint32_t PCAPNG_PACKET_TOO_LONG = 1u << 25;
constexpr uint32_t PCAPNG_CRC_ERROR = 1u << 24;

// An error flag of byte 11, and the pcapng packet flag that says the same
// (0 for a flag pcapng has no bit for).
struct TapFlag {
    uint8_t mask;
    const char *name;
    uint32_t pcapng_bit;
};
// The flags each version shows, in the order shown.
constexpr TapFlag FLAGS_V1[] = {
    {0x20, "Receive Error", PCAPNG_SYMBOL_ERROR},
    {0x10, "Alignment Error", PCAPNG_UNALIGNED_FRAME},
    {0x08, "Crc Error", PCAPNG_CRC_ERROR},
};
constexpr TapFlag FLAGS_V2[] = {
    {0x80, "Receive Error", PCAPNG_SYMBOL_ERROR},
    {0x40, "Wrong Preamble", PCAPNG_PREAMBLE_ERROR},
    {0x20, "Wrong IFG", PCAPNG_WRONG_IFG},
    {0x10, "Alignment Error", PCAPNG_UNALIGNED_FRAME},
    {0x08, "Crc Error", PCAPNG_CRC_ERROR},
    {0x04, "Lost Packet", 0},
    {0x02, "Long Packet", PCAPNG_PACKET_TOO_LONG},
    {0x01, "Short Packet", PCAPNG_PACKET_TOO_SHORT},
};
constexpr size_t MAX_FLAGS = sizeof FLAGS_V2 / sizeof FLAGS_V2[0];

// The flags a trailer version (1 or 2; 0 reads as 1) shows, as a range.
struct TapFlagTable {
    const TapFlag *first;
    size_t count;
    const TapFlag *begin() const { return first; }
    const TapFlag *end() const { return first + count; }
    size_t size() const { return count; }
    const TapFlag &operator[](size_t i) const { return first[i]; }
};

inline TapFlagTable tap_flags(uint8_t version)
{
    if (version == 2)
        return {FLAGS_V2, sizeof FLAGS_V2 / sizeof FLAGS_V2[0]};
    return {FLAGS_V1, sizeof FLAGS_V1 / sizeof FLAGS_V1[0]};
}

// The pcapng packet flags for a trailer's flag byte.
uint32_t pcapng_flags(uint8_t version, uint8_t flags);

// Whether the TAP flagged the frame itself as received in error (any flag
// but "Lost Packet", which tells of frames before it): no device forwards
// it as it was.
inline bool received_in_error(uint8_t version, uint8_t flags)
{
    return pcapng_flags(version, flags) != 0;
}

#endif // OVINT_CORE_TRAILER_PORTS_H
