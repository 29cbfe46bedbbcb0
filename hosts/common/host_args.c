/* Command-line pieces shared by the host programs. See host_args.h. */
#include "host_args.h"

#include "halvenor_galaxy.h"

#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const char *const HOST_MODE_FILES[4] = {"solar_system", "galaxy", "black_hole", "asteroid_field"};
const char *const HOST_MODE_TITLES[4] = {"solar system", "galaxy", "black hole", "asteroid field"};

int host_parse_long(const char *s, long lo, long hi, long *out) {
    char *end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (end == s || *end != '\0' || errno != 0 || v < lo || v > hi)
        return -1;
    *out = v;
    return 0;
}

int host_parse_int(const char *s, long lo, long hi, int *out) {
    long v;
    if (host_parse_long(s, lo, hi, &v) != 0)
        return -1;
    *out = (int)v;
    return 0;
}

int host_parse_double(const char *s, double lo, double hi, double *out) {
    char *end;
    errno = 0;
    double v = strtod(s, &end);
    /* NaN fails both comparisons, and no range here reaches infinity (a
     * comparison also keeps mingw's isfinite macro and its warnings out). */
    if (end == s || *end != '\0' || errno != 0 || !(v >= lo && v <= hi))
        return -1;
    *out = v;
    return 0;
}

int host_parse_mode(const char *s, int *mode) {
    /* Compared without case, '_' and '-': "black_hole", "blackhole" and
     * "Black-Hole" are the same scene. */
    static const char *const names[][2] = {
        {"solar", "solarsystem"}, {"galaxy", "galaxy"}, {"blackhole", "blackhole"}, {"asteroids", "asteroidfield"}};
    char key[32];
    size_t n = 0;
    for (const char *p = s; *p; p++) {
        if (*p == '_' || *p == '-')
            continue;
        if (n + 1 >= sizeof key)
            return -1;
        key[n++] = (char)tolower((unsigned char)*p);
    }
    key[n] = '\0';
    for (int i = 0; i < 4 && n > 0; i++)
        if (strcmp(key, names[i][0]) == 0 || strcmp(key, names[i][1]) == 0) {
            *mode = i;
            return 0;
        }
    return host_parse_int(s, 0, 3, mode);
}

int host_parse_size(const char *s, int *w, int *h) {
    char buf[64];
    if (strlen(s) >= sizeof buf)
        return -1;
    strcpy(buf, s);
    char *x = strchr(buf, 'x');
    if (!x)
        return -1;
    *x = '\0';
    return host_parse_int(buf, 1, HOST_MAX_SIDE, w) == 0 && host_parse_int(x + 1, 1, HOST_MAX_SIDE, h) == 0 ? 0
                                                                                                              : -1;
}

int host_parse_camera(const char *s, float *yaw, float *pitch, float *dist) {
    static const double lo[3] = {-HOST_MAX_YAW, -HOST_MAX_PITCH, HOST_MIN_DIST};
    static const double hi[3] = {HOST_MAX_YAW, HOST_MAX_PITCH, HOST_MAX_DIST};
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
        if (host_parse_double(p, lo[i], hi[i], &v[i]) != 0)
            return -1;
        p = comma ? comma + 1 : p;
    }
    *yaw = (float)v[0];
    *pitch = (float)v[1];
    *dist = (float)v[2];
    return 0;
}

const char *host_split_option(const char *arg, char *name, unsigned long name_size) {
    if (strncmp(arg, "--", 2) != 0)
        return NULL;
    const char *eq = strchr(arg, '=');
    if (!eq || (unsigned long)(eq - arg) >= name_size)
        return NULL;
    memcpy(name, arg, (size_t)(eq - arg));
    name[eq - arg] = '\0';
    return eq + 1;
}

int host_usage_error(const char *prog, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", prog);
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n(%s --help lists the options)\n", prog);
    va_end(ap);
    return -1;
}

/* A scene option's value into s: 0, or -1 after a usage message naming the
 * accepted values. */
static int scene_option(const char *prog, int key, const char *val, host_scene *s) {
    double d;
    switch (key) {
    case 'm':
        if (host_parse_mode(val, &s->mode) != 0)
            return host_usage_error(prog, "bad mode '%s': use " HOST_MODE_CHOICES, val);
        s->mode_given = 1;
        break;
    case 'q':
        if (host_parse_int(val, 0, 2, &s->quality) != 0)
            return host_usage_error(prog, "bad quality '%s': use 0, 1 or 2", val);
        break;
    case 's':
        if (host_parse_size(val, &s->width, &s->height) != 0)
            return host_usage_error(prog, "bad size '%s': use WxH with each side 1..%d", val, HOST_MAX_SIDE);
        break;
    case 'c':
        if (host_parse_camera(val, &s->yaw, &s->pitch, &s->dist) != 0)
            return host_usage_error(prog, "bad camera '%s': use " HOST_CAMERA_RANGE, val);
        s->has_camera = 1;
        break;
    case 't':
        if (host_parse_double(val, 0.0, HOST_MAX_SCALE, &d) != 0)
            return host_usage_error(prog, "bad time scale '%s': use a number from 0 to 100", val);
        s->time_scale = (float)d;
        s->scale_given = 1;
        break;
    }
    return 0;
}

/* The table's entry for arg, by long or short name; NULL when none. */
static const host_option *find_option(const host_option *opts, int n_opts, const char *arg) {
    for (int k = 0; k < n_opts; k++)
        if (strcmp(arg, opts[k].long_name) == 0 || (opts[k].short_name && strcmp(arg, opts[k].short_name) == 0))
            return &opts[k];
    return NULL;
}

int host_next_option(const char *prog, const host_option *opts, int n_opts, void (*usage)(FILE *), int argc,
                     char **argv, int *i, const char **val, host_scene *scene) {
    const char *arg = argv[*i];
    char name[32];
    *val = host_split_option(arg, name, sizeof name);
    if (*val)
        arg = name;
    const host_option *o = find_option(opts, n_opts, arg);
    if (!o)
        return host_usage_error(prog, "unknown option '%s'", argv[*i]);
    if (!o->takes_value && *val)
        return host_usage_error(prog, "%s takes no value", arg);
    if (o->takes_value && !*val) {
        if (*i + 1 >= argc)
            return host_usage_error(prog, "%s needs a value", arg);
        *val = argv[++*i];
    }
    if (o->key == 'h' || o->key == 'V') {
        if (o->key == 'h')
            usage(stdout);
        else
            printf("halvenor-galaxy %s\n", galaxy_version());
        return HOST_OPT_EXIT;
    }
    if (strchr("mqsct", o->key))
        return scene_option(prog, o->key, *val, scene) == 0 ? HOST_OPT_TAKEN : HOST_OPT_ERROR;
    return o->key;
}
