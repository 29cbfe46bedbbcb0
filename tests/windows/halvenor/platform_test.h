// The Linux layer's test hooks, as seen by the Windows engine tests. A real
// Direct3D 11 has none of them: clearing and resetting do nothing, the
// neutral readings give 0, and arming a hook fails the running test, which
// then belongs in the Linux-only list of tests/windows/CMakeLists.txt.
#pragma once
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

void plat_fail_call(const char *op, int nth, HRESULT hr);
void plat_fail_clear(void);
int plat_fail_fired(void);
int plat_call_count(const char *op);
void plat_call_count_reset(void);
int plat_live_objects(void);
void plat_record_begin(void);
void plat_record_end(void);
int plat_record_count(void);
const char *plat_record_line(int i);
int plat_validation_messages(void);
void plat_validation_reset(void);
void plat_set_fake_counter(long long value);
void plat_set_fake_frequency(long long value);

#ifdef __cplusplus
}
#endif
