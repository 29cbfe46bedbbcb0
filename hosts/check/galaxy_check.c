/* galaxy-check: loads the library by name as a host would, resolves the
 * fourteen functions, and renders every scene offscreen and into a real window
 * (Win32 on Windows, X11 elsewhere) at simulated time 0, writing PNGs into
 * OUTDIR for a pixel comparison between builds. It also writes the error
 * texts of two failures to OUTDIR/errors.txt. Exit status 0 when every step
 * did what it should; the first failure is printed and gives 1.
 *
 * usage: galaxy-check OUTDIR */
#define _POSIX_C_SOURCE 200809L
#include "halvenor_galaxy.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#define LIBRARY_NAME "halvenor-galaxy.dll"
typedef HMODULE library;
static library open_library(void) { return LoadLibraryA(LIBRARY_NAME); }
static void *find_symbol(library l, const char *name) {
    FARPROC f = GetProcAddress(l, name);
    void *p;
    memcpy(&p, &f, sizeof p); /* like dlsym: a function's address as void * */
    return p;
}
static void close_library(library l) { FreeLibrary(l); }
#else
#include <X11/Xlib.h>
#include <dlfcn.h>
#define LIBRARY_NAME "libhalvenor-galaxy.so"
typedef void *library;
static library open_library(void) { return dlopen(LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL); }
static void *find_symbol(library l, const char *name) { return dlsym(l, name); }
static void close_library(library l) { dlclose(l); }
#endif

#define W 320
#define H 180
#define RESIZED_W 400
#define RESIZED_H 240

static struct {
    int(GALAXY_CALL *create)(galaxy_window, int, int);
    int(GALAXY_CALL *create_offscreen)(int, int);
    void(GALAXY_CALL *frame)(void);
    void(GALAXY_CALL *resize)(int, int);
    void(GALAXY_CALL *set_mode)(int);
    void(GALAXY_CALL *set_time_scale)(float);
    void(GALAXY_CALL *set_quality)(int);
    void(GALAXY_CALL *set_camera)(float, float, float);
    void(GALAXY_CALL *adjust_camera)(float, float, float);
    int(GALAXY_CALL *readback)(const unsigned char **, int *, int *, int *);
    int(GALAXY_CALL *screenshot)(const char *);
    const char *(GALAXY_CALL *get_error)(void);
    const char *(GALAXY_CALL *version)(void);
    void(GALAXY_CALL *destroy)(void);
} g;

static int fail(const char *what) {
    fprintf(stderr, "galaxy-check: %s\n", what);
    return 1;
}

static int fail_lib(const char *what) {
    fprintf(stderr, "galaxy-check: %s: %s\n", what, g.get_error());
    return 1;
}

static int resolve(library lib) {
    static const char *const names[14] = {
        "galaxy_create", "galaxy_create_offscreen", "galaxy_frame", "galaxy_resize",
        "galaxy_set_mode", "galaxy_set_time_scale", "galaxy_set_quality", "galaxy_set_camera",
        "galaxy_adjust_camera", "galaxy_readback", "galaxy_screenshot", "galaxy_get_error",
        "galaxy_version", "galaxy_destroy"};
    void *slots[14];
    for (int i = 0; i < 14; i++) {
        slots[i] = find_symbol(lib, names[i]);
        if (!slots[i]) {
            fprintf(stderr, "galaxy-check: %s is not exported\n", names[i]);
            return -1;
        }
    }
    /* The struct lists the functions in the order of names[], all of them
     * pointers of one size. */
    memcpy(&g, slots, sizeof g);
    return 0;
}

/* One frame at simulated time 0 (time frozen), checked by readback and
 * written as OUTDIR/NAME.png. */
static int render(const char *dir, const char *name, int w, int h) {
    char path[1024];
    const unsigned char *px;
    int rw, rh, stride;
    g.frame();
    if (g.readback(&px, &rw, &rh, &stride) != 0) return fail_lib("readback");
    if (rw != w || rh != h || stride != w * 4) {
        fprintf(stderr, "galaxy-check: %s: readback %dx%d stride %d, expected %dx%d\n", name, rw, rh,
                stride, w, h);
        return 1;
    }
    snprintf(path, sizeof path, "%s/%s.png", dir, name);
    if (g.screenshot(path) != 0) return fail_lib(path);
    return 0;
}

static int render_modes(const char *dir, const char *prefix) {
    static const char *const modes[4] = {"solar_system", "galaxy", "black_hole", "asteroid_field"};
    char name[64];
    for (int m = 0; m < 4; m++) {
        g.set_mode(m);
        snprintf(name, sizeof name, "%s_%s", prefix, modes[m]);
        if (render(dir, name, W, H) != 0) return 1;
    }
    return 0;
}

static int check_errors(const char *dir) {
    char path[1024];
    snprintf(path, sizeof path, "%s/errors.txt", dir);
    FILE *f = fopen(path, "w");
    if (!f) return fail("cannot write errors.txt");
    int status = 0;
    if (g.create_offscreen(0, 0) != -1) status = fail("galaxy_create_offscreen(0, 0) succeeded");
    if (strcmp(g.get_error(), "no error") == 0) status = fail("a failed creation set no error text");
    fprintf(f, "create_offscreen(0, 0): %s\n", g.get_error());
    g.destroy();
    if (g.create_offscreen(16, 16) != 0) {
        fclose(f);
        return fail_lib("create_offscreen(16, 16)");
    }
    g.frame();
    snprintf(path, sizeof path, "%s/no-such-dir/shot.png", dir);
    if (g.screenshot(path) != -1) status = fail("screenshot into a missing directory succeeded");
    if (strcmp(g.get_error(), "no error") == 0) status = fail("a failed screenshot set no error text");
    fprintf(f, "screenshot into a missing directory: %s\n", g.get_error());
    g.destroy();
    fclose(f);
    return status;
}

/* ---- the window: create, show, resize, destroy ---- */
#if defined(_WIN32)
typedef struct {
    HWND hwnd;
} window;

static int window_open(window *win, int w, int h) {
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "galaxy-check";
    RegisterClassA(&wc);
    RECT r = {0, 0, w, h};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    win->hwnd = CreateWindowA("galaxy-check", "galaxy-check", WS_OVERLAPPEDWINDOW, 0, 0,
                              r.right - r.left, r.bottom - r.top, NULL, NULL, wc.hInstance, NULL);
    if (!win->hwnd) return -1;
    ShowWindow(win->hwnd, SW_SHOW);
    UpdateWindow(win->hwnd);
    return 0;
}
static galaxy_window window_handle(window *win) { return (galaxy_window)win->hwnd; }
static void window_resize(window *win, int w, int h) {
    RECT r = {0, 0, w, h};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    SetWindowPos(win->hwnd, NULL, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}
static void window_close(window *win) { DestroyWindow(win->hwnd); }
#else
typedef struct {
    Display *dpy;
    Window xid;
} window;

static int window_open(window *win, int w, int h) {
    win->dpy = XOpenDisplay(NULL);
    if (!win->dpy) return -1;
    win->xid = XCreateSimpleWindow(win->dpy, DefaultRootWindow(win->dpy), 0, 0, (unsigned)w,
                                   (unsigned)h, 0, 0, 0);
    XMapWindow(win->dpy, win->xid);
    XSync(win->dpy, False);
    return 0;
}
static galaxy_window window_handle(window *win) { return (galaxy_window)(uintptr_t)win->xid; }
static void window_resize(window *win, int w, int h) {
    XResizeWindow(win->dpy, win->xid, (unsigned)w, (unsigned)h);
    XSync(win->dpy, False);
}
static void window_close(window *win) {
    XDestroyWindow(win->dpy, win->xid);
    XCloseDisplay(win->dpy);
}
#endif

static int check_window(const char *dir) {
    window win;
    if (window_open(&win, W, H) != 0) return fail("cannot open a window");
    int status = 0;
    if (g.create(window_handle(&win), W, H) != 0) {
        status = fail_lib("galaxy_create");
    } else {
        g.set_time_scale(0.0f);
        status = render_modes(dir, "window");
        if (status == 0) {
            window_resize(&win, RESIZED_W, RESIZED_H);
            g.resize(RESIZED_W, RESIZED_H);
            status = render(dir, "window_resized", RESIZED_W, RESIZED_H);
        }
        g.destroy();
    }
    window_close(&win);
    return status;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: galaxy-check OUTDIR\n");
        return 2;
    }
    const char *dir = argv[1];
    library lib = open_library();
    if (!lib) return fail("cannot load " LIBRARY_NAME);
    if (resolve(lib) != 0) return 1;
    if (strcmp(g.version(), "1.0.0") != 0) return fail("unexpected version text");

    int status = 0;
    if (g.create_offscreen(W, H) != 0) {
        status = fail_lib("galaxy_create_offscreen");
    } else {
        g.set_time_scale(0.0f);
        status = render_modes(dir, "offscreen");
        g.destroy();
    }
    if (status == 0) status = check_errors(dir);
    if (status == 0) status = check_window(dir);
    close_library(lib);
    if (status == 0) printf("galaxy-check: %s loaded, four scenes offscreen and in a window\n", LIBRARY_NAME);
    return status;
}
