// SPDX-License-Identifier: GPL-2.0-or-later
//
// Which way the TAP is cabled around a device: on each link one port
// carries frames toward the device and the other carries them away. A
// frame the device forwards is seen first on a port toward it and then on
// the port away from it on the other link; with the cabling the README
// draws, Con A -> Con C and Con D -> Con B. Named by the port of link 1
// toward the device and the port of link 2 away from it.

#ifndef OVINT_CORE_MATCHING_CABLING_H
#define OVINT_CORE_MATCHING_CABLING_H

#include <cstdint>
#include <cstring>
#include <initializer_list>

enum class Cabling : uint8_t {
    learn,  // from the directions of the capture's first pairs
    a_c,    // Con A and Con D toward the device
    a_d,    // Con A and Con C
    b_c,    // Con B and Con D
    b_d,    // Con B and Con C
};
constexpr Cabling CABLINGS[] = {Cabling::a_c, Cabling::a_d, Cabling::b_c, Cabling::b_d};

// 0 to 3 for Con A to Con D (X1.1 to X2.2): the first of the port byte's
// bits 0x80 to 0x10, as its channel is found; 4 for none.
inline int port_index(uint8_t port)
{
    return (port & 0x80) ? 0 : (port & 0x40) ? 1 : (port & 0x20) ? 2 : (port & 0x10) ? 3 : 4;
}

// The ports toward the device, one bit a port index.
inline unsigned toward_ports(Cabling cabling)
{
    switch (cabling) {
    case Cabling::a_c: return 1u | 8u;
    case Cabling::a_d: return 1u | 4u;
    case Cabling::b_c: return 2u | 8u;
    case Cabling::b_d: return 2u | 4u;
    case Cabling::learn: break;
    }
    return 0;
}

inline bool toward_device(Cabling cabling, uint8_t port)
{
    return (toward_ports(cabling) >> port_index(port)) & 1u;
}

// Whether a device forwards from the port seen earlier to the one seen
// later (on the other link).
inline bool forwarded(Cabling cabling, uint8_t earlier_port, uint8_t later_port)
{
    return toward_device(cabling, earlier_port) && !toward_device(cabling, later_port);
}

// "auto", "A-C", "A-D", "B-C", "B-D".
inline const char *cabling_name(Cabling cabling)
{
    switch (cabling) {
    case Cabling::a_c: return "A-C";
    case Cabling::a_d: return "A-D";
    case Cabling::b_c: return "B-C";
    case Cabling::b_d: return "B-D";
    case Cabling::learn: break;
    }
    return "auto";
}

inline bool cabling_from_name(const char *name, Cabling *cabling)
{
    for (Cabling candidate : {Cabling::learn, Cabling::a_c, Cabling::a_d, Cabling::b_c, Cabling::b_d}) {
        if (std::strcmp(name, cabling_name(candidate)) == 0) {
            *cabling = candidate;
            return true;
        }
    }
    return false;
}

#endif // OVINT_CORE_MATCHING_CABLING_H
