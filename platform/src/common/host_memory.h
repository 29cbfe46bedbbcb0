// Memory behind the CPU executor's buffers and images. Blocks of 2 MiB and
// more get a mapping of their own: the kernel hands it out zeroed, so it is
// never cleared again, and it goes back to the system the moment the block
// is released. Smaller blocks come from the heap.
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

enum { HOST_MAPPED_MIN = 2u << 20 };

// Replaces b's block with n bytes: a copy of src when src is given (each
// byte written once), zeros otherwise. False, with b empty, when the memory
// is not there. n = 0 leaves b empty and succeeds.
bool host_bytes_alloc(HostBytes *b, size_t n, const void *src);
void host_bytes_free(HostBytes *b);

// The mapping behind large blocks, one implementation per build: a block of
// n bytes (n >= HOST_MAPPED_MIN), zeroed, with its mapped length in *mapped;
// null to have the block come from the heap instead.
uint8_t *host_map_block(size_t n, size_t *mapped);
void host_unmap_block(void *p, size_t mapped);
