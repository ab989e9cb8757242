// SPDX-License-Identifier: GPL-2.0-or-later

#include "core/matching/table_memory.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr size_t HUGE_PAGE = size_t(2) << 20;
constexpr bool on_huge_pages(size_t bytes) { return bytes >= HUGE_PAGE; }
// Whole huge pages.
constexpr size_t mapped(size_t bytes) { return (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1); }
#else
constexpr bool on_huge_pages(size_t) { return false; }
#endif
} // namespace

void *allocate_table(size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (on_huge_pages(bytes)) {
        // A mapping of its own, zeroed by the system, cut to start on a
        // huge page.
        const size_t length = mapped(bytes);
        void *area = mmap(nullptr, length + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED)
            throw std::bad_alloc();
        const uintptr_t start = reinterpret_cast<uintptr_t>(area);
        const uintptr_t aligned = (start + HUGE_PAGE - 1) & ~uintptr_t(HUGE_PAGE - 1);
        if (aligned > start)
            munmap(area, aligned - start);
        munmap(reinterpret_cast<void *>(aligned + length), start + HUGE_PAGE - aligned);
        // Only advice: refused, the table stays on ordinary pages.
        madvise(reinterpret_cast<void *>(aligned), length, MADV_HUGEPAGE);
        return reinterpret_cast<void *>(aligned);
    }
#endif
    void *memory = std::calloc(1, bytes == 0 ? 1 : bytes);
    if (!memory)
        throw std::bad_alloc();
    return memory;
}

void free_table(void *table, size_t bytes)
{
    if (!table)
        return;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (on_huge_pages(bytes)) {
        munmap(table, mapped(bytes));
        return;
    }
#endif
    std::free(table);
}
