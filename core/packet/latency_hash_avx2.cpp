// SPDX-License-Identifier: GPL-2.0-or-later
//
// XXH3 in AVX2, for the processors that have it (compiled with -mavx2;
// called only after the processor said so). The same hash as the baseline.

#include "core/packet/latency_hash.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define XXH_INLINE_ALL
#include <xxhash.h>

Hash128 hash128_avx2(const void *bytes, size_t length, uint64_t seed)
{
    const XXH128_hash_t hash = XXH3_128bits_withSeed(bytes, length, seed);
    return {hash.low64, hash.high64};
}
#endif
