// SPDX-License-Identifier: GPL-2.0-or-later
//
// The trailer search done the slow, obvious way: one guarded marker probe
// through the host's buffer after another, in the order the splitter
// defines. The fast search over bytes must agree with it on every frame.

#ifndef OVINT_TESTS_PROBE_SEARCH_H
#define OVINT_TESTS_PROBE_SEARCH_H

#include <epan/packet.h>

#include "core/trailer_format.h"

// Where the probes find the trailer, and the version the last probe left.
TrailerMatch probe_by_probe_search(tvbuff_t *tvb);

bool operator==(const TrailerMatch &a, const TrailerMatch &b);

#endif // OVINT_TESTS_PROBE_SEARCH_H
