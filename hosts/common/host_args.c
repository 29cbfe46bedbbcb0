/* Command-line pieces shared by the host programs. See host_args.h. */
#include "host_args.h"

#include <ctype.h>
#include <errno.h>
#include <math.h>
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
