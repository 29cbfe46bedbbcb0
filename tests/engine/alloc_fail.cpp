#include "alloc_fail.h"
#include <stdlib.h>

extern "C" void *__real_malloc(size_t);
extern "C" void *__real_calloc(size_t, size_t);

static size_t g_fail_size;
static int g_fail_armed;
static int g_fail_fired;

void alloc_fail_size(size_t bytes) { g_fail_size = bytes; g_fail_armed = 1; }
void alloc_fail_clear(void) { g_fail_armed = 0; g_fail_fired = 0; }
int alloc_fail_fired(void) { return g_fail_fired; }

static int should_fail(size_t bytes) {
    if (g_fail_armed && bytes == g_fail_size) {
        g_fail_armed = 0;
        g_fail_fired++;
        return 1;
    }
    return 0;
}

extern "C" void *__wrap_malloc(size_t n) { return should_fail(n) ? nullptr : __real_malloc(n); }
extern "C" void *__wrap_calloc(size_t c, size_t n) {
    return should_fail(c * n) ? nullptr : __real_calloc(c, n);
}
