// SPDX-License-Identifier: GPL-2.0-or-later
//
// The trailer search done the slow, obvious way: one guarded marker probe
// through the host's buffer after another, in the order the splitter
// defines. The fast search over bytes must agree with it on every frame.

#ifndef OVINT_TESTS_PROBE_SEARCH_H
#define OVINT_TESTS_PROBE_SEARCH_H

#include <epan/packet.h>

#include "core/trailer/trailer_format.h"

// Version of the trailer found by the latest marker read: 0 none, 1 or 2.
extern guint8 record_version;

// Reads the marker and version code at `offset` into record_version;
// raises the host's bounds exceptions.
void read_marker(tvbuff_t *tvb, gint offset);
// read_marker, with a read past the data raised as ReassemblyError
// "Offset-Exception:OFFSET"; true when a marker was found.
gboolean probe_marker(tvbuff_t *tvb, gint offset);

// Where the probes find the trailer, and the version the last probe left.
TrailerMatch probe_by_probe_search(tvbuff_t *tvb);

bool operator==(const TrailerMatch &a, const TrailerMatch &b);

#endif // OVINT_TESTS_PROBE_SEARCH_H
