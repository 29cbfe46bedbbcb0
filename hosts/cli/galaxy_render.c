/* galaxy-render: renders halvenor-galaxy scenes offscreen into PNG files,
 * through the library's public interface only. */
#include "halvenor_galaxy.h"
#include "host_args.h"
#include "host_sys.h"
#include "out_file.h"
#include "png_whole.h"

#include <errno.h>
#include <math.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PROG "galaxy-render"
#define MAX_SIDE HOST_MAX_SIDE
#define MAX_FRAMES 100000
#define MAX_TIME 100000.0
#define MAX_SCALE HOST_MAX_SCALE
/* The library clamps each frame's measured wall time to this step, so a
 * pause at least this long makes a frame advance exactly STEP * scale. */
#define STEP 0.1
#define DEFAULT_OUT_DIR "galaxy-out"
#define MAX_FPS 240.0
/* Frames that only move the clock forward are drawn this small. */
#define WARMUP_SIDE 8
/* Stepping the clock for longer than this many frames reports progress. */
#define QUIET_STEPS 20

enum { EXIT_USAGE = 2, EXIT_RENDER = 1 };

/* Containers ffmpeg picks by extension, each with a default codec that
 * takes yuv420p. */
static const char *const VIDEO_EXTS[] = {".mp4", ".mkv", ".mov", ".webm", ".avi"};
#define VIDEO_EXT_LIST ".mp4, .mkv, .mov, .webm or .avi"

typedef struct {
    host_scene scene;  /* mode -1: every scene (the set) */
    double time;       /* simulated seconds at the (first) still */
    int frames;        /* 0: no sequence */
    long first_frame;  /* index of a sequence's first frame written */
    const char *output;
    const char *out_dir;
    const char *video; /* the sequence goes to ffmpeg instead of PNG files */
    int skip_existing; /* frames already whole in out_dir are not rendered */
    double fps;
} options;

static volatile sig_atomic_t g_stop;

static void usage(FILE *f) {
    fprintf(f,
        "usage: galaxy-render [options]\n"
        "Renders halvenor-galaxy scenes offscreen (software device) into PNG files.\n"
        "\n"
        "  -m, --mode M          scene: solar, galaxy, blackhole, asteroids or 0-3;\n"
        "                        also solar_system, black_hole, asteroid_field\n"
        "  -q, --quality Q       0 (fast), 1 (default) or 2 (most particles)\n"
        "  -s, --size WxH        image size, 1..%d each (default 1280x720)\n"
        "  -c, --camera Y,P,D    orbit camera: yaw and pitch in radians (pitch\n"
        "                        -1.5..1.5), distance 1.2..20000; default: the\n"
        "                        scene's own preset\n"
        "  -t, --time-scale S    simulated seconds per second, 0..100 (default 1);\n"
        "                        sets the speed of a sequence\n"
        "  -T, --time SECONDS    simulated time of the still (of a sequence's first\n"
        "                        frame), 0..%g (default 1)\n"
        "  -o, --output FILE     write one still to FILE (a .png name, or a device\n"
        "                        or FIFO such as /dev/null, written in place)\n"
        "  -n, --frames N        write a sequence of N frames (1..%d) ...\n"
        "  -d, --out-dir DIR     ... into DIR/frame_0000.png, frame_0001.png, ...\n"
        "  -k, --first-frame K   render frames K..K+N-1 of the sequence (default 0);\n"
        "                        frame k is the same file whichever run renders it\n"
        "      --skip-existing   with -d: keep the frames already there as whole PNG\n"
        "                        files of this size, render only the others\n"
        "  -v, --video FILE      ... or encode the N frames into FILE with ffmpeg, in\n"
        "                        the format of its extension: .mp4 (H.264), .mkv,\n"
        "                        .mov, .webm or .avi; needs an even width and height\n"
        "  -r, --fps F           frame rate of the video, 1..%g (default 10: at time\n"
        "                        scale 1 the video plays at simulated speed)\n"
        "  -V, --version         print the library version\n"
        "  -h, --help            this text\n"
        "\n"
        "Without -o or --frames: one still per scene (all four, or only --mode's)\n"
        "into DIR as solar_system.png, galaxy.png, black_hole.png and\n"
        "asteroid_field.png. DIR (default ./" DEFAULT_OUT_DIR ") is created when missing;\n"
        "its parent must exist. Options take their value as '--opt value' or\n"
        "'--opt=value'.\n"
        "\n"
        "Files are written under a temporary name and renamed, so a failure leaves\n"
        "no partial file; a link is followed and its target replaced; a device or\n"
        "FIFO is written in place, never replaced.\n"
        "\n"
        "Time is exact, not wall-clock: the library advances its clock per frame by\n"
        "the wall time since the last frame, at most %.1f s, times the time scale.\n"
        "galaxy-render waits at least %.1f s before each frame, so each sequence frame\n"
        "advances exactly %.1f x scale simulated seconds, and --time T (or a later\n"
        "first frame) is reached in about T/%g small frames, with progress on stderr.\n"
        "Cost: %.1f s of wall time per frame on top of rendering (-T 1000: 10 s).\n"
        "\n"
        "Exit status: 0 done, 1 rendering failed, 2 bad command line.\n",
        MAX_SIDE, MAX_TIME, MAX_FRAMES, MAX_FPS, STEP, STEP, STEP, STEP * MAX_SCALE, STEP);
}

static void warn(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("galaxy-render: warning: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

static int video_ext_known(const char *path) {
    for (size_t i = 0; i < sizeof VIDEO_EXTS / sizeof VIDEO_EXTS[0]; i++)
        if (out_has_ext(path, VIDEO_EXTS[i]))
            return 1;
    return 0;
}

static const host_option OPTIONS[] = {
    HOST_COMMON_OPTIONS,
    {"--time", "-T", 1, 'T'}, {"--output", "-o", 1, 'o'}, {"--frames", "-n", 1, 'n'},
    {"--out-dir", "-d", 1, 'd'}, {"--first-frame", "-k", 1, 'k'}, {"--video", "-v", 1, 'v'},
    {"--fps", "-r", 1, 'r'}, {"--skip-existing", NULL, 0, 'S'},
};

static int parse_args(int argc, char **argv, options *o, int *done) {
    *o = (options){.scene = {.mode = -1, .quality = 1, .width = 1280, .height = 720, .time_scale = 1.0f},
                   .time = 1.0, .fps = 10.0};
    *done = 0;
    int fps_given = 0;
    for (int i = 1; i < argc; i++) {
        const char *val;
        int key = host_next_option(PROG, OPTIONS, (int)(sizeof OPTIONS / sizeof OPTIONS[0]), usage, argc, argv, &i,
                                   &val, &o->scene);
        *done = key == HOST_OPT_EXIT;
        if (key < 0)
            return *done ? 0 : -1;
        switch (key) {
        case 'S':
            o->skip_existing = 1;
            break;
        case 'T':
            if (host_parse_double(val, 0.0, MAX_TIME, &o->time) != 0)
                return host_usage_error(PROG, "bad time '%s': use seconds from 0 to %g", val, MAX_TIME);
            break;
        case 'o':
            if (!*val)
                return host_usage_error(PROG, "empty output file name");
            o->output = val;
            break;
        case 'n':
            if (host_parse_int(val, 1, MAX_FRAMES, &o->frames) != 0)
                return host_usage_error(PROG, "bad frame count '%s': use 1..%d", val, MAX_FRAMES);
            break;
        case 'd':
            if (!*val)
                return host_usage_error(PROG, "empty output directory name");
            o->out_dir = val;
            break;
        case 'k': {
            int k;
            if (host_parse_int(val, 0, MAX_FRAMES - 1, &k) != 0)
                return host_usage_error(PROG, "bad first frame '%s': use 0..%d", val, MAX_FRAMES - 1);
            o->first_frame = k;
            break;
        }
        case 'v':
            if (!*val)
                return host_usage_error(PROG, "empty video file name");
            o->video = val;
            break;
        case 'r':
            if (host_parse_double(val, 1.0, MAX_FPS, &o->fps) != 0)
                return host_usage_error(PROG, "bad frame rate '%s': use 1..%g", val, MAX_FPS);
            fps_given = 1;
            break;
        }
    }
    if (o->output && o->frames)
        return host_usage_error(PROG, "-o and --frames exclude each other");
    if (o->output && o->out_dir)
        return host_usage_error(PROG, "-o and --out-dir exclude each other: put the directory in the file name");
    if ((o->output || o->frames) && !o->scene.mode_given)
        o->scene.mode = 0;
    out_file f;
    if (o->output && out_check(&f, o->output, ".png", 1) != 0)
        return host_usage_error(PROG, "%s", f.error);
    if (o->video && (o->output || o->out_dir))
        return host_usage_error(PROG, "--video excludes -o and --out-dir");
    if (o->video && !o->frames)
        return host_usage_error(PROG, "--video needs --frames");
    if (o->video && (o->scene.width % 2 || o->scene.height % 2))
        return host_usage_error(PROG, "--video needs an even width and height (H.264)");
    if (o->video && out_check(&f, o->video, NULL, 0) != 0)
        return host_usage_error(PROG, "%s", f.error);
    if (o->video && !video_ext_known(o->video))
        return host_usage_error(PROG, "cannot write %s: a video's name must end in " VIDEO_EXT_LIST, o->video);
    if (o->frames && !o->out_dir && !o->video)
        return host_usage_error(PROG, "--frames needs --out-dir or --video");
    if (o->skip_existing && (!o->frames || !o->out_dir))
        return host_usage_error(PROG, "--skip-existing needs --frames and --out-dir");
    if (o->first_frame && !o->frames)
        return host_usage_error(PROG, "--first-frame needs --frames");
    if (o->first_frame + o->frames > MAX_FRAMES)
        return host_usage_error(PROG, "the sequence ends past frame %d", MAX_FRAMES - 1);
    if (fps_given && !o->video)
        warn("--fps has no effect without --video");
    if (o->scene.scale_given && !o->frames)
        warn("--time-scale has no effect on a still: it sets the speed of a sequence (--frames)");
    return 0;
}

/* ---- rendering */

static double now_s(void) { return sys_now(); }

static void sleep_until(double t) {
    for (;;) {
        double left = t - now_s();
        if (left <= 0.0 || g_stop)
            return;
        sys_sleep(left);
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

/* ---- the simulated clock, as the library keeps it: single precision, and a
 * frame after a pause of at least STEP adds exactly (float)STEP * scale. */

static float clock_after(float t, float scale) {
    float advance = (float)STEP * scale;
    return advance + t;
}

/* Simulated time of sequence frame k: frame 0 is at --time, and every later
 * frame adds one step at the sequence's time scale, summed in the library's
 * own precision. The sum is what one process rendering the whole sequence
 * reaches, so a run starting at frame k aims at exactly this value. */
static float sequence_time(const options *o, long k) {
    float t = (float)o->time;
    for (long i = 0; i < k; i++)
        t = clock_after(t, o->scene.time_scale);
    return t;
}

/* A scale whose one step takes the clock from t exactly to target, or -1. */
static float exact_scale(float t, float target) {
    float guess = (float)(((double)target - (double)t) / (double)(float)STEP);
    if (guess < 0.0f)
        return -1.0f;
    float s = guess;
    for (int i = 0; i < 64; i++)
        s = nextafterf(s, 0.0f);
    for (int i = 0; i < 129; i++, s = nextafterf(s, INFINITY))
        if (s >= 0.0f && s <= (float)MAX_SCALE && clock_after(t, s) == target)
            return s;
    return -1.0f;
}

/* The scales of the frames that take a new engine's clock from 0 to target,
 * the last frame landing on it exactly. Full steps first, then one exact
 * step; when no single scale lands on it, a half step first. Returns the
 * number of frames, or -1 when target cannot be reached (never seen). */
static long plan_clock(float target, float *scales, long room) {
    float t = 0.0f;
    long n = 0;
    while (n < room) {
        float s = exact_scale(t, target);
        if (s >= 0.0f) {
            scales[n++] = s;
            return n;
        }
        float step = (double)target - (double)t > STEP * MAX_SCALE
                         ? (float)MAX_SCALE
                         : (float)(((double)target - (double)t) / STEP / 2.0);
        scales[n++] = step;
        t = clock_after(t, step);
        if (t > target)
            break;
    }
    return -1;
}

/* Creates the engine and renders frames until the clock reads exactly target;
 * the last one is the picture. Every picture depends on the time alone, not
 * on the path to it, so the frames before it are drawn tiny. */
static int start_scene(const options *o, int mode, float target, clock_state *c) {
    long room = (long)(target / (STEP * MAX_SCALE)) + 8;
    float *scales = malloc((size_t)room * sizeof *scales);
    long n = scales ? plan_clock(target, scales, room) : -1;
    if (n < 0) {
        fprintf(stderr, "galaxy-render: cannot reach simulated time %.9g exactly\n", (double)target);
        free(scales);
        return -1;
    }
    int warmup = n > 1;
    if (galaxy_create_offscreen(warmup ? WARMUP_SIDE : o->scene.width, warmup ? WARMUP_SIDE : o->scene.height) != 0) {
        fprintf(stderr, "galaxy-render: cannot create the renderer (%dx%d): %s\n",
                o->scene.width, o->scene.height, galaxy_get_error());
        free(scales);
        return -1;
    }
    /* The library stamps its clock during creation: the first frame's wait
     * counts from here. */
    c->last_end = now_s();
    galaxy_set_mode(mode);
    galaxy_set_quality(o->scene.quality);
    if (o->scene.has_camera)
        galaxy_set_camera(o->scene.yaw, o->scene.pitch, o->scene.dist);
    /* The clock can only be stepped at STEP of wall time per frame: a long
     * way to the first picture says how far it has come. */
    int tty = sys_stderr_is_terminal();
    int report = n > QUIET_STEPS;
    if (report)
        fprintf(stderr, "galaxy-render: stepping the clock to %.9g s: %ld frames, about %.0f s\n",
                (double)target, n, (double)n * STEP);
    for (long i = 0; i < n && !g_stop; i++) {
        if (warmup && i == n - 1)
            galaxy_resize(o->scene.width, o->scene.height);
        step_frame(c, scales[i]);
        /* A line every ten percent, or a running count on a terminal. */
        if (report && (tty || (i + 1) % ((n + 9) / 10) == 0 || i + 1 == n))
            fprintf(stderr, "%sclock %ld/%ld%s", tty ? "\r" : "", i + 1, n, tty && i + 1 < n ? "" : "\n");
    }
    free(scales);
    galaxy_set_time_scale(o->scene.time_scale);
    return g_stop ? -1 : finish_frame(c);
}

/* The last frame as a PNG file at path: under a temporary name renamed over
 * a regular file (or a link's target), copied into a device or FIFO. The
 * library reports a write that failed (a full disk) with errno set. */
static int write_png(const char *path) {
    out_file f;
    if (out_begin(&f, path, ".png", "", 1) != 0) {
        fprintf(stderr, "galaxy-render: %s\n", f.error);
        return -1;
    }
    errno = 0;
    int shot = galaxy_screenshot(f.write);
    int err = errno;
    if (shot != 0) {
        fprintf(stderr, "galaxy-render: cannot write %s: %s\n", path,
                err ? strerror(err) : galaxy_get_error());
        out_abort(&f);
        return -1;
    }
    if (out_commit(&f) != 0) {
        fprintf(stderr, "galaxy-render: %s\n", f.error);
        return -1;
    }
    return 0;
}

static int render_still(const options *o) {
    clock_state c;
    int rc = start_scene(o, o->scene.mode, (float)o->time, &c) == 0 && write_png(o->output) == 0 ? 0 : -1;
    galaxy_destroy();
    return rc;
}

/* ---- video: raw RGBA frames piped into ffmpeg, which encodes them into a
 * temporary file beside the output, renamed once ffmpeg has succeeded. */

typedef struct {
    sys_child ffmpeg;
    out_file out;     /* the temporary file ffmpeg writes */
} video_pipe;

static int video_open(const options *o, video_pipe *v) {
    if (!sys_in_path("ffmpeg")) {
        fprintf(stderr, "galaxy-render: --video needs ffmpeg, which is not installed (%s); "
                        "-d DIR writes PNG files instead\n", SYS_FFMPEG_HINT);
        return -1;
    }
    /* The temporary name keeps the extension: ffmpeg picks the container by it. */
    const char *slash = sys_last_separator(o->video);
    const char *dot = strrchr(slash ? slash : o->video, '.');
    if (out_begin(&v->out, o->video, NULL, dot ? dot : "", 0) != 0) {
        fprintf(stderr, "galaxy-render: %s\n", v->out.error);
        return -1;
    }
    char size[32], rate[32];
    snprintf(size, sizeof size, "%dx%d", o->scene.width, o->scene.height);
    snprintf(rate, sizeof rate, "%g", o->fps);
    const char *const argv[] = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "rawvideo",
                                "-pix_fmt", "rgba", "-video_size", size, "-framerate", rate, "-i", "-",
                                "-an", "-pix_fmt", "yuv420p", "-y", v->out.write, NULL};
    if (sys_start(argv, &v->ffmpeg) != 0) {
        fprintf(stderr, "galaxy-render: cannot start ffmpeg: %s\n", sys_error());
        out_abort(&v->out);
        return -1;
    }
    return 0;
}

static int video_write(video_pipe *v) {
    const unsigned char *px;
    int w, h, stride;
    if (galaxy_readback(&px, &w, &h, &stride) != 0) {
        fprintf(stderr, "galaxy-render: readback failed: %s\n", galaxy_get_error());
        return -1;
    }
    if (sys_write_all(&v->ffmpeg, px, (size_t)stride * (size_t)h) != 0) {
        fprintf(stderr, "galaxy-render: ffmpeg stopped taking frames: %s\n", sys_error());
        return -1;
    }
    return 0;
}

/* Ends the stream; on success the video replaces path, otherwise nothing
 * is left behind. */
static int video_close(video_pipe *v, const char *path, int ok) {
    char why[64];
    if (sys_finish(&v->ffmpeg, why, sizeof why) != 0 && ok) {
        fprintf(stderr, "galaxy-render: ffmpeg failed (%s) writing %s\n", why, path);
        ok = 0;
    }
    if (ok && out_commit(&v->out) != 0) {
        fprintf(stderr, "galaxy-render: %s\n", v->out.error);
        return -1;
    }
    if (!ok)
        out_abort(&v->out);
    return ok ? 0 : -1;
}

/* Frames first_frame .. first_frame + frames - 1 of the sequence, as PNG
 * files named by their index in the whole sequence, or into a video. With
 * --skip-existing a frame already on disk is left alone; the next one missing
 * starts a fresh engine at its own time, as --first-frame would, so it is the
 * same picture as in an unbroken run. */
static int render_sequence(const options *o) {
    clock_state c;
    video_pipe v;
    char path[4200] = "";
    int tty = sys_stderr_is_terminal();
    char err[OUT_ERROR_MAX];
    if (o->out_dir && out_make_dir(o->out_dir, err, sizeof err) != 0) {
        fprintf(stderr, "galaxy-render: %s\n", err);
        return -1;
    }
    int live = 0; /* an engine is up, its clock at the previous frame */
    int rc = 0;
    if (o->video && video_open(o, &v) != 0)
        return -1;
    for (int i = 0; i < o->frames && rc == 0; i++) {
        if (g_stop) {
            rc = -1;
            break;
        }
        if (!o->video)
            snprintf(path, sizeof path, "%s/frame_%04ld.png", o->out_dir, o->first_frame + i);
        if (o->skip_existing && png_is_whole(path, o->scene.width, o->scene.height)) {
            if (live)
                galaxy_destroy();
            live = 0;
            fprintf(stderr, "%sframe %d/%d on disk%s", tty ? "\r" : "", i + 1, o->frames,
                    tty && i + 1 < o->frames ? "" : "\n");
            continue;
        }
        if (!live) {
            live = 1;
            rc = start_scene(o, o->scene.mode, sequence_time(o, o->first_frame + i), &c);
        } else {
            step_frame(&c, o->scene.time_scale);
            rc = finish_frame(&c);
        }
        /* A stop cuts the wait before the frame short: its clock did not
         * advance a whole step, so it is not frame i and must not be saved. */
        if (rc != 0 || g_stop) {
            rc = -1;
            break;
        }
        rc = o->video ? video_write(&v) : write_png(path);
        fprintf(stderr, "%sframe %d/%d %.2f s%s", tty ? "\r" : "", i + 1, o->frames,
                c.cost, tty && i + 1 < o->frames && rc == 0 ? "" : "\n");
    }
    if (live)
        galaxy_destroy();
    if (o->video && video_close(&v, o->video, rc == 0 && !g_stop) != 0)
        rc = -1;
    return rc;
}

/* One still per scene into a directory, each from a fresh engine so that every
 * picture is the same as a single -o run would give. */
static int render_set(const options *o) {
    const char *dir = o->out_dir ? o->out_dir : DEFAULT_OUT_DIR;
    char err[OUT_ERROR_MAX];
    if (out_make_dir(dir, err, sizeof err) != 0) {
        fprintf(stderr, "galaxy-render: %s\n", err);
        return -1;
    }
    /* The timing columns line up under the longest path of the set. */
    int path_width = 0;
    for (int m = 0; m < 4; m++) {
        int n = (int)(strlen(dir) + strlen(HOST_MODE_FILES[m]) + 5);
        if ((o->scene.mode < 0 || m == o->scene.mode) && n > path_width)
            path_width = n;
    }
    printf("rendering %dx%d, quality %d, into %s/\n", o->scene.width, o->scene.height, o->scene.quality, dir);
    fflush(stdout);
    for (int m = 0; m < 4; m++) {
        if (o->scene.mode >= 0 && m != o->scene.mode)
            continue;
        char path[4200];
        clock_state c;
        snprintf(path, sizeof path, "%s/%s.png", dir, HOST_MODE_FILES[m]);
        double t0 = now_s();
        int rc = start_scene(o, m, (float)o->time, &c);
        double ready = now_s();
        if (rc == 0)
            rc = write_png(path);
        galaxy_destroy();
        if (rc != 0)
            return -1;
        printf("  %-*s  frame %.2f s (create and frame %.2f s, total %.2f s)\n", path_width, path,
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
    /* A failed ffmpeg shows up as a failed write, reported, not as a kill. */
    sys_catch_interrupt(&g_stop);

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
