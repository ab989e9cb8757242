// SPDX-License-Identifier: GPL-2.0-or-later
//
// Members of the JSON objects the programs report through the host's
// json_dumper.

#ifndef OVINT_CAPTURE_IO_JSON_MEMBERS_H
#define OVINT_CAPTURE_IO_JSON_MEMBERS_H

#include <glib.h>
#include <wsutil/json_dumper.h>

#include "core/trailer/ports.h"

#include <cinttypes>
#include <string>

inline void member_string(json_dumper *dumper, const char *name, const char *value)
{
    json_dumper_set_member_name(dumper, name);
    json_dumper_value_string(dumper, value);
}

inline void member_count(json_dumper *dumper, const char *name, uint64_t value)
{
    json_dumper_set_member_name(dumper, name);
    json_dumper_value_anyf(dumper, "%" PRIu64, value);
}

// A port as both programs name it: "name", "trailer_version" and "channel"
// (null for a port byte of neither link).
inline void member_port(json_dumper *dumper, uint8_t version, uint8_t port)
{
    member_string(dumper, "name", port_label(version, port).text);
    member_count(dumper, "trailer_version", version);
    json_dumper_set_member_name(dumper, "channel");
    const uint16_t channel = channel_of_port_byte(port);
    if (channel == NO_CHANNEL)
        json_dumper_value_anyf(dumper, "null");
    else
        json_dumper_value_anyf(dumper, "%u", channel);
}

// An array `name` of an object a port, each opened with the port's name,
// trailer version, channel and frames; `fill(port)` adds the rest. `ports`
// maps to values with version, port and frames.
template <typename Ports, typename Fill>
void member_ports(json_dumper *dumper, const char *name, const Ports &ports, Fill fill)
{
    json_dumper_set_member_name(dumper, name);
    json_dumper_begin_array(dumper);
    for (const auto &entry : ports) {
        const auto &port = entry.second;
        json_dumper_begin_object(dumper);
        member_port(dumper, port.version, port.port);
        member_count(dumper, "frames", port.frames);
        fill(port);
        json_dumper_end_object(dumper);
    }
    json_dumper_end_array(dumper);
}

// How a TAP flag's name keys its count: as the trailer's tree shows it, or
// as an identifier ("Crc Error" is crc_error).
enum class FlagKeys { as_shown, as_identifiers };

// An object `name` of counts by TAP flag, in the order of the version's
// flag table.
inline void member_flag_counts(json_dumper *dumper, const char *name, uint8_t version, const uint64_t *counts,
                               FlagKeys keys)
{
    json_dumper_set_member_name(dumper, name);
    json_dumper_begin_object(dumper);
    const TapFlagTable table = tap_flags(version);
    for (size_t i = 0; i < table.size(); i++) {
        std::string key = table[i].name;
        if (keys == FlagKeys::as_identifiers) {
            for (char &c : key)
                c = c == ' ' ? '_' : static_cast<char>(g_ascii_tolower(c));
        }
        member_count(dumper, key.c_str(), counts[i]);
    }
    json_dumper_end_object(dumper);
}

#endif // OVINT_CAPTURE_IO_JSON_MEMBERS_H
