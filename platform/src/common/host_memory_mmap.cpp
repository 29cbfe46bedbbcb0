// The huge-page mappings of host_memory.h on Linux: a fresh anonymous mapping
// per block, trimmed to a 2 MiB boundary and advised for transparent huge
// pages. Other builds (WebAssembly, where munmap cannot give back part of a
// mapping) supply a host_map_huge that declines, and blocks come from the heap.
#include "common/host_memory.h"
#include <sys/mman.h>

namespace {
const size_t k_small_page = 4096;
}

// A fresh mapping of n bytes (rounded up to whole pages) starting on a 2 MiB
// boundary; the slack mapped to find the boundary is given back at once.
uint8_t *host_map_huge(size_t n, size_t *mapped) {
    const size_t len = (n + k_small_page - 1) & ~(k_small_page - 1);
    const size_t slack = HOST_HUGE_PAGE - k_small_page;
    if (len > SIZE_MAX - slack) return nullptr;
    void *p = mmap(nullptr, len + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const uintptr_t start = (uintptr_t)p, at = (start + HOST_HUGE_PAGE - 1) & ~(uintptr_t)(HOST_HUGE_PAGE - 1);
    if (at > start) munmap(p, at - start);
    if (start + slack > at) munmap((void *)(at + len), start + slack - at);
    // Refused only by kernels without transparent huge pages: small pages then.
    madvise((void *)at, len, MADV_HUGEPAGE);
    *mapped = len;
    return (uint8_t *)at;
}

void host_unmap_huge(void *p, size_t mapped) { munmap(p, mapped); }
