// Soak: many full engine lifetimes in one process, at small sizes. Each cycle
// creates an offscreen engine, renders every mode, changes quality, resizes,
// reads back, writes a screenshot and destroys; with an X display it then does
// the same for a window of its own, created and destroyed with the engine. Resident memory, open file
// descriptors and threads are taken at the start, after a warm-up (driver
// loaded, allocator pools settled) and at the end; growth after the warm-up
// beyond a small tolerance fails the run.
//   soak [cycles]   (default 30)
#include <dirent.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <halvenor/platform_test.h>
#include <stdint.h>

#include "halvenor_galaxy.h"

namespace {

// Resident memory swings by several MB from cycle to cycle (heap top, the
// validation layer's pools), so growth compares floors: the lowest reading of
// the last third of the cycles after warm-up against that of the first third.
// A leak lifts the floor; noise does not.
const long k_rss_tolerance_kb = 4 * 1024;

struct Usage {
    long rss_kb;
    int fds;
    int threads;
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

Usage usage() { return {rss_kb(), entries("/proc/self/fd"), entries("/proc/self/task")}; }

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
    printf("soak: %-8s rss %7ld kB  fds %3d  threads %3d\n", when, u.rss_kb, u.fds, u.threads);
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
    char shot[64];
    snprintf(shot, sizeof shot, "/tmp/halvenor-soak-%d.png", (int)getpid());

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
    Usage warm = start;
    const int measured = cycles - warmup, third = measured / 3 > 0 ? measured / 3 : 1;
    long early_floor = -1, late_floor = -1;
    for (int i = 0; i < cycles; i++) {
        if (!cycle(i, shot)) {
            unlink(shot);
            return 1;
        }
        int j = i + 1 - warmup; // cycles done since the warm-up
        if (j >= 1) {
            long kb = rss_kb();
            if (j <= third && (early_floor < 0 || kb < early_floor)) early_floor = kb;
            if (j > measured - third && (late_floor < 0 || kb < late_floor)) late_floor = kb;
        }
        if (i + 1 == warmup) {
            warm = usage();
            print("warm-up", warm);
        } else if ((i + 1) % progress == 0 && i + 1 < cycles) {
            char when[32];
            snprintf(when, sizeof when, "%d", i + 1);
            print(when, usage());
        }
    }
    Usage end = usage();
    print("end", end);
    unlink(shot);
    if (g_display) XCloseDisplay(g_display);
    double secs = now_s() - t0;
    printf("soak: %d cycles in %.1f s (%.0f ms per cycle); after warm-up (%d cycles): rss %+ld kB "
           "(floor %ld -> %ld kB), fds %+d, threads %+d\n",
           cycles, secs, secs * 1000.0 / cycles, warmup, end.rss_kb - warm.rss_kb, early_floor, late_floor,
           end.fds - warm.fds, end.threads - warm.threads);

    bool ok = true;
    if (late_floor - early_floor > k_rss_tolerance_kb) {
        printf("soak: resident memory floor rose by more than %ld kB\n", k_rss_tolerance_kb);
        ok = false;
    }
    if (end.fds > warm.fds) {
        printf("soak: file descriptors leaked\n");
        ok = false;
    }
    if (end.threads > warm.threads) {
        printf("soak: threads leaked\n");
        ok = false;
    }
    return ok ? 0 : 1;
}
