// The own mappings of host_memory.h on Linux: a fresh anonymous mapping per
// large block, in small pages. Other builds (WebAssembly, whose mmap is the
// heap in disguise) supply a host_map_block that declines, and blocks come
// from the heap.
//
// No transparent huge pages are asked for. On virtual machines with free page
// reporting (virtio-balloon), free blocks of 2 MiB and more are handed back to
// the hypervisor once they have been free a while, and a huge page is always
// such a block: zeroing it waits for the host to supply the memory again,
// which made a fresh process's first quality change take anywhere from 0.2 s
// to twice that. Small pages come first from the smaller free blocks, which
// are never handed back, and cost the same every time.
#include "common/host_memory.h"
#include <sys/mman.h>

namespace {
const size_t k_small_page = 4096;
}

uint8_t *host_map_block(size_t n, size_t *mapped) {
    const size_t len = (n + k_small_page - 1) & ~(k_small_page - 1);
    if (len < n) return nullptr; // n within a page of SIZE_MAX
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    *mapped = len;
    return (uint8_t *)p;
}

void host_unmap_block(void *p, size_t mapped) { munmap(p, mapped); }
