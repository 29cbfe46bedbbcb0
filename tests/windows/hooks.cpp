// Stand-ins for the Linux layer's test hooks and the heap-failure wrapper
// (see halvenor/platform_test.h beside this file).
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>

#include "alloc_fail.h"

static void needs_linux(const char *hook) {
    ADD_FAILURE() << hook << " needs the Linux Direct3D 11 layer; list this test "
                  << "as Linux-only in tests/windows/CMakeLists.txt";
}

void plat_fail_call(const char *, int, HRESULT) { needs_linux("plat_fail_call"); }
void plat_fail_clear(void) {}
int plat_fail_fired(void) { needs_linux("plat_fail_fired"); return 0; }
int plat_call_count(const char *) { needs_linux("plat_call_count"); return 0; }
void plat_call_count_reset(void) {}
// Fixtures check this after every test; with no count to read it is neutral.
int plat_live_objects(void) { return 0; }
void plat_record_begin(void) { needs_linux("plat_record_begin"); }
void plat_record_end(void) {}
int plat_record_count(void) { needs_linux("plat_record_count"); return 0; }
const char *plat_record_line(int) { needs_linux("plat_record_line"); return ""; }
int plat_validation_messages(void) { return 0; }
void plat_validation_reset(void) {}
void plat_set_fake_counter(long long v) { if (v != 0) needs_linux("plat_set_fake_counter"); }
void plat_set_fake_frequency(long long v) { if (v != 0) needs_linux("plat_set_fake_frequency"); }

void alloc_fail_size(size_t) { needs_linux("alloc_fail_size"); }
void alloc_fail_clear(void) {}
int alloc_fail_fired(void) { needs_linux("alloc_fail_fired"); return 0; }
