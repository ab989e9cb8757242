// SPDX-License-Identifier: GPL-2.0-or-later
//
// Members of the JSON objects the programs report through the host's
// json_dumper.

#ifndef OVINT_CAPTURE_IO_JSON_MEMBERS_H
#define OVINT_CAPTURE_IO_JSON_MEMBERS_H

#include <glib.h>
#include <wsutil/json_dumper.h>

#include "core/ports.h"

#include <cinttypes>

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

#endif // OVINT_CAPTURE_IO_JSON_MEMBERS_H
