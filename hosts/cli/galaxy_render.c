/* galaxy-render: renders halvenor-galaxy scenes offscreen into PNG files,
 * through the library's public interface only. */
#define _POSIX_C_SOURCE 200809L
#include "halvenor_galaxy.h"

#include <errno.h>
#include <math.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MAX_SIDE 16384
#define MAX_FRAMES 100000
#define MAX_TIME 100000.0
#define MAX_SCALE 100.0
/* The library clamps each frame's measured wall time to this step, so a
 * pause at least this long makes a frame advance exactly STEP * scale. */
#define STEP 0.1
#define DEFAULT_OUT_DIR "galaxy-out"

enum { EXIT_USAGE = 2, EXIT_RENDER = 1 };

typedef struct {
    const char *name;  /* command-line name */
    const char *file;  /* stem of the file in the four-scene set */
} scene_name;

static const scene_name SCENES[4] = {
    {"solar", "solar_system"},
    {"galaxy", "galaxy"},
    {"blackhole", "black_hole"},
    {"asteroids", "asteroid_field"},
};

typedef struct {
    int mode;          /* -1: every scene (the set) */
    int quality;
    int width, height;
    int has_camera;
    float yaw, pitch, dist;
    float time_scale;
    double time;       /* simulated seconds at the (first) still */
    int frames;        /* 0: no sequence */
    const char *output;
    const char *out_dir;
} options;

static volatile sig_atomic_t g_stop;

static void on_signal(int sig) { (void)sig; g_stop = 1; }

static void usage(FILE *f) {
    fprintf(f,
        "usage: galaxy-render [options]\n"
        "Renders halvenor-galaxy scenes offscreen (CPU Vulkan device) into PNG files.\n"
        "\n"
        "  -m, --mode M          scene: solar, galaxy, blackhole, asteroids or 0-3\n"
        "  -q, --quality Q       0 (fast), 1 (default) or 2 (most particles)\n"
        "  -s, --size WxH        image size, 1..%d each (default 1280x720)\n"
        "  -c, --camera Y,P,D    orbit camera: yaw and pitch in radians, distance;\n"
        "                        default: the scene's own preset\n"
        "  -t, --time-scale S    simulated seconds per second, 0..100 (default 1);\n"
        "                        sets the speed of a sequence\n"
        "  -T, --time SECONDS    simulated time of the still (of a sequence's first\n"
        "                        frame), 0..%g (default 1)\n"
        "  -o, --output FILE     write one still to FILE\n"
        "  -n, --frames N        write a sequence of N frames (1..%d) ...\n"
        "  -d, --out-dir DIR     ... into DIR/frame_0000.png, frame_0001.png, ...\n"
        "  -V, --version         print the library version\n"
        "  -h, --help            this text\n"
        "\n"
        "Without -o or --frames: one still per scene (all four, or only --mode's)\n"
        "into DIR as solar_system.png, galaxy.png, black_hole.png and\n"
        "asteroid_field.png. DIR must exist; the default ./" DEFAULT_OUT_DIR " is created.\n"
        "\n"
        "Time is exact, not wall-clock: the library advances its clock per frame by\n"
        "the wall time since the last frame, at most %.1f s, times the time scale.\n"
        "galaxy-render waits at least %.1f s before each frame, so each sequence frame\n"
        "advances exactly %.1f x scale simulated seconds, and --time T is reached in\n"
        "ceil(T/%g) frames. Cost: %.1f s of wall time per frame on top of rendering.\n"
        "\n"
        "Exit status: 0 done, 1 rendering failed, 2 bad command line.\n",
        MAX_SIDE, MAX_TIME, MAX_FRAMES, STEP, STEP, STEP, STEP * MAX_SCALE, STEP);
}

static int fail_usage(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("galaxy-render: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputs("\n(galaxy-render --help lists the options)\n", stderr);
    va_end(ap);
    return -1;
}

/* ---- parsing: whole-string numbers only, no silent truncation. */

static int parse_int(const char *s, long lo, long hi, int *out) {
    char *end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (end == s || *end != '\0' || errno != 0 || v < lo || v > hi)
        return -1;
    *out = (int)v;
    return 0;
}

static int parse_float(const char *s, double lo, double hi, double *out) {
    char *end;
    errno = 0;
    double v = strtod(s, &end);
    if (end == s || *end != '\0' || errno != 0 || !isfinite(v) || v < lo || v > hi)
        return -1;
    *out = v;
    return 0;
}

static int parse_mode(const char *s, int *mode) {
    for (int i = 0; i < 4; i++) {
        if (strcmp(s, SCENES[i].name) == 0 || strcmp(s, SCENES[i].file) == 0) {
            *mode = i;
            return 0;
        }
    }
    return parse_int(s, 0, 3, mode);
}

static int parse_size(const char *s, int *w, int *h) {
    char buf[64];
    if (strlen(s) >= sizeof buf)
        return -1;
    strcpy(buf, s);
    char *x = strchr(buf, 'x');
    if (!x)
        return -1;
    *x = '\0';
    return parse_int(buf, 1, MAX_SIDE, w) == 0 && parse_int(x + 1, 1, MAX_SIDE, h) == 0 ? 0 : -1;
}

static int parse_camera(const char *s, options *o) {
    char buf[128];
    double v[3];
    if (strlen(s) >= sizeof buf)
        return -1;
    strcpy(buf, s);
    char *p = buf;
    for (int i = 0; i < 3; i++) {
        char *comma = strchr(p, ',');
        if ((i < 2) != (comma != NULL))
            return -1;
        if (comma)
            *comma = '\0';
        if (parse_float(p, -1e6, 1e6, &v[i]) != 0)
            return -1;
        p = comma ? comma + 1 : p;
    }
    if (v[2] <= 0.0)
        return -1;
    o->has_camera = 1;
    o->yaw = (float)v[0];
    o->pitch = (float)v[1];
    o->dist = (float)v[2];
    return 0;
}

static int is_dir(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

/* The directory part of path ("." when there is none) must exist. */
static int parent_exists(const char *path) {
    char buf[4096];
    const char *slash = strrchr(path, '/');
    if (!slash)
        return 1;
    size_t n = (size_t)(slash - path);
    if (n == 0)
        return 1;
    if (n >= sizeof buf)
        return 0;
    memcpy(buf, path, n);
    buf[n] = '\0';
    return is_dir(buf);
}

/* Options taking a value, with their short forms. */
static const char *long_to_short(const char *arg) {
    static const char *const map[][2] = {
        {"--mode", "-m"}, {"--quality", "-q"}, {"--size", "-s"}, {"--camera", "-c"},
        {"--time-scale", "-t"}, {"--time", "-T"}, {"--output", "-o"},
        {"--frames", "-n"}, {"--out-dir", "-d"}, {"--help", "-h"}, {"--version", "-V"},
    };
    for (size_t i = 0; i < sizeof map / sizeof map[0]; i++)
        if (strcmp(arg, map[i][0]) == 0)
            return map[i][1];
    return arg;
}

static int parse_args(int argc, char **argv, options *o, int *done) {
    *o = (options){.mode = -1, .quality = 1, .width = 1280, .height = 720,
                   .time_scale = 1.0f, .time = 1.0};
    *done = 0;
    int mode_given = 0;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *val = NULL;
        /* --name=value is the same as --name value. */
        char name[32];
        const char *eq = strncmp(arg, "--", 2) == 0 ? strchr(arg, '=') : NULL;
        if (eq && (size_t)(eq - arg) < sizeof name) {
            memcpy(name, arg, (size_t)(eq - arg));
            name[eq - arg] = '\0';
            val = eq + 1;
            arg = name;
        }
        const char *opt = long_to_short(arg);
        if (strcmp(opt, "-h") == 0 || strcmp(opt, "-V") == 0) {
            if (val)
                return fail_usage("%s takes no value", arg);
            if (opt[1] == 'h')
                usage(stdout);
            else
                printf("halvenor-galaxy %s\n", galaxy_version());
            *done = 1;
            return 0;
        }
        if (strlen(opt) != 2 || opt[0] != '-' || !strchr("mqsctTond", opt[1]))
            return fail_usage("unknown option '%s'", argv[i]);
        if (!val) {
            if (i + 1 >= argc)
                return fail_usage("%s needs a value", arg);
            val = argv[++i];
        }
        double d;
        switch (opt[1]) {
        case 'm':
            if (parse_mode(val, &o->mode) != 0)
                return fail_usage("bad mode '%s': use solar, galaxy, blackhole, asteroids or 0-3", val);
            mode_given = 1;
            break;
        case 'q':
            if (parse_int(val, 0, 2, &o->quality) != 0)
                return fail_usage("bad quality '%s': use 0, 1 or 2", val);
            break;
        case 's':
            if (parse_size(val, &o->width, &o->height) != 0)
                return fail_usage("bad size '%s': use WxH with each side 1..%d", val, MAX_SIDE);
            break;
        case 'c':
            if (parse_camera(val, o) != 0)
                return fail_usage("bad camera '%s': use YAW,PITCH,DISTANCE with a distance above 0", val);
            break;
        case 't':
            if (parse_float(val, 0.0, 100.0, &d) != 0)
                return fail_usage("bad time scale '%s': use a number from 0 to 100", val);
            o->time_scale = (float)d;
            break;
        case 'T':
            if (parse_float(val, 0.0, MAX_TIME, &o->time) != 0)
                return fail_usage("bad time '%s': use seconds from 0 to %g", val, MAX_TIME);
            break;
        case 'o':
            if (!*val)
                return fail_usage("empty output file name");
            o->output = val;
            break;
        case 'n':
            if (parse_int(val, 1, MAX_FRAMES, &o->frames) != 0)
                return fail_usage("bad frame count '%s': use 1..%d", val, MAX_FRAMES);
            break;
        case 'd':
            if (!*val)
                return fail_usage("empty output directory name");
            o->out_dir = val;
            break;
        }
    }
    if (o->output && o->frames)
        return fail_usage("-o and --frames exclude each other");
    if (o->output && o->out_dir)
        return fail_usage("-o and --out-dir exclude each other: put the directory in the file name");
    if ((o->output || o->frames) && !mode_given)
        o->mode = 0;
    if (o->output && !parent_exists(o->output))
        return fail_usage("output directory of '%s' does not exist", o->output);
    if (o->frames && !o->out_dir)
        return fail_usage("--frames needs --out-dir");
    if (o->out_dir && !is_dir(o->out_dir))
        return fail_usage("output directory '%s' does not exist", o->out_dir);
    return 0;
}

/* ---- rendering */

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static void sleep_until(double t) {
    for (;;) {
        double left = t - now_s();
        if (left <= 0.0 || g_stop)
            return;
        struct timespec ts = {(time_t)left, (long)((left - (double)(time_t)left) * 1e9)};
        nanosleep(&ts, NULL);
    }
}

typedef struct {
    double last_start; /* when the latest galaxy_frame was called */
    double last_end;   /* when it returned */
    double cost;       /* frame plus wait for its pixels, set by finish_frame */
} clock_state;

/* One frame that advances simulated time by exactly STEP * scale: the wait
 * makes the library's measured wall time exceed its clamp. Measuring from the
 * previous frame's return keeps this true wherever inside galaxy_frame the
 * library reads its clock. */
static void step_frame(clock_state *c, float scale) {
    galaxy_set_time_scale(scale);
    if (scale > 0.0f)
        sleep_until(c->last_end + STEP + 0.002);
    c->last_start = now_s();
    galaxy_frame();
    c->last_end = now_s();
}

/* galaxy_frame may only queue work; reading the pixels back waits for it. */
static int finish_frame(clock_state *c) {
    const unsigned char *px;
    int w, h, stride;
    if (galaxy_readback(&px, &w, &h, &stride) != 0) {
        fprintf(stderr, "galaxy-render: readback failed: %s\n", galaxy_get_error());
        return -1;
    }
    c->cost = now_s() - c->last_start;
    return 0;
}

/* Creates the engine and renders frames up to simulated time o->time; the last
 * frame rendered is the one at that time. Every picture depends on the time
 * alone, not on the path to it, so the fewest frames are used: each frame
 * costs a full render. */
static int start_scene(const options *o, int mode, clock_state *c) {
    if (galaxy_create_offscreen(o->width, o->height) != 0) {
        fprintf(stderr, "galaxy-render: cannot create the renderer (%dx%d): %s\n",
                o->width, o->height, galaxy_get_error());
        return -1;
    }
    /* The library stamps its clock during creation: the first frame's wait
     * counts from here. */
    c->last_end = now_s();
    galaxy_set_mode(mode);
    galaxy_set_quality(o->quality);
    if (o->has_camera)
        galaxy_set_camera(o->yaw, o->pitch, o->dist);
    long n = o->time > 0.0 ? (long)ceil(o->time / (STEP * MAX_SCALE) - 1e-9) : 1;
    double per_frame = o->time / (double)n;
    for (long i = 0; i < n && !g_stop; i++)
        step_frame(c, (float)(per_frame / STEP));
    galaxy_set_time_scale(o->time_scale);
    return g_stop ? -1 : finish_frame(c);
}

/* Screenshot to a temporary name in the same directory, renamed on success,
 * so a failure never leaves a partial or stale-looking file. */
static int write_png(const char *path) {
    char tmp[4200];
    if (snprintf(tmp, sizeof tmp, "%s.%ld.tmp", path, (long)getpid()) >= (int)sizeof tmp) {
        fprintf(stderr, "galaxy-render: path too long: %s\n", path);
        return -1;
    }
    if (galaxy_screenshot(tmp) != 0) {
        fprintf(stderr, "galaxy-render: cannot write %s: %s\n", path, galaxy_get_error());
        remove(tmp);
        return -1;
    }
    if (rename(tmp, path) != 0) {
        fprintf(stderr, "galaxy-render: cannot write %s: %s\n", path, strerror(errno));
        remove(tmp);
        return -1;
    }
    return 0;
}

static int render_still(const options *o) {
    clock_state c;
    int rc = start_scene(o, o->mode, &c) == 0 && write_png(o->output) == 0 ? 0 : -1;
    galaxy_destroy();
    return rc;
}

static int render_sequence(const options *o) {
    clock_state c;
    char path[4200];
    int tty = isatty(fileno(stderr));
    if (start_scene(o, o->mode, &c) != 0) {
        galaxy_destroy();
        return -1;
    }
    int rc = 0;
    for (int i = 0; i < o->frames && rc == 0; i++) {
        if (g_stop) {
            rc = -1;
            break;
        }
        /* Frame 0 is the one start_scene rendered at --time. */
        if (i > 0) {
            step_frame(&c, o->time_scale);
            if (finish_frame(&c) != 0) {
                rc = -1;
                break;
            }
        }
        snprintf(path, sizeof path, "%s/frame_%04d.png", o->out_dir, i);
        rc = write_png(path);
        fprintf(stderr, "%sframe %d/%d %.2f s%s", tty ? "\r" : "", i + 1, o->frames,
                c.cost, tty && i + 1 < o->frames && rc == 0 ? "" : "\n");
    }
    galaxy_destroy();
    return rc;
}

/* One still per scene into a directory, each from a fresh engine so that every
 * picture is the same as a single -o run would give. */
static int render_set(const options *o) {
    const char *dir = o->out_dir ? o->out_dir : DEFAULT_OUT_DIR;
    if (!o->out_dir && mkdir(dir, 0777) != 0 && errno != EEXIST) {
        fprintf(stderr, "galaxy-render: cannot create %s: %s\n", dir, strerror(errno));
        return -1;
    }
    if (!is_dir(dir)) {
        fprintf(stderr, "galaxy-render: %s is not a directory\n", dir);
        return -1;
    }
    printf("rendering %dx%d, quality %d, into %s/\n", o->width, o->height, o->quality, dir);
    fflush(stdout);
    for (int m = 0; m < 4; m++) {
        if (o->mode >= 0 && m != o->mode)
            continue;
        char path[4200];
        clock_state c;
        snprintf(path, sizeof path, "%s/%s.png", dir, SCENES[m].file);
        double t0 = now_s();
        int rc = start_scene(o, m, &c);
        double ready = now_s();
        if (rc == 0)
            rc = write_png(path);
        galaxy_destroy();
        if (rc != 0)
            return -1;
        printf("  %-32s frame %.2f s (create and frame %.2f s, total %.2f s)\n", path,
               c.cost, ready - t0, now_s() - t0);
        fflush(stdout);
    }
    return 0;
}

int main(int argc, char **argv) {
    options o;
    int done;
    if (parse_args(argc, argv, &o, &done) != 0)
        return EXIT_USAGE;
    if (done)
        return 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);

    int rc;
    if (o.output)
        rc = render_still(&o);
    else if (o.frames)
        rc = render_sequence(&o);
    else
        rc = render_set(&o);
    if (g_stop) {
        fprintf(stderr, "galaxy-render: interrupted\n");
        return 130;
    }
    return rc == 0 ? 0 : EXIT_RENDER;
}
