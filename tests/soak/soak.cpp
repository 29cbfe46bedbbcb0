// Soak: many full engine lifetimes in one process, at small sizes. Each cycle
// creates an offscreen engine, renders every mode, changes quality, resizes,
// reads back, writes a screenshot and destroys; with an X display it then does
// the same for a window of its own, created and destroyed with the engine.
//
// A leak is judged by what noise cannot move. Resident memory and even the
// allocator's in-use total drift upward by tens of bytes to kilobytes per
// cycle for reasons outside the engine (the Vulkan driver's and loader's own
// bookkeeping, settling over hundreds of cycles), so neither can tell a small
// leak from noise. Instead the soak keeps a ledger of every heap block the
// engine and platform code (this executable's own text) holds: malloc, calloc,
// realloc and free are wrapped at link time, and operator new/delete are
// replaced and count a block when their caller lies in this executable. After
// each destroy the ledger must hold as many blocks as after the warm-up, and
// about as many bytes; a single leaked block per cycle fails the run. Live
// platform objects, file descriptors and threads are checked likewise. Resident memory and the
// allocator's total are printed, and fail only on gross growth.
//   soak [cycles]   (default 30)
#include <dirent.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <halvenor/platform_test.h>
#include <stdint.h>

#include <atomic>
#include <new>

#include "halvenor_galaxy.h"

// ---- The ledger of the engine's own heap blocks --------------------------

extern "C" char __executable_start; // this executable's text, from the linker
extern "C" char etext;

namespace {

// Linear probing keyed by block address, with deletion by moving later
// entries back (no tombstones, so a miss stops at the first empty slot);
// fixed storage, so keeping the ledger never allocates. Driver threads free
// through operator delete too, so every access holds a spin lock (nothing
// inside it allocates or blocks).
const size_t k_slots = 1u << 18;
struct Slot {
    void *p;
    size_t n;
};
Slot g_slots[k_slots];
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
size_t g_live_blocks, g_live_bytes;
bool g_ledger_full;

struct Locked {
    Locked() {
        while (g_lock.test_and_set(std::memory_order_acquire)) sched_yield();
    }
    ~Locked() { g_lock.clear(std::memory_order_release); }
};

size_t home_of(const void *p) { return (size_t)(((uintptr_t)p >> 4) * 0x9E3779B97F4A7C15ull >> 46); }
size_t next_slot(size_t i) { return (i + 1) & (k_slots - 1); }

void ledger_add(void *p, size_t n) {
    if (!p) return;
    Locked lock;
    if (g_live_blocks >= k_slots / 2) { // keep probe runs short
        g_ledger_full = true;
        return;
    }
    size_t i = home_of(p);
    while (g_slots[i].p) i = next_slot(i);
    g_slots[i] = {p, n};
    g_live_blocks++;
    g_live_bytes += n;
}

// Forgets the block if it is the engine's.
void ledger_remove(void *p) {
    if (!p) return;
    Locked lock;
    size_t i = home_of(p);
    while (g_slots[i].p && g_slots[i].p != p) i = next_slot(i);
    if (!g_slots[i].p) return;
    g_live_blocks--;
    g_live_bytes -= g_slots[i].n;
    // Close the gap: move back any later entry of the run whose home does not
    // lie cyclically in (i, j].
    size_t j = i;
    for (;;) {
        g_slots[i].p = nullptr;
        for (;;) {
            j = next_slot(j);
            if (!g_slots[j].p) return;
            size_t k = home_of(g_slots[j].p);
            bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
            if (!stays) break;
        }
        g_slots[i] = g_slots[j];
        i = j;
    }
}

bool from_this_executable(const void *caller) { return caller >= &__executable_start && caller < &etext; }

} // namespace

// Only references resolved when this executable is linked go through the
// wrappers (the engine, the platform layer, glslang and this file); shared
// libraries call the C library directly.
extern "C" void *__real_malloc(size_t);
extern "C" void *__real_calloc(size_t, size_t);
extern "C" void *__real_realloc(void *, size_t);
extern "C" void __real_free(void *);

namespace {

void *counted_new(size_t n, const void *caller) {
    void *p = __real_malloc(n ? n : 1);
    if (p && from_this_executable(caller)) ledger_add(p, n);
    return p;
}

} // namespace

extern "C" void *__wrap_malloc(size_t n) {
    void *p = __real_malloc(n);
    ledger_add(p, n);
    return p;
}
extern "C" void *__wrap_calloc(size_t c, size_t n) {
    void *p = __real_calloc(c, n);
    ledger_add(p, c * n);
    return p;
}
extern "C" void *__wrap_realloc(void *old, size_t n) {
    void *p = __real_realloc(old, n);
    if (p || n == 0) ledger_remove(old);
    ledger_add(p, n);
    return p;
}
extern "C" void __wrap_free(void *p) {
    ledger_remove(p);
    __real_free(p);
}

void *operator new(size_t n) {
    void *p = counted_new(n, __builtin_return_address(0));
    if (!p) throw std::bad_alloc();
    return p;
}
void *operator new[](size_t n) {
    void *p = counted_new(n, __builtin_return_address(0));
    if (!p) throw std::bad_alloc();
    return p;
}
void *operator new(size_t n, const std::nothrow_t &) noexcept { return counted_new(n, __builtin_return_address(0)); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return counted_new(n, __builtin_return_address(0)); }
void operator delete(void *p) noexcept { __wrap_free(p); }
void operator delete[](void *p) noexcept { __wrap_free(p); }
void operator delete(void *p, size_t) noexcept { __wrap_free(p); }
void operator delete[](void *p, size_t) noexcept { __wrap_free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { __wrap_free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { __wrap_free(p); }

namespace {

// A few of glslang's long-lived blocks (its pool for the compiling thread)
// change size with what was compiled last, never their number.
const size_t k_bytes_tolerance = 4096;

// Gross growth only: the driver's bookkeeping moves these by up to a few kB
// per cycle early on, a real leak of content or of a render target by far
// more. Judged on the median of per-cycle steps, which one outlier cannot move.
const long k_total_step_tolerance = 64 * 1024;

struct Usage {
    long rss_kb;
    int fds;
    int threads;
    size_t blocks, bytes; // the engine's own live heap blocks
    size_t total;         // the allocator's in-use bytes, after a trim
};

long rss_kb() {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    fclose(f);
    return kb;
}

int entries(const char *dir) {
    DIR *d = opendir(dir);
    if (!d) return -1;
    int n = 0;
    while (const dirent *e = readdir(d))
        if (e->d_name[0] != '.') n++;
    closedir(d);
    return n - (strcmp(dir, "/proc/self/fd") == 0); // the directory stream itself
}

Usage usage() {
    malloc_trim(0);
    struct mallinfo2 m = mallinfo2();
    Usage u = {rss_kb(), entries("/proc/self/fd"), entries("/proc/self/task"), 0, 0, m.uordblks + m.hblkhd};
    Locked lock;
    u.blocks = g_live_blocks;
    u.bytes = g_live_bytes;
    return u;
}

int compare_long(const void *a, const void *b) {
    long x = *(const long *)a, y = *(const long *)b;
    return (x > y) - (x < y);
}

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

bool fail(int cycle, const char *what) {
    fprintf(stderr, "soak: cycle %d: %s failed: %s\n", cycle, what, galaxy_get_error());
    return false;
}

Display *g_display;

// One engine lifetime; sizes vary with the cycle so buffers get replaced.
// window: 0 for an offscreen engine.
bool lifetime(int i, Window window, const char *shot) {
    int w = 24 + (i % 3) * 8, h = 16 + (i % 2) * 8;
    int rc = window ? galaxy_create((galaxy_window)(uintptr_t)window, w, h) : galaxy_create_offscreen(w, h);
    if (rc != 0) return fail(i, "create");
    galaxy_set_quality(0);
    for (int mode = 0; mode < 4; mode++) {
        galaxy_set_mode(mode);
        galaxy_frame();
    }
    galaxy_set_quality(1);
    galaxy_set_quality(0);
    galaxy_adjust_camera(0.1f, 0.05f, 0.9f);
    galaxy_resize(h, w);
    galaxy_frame();
    const unsigned char *px = nullptr;
    int rw, rh, stride;
    if (galaxy_readback(&px, &rw, &rh, &stride) != 0) return fail(i, "readback");
    if (rw != h || rh != w || stride != h * 4) return fail(i, "readback size");
    if (galaxy_screenshot(shot) != 0) return fail(i, "screenshot");
    galaxy_destroy();
    if (plat_live_objects() != 0) return fail(i, "release (platform objects alive)");
    return true;
}

bool cycle(int i, const char *shot) {
    if (!lifetime(i, 0, shot)) return false;
    if (!g_display) return true;
    Window win = XCreateSimpleWindow(g_display, DefaultRootWindow(g_display), 0, 0, 40, 32, 0, 0, 0);
    XMapWindow(g_display, win);
    XSync(g_display, False);
    bool ok = lifetime(i, win, shot);
    XDestroyWindow(g_display, win);
    XSync(g_display, False);
    return ok;
}

void print(const char *when, const Usage &u) {
    printf("soak: %-8s engine heap %6zu blocks %9zu B  allocator %10zu B  rss %7ld kB  fds %3d  threads %3d\n",
           when, u.blocks, u.bytes, u.total, u.rss_kb, u.fds, u.threads);
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0); // progress shows while a long run goes on
    int cycles = argc > 1 ? atoi(argv[1]) : 30;
    if (cycles < 2) cycles = 2;
    int warmup = cycles / 10 < 3 ? 3 : cycles / 10;
    if (warmup > 20) warmup = 20;
    if (warmup >= cycles) warmup = cycles - 1;
    int progress = cycles < 10 ? cycles : cycles / 10;
    char shot[] = "/tmp/halvenor-soak-XXXXXX.png"; // unique; removed at the end
    int fd = mkstemps(shot, 4);
    if (fd < 0) {
        perror("soak: scratch file");
        return 1;
    }
    close(fd);

    // glibc raises its mmap threshold each time a large mapped block is freed,
    // so later content arrays land on the heap and resident memory swings by
    // tens of MB from fragmentation alone. A fixed threshold keeps every
    // content array mapped, and what remains is the engine's own growth.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    // Likewise each new driver thread may take a malloc arena of its own and
    // keep what it freed there: one arena keeps the figures about the engine.
    mallopt(M_ARENA_MAX, 1);
    g_display = getenv("DISPLAY") ? XOpenDisplay(nullptr) : nullptr;
    printf("soak: %s\n", g_display ? "offscreen and windowed engines" : "offscreen engines (no X display)");

    double t0 = now_s();
    Usage start = usage();
    print("start", start);
    Usage warm = start, now = start;
    long *steps = (long *)calloc((size_t)cycles, sizeof(long));
    int nsteps = 0;
    bool ok = true;
    for (int i = 0; i < cycles && ok; i++) {
        if (!cycle(i, shot)) {
            unlink(shot);
            return 1;
        }
        Usage prev = now;
        now = usage();
        if (i + 1 == warmup) {
            warm = now;
            print("warm-up", warm);
            continue;
        }
        if (i + 1 < warmup) continue;
        steps[nsteps++] = (long)now.total - (long)prev.total;
        if (now.blocks != warm.blocks || now.bytes > warm.bytes + k_bytes_tolerance) {
            printf("soak: cycle %d: the engine's heap holds %zu blocks, %zu bytes after destroy; %zu blocks, %zu "
                   "bytes after the warm-up: a leak\n",
                   i, now.blocks, now.bytes, warm.blocks, warm.bytes);
            ok = false;
        }
        if (now.fds > warm.fds) {
            printf("soak: cycle %d: file descriptors leaked (%d, %d after the warm-up)\n", i, now.fds, warm.fds);
            ok = false;
        }
        if (now.threads > warm.threads) {
            printf("soak: cycle %d: threads leaked (%d, %d after the warm-up)\n", i, now.threads, warm.threads);
            ok = false;
        }
        if ((i + 1) % progress == 0 && i + 1 < cycles) {
            char when[32];
            snprintf(when, sizeof when, "%d", i + 1);
            print(when, now);
        }
    }
    print("end", now);
    unlink(shot);
    if (g_display) XCloseDisplay(g_display);
    double secs = now_s() - t0;
    qsort(steps, (size_t)nsteps, sizeof(long), compare_long);
    long median_step = nsteps ? steps[nsteps / 2] : 0;
    free(steps);
    printf("soak: %d cycles in %.1f s (%.0f ms per cycle); after warm-up (%d cycles): engine heap %+ld blocks "
           "%+ld B, allocator %+ld B (median step %+ld B), rss %+ld kB, fds %+d, threads %+d\n",
           cycles, secs, secs * 1000.0 / cycles, warmup, (long)now.blocks - (long)warm.blocks,
           (long)now.bytes - (long)warm.bytes, (long)now.total - (long)warm.total, median_step,
           now.rss_kb - warm.rss_kb, now.fds - warm.fds, now.threads - warm.threads);
    if (g_ledger_full) {
        printf("soak: the ledger of heap blocks overflowed; the figures are incomplete\n");
        ok = false;
    }
    if (median_step > k_total_step_tolerance) {
        printf("soak: the allocator's in-use bytes grew by a median %ld B per cycle\n", median_step);
        ok = false;
    }
    return ok ? 0 : 1;
}
