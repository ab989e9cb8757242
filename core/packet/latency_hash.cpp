// SPDX-License-Identifier: GPL-2.0-or-later
//
// XXH3 in the instructions every x86-64 (or other) processor has.

#include "core/packet/latency_hash.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

Hash128 hash128_baseline(const void *bytes, size_t length, uint64_t seed)
{
    const XXH128_hash_t hash = XXH3_128bits_withSeed(bytes, length, seed);
    return {hash.low64, hash.high64};
}


#if defined(__x86_64__) && defined(__GNUC__)
using HashRoutine = Hash128 (*)(const void *, size_t, uint64_t);

static HashRoutine pick_hash()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? hash128_avx2 : hash128_baseline;
}

// Picked when the library is loaded.
static const HashRoutine routine = pick_hash();

Hash128 hash128(const void *bytes, size_t length, uint64_t seed)
{
    return routine(bytes, length, seed);
}
#else
Hash128 hash128(const void *bytes, size_t length, uint64_t seed)
{
    return hash128_baseline(bytes, length, seed);
}

Hash128 hash128_avx2(const void *bytes, size_t length, uint64_t seed)
{
    return hash128_baseline(bytes, length, seed);
}
#endif
