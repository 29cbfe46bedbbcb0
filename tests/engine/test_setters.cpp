// The float setters through the exports: a NaN or infinite argument in any
// position leaves the engine exactly as it was, so the frames that follow are
// the bytes an engine that never saw the call would draw.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <vector>

#include "exports.h"
#include "halvenor_galaxy.h"

namespace {

struct Setters : testing::Test {
    void SetUp() override { galaxy_destroy(); }
    void TearDown() override { galaxy_destroy(); }
};

void set_time_scale(const float *a) { galaxy_set_time_scale(a[0]); }
void set_camera(const float *a) { galaxy_set_camera(a[0], a[1], a[2]); }
void adjust_camera(const float *a) { galaxy_adjust_camera(a[0], a[1], a[2]); }

struct Setter {
    const char *name;
    void (*call)(const float *);
    int args;
    float finite[3]; // values that would change the engine if the call went through
};

const Setter k_setters[] = {
    {"galaxy_set_time_scale", set_time_scale, 1, {7.5f, 0, 0}},
    {"galaxy_set_camera", set_camera, 3, {0.4f, 0.6f, 90}},
    {"galaxy_adjust_camera", adjust_camera, 3, {0.1f, 0.05f, 1.5f}},
};

// The settings a setter may touch, and the clock a bad speed would poison.
struct State {
    float time_scale, sim_time, yaw, pitch, dist;
};

State state() {
    return {g_eng.time_scale, g_eng.sim_time, g_eng.cam_yaw, g_eng.cam_pitch, g_eng.cam_dist};
}

std::vector<unsigned char> frame_bytes() {
    galaxy_frame();
    const unsigned char *px = nullptr;
    int w = 0, h = 0, stride = 0;
    EXPECT_EQ(galaxy_readback(&px, &w, &h, &stride), 0) << galaxy_get_error();
    if (!px) return {};
    return std::vector<unsigned char>(px, px + (size_t)stride * (size_t)h);
}

TEST_F(Setters, NonFiniteArgumentsChangeNothing) {
    ASSERT_EQ(galaxy_create_offscreen(64, 48), 0) << galaxy_get_error();
    galaxy_set_quality(0);
    galaxy_set_mode(GALAXY_MODE_GALAXY); // particles placed by the clock, a camera close in
    // Time stands still at scale 0, so every frame of an untouched engine is
    // the same picture.
    galaxy_set_time_scale(0);
    galaxy_set_camera(0.7f, 0.3f, 120);
    const std::vector<unsigned char> want = frame_bytes();
    ASSERT_FALSE(want.empty());
    ASSERT_EQ(frame_bytes(), want) << "frames at scale 0 are not repeatable";

    const float bad[] = {NAN, INFINITY, -INFINITY};
    for (const Setter &s : k_setters)
        for (int pos = 0; pos < s.args; pos++)
            for (float v : bad) {
                SCOPED_TRACE(testing::Message() << s.name << " argument " << pos << " = " << v);
                float args[3];
                memcpy(args, s.finite, sizeof args);
                args[pos] = v;
                // A moving speed first, so an infinity clamped to 0 or 100
                // would show as a change.
                galaxy_set_time_scale(2.5f);
                galaxy_set_camera(0.7f, 0.3f, 120);
                State before = state();
                s.call(args);
                State after = state();
                EXPECT_EQ(0, memcmp(&before, &after, sizeof before));
                // Then the frozen clock, where a stored speed or camera would
                // reach the picture.
                galaxy_set_time_scale(0);
                s.call(args);
                EXPECT_TRUE(frame_bytes() == want);
                EXPECT_EQ(g_eng.sim_time, before.sim_time);
            }
    // The same calls with finite values do reach the engine.
    for (const Setter &s : k_setters) {
        galaxy_set_time_scale(0);
        galaxy_set_camera(0.7f, 0.3f, 120);
        State before = state();
        s.call(s.finite);
        State after = state();
        EXPECT_NE(0, memcmp(&before, &after, sizeof before)) << s.name;
    }
}

} // namespace
