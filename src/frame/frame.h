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
// Draws every mode once, one instance per draw into one pixel, clears the
// target and waits for the device: the pipelines of every mode are built at
// creation (lavapipe compiles its shader variants on first use) instead of in
// the first frame of each. Best effort: a failing call only leaves that work
// to the first frame.
void engine_warm_pipelines(Engine *e);
// The constants engine_frame uploads, from the camera, mode, size and sim_time.
void frame_globals(const Engine *e, Globals *out);
