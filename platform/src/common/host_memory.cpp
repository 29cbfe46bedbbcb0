#include "common/host_memory.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

namespace {

const size_t k_small_page = 4096;

// A fresh mapping of n bytes (rounded up to whole pages) starting on a 2 MiB
// boundary; the slack mapped to find the boundary is given back at once.
uint8_t *map_aligned(size_t n, size_t *mapped) {
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

} // namespace

HostBytes::~HostBytes() { host_bytes_free(this); }

bool host_bytes_alloc(HostBytes *b, size_t n, const void *src) {
    host_bytes_free(b);
    if (n == 0) return true;
    size_t mapped = 0;
    uint8_t *p = n >= HOST_HUGE_PAGE ? map_aligned(n, &mapped) // zeroed by the kernel
                 : src               ? (uint8_t *)malloc(n)
                                     : (uint8_t *)calloc(1, n);
    if (!p) return false;
    if (src) memcpy(p, src, n);
    b->ptr = p;
    b->bytes = n;
    b->mapped = mapped;
    return true;
}

void host_bytes_free(HostBytes *b) {
    if (b->mapped) munmap(b->ptr, b->mapped);
    else free(b->ptr);
    b->ptr = nullptr;
    b->bytes = 0;
    b->mapped = 0;
}
