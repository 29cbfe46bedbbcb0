// Large executor blocks on the web: from the heap like the rest. Emscripten
// emulates mmap over its heap, so a mapping of its own would buy nothing.
#include "common/host_memory.h"

uint8_t *host_map_block(size_t, size_t *) { return nullptr; }
void host_unmap_block(void *, size_t) {}
