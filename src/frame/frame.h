// Camera, mode presets and the frame driver.
#pragma once
#include "engine/engine.h"
#include "frame/mat.h"

// The per-frame constant block; the first 156 bytes of cb_globals.
struct Globals {
    Mat4 View;
    Mat4 Proj;
    float CamPos[3];
    float Time;
    float _pad1[3];
};
static_assert(sizeof(Globals) == 156, "Globals is 156 bytes");

void engine_set_mode(Engine *e, int mode);
void engine_set_camera(Engine *e, float yaw, float pitch, float dist);
void engine_adjust_camera(Engine *e, float dyaw, float dpitch, float zoom);
void engine_frame(Engine *e);
// The constants engine_frame uploads, from the camera, mode, size and sim_time.
void frame_globals(const Engine *e, Globals *out);
