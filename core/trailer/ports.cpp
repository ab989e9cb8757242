// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/trailer/ports.h"

#include <cstdio>

const char *tap_port_name(uint8_t version, uint8_t port)
{
    for (int i = 0; i < 4; i++) {
        if (port == PORT_BITS[i])
            return version == 2 ? PORT_NAMES_V2[i] : PORT_NAMES_V1[i];
    }
    return nullptr;
}

PortLabel port_label(uint8_t version, uint8_t port)
{
    PortLabel label;
    if (const char *name = tap_port_name(version, port))
        snprintf(label.text, sizeof label.text, "%s", name);
    else
        snprintf(label.text, sizeof label.text, "0x%02x", port);
    return label;
}

uint16_t port_from_bits(uint16_t port_word)
{
    // Port n is the n-th bit tested; the four bits left out are never ports.
    static const uint16_t port_bits[] = {
        0x8000, 0x4000, 0x2000, 0x1000, 0x0800, 0x0400,
        0x0200, 0x0100, 0x0080, 0x0040, 0x0004, 0x0002,
    };
    for (uint16_t i = 0; i < sizeof port_bits / sizeof port_bits[0]; i++) {
        if (port_word & port_bits[i])
            return i + 1;
    }
    return NO_PORT;
}

uint16_t channel_from_port(uint16_t port)
{
    switch (port) {
    case 1:
    case 2:
        return 1;
    case 3:
    case 4:
        return 2;
    default:
        return NO_CHANNEL;
    }
}

uint32_t pcapng_flags(uint8_t version, uint8_t flags)
{
    uint32_t bits = 0;
    for (const TapFlag &flag : tap_flags(version)) {
        if (flags & flag.mask)
            bits |= flag.pcapng_bit;
    }
    return bits;
}
