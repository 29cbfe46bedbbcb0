// The frame driver: clock, per-frame constants, per-frame instances, the draw
// sequence of each mode as the platform records it, and the rendered bodies.
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "executor.h"
#include "capture/capture.h"
#include "content/content.h"
#include "frame/frame.h"

namespace {

// ---- CPU only --------------------------------------------------------------

Engine camera_engine(int mode) {
    Engine e;
    memset(&e, 0, sizeof e);
    e.width = 1280;
    e.height = 720;
    e.mode = mode;
    e.sim_time = 4.25f;
    e.cam_yaw = 0.5f;
    e.cam_pitch = 0.42f;
    e.cam_dist = 300;
    return e;
}

float view_depth(const Mat4 &p, float z) { // NDC depth of the view-space point (0, 0, z)
    return (p.m[10] * z + p.m[11]) / (p.m[14] * z + p.m[15]);
}

TEST(FrameGlobals, ProjectionPlanesFollowTheMode) {
    const struct {
        int mode;
        float zn, zf;
    } cases[] = {{0, 0.5f, 40000}, {1, 0.5f, 40000}, {2, 0.05f, 600}, {3, 0.5f, 40000}};
    for (const auto &c : cases) {
        Engine e = camera_engine(c.mode);
        Globals g;
        frame_globals(&e, &g);
        SCOPED_TRACE(c.mode);
        EXPECT_NEAR(view_depth(g.Proj, -c.zn), 0.0f, 1e-6f);
        EXPECT_NEAR(view_depth(g.Proj, -c.zf), 1.0f, 1e-6f);
        EXPECT_EQ(g.Proj.m[0], (1.0f / tanf(0.525f)) / (1280.0f / 720.0f));
        EXPECT_EQ(g.Proj.m[5], 1.0f / tanf(0.525f));
        EXPECT_EQ(g.Time, 4.25f);
        EXPECT_EQ(g._pad1[0], 0.0f);
        EXPECT_EQ(g._pad1[1], 0.0f);
        EXPECT_EQ(g._pad1[2], 0.0f);
    }
}

TEST(FrameGlobals, CamPosIsTheEyeOfView) {
    // dist * (cos yaw cos pitch, sin yaw cos pitch, sin pitch): `approx` worked
    // out in double precision from the float inputs, independently of the
    // code; `exact` the float results bit for bit (dist * cos pitch first).
    const struct {
        float yaw, pitch, dist;
        double approx[3];
        float exact[3];
    } cams[] = {
        {0.5f, 0.42f, 300,
         {0x1.e0c95c1b86a6cp+7, 0x1.06a7a73f48804p+7, 0x1.e95001eba164bp+6},
         {0x1.e0c95ap+7f, 0x1.06a7a6p+7f, 0x1.e95002p+6f}},
        {0.7f, 0.2f, 14,
         {0x1.4fd1b27faf84bp+3, 0x1.1adb467b8e516p+3, 0x1.6403f44531e65p+1},
         {0x1.4fd1b2p+3f, 0x1.1adb46p+3f, 0x1.6403f4p+1f}},
        {-2.0f, -1.4f, 5000,
         {-0x1.61a80fede3efdp+8, -0x1.826073d7be1c6p+9, -0x1.33f3fa631db27p+12},
         {-0x1.61a81p+8f, -0x1.826072p+9f, -0x1.33f3fap+12f}},
        {9.0f, 1.5f, 1.2f,
         {-0x1.3cc9e2539b290p-4, 0x1.1e93af934d622p-5, 0x1.326e336ac0c5ep+0},
         {-0x1.3cc9e2p-4f, 0x1.1e93bp-5f, 0x1.326e34p+0f}},
    };
    for (const auto &c : cams) {
        Engine e = camera_engine(0);
        engine_set_camera(&e, c.yaw, c.pitch, c.dist);
        Globals g;
        frame_globals(&e, &g);
        SCOPED_TRACE(testing::Message() << c.yaw << " " << c.pitch << " " << c.dist);
        for (int i = 0; i < 3; i++) {
            EXPECT_NEAR(g.CamPos[i], c.approx[i], 1e-6 * c.dist) << "component " << i;
            EXPECT_EQ(g.CamPos[i], c.exact[i]) << "component " << i;
        }
        // View maps CamPos to its origin and looks from it at the centre: its
        // third row is the unit vector towards the eye, and its first row is
        // level (no y) and square to the third, so the picture is not mirrored
        // or rolled.
        float len = sqrtf(g.CamPos[0] * g.CamPos[0] + g.CamPos[1] * g.CamPos[1] + g.CamPos[2] * g.CamPos[2]);
        float side_dot_back = 0;
        for (int i = 0; i < 3; i++) {
            const float *r = &g.View.m[4 * i];
            float v = r[0] * g.CamPos[0] + r[1] * g.CamPos[1] + r[2] * g.CamPos[2] + r[3];
            EXPECT_NEAR(v, 0.0f, 2e-6f * c.dist) << "row " << i;
            EXPECT_NEAR(g.View.m[8 + i], g.CamPos[i] / len, 2e-6f) << "back axis " << i;
            side_dot_back += g.View.m[i] * g.View.m[8 + i];
        }
        EXPECT_EQ(g.View.m[1], 0.0f);
        EXPECT_NEAR(side_dot_back, 0.0f, 1e-6f);
        EXPECT_GT(g.View.m[5], 0.0f) << "up stays up";
    }
}

TEST(FrameClock, NotCreatedTouchesNothing) {
    Engine e = camera_engine(0); // created 0, no device: any GPU call would crash
    e.last_counter = 1234;
    plat_set_fake_frequency(1000);
    plat_set_fake_counter(999999);
    engine_frame(&e);
    plat_set_fake_counter(0);
    plat_set_fake_frequency(0);
    EXPECT_EQ(e.last_counter, 1234);
    EXPECT_EQ(e.sim_time, 4.25f);
}

// ---- on a device -----------------------------------------------------------

class Frame : public testing::Test {
  protected:
    static Engine eng;
    static void SetUpTestSuite() {
        memset(&eng, 0, sizeof eng);
        if (engine_create_offscreen(&eng, 1280, 720) != 0) {
            fprintf(stderr, "engine_create_offscreen: %s\n", galaxy_error_get());
            return;
        }
        engine_set_quality(&eng, 0); // keeps frames cheap; no test here needs many stars
    }
    static void TearDownTestSuite() {
        if (eng.created) engine_destroy(&eng);
    }
    void SetUp() override {
        ASSERT_EQ(eng.created, 1) << "offscreen engine could not be created";
        engine_set_mode(&eng, 0);
        engine_set_camera(&eng, 0.5f, 0.42f, 300);
        eng.time_scale = 1.0f;
    }
    void TearDown() override {
        plat_set_fake_counter(0);
        plat_set_fake_frequency(0);
        plat_record_end();
    }
};
Engine Frame::eng;

TEST_F(Frame, ClockAdvancesByClampedScaledWallTime) {
    const long long F = 10000000; // 10 MHz
    struct Case {
        const char *name;
        float time_scale;
        long long elapsed; // counter ticks since the last frame
        float want_dt;     // sim_time change
    };
    const Case cases[] = {
        {"3 s pause", 1.0f, 3 * F, 0.1f},
        {"3 s pause, scaled", 2.5f, 3 * F, 0.1f * 2.5f},
        {"frozen", 0.0f, F / 20, 0.0f},
        {"50 ms", 1.0f, F / 20, 0.05f},
        {"50 ms, scaled", 3.0f, F / 20, 0.05f * 3.0f},
        {"counter ran backwards", 1.0f, -F, 0.0f},
        {"same reading", 1.0f, 0, 0.0f},
    };
    const long long base = 5000000000LL;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        eng.time_scale = c.time_scale;
        eng.sim_time = 7.0f;
        eng.last_counter = base;
        plat_set_fake_frequency(F);
        plat_set_fake_counter(base + c.elapsed);
        engine_frame(&eng);
        EXPECT_EQ(eng.sim_time, c.want_dt + 7.0f);
        EXPECT_EQ(eng.last_counter, base + c.elapsed);
    }
}

TEST_F(Frame, ClockReadsTheFrequencyEveryFrame) {
    eng.sim_time = 0.0f;
    eng.last_counter = 1000;
    plat_set_fake_frequency(1000);
    plat_set_fake_counter(1050); // 50 ticks at 1 kHz
    engine_frame(&eng);
    EXPECT_EQ(eng.sim_time, 0.05f);
    plat_set_fake_frequency(2000);
    plat_set_fake_counter(1150); // 100 ticks at 2 kHz
    engine_frame(&eng);
    EXPECT_EQ(eng.sim_time, 0.05f + 0.05f);
}

TEST_F(Frame, FirstFrameAfterCreationAdvancesAtMostATenth) {
    Engine e;
    memset(&e, 0, sizeof e);
    plat_set_fake_frequency(1000);
    plat_set_fake_counter(100000);
    ASSERT_EQ(engine_create_offscreen(&e, 64, 64), 0) << galaxy_error_get();
    plat_set_fake_counter(103000); // 3 s later
    e.time_scale = 1.5f;
    engine_frame(&e);
    EXPECT_EQ(e.sim_time, 0.1f * 1.5f);
    EXPECT_EQ(e.last_counter, 103000);
    engine_destroy(&e);
}

void expect_quad(const QuadInstance &q, const float pos[3], const float col[3], float size) {
    for (int i = 0; i < 3; i++) EXPECT_EQ(q.ipos[i], pos[i]) << "ipos " << i;
    for (int i = 0; i < 3; i++) EXPECT_EQ(q.icol[i], col[i]) << "icol " << i;
    EXPECT_EQ(q.icol[3], 1.0f);
    EXPECT_EQ(q.isize, size);
}

TEST_F(Frame, InstanceCountsFollowTheMode) {
    const int want[4][2] = {{3, 1}, {2, 0}, {1, 1}, {1, 0}};
    for (int mode : {0, 1, 2, 3, 0}) {
        engine_set_mode(&eng, mode);
        engine_frame(&eng);
        EXPECT_EQ(eng.glow_count, want[mode][0]) << "mode " << mode;
        EXPECT_EQ(eng.ring_count, want[mode][1]) << "mode " << mode;
    }
}

TEST_F(Frame, SolarSystemInstancesAtTimeZero) {
    eng.time_scale = 0.0f;
    eng.sim_time = 0.0f;
    engine_frame(&eng);
    const float origin[3] = {0, 0, 0};

    const float sun_col[3] = {1.0f, 0.85f, 0.5f};
    expect_quad(eng.bodies[0], origin, sun_col, 20);
    float p[8][3];
    for (int i = 0; i < 8; i++) {
        SCOPED_TRACE(i);
        kepler_position(&PLANETS[i], 0.0f, &p[i][0], &p[i][1], &p[i][2]);
        expect_quad(eng.bodies[1 + i], p[i], PLANETS[i].color, PLANETS[i].size);
    }
    const float moon[3] = {p[2][0] + 6 * cosf(1.0f), p[2][1] + 1.5f * sinf(0.9f), p[2][2] + 6 * sinf(1.0f)};
    const float moon_col[3] = {0.6f, 0.6f, 0.62f};
    expect_quad(eng.bodies[9], moon, moon_col, 1.1f);

    // 0.9 - 0.15 i and 0.55 - 0.2 i in single precision, as the frame works them out.
    const float glow_col[3][3] = {{1.0f, 0x1.ccccccp-1f, 0x1.19999ap-1f},
                                  {1.0f, 0x1.8p-1f, 0x1.666668p-2f},
                                  {1.0f, 0x1.333332p-1f, 0x1.333334p-3f}};
    const float glow_size[3] = {14, 26, 38};
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(testing::Message() << "glow " << i);
        EXPECT_EQ(eng.glows[i].isize, glow_size[i]);
        expect_quad(eng.glows[i], origin, glow_col[i], glow_size[i]);
    }
    const float ring_col[3] = {0.85f, 0.75f, 0.6f};
    expect_quad(eng.rings[0], p[5], ring_col, 10.5f);

    // Frozen time: a second frame moves nothing.
    QuadInstance before[10];
    memcpy(before, eng.bodies, sizeof before);
    engine_frame(&eng);
    EXPECT_EQ(0, memcmp(before, eng.bodies, sizeof before));
}

TEST_F(Frame, OtherModesGlowAndRingRecords) {
    struct Case {
        int mode;
        float glow_pos[2][3], glow_col[2][3], glow_size[2];
        float ring_col[3], ring_size;
    };
    const Case cases[] = {
        {1, {{0, 0, 0}, {0, 0, 0}}, {{1.0f, 0.95f, 0.8f}, {1.0f, 0.8f, 0.55f}}, {6, 14}, {}, 0},
        {2, {{0, 0, 0}}, {{1.0f, 0.9f, 0.7f}}, {1.3f}, {1.0f, 0.95f, 0.85f}, 0.5f},
        {3, {{400, 150, -600}}, {{1.0f, 0.95f, 0.85f}}, {14}, {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        engine_set_mode(&eng, 0);
        engine_frame(&eng); // leaves mode-0 records behind
        QuadInstance bodies[10], ring;
        memcpy(bodies, eng.bodies, sizeof bodies);
        ring = eng.rings[0];
        engine_set_mode(&eng, c.mode);
        engine_frame(&eng);
        for (int i = 0; i < eng.glow_count; i++) expect_quad(eng.glows[i], c.glow_pos[i], c.glow_col[i], c.glow_size[i]);
        const float origin[3] = {0, 0, 0};
        if (c.ring_size > 0) expect_quad(eng.rings[0], origin, c.ring_col, c.ring_size);
        else EXPECT_EQ(0, memcmp(&ring, &eng.rings[0], sizeof ring)) << "rings untouched";
        EXPECT_EQ(0, memcmp(bodies, eng.bodies, sizeof bodies)) << "bodies untouched";
    }
}

// ---- the draw sequence -----------------------------------------------------

// The frame as a list of the calls that decide the picture: uploads (as "Map"),
// blend and depth states, depth bindings and clears after the frame's first
// target binding, buffer bindings, topologies and draws, plus any Present.
std::vector<std::string> record_frame(Engine *e) {
    plat_record_begin();
    engine_frame(e);
    plat_record_end();
    std::vector<std::string> out;
    int targets = 0;
    for (int i = 0; i < plat_record_count(); i++) {
        std::string line = plat_record_line(i);
        std::string op = line.substr(0, line.find(' '));
        if (op == "Map") out.push_back(op);
        else if (op == "OMSetBlendState" || op == "IASetVertexBuffers" || op == "VSSetConstantBuffers" ||
                 op == "PSSetConstantBuffers" || op == "IASetPrimitiveTopology" || op == "Draw" ||
                 op == "DrawInstanced" || op == "Present" || op == "OMSetDepthStencilState" ||
                 op == "ClearDepthStencilView" || (op == "OMSetRenderTargets" && targets++ > 0))
            out.push_back(line);
    }
    return out;
}

struct Seq {
    std::vector<std::string> v;
    Seq &add(const std::string &s) {
        v.push_back(s);
        return *this;
    }
    // draw_quads; particles bind their parameters to pixel slot 1 instead of 0.
    Seq &quads(ID3D11Buffer *vb, int n, bool particles = false) {
        if (!vb || n == 0) return *this;
        add("Map").add("IASetVertexBuffers 0 2").add("VSSetConstantBuffers 0 2");
        add(particles ? "PSSetConstantBuffers 1 1" : "PSSetConstantBuffers 0 1");
        return add("IASetPrimitiveTopology 5").add("DrawInstanced 4 " + std::to_string(n) + " 0 0");
    }
};

std::string join(const std::vector<std::string> &v) {
    std::string s;
    for (const std::string &l : v) s += l + "\n";
    return s;
}

Seq mode0_sequence(const Engine &e, bool lines) {
    Seq s;
    s.add("Map").add("Map").add("Map").add("Map"); // Globals, bodies, glows, ring
    s.add("OMSetBlendState state").quads(e.glow_vb, 3).quads(e.stars_vb, e.star_count).quads(e.belt_vb, e.belt_count);
    if (lines) {
        s.add("OMSetBlendState state").add("IASetVertexBuffers 0 1").add("VSSetConstantBuffers 0 1");
        s.add("PSSetConstantBuffers 0 0").add("IASetPrimitiveTopology 3");
        for (int k = 0; k < 8; k++) s.add("Draw 161 " + std::to_string(161 * k));
    }
    s.add("OMSetBlendState null").quads(e.bodies_vb, 10);
    s.add("OMSetBlendState state").quads(e.ring_vb, 1);
    return s;
}

TEST_F(Frame, DrawSequencePerMode) {
    ASSERT_EQ(eng.line_vertex_count, 8 * 161);
    ASSERT_GT(eng.rock_count, 0);
    ASSERT_EQ(eng.rock_vertex_count, 240);
    Seq want[4];
    want[0] = mode0_sequence(eng, true);
    want[1].add("Map").add("Map").add("OMSetBlendState state").quads(eng.glow_vb, 2)
        .quads(eng.stars_vb, eng.star_count).quads(eng.galaxy_vb, eng.galaxy_count, true);
    want[2].add("Map").add("Map").add("Map").add("OMSetBlendState state").quads(eng.glow_vb, 1)
        .quads(eng.stars_vb, eng.star_count).quads(eng.disk_vb, eng.disk_count, true).quads(eng.ring_vb, 1);
    want[3].add("Map").add("Map").add("OMSetBlendState state").quads(eng.glow_vb, 1)
        .quads(eng.stars_vb, eng.star_count)
        .add("OMSetBlendState null").add("Map").add("IASetVertexBuffers 0 2").add("VSSetConstantBuffers 0 2")
        .add("PSSetConstantBuffers 0 0").add("IASetPrimitiveTopology 4")
        .add("OMSetRenderTargets 1 depth").add("ClearDepthStencilView 1").add("OMSetDepthStencilState state")
        .add("DrawInstanced 240 " + std::to_string(eng.rock_count) + " 0 0")
        .add("OMSetDepthStencilState null").add("OMSetRenderTargets 1 null");
    for (int mode = 0; mode < 4; mode++) {
        engine_set_mode(&eng, mode);
        EXPECT_EQ(join(want[mode].v), join(record_frame(&eng))) << "mode " << mode;
    }
}

TEST_F(Frame, FrameStartsWithGlobalsThenTargetAndState) {
    plat_record_begin();
    engine_frame(&eng);
    plat_record_end();
    const char *want[] = {"Map", "Unmap", "OMSetRenderTargets", "ClearRenderTargetView", "RSSetViewports",
                          "RSSetState"};
    ASSERT_GE(plat_record_count(), 6);
    for (int i = 0; i < 6; i++) {
        std::string line = plat_record_line(i);
        EXPECT_EQ(line.substr(0, line.find(' ')), want[i]) << line;
    }
}

// Optional content that is missing skips its whole step, blend call included.
TEST_F(Frame, MissingContentSkipsItsStep) {
    ID3D11Buffer *lines = eng.lines_vb;
    int line_count = eng.line_vertex_count;

    eng.lines_vb = nullptr;
    EXPECT_EQ(join(mode0_sequence(eng, false).v), join(record_frame(&eng))) << "no line buffer";
    eng.lines_vb = lines;
    eng.line_vertex_count = 0;
    EXPECT_EQ(join(mode0_sequence(eng, false).v), join(record_frame(&eng))) << "no line vertices";
    eng.line_vertex_count = line_count;

    engine_set_mode(&eng, 3);
    const int rocks = eng.rock_count;
    Seq no_rocks;
    no_rocks.add("Map").add("Map").add("OMSetBlendState state").quads(eng.glow_vb, 1).quads(eng.stars_vb, eng.star_count);
    eng.rock_count = 0;
    EXPECT_EQ(join(no_rocks.v), join(record_frame(&eng))) << "rock_count 0";
    eng.rock_count = rocks;
    ID3D11Buffer *mesh = eng.rock_mesh_vb;
    eng.rock_mesh_vb = nullptr;
    EXPECT_EQ(join(no_rocks.v), join(record_frame(&eng))) << "no rock mesh";
    eng.rock_mesh_vb = mesh;
}

// ---- pixels ------------------------------------------------------------------

struct Disc {
    double x, y, r; // pixel centre (pixel units, origin at the top-left corner) and radius
    float col[3];
};

// Projects a world point with a camera built here in double precision: eye on
// the orbit, looking at the origin, +y up, vertical field of view 1.05.
Disc project(const Engine &e, const float p[3], float size, const float col[3]) {
    double cy = cos(e.cam_yaw), sy = sin(e.cam_yaw), cp = cos(e.cam_pitch), sp = sin(e.cam_pitch);
    double eye[3] = {e.cam_dist * cy * cp, e.cam_dist * sy * cp, e.cam_dist * sp};
    double len = sqrt(eye[0] * eye[0] + eye[1] * eye[1] + eye[2] * eye[2]);
    double f[3] = {-eye[0] / len, -eye[1] / len, -eye[2] / len};
    double sl = sqrt(f[0] * f[0] + f[2] * f[2]);
    double s[3] = {-f[2] / sl, 0, f[0] / sl};
    double u[3] = {s[1] * f[2] - s[2] * f[1], s[2] * f[0] - s[0] * f[2], s[0] * f[1] - s[1] * f[0]};
    double d[3] = {p[0] - eye[0], p[1] - eye[1], p[2] - eye[2]};
    double vx = s[0] * d[0] + s[1] * d[1] + s[2] * d[2];
    double vy = u[0] * d[0] + u[1] * d[1] + u[2] * d[2];
    double depth = f[0] * d[0] + f[1] * d[1] + f[2] * d[2];
    double t = tan(0.525), aspect = (double)e.width / e.height;
    Disc out;
    out.x = (vx / depth / (t * aspect) * 0.5 + 0.5) * e.width;
    out.y = (0.5 - vy / depth / t * 0.5) * e.height;
    out.r = size / depth / t * 0.5 * e.height;
    memcpy(out.col, col, sizeof out.col);
    return out;
}

// Sun, planets and moon are opaque discs darkened toward the rim; each covers
// the ones before it and the ring adds light on top. Sampled at the centre
// and half-way out, away from the edges of later discs.
TEST_F(Frame, BodiesLandWhereTheirOrbitsPutThem) {
    eng.time_scale = 0.0f;
    eng.sim_time = 0.0f;
    engine_frame(&eng);
    const unsigned char *px;
    int w, h, stride;
    ASSERT_EQ(engine_readback(&eng, &px, &w, &h, &stride), 0) << galaxy_error_get();
    // Guards for the reads below: a wrong stride or size fails here, not as a crash.
    ASSERT_NE(px, nullptr);
    ASSERT_EQ(w, eng.width);
    ASSERT_EQ(h, eng.height);
    ASSERT_EQ(stride, w * 4);

    Disc body[10];
    const float origin[3] = {0, 0, 0}, sun_col[3] = {1.0f, 0.85f, 0.5f};
    body[0] = project(eng, origin, 20, sun_col);
    float p[8][3];
    for (int i = 0; i < 8; i++) {
        kepler_position(&PLANETS[i], 0.0f, &p[i][0], &p[i][1], &p[i][2]);
        body[1 + i] = project(eng, p[i], PLANETS[i].size, PLANETS[i].color);
    }
    const float moon[3] = {p[2][0] + 6 * cosf(1.0f), p[2][1] + 1.5f * sinf(0.9f), p[2][2] + 6 * sinf(1.0f)};
    const float moon_col[3] = {0.6f, 0.6f, 0.62f}, ring_col[3] = {0.85f, 0.75f, 0.6f};
    body[9] = project(eng, moon, 1.1f, moon_col);
    Disc ring = project(eng, p[5], 10.5f, ring_col);

    int centres_checked = 0;
    const double offsets[][2] = {{0, 0}, {0.5, 0}, {-0.5, 0}, {0, 0.5}, {0, -0.5}};
    for (int b = 0; b < 10; b++) {
        for (const auto &o : offsets) {
            int x = (int)floor(body[b].x + o[0] * body[b].r), y = (int)floor(body[b].y + o[1] * body[b].r);
            double cx = x + 0.5, cy = y + 0.5; // the pixel centre the rasterizer samples
            double r2 = ((cx - body[b].x) * (cx - body[b].x) + (cy - body[b].y) * (cy - body[b].y)) /
                        (body[b].r * body[b].r);
            bool covered = r2 > 0.8;
            for (int later = b + 1; later < 10; later++) {
                double dx = cx - body[later].x, dy = cy - body[later].y;
                covered |= sqrt(dx * dx + dy * dy) < body[later].r + 2;
            }
            if (covered || x < 0 || y < 0 || x >= w || y >= h) continue;
            double rr = sqrt(((cx - ring.x) * (cx - ring.x) + (cy - ring.y) * (cy - ring.y))) / ring.r;
            double ring_a = rr <= 1 ? exp(-140 * (rr - 0.55) * (rr - 0.55)) : 0;
            const unsigned char *got = px + (size_t)y * stride + (size_t)x * 4;
            for (int k = 0; k < 3; k++) {
                double want = body[b].col[k] * (1 - 0.55 * r2) + ring_col[k] * ring_a;
                want = want > 1 ? 255 : want * 255;
                EXPECT_NEAR(got[k], want, 3.0)
                    << "body " << b << " channel " << k << " at (" << x << ", " << y << "), offset " << o[0]
                    << "," << o[1];
            }
            EXPECT_EQ(got[3], 255) << "opaque body " << b;
            if (o[0] == 0 && o[1] == 0) centres_checked++;
        }
    }
    EXPECT_GE(centres_checked, 7) << "the camera hides too many bodies for the check to mean much";
}

// Frames with no readback between them: each goes to the device at its end,
// no more than two stay unfinished, steady frames allocate no device memory,
// and the readback after them waits for the rest and returns the last one.
TEST_F(Frame, FramesWithoutReadbackKeepNoBacklog) {
    if (cpu_executor()) GTEST_SKIP() << "Vulkan submissions; the CPU executor finishes each draw";
    const int in_flight = 2; // the platform's frames in flight
    engine_set_mode(&eng, 2);
    eng.time_scale = 0.0f; // the camera alone changes the picture
    const float pitch = eng.cam_pitch, dist = eng.cam_dist;
    auto yaw = [](int i) { return 0.3f + 0.05f * (float)i; };
    auto read = [&]() {
        const unsigned char *px;
        int w, h, s;
        EXPECT_EQ(engine_readback(&eng, &px, &w, &h, &s), 0);
        return std::vector<unsigned char>(px, px + (size_t)s * h);
    };
    for (int i = 0; i < 5; i++) engine_frame(&eng); // pipelines built, rings grown
    read();                                         // and nothing left in flight
    const int frames = 40;
    plat_call_count_reset();
    for (int i = 0; i < frames; i++) {
        engine_set_camera(&eng, yaw(i), pitch, dist);
        engine_frame(&eng);
        const int submitted = plat_call_count("QueueSubmit"), retired = plat_call_count("FenceWait");
        ASSERT_EQ(submitted, i + 1) << "one submission per frame, at its end";
        ASSERT_LE(submitted - retired, in_flight) << "frame " << i;
    }
    EXPECT_EQ(plat_call_count("AllocateMemory"), 0);
    std::vector<unsigned char> after_run = read();
    EXPECT_EQ(plat_call_count("QueueSubmit"), frames + 1);
    EXPECT_EQ(plat_call_count("FenceWait"), frames + 1) << "the readback leaves nothing in flight";
    engine_frame(&eng); // the last camera again, read at once
    EXPECT_TRUE(read() == after_run);
    engine_set_camera(&eng, yaw(frames - 2), pitch, dist);
    engine_frame(&eng);
    EXPECT_FALSE(read() == after_run) << "the camera steps must show";
}

TEST_F(Frame, OffscreenFrameDoesNotPresent) {
    for (const std::string &line : record_frame(&eng)) EXPECT_NE(line.substr(0, 7), "Present");
}

} // namespace
