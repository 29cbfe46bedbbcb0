/* galaxy-viewer: interactive X11 window around the halvenor-galaxy library,
 * through its public interface only. */
#define _POSIX_C_SOURCE 200809L
#include "halvenor_galaxy.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_SIDE 16384
#define DRAG_RADIANS_PER_PIXEL 0.005f
#define STATUS_PERIOD 0.5 /* seconds between title updates */

static const char *const MODE_NAMES[4] = {"solar system", "galaxy", "black hole", "asteroid field"};
static const char KEYS_HELP[] =
    "1-4 scene, q/w/e quality 0/1/2, +/- speed, space pause, s screenshot, Esc quit";

typedef struct {
    int width, height;
    int mode, quality;
    float time_scale;
    long max_frames; /* 0: run until closed */
} options;

typedef struct {
    Display *dpy;
    Window win;
    Atom wm_delete;
    int width, height;         /* size the engine renders at */
    int pending_w, pending_h;  /* latest size the window reported */
    int mapped;
    int mode, quality;
    float time_scale;          /* the speed to restore after a pause */
    int paused;
    int dragging, drag_x, drag_y;
    int running;
    int shot_number;
    int status_stale;          /* a setting changed since the title was written */
    double frame_ms;           /* average over the last status period */
} viewer;

static void usage(FILE *f) {
    fprintf(f,
        "usage: galaxy-viewer [options]\n"
        "Shows the halvenor-galaxy scenes in an X11 window (DISPLAY).\n"
        "\n"
        "  -m, --mode M         first scene: solar, galaxy, blackhole, asteroids or 0-3\n"
        "  -q, --quality Q      0, 1 (default) or 2\n"
        "  -s, --size WxH       window size (default 1280x720)\n"
        "  -t, --time-scale S   simulated seconds per second, 0..100 (default 1)\n"
        "  -n, --frames N       quit after N frames\n"
        "  -h, --help           this text\n"
        "\n"
        "Keys:  1 2 3 4    solar system, galaxy, black hole, asteroid field\n"
        "       q w e      quality 0, 1, 2\n"
        "       + -        time twice as fast / half as fast\n"
        "       space      pause / resume\n"
        "       s          screenshot to galaxy_NNNN.png in the current directory\n"
        "       Esc, Q     quit (Q is Shift+q)\n"
        "Mouse: drag with the left button to orbit, wheel to zoom.\n"
        "The title shows scene, quality, speed and frame time.\n");
}

static int bad(const char *what, const char *val) {
    fprintf(stderr, "galaxy-viewer: bad %s '%s' (galaxy-viewer --help lists the options)\n", what, val);
    return -1;
}

static int parse_long(const char *s, long lo, long hi, long *out) {
    char *end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (end == s || *end != '\0' || errno != 0 || v < lo || v > hi)
        return -1;
    *out = v;
    return 0;
}

static int parse_args(int argc, char **argv, options *o, int *done) {
    *o = (options){.width = 1280, .height = 720, .quality = 1, .time_scale = 1.0f};
    *done = 0;
    static const char *const names[] = {"solar", "galaxy", "blackhole", "asteroids"};
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
            usage(stdout);
            *done = 1;
            return 0;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "galaxy-viewer: unknown option or missing value: '%s'\n", a);
            return -1;
        }
        const char *v = argv[++i];
        long n, w, h;
        if (strcmp(a, "-m") == 0 || strcmp(a, "--mode") == 0) {
            o->mode = -1;
            for (int m = 0; m < 4; m++)
                if (strcmp(v, names[m]) == 0)
                    o->mode = m;
            if (o->mode < 0) {
                if (parse_long(v, 0, 3, &n) != 0)
                    return bad("mode", v);
                o->mode = (int)n;
            }
        } else if (strcmp(a, "-q") == 0 || strcmp(a, "--quality") == 0) {
            if (parse_long(v, 0, 2, &n) != 0)
                return bad("quality", v);
            o->quality = (int)n;
        } else if (strcmp(a, "-s") == 0 || strcmp(a, "--size") == 0) {
            char buf[64];
            char *x;
            if (strlen(v) >= sizeof buf || !(x = strchr(strcpy(buf, v), 'x')))
                return bad("size", v);
            *x = '\0';
            if (parse_long(buf, 1, MAX_SIDE, &w) != 0 || parse_long(x + 1, 1, MAX_SIDE, &h) != 0)
                return bad("size", v);
            o->width = (int)w;
            o->height = (int)h;
        } else if (strcmp(a, "-t") == 0 || strcmp(a, "--time-scale") == 0) {
            char *end;
            double s = strtod(v, &end);
            if (end == v || *end != '\0' || !(s >= 0.0 && s <= 100.0))
                return bad("time scale", v);
            o->time_scale = (float)s;
        } else if (strcmp(a, "-n") == 0 || strcmp(a, "--frames") == 0) {
            if (parse_long(v, 1, 1000000000L, &o->max_frames) != 0)
                return bad("frame count", v);
        } else {
            fprintf(stderr, "galaxy-viewer: unknown option '%s'\n", a);
            return -1;
        }
    }
    return 0;
}

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static void apply_time_scale(const viewer *v) {
    galaxy_set_time_scale(v->paused ? 0.0f : v->time_scale);
}

static void show_status(viewer *v) {
    double frame_ms = v->frame_ms;
    v->status_stale = 0;
    char title[256];
    snprintf(title, sizeof title, "halvenor-galaxy: %s | quality %d | %s x%g | %.1f ms | %s",
             MODE_NAMES[v->mode], v->quality, v->paused ? "paused" : "speed", (double)v->time_scale,
             frame_ms, KEYS_HELP);
    XStoreName(v->dpy, v->win, title);
    XFlush(v->dpy);
    if (isatty(fileno(stderr)))
        fprintf(stderr, "\r%-16s quality %d  %s x%-6g %7.1f ms ", MODE_NAMES[v->mode], v->quality,
                v->paused ? "paused" : "speed", (double)v->time_scale, frame_ms);
}

static void screenshot(viewer *v) {
    char path[64];
    do {
        snprintf(path, sizeof path, "galaxy_%04d.png", ++v->shot_number);
    } while (access(path, F_OK) == 0 && v->shot_number < 9999);
    if (galaxy_screenshot(path) == 0)
        printf("saved %s\n", path);
    else
        fprintf(stderr, "galaxy-viewer: screenshot failed: %s\n", galaxy_get_error());
    fflush(stdout);
}

static void on_key(viewer *v, XKeyEvent *e) {
    char text[8];
    KeySym sym = NoSymbol;
    XLookupString(e, text, sizeof text, &sym, NULL);
    v->status_stale = 1;
    switch (sym) {
    case XK_1: case XK_2: case XK_3: case XK_4:
        v->mode = (int)(sym - XK_1);
        galaxy_set_mode(v->mode);
        break;
    case XK_q: case XK_w: case XK_e:
        v->quality = sym == XK_q ? 0 : sym == XK_w ? 1 : 2;
        galaxy_set_quality(v->quality);
        break;
    case XK_plus: case XK_equal: case XK_KP_Add:
        v->time_scale = v->time_scale <= 0.0f ? 0.25f : v->time_scale * 2.0f;
        if (v->time_scale > 100.0f)
            v->time_scale = 100.0f;
        apply_time_scale(v);
        break;
    case XK_minus: case XK_KP_Subtract:
        v->time_scale = v->time_scale <= 0.25f ? 0.0f : v->time_scale * 0.5f;
        apply_time_scale(v);
        break;
    case XK_space:
        v->paused = !v->paused;
        apply_time_scale(v);
        break;
    case XK_s:
        screenshot(v);
        break;
    case XK_Escape: case XK_Q:
        v->running = 0;
        break;
    default:
        break;
    }
}

static void on_event(viewer *v, XEvent *e) {
    switch (e->type) {
    case KeyPress:
        on_key(v, &e->xkey);
        break;
    case ButtonPress:
        if (e->xbutton.button == Button1) {
            v->dragging = 1;
            v->drag_x = e->xbutton.x;
            v->drag_y = e->xbutton.y;
        } else if (e->xbutton.button == Button4 || e->xbutton.button == Button5) {
            galaxy_adjust_camera(0.0f, 0.0f, e->xbutton.button == Button4 ? 0.9f : 1.1f);
        }
        break;
    case ButtonRelease:
        if (e->xbutton.button == Button1)
            v->dragging = 0;
        break;
    case MotionNotify:
        if (v->dragging) {
            /* Drag right turns the scene right, drag up tilts it toward the viewer. */
            int dx = e->xmotion.x - v->drag_x, dy = e->xmotion.y - v->drag_y;
            galaxy_adjust_camera(-(float)dx * DRAG_RADIANS_PER_PIXEL,
                                 (float)dy * DRAG_RADIANS_PER_PIXEL, 1.0f);
            v->drag_x = e->xmotion.x;
            v->drag_y = e->xmotion.y;
        }
        break;
    case ConfigureNotify:
        v->pending_w = e->xconfigure.width;
        v->pending_h = e->xconfigure.height;
        break;
    case MapNotify:
        v->mapped = 1;
        break;
    case UnmapNotify:
        v->mapped = 0;
        break;
    case ClientMessage:
        if ((Atom)e->xclient.data.l[0] == v->wm_delete)
            v->running = 0;
        break;
    default:
        break;
    }
}

static int open_window(viewer *v, const options *o) {
    v->dpy = XOpenDisplay(NULL);
    if (!v->dpy) {
        const char *d = getenv("DISPLAY");
        fprintf(stderr, "galaxy-viewer: cannot open X display '%s'\n", d ? d : "(DISPLAY not set)");
        return -1;
    }
    int screen = DefaultScreen(v->dpy);
    v->win = XCreateSimpleWindow(v->dpy, RootWindow(v->dpy, screen), 0, 0, (unsigned)o->width,
                                 (unsigned)o->height, 0, BlackPixel(v->dpy, screen),
                                 BlackPixel(v->dpy, screen));
    XSelectInput(v->dpy, v->win, KeyPressMask | ButtonPressMask | ButtonReleaseMask |
                                 Button1MotionMask | StructureNotifyMask);
    v->wm_delete = XInternAtom(v->dpy, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(v->dpy, v->win, &v->wm_delete, 1);
    XStoreName(v->dpy, v->win, "halvenor-galaxy");
    XMapWindow(v->dpy, v->win);
    /* The library talks to the server over its own connection: the window
     * must exist there before galaxy_create. */
    XSync(v->dpy, False);
    v->width = v->pending_w = o->width;
    v->height = v->pending_h = o->height;
    return 0;
}

int main(int argc, char **argv) {
    options o;
    int done;
    if (parse_args(argc, argv, &o, &done) != 0)
        return 2;
    if (done)
        return 0;

    viewer v = {0};
    if (open_window(&v, &o) != 0)
        return 1;
    if (galaxy_create((galaxy_window)(uintptr_t)v.win, o.width, o.height) != 0) {
        fprintf(stderr, "galaxy-viewer: cannot create the renderer: %s\n", galaxy_get_error());
        XCloseDisplay(v.dpy);
        return 1;
    }
    v.mapped = 1;
    v.mode = o.mode;
    v.quality = o.quality;
    v.time_scale = o.time_scale;
    v.running = 1;
    galaxy_set_mode(v.mode);
    galaxy_set_quality(v.quality);
    apply_time_scale(&v);
    printf("galaxy-viewer: %s\n", KEYS_HELP);
    fflush(stdout);

    long frames = 0, window_frames = 0;
    double window_start = now_s(), window_time = 0.0;
    show_status(&v);
    while (v.running) {
        /* Block while unmapped: nothing would be seen. */
        while (v.running && (XPending(v.dpy) > 0 || !v.mapped)) {
            XEvent e;
            XNextEvent(v.dpy, &e);
            on_event(&v, &e);
        }
        if (!v.running)
            break;
        if (v.pending_w != v.width || v.pending_h != v.height) {
            v.width = v.pending_w;
            v.height = v.pending_h;
            galaxy_resize(v.width, v.height);
        }
        double t0 = now_s();
        galaxy_frame();
        double t1 = now_s();
        window_time += t1 - t0;
        window_frames++;
        if (t1 - window_start >= STATUS_PERIOD) {
            v.frame_ms = 1000.0 * window_time / (double)window_frames;
            v.status_stale = 1;
            window_start = t1;
            window_time = 0.0;
            window_frames = 0;
        }
        if (v.status_stale)
            show_status(&v);
        if (o.max_frames && ++frames >= o.max_frames)
            break;
    }
    if (isatty(fileno(stderr)))
        fputc('\n', stderr);
    galaxy_destroy();
    XDestroyWindow(v.dpy, v.win);
    XCloseDisplay(v.dpy);
    return 0;
}
