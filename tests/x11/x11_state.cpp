// The library and the host's X11 state. The host installs its own Xlib error
// handler before it loads the library; through create/frame/destroy/dlclose
// cycles of a windowed engine its handler must stay in place and keep
// receiving the host's own errors, and each cycle must leave no X
// connection or thread behind.
// Usage: x11_state <path of libhalvenor-galaxy.so> [cycles]; exit 77 without
// an X display.
#include <X11/Xlib.h>
#include <dirent.h>
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

int g_host_errors;
int host_handler(Display *, XErrorEvent *) {
    g_host_errors++;
    return 0;
}

int g_failures;
#define EXPECT(cond)                                                        \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "x11_state: %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            g_failures++;                                                   \
        }                                                                   \
    } while (0)

// Open sockets (X connections among them) and threads of this process.
int count_entries(const char *dir, bool sockets_only) {
    DIR *d = opendir(dir);
    if (!d) return -1;
    int n = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (!sockets_only) {
            n++;
            continue;
        }
        char path[512], target[256];
        snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        ssize_t len = readlink(path, target, sizeof target - 1);
        if (len > 0 && strncmp(target, "socket:", 7) == 0) n++;
    }
    closedir(d);
    return n;
}
int sockets() { return count_entries("/proc/self/fd", true); }
int threads() { return count_entries("/proc/self/task", false); }

// The handler in place now, left in place.
XErrorHandler current_handler() {
    XErrorHandler h = XSetErrorHandler(host_handler);
    XSetErrorHandler(h);
    return h;
}

// A request that fails on the host's own connection reaches the host's handler.
void expect_host_error_handled(Display *dpy) {
    int before = g_host_errors;
    XWindowAttributes a;
    XGetWindowAttributes(dpy, (Window)0x7fffff01, &a); // no such window
    XSync(dpy, False);
    EXPECT(g_host_errors == before + 1);
}

struct Api {
    void *lib;
    int (*create)(void *, int, int);
    void (*frame)(void);
    void (*destroy)(void);
    const char *(*error)(void);
};

bool load(const char *path, Api *api) {
    api->lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!api->lib) {
        fprintf(stderr, "x11_state: %s\n", dlerror());
        return false;
    }
    api->create = (int (*)(void *, int, int))dlsym(api->lib, "galaxy_create");
    api->frame = (void (*)(void))dlsym(api->lib, "galaxy_frame");
    api->destroy = (void (*)(void))dlsym(api->lib, "galaxy_destroy");
    api->error = (const char *(*)(void))dlsym(api->lib, "galaxy_get_error");
    return api->create && api->frame && api->destroy && api->error;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: x11_state <library> [cycles]\n");
        return 2;
    }
    const int cycles = argc > 2 ? atoi(argv[2]) : 3;
    Display *dpy = getenv("DISPLAY") ? XOpenDisplay(nullptr) : nullptr;
    if (!dpy) {
        printf("x11_state: no X display; skipped\n");
        return 77;
    }
    XSetErrorHandler(host_handler);
    Window win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 48, 32, 0, 0, 0);
    XMapWindow(dpy, win);
    XSync(dpy, False);
    const int base_sockets = sockets();

    int warm_threads = -1;
    for (int i = 0; i < cycles; i++) {
        Api api;
        if (!load(argv[1], &api)) return 1;
        if (api.create((void *)(uintptr_t)win, 48, 32) != 0) {
            fprintf(stderr, "x11_state: create: %s\n", api.error());
            return 1;
        }
        api.frame();
        EXPECT(current_handler() == host_handler); // also while the engine lives
        expect_host_error_handled(dpy);
        api.frame();
        api.destroy();
        dlclose(api.lib);

        EXPECT(current_handler() == host_handler);
        expect_host_error_handled(dpy);
        EXPECT(sockets() == base_sockets); // the library's connection is closed
        // The first cycle loads the driver for good; later ones add nothing.
        if (i == 0) warm_threads = threads();
        else EXPECT(threads() == warm_threads);
        printf("x11_state: cycle %d: sockets %d (host %d), threads %d, library %s\n", i + 1, sockets(),
               base_sockets, threads(), dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) ? "still mapped" : "unloaded");
    }
    XDestroyWindow(dpy, win);
    XCloseDisplay(dpy);
    if (g_failures) {
        printf("x11_state: %d failures\n", g_failures);
        return 1;
    }
    printf("x11_state: host handler intact, no connection or thread left after %d cycles\n", cycles);
    return 0;
}
