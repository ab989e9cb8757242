// SPDX-License-Identifier: GPL-2.0-or-later
//
// XXH3's 128-bit hash (xxHash, compiled in from the system's header), in
// the widest vector instructions the processor has: the latency key hashes
// every trailer-bearing frame.

#ifndef OVINT_CORE_PACKET_LATENCY_HASH_H
#define OVINT_CORE_PACKET_LATENCY_HASH_H

#include <cstddef>
#include <cstdint>

struct Hash128 {
    uint64_t low;
    uint64_t high;
};

Hash128 hash128(const void *bytes, size_t length, uint64_t seed = 0);

// The same hash, by instruction set; hash128 picks one once.
Hash128 hash128_baseline(const void *bytes, size_t length, uint64_t seed);
Hash128 hash128_avx2(const void *bytes, size_t length, uint64_t seed);

#endif // OVINT_CORE_PACKET_LATENCY_HASH_H
