// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/matching/table_memory.h"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

void *allocate_table(size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t HUGE_PAGE = size_t(2) << 20;
    if (bytes >= HUGE_PAGE) {
        void *memory = nullptr;
        if (posix_memalign(&memory, HUGE_PAGE, bytes) != 0)
            throw std::bad_alloc();
        // Only advice: refused, the table stays on ordinary pages.
        madvise(memory, bytes, MADV_HUGEPAGE);
        std::memset(memory, 0, bytes);
        return memory;
    }
#endif
    void *memory = std::calloc(1, bytes == 0 ? 1 : bytes);
    if (!memory)
        throw std::bad_alloc();
    return memory;
}
