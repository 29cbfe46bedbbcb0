#include "common/host_memory.h"

#include <stdlib.h>
#include <string.h>


HostBytes::~HostBytes() { host_bytes_free(this); }

bool host_bytes_alloc(HostBytes *b, size_t n, const void *src) {
    host_bytes_free(b);
    if (n == 0) return true;
    size_t mapped = 0;
    uint8_t *p = n >= HOST_MAPPED_MIN ? host_map_block(n, &mapped) : nullptr; // zeroed by the kernel
    if (!p) p = src ? (uint8_t *)malloc(n) : (uint8_t *)calloc(1, n);
    if (!p) return false;
    if (src) memcpy(p, src, n);
    b->ptr = p;
    b->bytes = n;
    b->mapped = mapped;
    return true;
}

void host_bytes_free(HostBytes *b) {
    if (b->mapped) host_unmap_block(b->ptr, b->mapped);
    else free(b->ptr);
    b->ptr = nullptr;
    b->bytes = 0;
    b->mapped = 0;
}
