// Internal side of the test hooks declared in <halvenor/platform_test.h>.
// Every platform operation starts with hook_enter(op): it counts the call and
// returns the armed fault for it (or S_OK), so a failing call creates nothing.
#pragma once
#include "windows.h"

HRESULT hook_enter(const char *op);
// True while a call record is open: callers skip formatting otherwise.
bool hook_recording(void);
void hook_record(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The start of every public call: hook_enter(op), then, while a record is
// open, its line: op alone, or op followed by the formatted arguments.
HRESULT hook_call(const char *op);
HRESULT hook_call(const char *op, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void hook_live_add(int delta);
// Counts an internal event under op for plat_call_count, with no fault to arm:
// submissions, fence waits and device allocations of the executor.
void hook_count(const char *op);

// Calls the layer makes to itself (QueryInterface to recover its own device,
// say) are no call positions of the caller: while one of these lives on the
// thread, hook_enter neither counts nor fails.
struct HookSilence {
    HookSilence();
    ~HookSilence();
};
void hook_validation_message(void);
