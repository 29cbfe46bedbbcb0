// Large executor blocks on the web: from the heap like the rest. Emscripten
// emulates mmap over its heap, cannot give back part of a mapping (which the
// 2 MiB alignment of the Linux build relies on), and has no huge pages.
#include "common/host_memory.h"

uint8_t *host_map_huge(size_t, size_t *) { return nullptr; }
void host_unmap_huge(void *, size_t) {}
