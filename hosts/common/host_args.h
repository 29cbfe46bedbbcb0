/* Command-line pieces shared by galaxy-render and galaxy-viewer, so that both
 * take the same option syntax, scene names and ranges. */
#ifndef HALVENOR_HOST_ARGS_H
#define HALVENOR_HOST_ARGS_H

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

#endif
