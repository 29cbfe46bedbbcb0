// The orbit camera and the per-mode presets. These act on the record in any
// state: the exports decide whether a call reaches them.
#include <math.h>

#include "frame/frame.h"

struct CameraPreset {
    float yaw, pitch, dist;
};

static const CameraPreset k_presets[4] = {
    {0.5f, 0.42f, 300.0f}, // solar system
    {0.7f, 0.2f, 130.0f},  // galaxy
    {0.7f, 0.2f, 14.0f},   // black hole
    {0.9f, 0.1f, 90.0f},   // asteroid field
};

void engine_set_mode(Engine *e, int mode) {
    if ((unsigned)mode > 3u) return;
    if (mode == e->mode) return; // keep a camera the user has moved
    e->mode = mode;
    e->cam_yaw = k_presets[mode].yaw;
    e->cam_pitch = k_presets[mode].pitch;
    e->cam_dist = k_presets[mode].dist;
}

// A NaN or infinity would pass the clamps and turn every later view matrix
// into NaN; the setters have no result to refuse with, so such a call is
// ignored and the camera keeps its previous values.
static bool all_finite(float a, float b, float c) { return isfinite(a) && isfinite(b) && isfinite(c); }

void engine_set_camera(Engine *e, float yaw, float pitch, float dist) {
    if (!all_finite(yaw, pitch, dist)) return;
    e->cam_yaw = yaw;
    e->cam_pitch = pitch;
    e->cam_dist = dist;
}

void engine_adjust_camera(Engine *e, float dyaw, float dpitch, float zoom) {
    if (!all_finite(dyaw, dpitch, zoom)) return;
    float yaw = e->cam_yaw + dyaw; // never wrapped
    if (!isfinite(yaw)) return;    // two huge finite steps can still overflow
    e->cam_yaw = yaw;
    float p = e->cam_pitch + dpitch;
    if (p > 1.5f) p = 1.5f;
    else if (p < -1.5f) p = -1.5f;
    e->cam_pitch = p;
    float d = e->cam_dist * zoom;
    if (d < 1.2f) d = 1.2f;
    else if (d > 20000.0f) d = 20000.0f;
    e->cam_dist = d;
}
