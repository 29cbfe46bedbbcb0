// Matrix constructions, the orbit camera and the mode presets: CPU only.
#include <gtest/gtest.h>
#include <limits.h>
#include <math.h>
#include <string.h>

#include "frame/frame.h"

namespace {

struct Vec4 {
    float v[4];
};

Vec4 transform(const Mat4 &m, float x, float y, float z) {
    Vec4 r;
    for (int i = 0; i < 4; i++)
        r.v[i] = m.m[4 * i] * x + m.m[4 * i + 1] * y + m.m[4 * i + 2] * z + m.m[4 * i + 3];
    return r;
}

void expect_mat_eq(const Mat4 &got, const float (&want)[16]) {
    for (int i = 0; i < 16; i++) EXPECT_EQ(got.m[i], want[i]) << "element " << i;
}

struct LookAtCase {
    const char *name;
    float eye[3];
    float want[16];
};

TEST(Mat, LookAtExactRows) {
    const LookAtCase cases[] = {
        {"on +z", {0, 0, 10}, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, -10, 0, 0, 0, 1}},
        // Straight above: no f x up, so s falls back to +x and u becomes -z.
        {"on +y", {0, 10, 0}, {1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, -10, 0, 0, 0, 1}},
        // Eye on the target (distance 0): rows 1 and 2 vanish, nothing blows up.
        {"eye = target", {0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
    };
    for (const LookAtCase &c : cases) {
        SCOPED_TRACE(c.name);
        Mat4 m;
        m4_look_at(&m, c.eye[0], c.eye[1], c.eye[2], 0, 0, 0);
        expect_mat_eq(m, c.want);
    }
}

// For any eye off the y axis: an orthonormal right-handed basis, the eye at the
// view origin and the target straight ahead at -|d|.
TEST(Mat, LookAtMapsEyeToOriginAndTargetAhead) {
    const float cases[][6] = {
        {3, 4, 5, 0, 0, 0}, {-200, 50, 7, 1, 2, 3}, {0.5f, -9, 0.25f, 0, 1, 0}, {1e4f, 1, -1e4f, 0, 0, 0}};
    for (const auto &c : cases) {
        Mat4 m;
        m4_look_at(&m, c[0], c[1], c[2], c[3], c[4], c[5]);
        float dist = sqrtf((c[3] - c[0]) * (c[3] - c[0]) + (c[4] - c[1]) * (c[4] - c[1]) +
                           (c[5] - c[2]) * (c[5] - c[2]));
        float tol = 1e-5f * (dist + 1);
        Vec4 eye = transform(m, c[0], c[1], c[2]);
        Vec4 tgt = transform(m, c[3], c[4], c[5]);
        EXPECT_NEAR(eye.v[0], 0, tol);
        EXPECT_NEAR(eye.v[1], 0, tol);
        EXPECT_NEAR(eye.v[2], 0, tol);
        EXPECT_NEAR(tgt.v[0], 0, tol);
        EXPECT_NEAR(tgt.v[1], 0, tol);
        EXPECT_NEAR(tgt.v[2], -dist, tol);
        EXPECT_GT(m.m[5], 0) << "world +y stays up on screen";
        for (int i = 0; i < 3; i++)
            for (int j = 0; j < 3; j++) {
                float dot = m.m[4 * i] * m.m[4 * j] + m.m[4 * i + 1] * m.m[4 * j + 1] +
                            m.m[4 * i + 2] * m.m[4 * j + 2];
                EXPECT_NEAR(dot, i == j ? 1.0f : 0.0f, 1e-6f);
            }
        EXPECT_EQ(m.m[12], 0);
        EXPECT_EQ(m.m[13], 0);
        EXPECT_EQ(m.m[14], 0);
        EXPECT_EQ(m.m[15], 1);
    }
}

TEST(Mat, OrbitViewPlacesEyeOnTheOrbit) {
    struct Case {
        float yaw, pitch, dist, eye[3];
    };
    const Case cases[] = {
        {0, 0, 5, {5, 0, 0}},
        // yaw runs about +z: a quarter turn at pitch 0 puts the eye above the scene
        {1.5707964f, 0, 5, {cosf(1.5707964f) * 5, 5, 0}},
        {0.5f, 0.42f, 300, {300 * (cosf(0.5f) * cosf(0.42f)), 300 * (sinf(0.5f) * cosf(0.42f)), 300 * sinf(0.42f)}},
    };
    for (const Case &c : cases) {
        Mat4 orbit, look;
        m4_orbit_view(&orbit, c.yaw, c.pitch, c.dist, 0, 0, 0);
        m4_look_at(&look, c.eye[0], c.eye[1], c.eye[2], 0, 0, 0);
        EXPECT_EQ(0, memcmp(&orbit, &look, sizeof orbit)) << "yaw " << c.yaw << " pitch " << c.pitch;
    }
    // The target shifts the whole orbit.
    Mat4 m;
    m4_orbit_view(&m, 0, 0, 5, 1, 2, 3);
    Vec4 eye = transform(m, 6, 2, 3);
    EXPECT_NEAR(eye.v[0], 0, 1e-6f);
    EXPECT_NEAR(eye.v[1], 0, 1e-6f);
    EXPECT_NEAR(eye.v[2], 0, 1e-6f);
}

// Golden values worked out in double precision from the float inputs: the
// view from yaw 0.7, pitch 0.2, distance 14, and the two projections.
TEST(Mat, OrbitViewAndPerspectiveMatchGoldenValues) {
    Mat4 v;
    m4_orbit_view(&v, 0.7f, 0.2f, 14.0f, 0, 0, 0);
    const double view[16] = {
        0x1.0656a8c16416fp-2,  0,                     -0x1.eee9a9b9d4a61p-1, 0,
        -0x1.3879e410f24ddp-1, 0x1.8d0b47667e0c8p-1,  -0x1.4b44c2943cef3p-3, 0,
        0x1.7fcb1524364e8p-1,  0x1.4343be44105d0p-1,  0x1.96dff29839073p-3,  -0x1.c000000000000p+3,
        0,                     0,                     0,                     1,
    };
    for (int i = 0; i < 16; i++) EXPECT_NEAR(v.m[i], view[i], i % 4 == 3 ? 2e-5 : 1e-6) << "view element " << i;
    const struct {
        float zn, zf;
        double m0, m5, m10, m11;
    } proj[] = {
        {0.5f, 40000, 0x1.f13869494ab03p-1, 0x1.b9f94124b42adp+0, -0x1.0000d1b7c325ep+0, -0x1.0000d1b7c325ep-1},
        {0.05f, 600, 0x1.f13869494ab03p-1, 0x1.b9f94124b42adp+0, -0x1.00057637c67b1p+0, -0x1.99a257260c8dcp-5},
    };
    for (const auto &c : proj) {
        Mat4 m;
        m4_perspective_fov(&m, 1.05f, 1280.0f / 720.0f, c.zn, c.zf);
        SCOPED_TRACE(c.zn);
        EXPECT_NEAR(m.m[0], c.m0, 1e-6 * fabs(c.m0));
        EXPECT_NEAR(m.m[5], c.m5, 1e-6 * fabs(c.m5));
        EXPECT_NEAR(m.m[10], c.m10, 1e-6 * fabs(c.m10));
        EXPECT_NEAR(m.m[11], c.m11, 1e-6 * fabs(c.m11));
        EXPECT_EQ(m.m[14], -1.0f);
        EXPECT_EQ(m.m[15], 0.0f);
    }
}

// The whole matrix bit for bit: the four elements as the float arithmetic
// rounds them (within two float steps of the doubles above), the rest zero
// but w = -z.
TEST(Mat, PerspectiveMapsNearAndFarToDepthZeroAndOne) {
    const struct {
        float zn, zf, m0, m5, m10, m11;
    } planes[] = {
        {0.5f, 40000, 0x1.f13868p-1f, 0x1.b9f94p+0f, -0x1.0000d2p+0f, -0x1.0000d2p-1f},
        {0.05f, 600, 0x1.f13868p-1f, 0x1.b9f94p+0f, -0x1.000576p+0f, -0x1.99a256p-5f},
    };
    for (const auto &p : planes) {
        float zn = p.zn, zf = p.zf;
        Mat4 m;
        m4_perspective_fov(&m, 1.05f, 1280.0f / 720.0f, zn, zf);
        const float want[16] = {p.m0, 0, 0, 0, 0, p.m5, 0, 0, 0, 0, p.m10, p.m11, 0, 0, -1, 0};
        expect_mat_eq(m, want);
        EXPECT_LT(m.m[10], -1.0f);
        EXPECT_LT(m.m[11], -zn);
        Vec4 n = transform(m, 0, 0, -zn), f = transform(m, 0, 0, -zf);
        EXPECT_NEAR(n.v[2] / n.v[3], 0.0f, 1e-6f) << "near " << zn;
        EXPECT_NEAR(f.v[2] / f.v[3], 1.0f, 1e-6f) << "far " << zf;
        EXPECT_EQ(n.v[3], zn); // w = -z
    }
}

TEST(Mat, MultiplyAppliesAFirstThenB) {
    Mat4 a, b, ab;
    m4_identity(&a);
    a.m[3] = 1;
    a.m[7] = 2;
    a.m[11] = 3; // translate by (1, 2, 3)
    m4_identity(&b);
    b.m[0] = 2;
    b.m[5] = 3;
    b.m[10] = 4; // then scale
    m4_multiply(&ab, &a, &b);
    Vec4 p = transform(ab, 0, 0, 0);
    EXPECT_EQ(p.v[0], 2);
    EXPECT_EQ(p.v[1], 6);
    EXPECT_EQ(p.v[2], 12);
    EXPECT_EQ(p.v[3], 1);
}

TEST(Mat, MultiplyIntoAnOperandMatchesSeparateOutput) {
    Mat4 a, b;
    for (int i = 0; i < 16; i++) {
        a.m[i] = 0.37f * (float)(i + 1) - 2.0f;
        b.m[i] = 1.0f / (float)(i + 3) + (float)(i % 5);
    }
    Mat4 want;
    m4_multiply(&want, &a, &b);
    Mat4 into_a = a, into_b = b;
    m4_multiply(&into_a, &into_a, &b);
    m4_multiply(&into_b, &a, &into_b);
    EXPECT_EQ(0, memcmp(&want, &into_a, sizeof want));
    EXPECT_EQ(0, memcmp(&want, &into_b, sizeof want));
    Mat4 sq = a, sq_want;
    m4_multiply(&sq_want, &a, &a);
    m4_multiply(&sq, &sq, &sq);
    EXPECT_EQ(0, memcmp(&sq_want, &sq, sizeof sq));
}

// ---- camera -------------------------------------------------------------

struct Cam {
    float yaw, pitch, dist;
};

const Cam k_want_presets[4] = {{0.5f, 0.42f, 300}, {0.7f, 0.2f, 130}, {0.7f, 0.2f, 14}, {0.9f, 0.1f, 90}};

Engine fresh_engine() {
    Engine e;
    memset(&e, 0, sizeof e);
    e.mode = 0;
    e.quality = 1;
    e.time_scale = 1.0f;
    e.sim_time = 12.5f;
    e.cam_yaw = 0.5f;
    e.cam_pitch = 0.42f;
    e.cam_dist = 300;
    return e;
}

void expect_cam(const Engine &e, Cam c) {
    EXPECT_EQ(e.cam_yaw, c.yaw);
    EXPECT_EQ(e.cam_pitch, c.pitch);
    EXPECT_EQ(e.cam_dist, c.dist);
}

TEST(Camera, SwitchingModeLoadsItsPresetAndNothingElse) {
    for (int to = 0; to < 4; to++) {
        Engine e = fresh_engine();
        e.mode = (to + 1) % 4;
        engine_set_camera(&e, 3, -1, 77);
        engine_set_mode(&e, to);
        EXPECT_EQ(e.mode, to);
        expect_cam(e, k_want_presets[to]);
        EXPECT_EQ(e.sim_time, 12.5f);
        EXPECT_EQ(e.time_scale, 1.0f);
        EXPECT_EQ(e.quality, 1);
    }
}

TEST(Camera, SameModeKeepsAMovedCamera) {
    Engine e = fresh_engine();
    engine_set_mode(&e, 2);
    engine_adjust_camera(&e, 0.25f, -0.1f, 2.0f);
    Cam moved = {e.cam_yaw, e.cam_pitch, e.cam_dist};
    engine_set_mode(&e, 2);
    EXPECT_EQ(e.mode, 2);
    expect_cam(e, moved);
}

// Neither the mode nor the camera changes (galaxy_set_mode passes the value on
// as it is).
TEST(Camera, OutOfRangeModesAreIgnored) {
    for (int mode : {4, -1, 5, INT_MAX, INT_MIN}) {
        Engine e = fresh_engine();
        engine_set_camera(&e, 1, 2, 3);
        engine_set_mode(&e, mode);
        EXPECT_EQ(e.mode, 0) << mode;
        expect_cam(e, {1, 2, 3});
    }
}

TEST(Camera, AdjustClampsPitchAndDistance) {
    struct Case {
        Cam start;
        float dyaw, dpitch, zoom;
        Cam want;
    };
    const Case cases[] = {
        {{0.5f, 0.42f, 300}, 0, 2, 1, {0.5f, 1.5f, 300}},
        {{0.5f, 0.42f, 300}, 0, -5, 1, {0.5f, -1.5f, 300}},
        {{0.5f, 0.42f, 300}, 0, 0, 0.001f, {0.5f, 0.42f, 1.2f}},
        {{0.5f, 0.42f, 300}, 0, 0, 100, {0.5f, 0.42f, 20000}},
        {{0.5f, 0.42f, 300}, 0, 0, 0.5f, {0.5f, 0.42f, 150}},
        // Yaw is never wrapped.
        {{6, 0, 300}, 1, 0, 1, {7, 0, 300}},
        // Values stored unclamped by set_camera are pulled in by a neutral step.
        {{10, 3, 25000}, 0, 0, 1, {10, 1.5f, 20000}},
        {{0, -3, 0.5f}, 0, 0, 1, {0, -1.5f, 1.2f}},
        {{0, 0, -50}, 0, 0, 1, {0, 0, 1.2f}},
    };
    for (const Case &c : cases) {
        Engine e = fresh_engine();
        engine_set_camera(&e, c.start.yaw, c.start.pitch, c.start.dist);
        engine_adjust_camera(&e, c.dyaw, c.dpitch, c.zoom);
        SCOPED_TRACE(testing::Message() << "start " << c.start.yaw << "," << c.start.pitch << ","
                                        << c.start.dist << " step " << c.dyaw << "," << c.dpitch << ","
                                        << c.zoom);
        expect_cam(e, c.want);
    }
}

TEST(Camera, SetCameraStoresFiniteValuesUnclamped) {
    const Cam cases[] = {{10, 3, 25000}, {-40, -7, 0}, {0, 0, -12}, {3e38f, -3e38f, 3e38f}};
    for (const Cam &c : cases) {
        Engine e = fresh_engine();
        engine_set_camera(&e, c.yaw, c.pitch, c.dist);
        expect_cam(e, c);
    }
}

// A yaw step that overflows to infinity from finite values is refused like an
// infinite argument: the camera keeps all three values.
TEST(Camera, AdjustThatOverflowsTheYawIsIgnored) {
    Engine e = fresh_engine();
    engine_set_camera(&e, 3e38f, 0.25f, 50);
    engine_adjust_camera(&e, 3e38f, 0.25f, 2);
    expect_cam(e, {3e38f, 0.25f, 50});
    engine_adjust_camera(&e, -3e38f, 0.25f, 2);
    expect_cam(e, {0, 0.5f, 100});
}

} // namespace
