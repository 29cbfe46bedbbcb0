// Memory behind the CPU executor's buffers and images. Blocks of at least
// one huge page get a mapping of their own, aligned to 2 MiB and advised for
// transparent huge pages: filling 64 MiB of fresh memory then costs 32 page
// faults rather than 16384 where the kernel grants huge pages, and no more
// than before where it does not. Either way the kernel hands such a block
// out zeroed, so it is never cleared again. Smaller blocks come from the
// heap.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct HostBytes {
    uint8_t *ptr = nullptr;
    size_t bytes = 0;
    size_t mapped = 0; // length of the own mapping, 0 for a heap block

    HostBytes() = default;
    HostBytes(const HostBytes &) = delete;
    HostBytes &operator=(const HostBytes &) = delete;
    ~HostBytes();
    uint8_t *data() { return ptr; }
    const uint8_t *data() const { return ptr; }
    size_t size() const { return bytes; }
};

enum { HOST_HUGE_PAGE = 2u << 20 };

// Replaces b's block with n bytes: a copy of src when src is given (each
// byte written once), zeros otherwise. False, with b empty, when the memory
// is not there. n = 0 leaves b empty and succeeds.
bool host_bytes_alloc(HostBytes *b, size_t n, const void *src);
void host_bytes_free(HostBytes *b);

// The mapping behind large blocks, one implementation per build: a block of
// n bytes (n >= HOST_HUGE_PAGE), zeroed, with its mapped length in *mapped;
// null to have the block come from the heap instead.
uint8_t *host_map_huge(size_t n, size_t *mapped);
void host_unmap_huge(void *p, size_t mapped);
