// Heap-failure injection for engine tests. The engine test binary is linked
// with --wrap=malloc/--wrap=calloc; an armed size makes the next allocation
// of exactly that many bytes return null, once.
#pragma once
#include <stddef.h>

void alloc_fail_size(size_t bytes); // arm: the next malloc/calloc of this size fails
void alloc_fail_clear(void);
int alloc_fail_fired(void);          // how many armed failures have fired
