// SPDX-License-Identifier: GPL-2.0-or-later
//
// Memory for a table reached into at random a frame at a time, such as
// the matcher's index: some MB on a busy link. On 4 kB pages nearly every
// lookup in it also misses the processor's cache of page tables; on Linux
// it is asked to sit on 2 MB pages (transparent huge pages, where the
// system grants them), which took about a tenth off ovint-latency's time
// on a router's capture. Smaller tables, and other systems, take ordinary
// memory.

#ifndef OVINT_CORE_MATCHING_TABLE_MEMORY_H
#define OVINT_CORE_MATCHING_TABLE_MEMORY_H

#include <cstddef>

// `bytes` of zeroes, as the system gives them (no pass to fill them);
// throws std::bad_alloc when there is no room.
void *allocate_table(size_t bytes);
// Gives back a table of `bytes` (nullptr: none).
void free_table(void *table, size_t bytes);

#endif // OVINT_CORE_MATCHING_TABLE_MEMORY_H
