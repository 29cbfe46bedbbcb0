#include "common/hooks.h"

#include <halvenor/platform_test.h>

#include <atomic>
#include <mutex>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <time.h>
#include <deque>

namespace {

struct Fault {
    char op[32];
    int countdown; // calls of op still to let through before failing
    HRESULT hr;
};

struct OpCount {
    char op[32];
    int calls;
};

// Fixed tables: the hot path (every context call) must not allocate.
struct Hooks {
    std::mutex lock;
    Fault faults[64];
    int nfaults = 0;
    int fired = 0;
    OpCount counts[128];
    int ncounts = 0;
    std::atomic<bool> recording{false};
    std::deque<std::string> lines; // stable addresses for plat_record_line
};

Hooks &hooks() {
    static Hooks h;
    return h;
}

std::atomic<int> g_live{0};
std::atomic<int> g_validation{0};
std::atomic<long long> g_fake_counter{0};
std::atomic<long long> g_fake_frequency{0};

OpCount *find_count(Hooks &h, const char *op, bool create) {
    for (int i = 0; i < h.ncounts; i++)
        if (strcmp(h.counts[i].op, op) == 0) return &h.counts[i];
    if (!create || h.ncounts == 128) return nullptr;
    OpCount *c = &h.counts[h.ncounts++];
    snprintf(c->op, sizeof c->op, "%s", op);
    c->calls = 0;
    return c;
}

} // namespace

thread_local int t_silence = 0;

HookSilence::HookSilence() { t_silence++; }
HookSilence::~HookSilence() { t_silence--; }

HRESULT hook_enter(const char *op) {
    if (t_silence) return S_OK;
    Hooks &h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    if (OpCount *c = find_count(h, op, true)) c->calls++;
    // Every armed fault of op counts this call, so several can be armed at
    // different positions at once.
    HRESULT hr = S_OK;
    for (int i = 0; i < h.nfaults;) {
        Fault &f = h.faults[i];
        if (strcmp(f.op, op) != 0 || --f.countdown > 0) {
            i++;
            continue;
        }
        if (hr == S_OK) {
            hr = f.hr;
            h.fired++;
        }
        h.faults[i] = h.faults[--h.nfaults];
    }
    return hr;
}

void hook_count(const char *op) {
    Hooks &h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    if (OpCount *c = find_count(h, op, true)) c->calls++;
}

bool hook_recording(void) { return !t_silence && hooks().recording.load(std::memory_order_relaxed); }

void hook_record(const char *fmt, ...) {
    Hooks &h = hooks();
    if (!h.recording || t_silence) return;
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(h.lock);
    h.lines.emplace_back(buf);
}

HRESULT hook_call(const char *op) {
    HRESULT hr = hook_enter(op);
    if (hook_recording()) hook_record("%s", op);
    return hr;
}

HRESULT hook_call(const char *op, const char *fmt, ...) {
    HRESULT hr = hook_enter(op);
    if (!hook_recording()) return hr; // formatting costs nothing unless recorded
    char args[224];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(args, sizeof args, fmt, ap);
    va_end(ap);
    hook_record("%s %s", op, args);
    return hr;
}

void hook_live_add(int delta) { g_live += delta; }
void hook_validation_message(void) { g_validation++; }

extern "C" {

void plat_fail_call(const char *op, int nth, HRESULT hr) {
    Hooks &h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    if (h.nfaults == 64 || nth < 1) return;
    Fault &f = h.faults[h.nfaults++];
    snprintf(f.op, sizeof f.op, "%s", op);
    f.countdown = nth;
    f.hr = hr;
}

void plat_fail_clear(void) {
    Hooks &h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    h.nfaults = 0;
    h.fired = 0;
}

int plat_fail_fired(void) {
    Hooks &h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    return h.fired;
}

int plat_call_count(const char *op) {
    Hooks &h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    OpCount *c = find_count(h, op, false);
    return c ? c->calls : 0;
}

void plat_call_count_reset(void) {
    Hooks &h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    h.ncounts = 0;
}

int plat_live_objects(void) { return g_live; }

void plat_record_begin(void) {
    Hooks &h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    h.lines.clear();
    h.recording = true;
}

void plat_record_end(void) { hooks().recording = false; }

int plat_record_count(void) {
    Hooks &h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    return (int)h.lines.size();
}

const char *plat_record_line(int i) {
    Hooks &h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    if (i < 0 || i >= (int)h.lines.size()) return nullptr;
    return h.lines[i].c_str();
}

int plat_validation_messages(void) { return g_validation; }
void plat_validation_reset(void) { g_validation = 0; }

void plat_set_fake_counter(long long value) { g_fake_counter = value; }
void plat_set_fake_frequency(long long value) { g_fake_frequency = value; }

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *count) {
    if (!count) return FALSE;
    long long fake = g_fake_counter;
    if (fake) {
        count->QuadPart = fake;
        return TRUE;
    }
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    count->QuadPart = (LONGLONG)ts.tv_sec * 1000000000LL + ts.tv_nsec;
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *freq) {
    if (!freq) return FALSE;
    long long fake = g_fake_frequency;
    freq->QuadPart = fake ? fake : 1000000000LL;
    return TRUE;
}

} // extern "C"
