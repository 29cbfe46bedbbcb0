/* galaxy-viewer: an interactive window around the halvenor-galaxy library,
 * through its public interface only. The window is the system's
 * (viewer_x11.c, viewer_win32.c); what input does is decided here. */
#include "halvenor_galaxy.h"
#include "host_args.h"
#include "host_sys.h"
#include "out_file.h"
#include "viewer_window.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PROG "galaxy-viewer"
#define DRAG_RADIANS_PER_PIXEL 0.005f
#define STATUS_PERIOD 0.5 /* seconds between title updates */

static const char KEYS_HELP[] =
    "Keys:  1 2 3 4    solar system, galaxy, black hole, asteroid field\n"
    "       z x c      quality 0, 1, 2\n"
    "       + -        time twice as fast / half as fast\n"
    "       space      pause / resume\n"
    "       s          screenshot to galaxy_NNNN.png in the current directory\n"
    "       h          this key help, on standard output\n"
    "       Esc, q     quit\n"
    "Mouse: drag with the left button to orbit, wheel to zoom.\n";

typedef struct {
    host_scene scene;
    long max_frames; /* 0: run until closed */
} options;

struct viewer {
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
};

static void usage(FILE *f) {
    fprintf(f,
        "usage: galaxy-viewer [options]\n"
        "Shows the halvenor-galaxy scenes in a window (%s).\n"
        "\n"
        "  -m, --mode M         first scene: solar, galaxy, blackhole, asteroids or\n"
        "                       0-3; also solar_system, black_hole, asteroid_field\n"
        "  -q, --quality Q      0, 1 (default) or 2\n"
        "  -s, --size WxH       window size, 1..%d each (default 1280x720)\n"
        "  -c, --camera Y,P,D   first camera: yaw and pitch in radians (pitch\n"
        "                       -1.5..1.5), distance 1.2..20000; default: the\n"
        "                       scene's own preset\n"
        "  -t, --time-scale S   simulated seconds per second, 0..100 (default 1)\n"
        "  -n, --frames N       quit after N frames\n"
        "  -V, --version        print the library version\n"
        "  -h, --help           this text\n"
        "Options take their value as '--opt value' or '--opt=value'.\n"
        "\n"
        "%s"
        "The title shows scene, quality, speed and frame time.\n",
        VIEWER_WINDOW_KIND, HOST_MAX_SIDE, KEYS_HELP);
}

static const host_option OPTIONS[] = {HOST_COMMON_OPTIONS, {"--frames", "-n", 1, 'n'}};

static int parse_args(int argc, char **argv, options *o, int *done) {
    *o = (options){.scene = {.width = 1280, .height = 720, .quality = 1, .time_scale = 1.0f}};
    *done = 0;
    for (int i = 1; i < argc; i++) {
        const char *val;
        int key = host_next_option(PROG, OPTIONS, (int)(sizeof OPTIONS / sizeof OPTIONS[0]), usage, argc, argv, &i,
                                   &val, &o->scene);
        *done = key == HOST_OPT_EXIT;
        if (key < 0)
            return *done ? 0 : -1;
        if (key == 'n' && host_parse_long(val, 1, 1000000000L, &o->max_frames) != 0)
            return host_usage_error(PROG, "bad frame count '%s': use 1..1000000000", val);
    }
    return 0;
}

static double now_s(void) { return sys_now(); }

static void apply_time_scale(const viewer *v) {
    galaxy_set_time_scale(v->paused ? 0.0f : v->time_scale);
}

static void show_status(viewer *v) {
    double frame_ms = v->frame_ms;
    v->status_stale = 0;
    char title[128];
    snprintf(title, sizeof title, "halvenor-galaxy: %s | quality %d | %s x%g | %.1f ms",
             HOST_MODE_TITLES[v->mode], v->quality, v->paused ? "paused" : "speed", (double)v->time_scale,
             frame_ms);
    window_set_title(title);
    if (sys_stderr_is_terminal())
        fprintf(stderr, "\r%-16s quality %d  %s x%-6g %7.1f ms ", HOST_MODE_TITLES[v->mode], v->quality,
                v->paused ? "paused" : "speed", (double)v->time_scale, frame_ms);
}

/* The next free galaxy_NNNN.png, written under a temporary name and renamed,
 * so no half-written picture ever carries the name. */
static void screenshot(viewer *v) {
    char path[64];
    do {
        snprintf(path, sizeof path, "galaxy_%04d.png", ++v->shot_number);
    } while (sys_name_taken(path) && v->shot_number < 9999);
    out_file f;
    int ok = out_begin(&f, path, ".png", "", 0) == 0;
    if (ok) {
        errno = 0;
        int shot = galaxy_screenshot(f.write);
        int err = errno;
        if (shot != 0) {
            snprintf(f.error, sizeof f.error, "cannot write %s: %s", path,
                     err ? strerror(err) : galaxy_get_error());
            out_abort(&f);
            ok = 0;
        }
    }
    if (ok && out_commit(&f) != 0)
        ok = 0;
    if (ok)
        printf("saved %s\n", path);
    else
        fprintf(stderr, "galaxy-viewer: screenshot failed: %s\n", f.error);
    fflush(stdout);
}

void viewer_on_key(viewer *v, int key) {
    v->status_stale = 1;
    switch (key) {
    case '1': case '2': case '3': case '4':
        v->mode = key - '1';
        galaxy_set_mode(v->mode);
        break;
    case 'z': case 'x': case 'c':
        v->quality = key == 'z' ? 0 : key == 'x' ? 1 : 2;
        galaxy_set_quality(v->quality);
        break;
    case '+': case '=':
        v->time_scale = v->time_scale <= 0.0f ? 0.25f : v->time_scale * 2.0f;
        if (v->time_scale > 100.0f)
            v->time_scale = 100.0f;
        apply_time_scale(v);
        break;
    case '-':
        v->time_scale = v->time_scale <= 0.25f ? 0.0f : v->time_scale * 0.5f;
        apply_time_scale(v);
        break;
    case ' ':
        v->paused = !v->paused;
        apply_time_scale(v);
        break;
    case 's':
        screenshot(v);
        break;
    case 'h':
        fputs(KEYS_HELP, stdout);
        fflush(stdout);
        break;
    case VIEWER_KEY_ESCAPE: case 'q': case 'Q':
        v->running = 0;
        break;
    default:
        break;
    }
}

void viewer_on_drag_start(viewer *v, int x, int y) {
    v->dragging = 1;
    v->drag_x = x;
    v->drag_y = y;
}

void viewer_on_drag_end(viewer *v) { v->dragging = 0; }

void viewer_on_pointer(viewer *v, int x, int y) {
    if (!v->dragging)
        return;
    /* Drag right turns the scene right, drag up tilts it toward the viewer. */
    int dx = x - v->drag_x, dy = y - v->drag_y;
    galaxy_adjust_camera(-(float)dx * DRAG_RADIANS_PER_PIXEL, (float)dy * DRAG_RADIANS_PER_PIXEL, 1.0f);
    v->drag_x = x;
    v->drag_y = y;
}

void viewer_on_wheel(viewer *v, int clicks) {
    (void)v;
    galaxy_adjust_camera(0.0f, 0.0f, clicks > 0 ? 0.9f : 1.1f);
}

void viewer_on_resize(viewer *v, int width, int height) {
    v->pending_w = width;
    v->pending_h = height;
}

void viewer_on_visible(viewer *v, int visible) { v->mapped = visible; }

void viewer_on_close(viewer *v) { v->running = 0; }

int main(int argc, char **argv) {
    options o;
    int done;
    if (parse_args(argc, argv, &o, &done) != 0)
        return 2;
    if (done)
        return 0;

    viewer v = {0};
    if (window_open(&v, o.scene.width, o.scene.height) != 0)
        return 1;
    v.width = v.pending_w = o.scene.width;
    v.height = v.pending_h = o.scene.height;
    if (galaxy_create(window_handle(), o.scene.width, o.scene.height) != 0) {
        fprintf(stderr, "galaxy-viewer: cannot create the renderer: %s\n", galaxy_get_error());
        window_close();
        return 1;
    }
    v.mapped = 1;
    v.mode = o.scene.mode;
    v.quality = o.scene.quality;
    v.time_scale = o.scene.time_scale;
    v.running = 1;
    galaxy_set_mode(v.mode);
    galaxy_set_quality(v.quality);
    if (o.scene.has_camera)
        galaxy_set_camera(o.scene.yaw, o.scene.pitch, o.scene.dist);
    apply_time_scale(&v);
    printf("galaxy-viewer: h prints the keys, Esc or q quits\n");
    fflush(stdout);

    long frames = 0, window_frames = 0;
    double window_start = now_s(), window_time = 0.0;
    show_status(&v);
    while (v.running) {
        /* Block while unmapped: nothing would be seen. */
        window_pump(&v, 0);
        while (v.running && !v.mapped)
            window_pump(&v, 1);
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
    if (sys_stderr_is_terminal())
        fputc('\n', stderr);
    galaxy_destroy();
    window_close();
    return 0;
}
