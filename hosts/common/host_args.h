/* Command-line pieces shared by galaxy-render and galaxy-viewer, so that both
 * take the same option syntax, scene names and ranges. */
#ifndef HALVENOR_HOST_ARGS_H
#define HALVENOR_HOST_ARGS_H

#include <stdio.h>

#define HOST_MAX_SIDE 16384
/* The camera limits the library keeps while the camera is moved. */
#define HOST_MIN_DIST 1.2
#define HOST_MAX_DIST 20000.0
#define HOST_MAX_PITCH 1.5
#define HOST_MAX_YAW 1e6
#define HOST_MAX_SCALE 100.0

/* What --help and the messages say the scene names are. */
#define HOST_MODE_CHOICES "solar, galaxy, blackhole, asteroids (or solar_system, black_hole, asteroid_field) or 0-3"
#define HOST_CAMERA_RANGE "YAW,PITCH,DISTANCE: radians, pitch -1.5..1.5, distance 1.2..20000"

/* The scene's file stem ("solar_system") and its long name ("solar system"). */
extern const char *const HOST_MODE_FILES[4];
extern const char *const HOST_MODE_TITLES[4];

/* Whole-string numbers within a range: 0, or -1. */
int host_parse_int(const char *s, long lo, long hi, int *out);
int host_parse_long(const char *s, long lo, long hi, long *out);
int host_parse_double(const char *s, double lo, double hi, double *out);
/* A scene by name (case, '_' and '-' ignored: solar, solar_system,
 * SolarSystem...) or number 0-3. */
int host_parse_mode(const char *s, int *mode);
/* WxH, each side 1..HOST_MAX_SIDE. */
int host_parse_size(const char *s, int *w, int *h);
/* YAW,PITCH,DISTANCE within the library's camera limits. */
int host_parse_camera(const char *s, float *yaw, float *pitch, float *dist);

/* Splits "--name=value": copies "--name" into name and returns the value;
 * returns NULL (name untouched) for anything else. */
const char *host_split_option(const char *arg, char *name, unsigned long name_size);

/* "PROG: message" and where the options are listed, on stderr: -1. */
int host_usage_error(const char *prog, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/* What both programs show: the scene, its quality, the size, the camera and
 * the speed of simulated time. */
typedef struct {
    int mode, mode_given;
    int quality;
    int width, height;
    int has_camera;
    float yaw, pitch, dist;
    float time_scale;
    int scale_given;
} host_scene;

/* One option a program takes: its long name, its short one (or NULL), and
 * the key host_next_option returns for it. */
typedef struct {
    const char *long_name, *short_name;
    int takes_value;
    char key;
} host_option;

/* The host_option entries every program has: the scene options (keys 'm'
 * 'q' 's' 'c' 't'), --help and --version. */
#define HOST_COMMON_OPTIONS                                                                                       \
    {"--mode", "-m", 1, 'm'}, {"--quality", "-q", 1, 'q'}, {"--size", "-s", 1, 's'}, {"--camera", "-c", 1, 'c'}, \
        {"--time-scale", "-t", 1, 't'}, {"--help", "-h", 0, 'h'}, {"--version", "-V", 0, 'V'}

enum { HOST_OPT_ERROR = -1, HOST_OPT_EXIT = -2, HOST_OPT_TAKEN = 0 };

/* Reads the option at argv[*i], from a program's table (*i moves past a
 * value given as the next argument; "--opt=value" is the same):
 * HOST_OPT_TAKEN for a scene option, its value stored in *scene;
 * HOST_OPT_EXIT after --help (usage prints the program's help) or --version;
 * HOST_OPT_ERROR after a usage message (an unknown option, a missing or bad
 * value, a value given to an option that takes none);
 * otherwise the option's key, with *val its value (NULL if it takes none). */
int host_next_option(const char *prog, const host_option *opts, int n_opts, void (*usage)(FILE *), int argc,
                     char **argv, int *i, const char **val, host_scene *scene);

#endif
