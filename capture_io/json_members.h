// SPDX-License-Identifier: GPL-2.0-or-later
//
// Members of the JSON objects the programs report through the host's
// json_dumper.

#ifndef OVINT_CAPTURE_IO_JSON_MEMBERS_H
#define OVINT_CAPTURE_IO_JSON_MEMBERS_H

#include <glib.h>
#include <wsutil/json_dumper.h>

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

#endif // OVINT_CAPTURE_IO_JSON_MEMBERS_H
