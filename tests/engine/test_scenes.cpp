// Pixels of the galaxy, black hole and asteroid field through the whole frame
// path, checked against positions and colours worked out here in double
// precision from the scene's own constants.
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "capture/capture.h"
#include "content/content.h"
#include "frame/frame.h"

namespace {

const double k_pi = 3.14159265358979323846;

struct Vec {
    double x, y, z;
};

Vec add(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec scale(Vec a, double k) { return {a.x * k, a.y * k, a.z * k}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
Vec unit(Vec a) { return scale(a, 1.0 / sqrt(dot(a, a))); }

// The orbit camera, built here: eye on the orbit, looking at the origin,
// screen right = forward x +y, vertical field of view 1.05.
struct Camera {
    Vec eye, right, up, fwd;
    double t, aspect;
    int w, h;
};

Camera camera(const Engine &e) {
    Camera c;
    double cy = cos((double)e.cam_yaw), sy = sin((double)e.cam_yaw);
    double cp = cos((double)e.cam_pitch), sp = sin((double)e.cam_pitch);
    c.eye = {e.cam_dist * cy * cp, e.cam_dist * sy * cp, e.cam_dist * sp};
    c.fwd = unit(scale(c.eye, -1));
    c.right = unit(Vec{-c.fwd.z, 0, c.fwd.x});
    c.up = cross(c.right, c.fwd);
    c.t = tan(0.525);
    c.aspect = (double)e.width / e.height;
    c.w = e.width;
    c.h = e.height;
    return c;
}

struct Screen {
    double x, y;  // pixel units, origin at the top-left corner
    double depth; // distance along the view direction
    double px_per_unit; // pixels per world unit at that depth
};

Screen project(const Camera &c, Vec p) {
    Vec d = add(p, scale(c.eye, -1));
    double vx = dot(c.right, d), vy = dot(c.up, d), depth = dot(c.fwd, d);
    Screen s;
    s.x = (vx / depth / (c.t * c.aspect) * 0.5 + 0.5) * c.w;
    s.y = (0.5 - vy / depth / c.t * 0.5) * c.h;
    s.depth = depth;
    s.px_per_unit = 0.5 * c.h / (depth * c.t);
    return s;
}

struct Rgb {
    int r, g, b;
};

struct Scene : testing::Test {
    static Engine eng;
    const unsigned char *px = nullptr;
    int w = 0, h = 0, stride = 0;

    static void SetUpTestSuite() {
        memset(&eng, 0, sizeof eng);
        if (engine_create_offscreen(&eng, 640, 480) != 0)
            fprintf(stderr, "engine_create_offscreen: %s\n", galaxy_error_get());
    }
    static void TearDownTestSuite() {
        if (eng.created) engine_destroy(&eng);
    }
    void SetUp() override { ASSERT_EQ(eng.created, 1) << "offscreen engine could not be created"; }
    void TearDown() override { EXPECT_EQ(plat_validation_messages(), 0); }

    // One frame at t = 0 in the mode, with the camera given (or the preset).
    void render(int mode, int width, int height, const float *cam = nullptr) {
        engine_resize(&eng, width, height);
        engine_set_mode(&eng, mode);
        if (cam) engine_set_camera(&eng, cam[0], cam[1], cam[2]);
        eng.time_scale = 0.0f;
        eng.sim_time = 0.0f;
        engine_frame(&eng);
        ASSERT_EQ(engine_readback(&eng, &px, &w, &h, &stride), 0) << galaxy_error_get();
    }
    Rgb at(int x, int y) const {
        const unsigned char *p = px + (size_t)y * stride + (size_t)x * 4;
        return {p[0], p[1], p[2]};
    }
};
Engine Scene::eng;

// ---- galaxy ------------------------------------------------------------------

const float k_above[3] = {1.5707963f, 0.0f, 150.0f};

// Brightness (r + g + b) of the pixels whose centres fall in each of n equal
// sectors of the annulus r0 <= r < r1 (pixels) about (cx, cy).
std::vector<double> sector_means(const Scene &s, double cx, double cy, double r0, double r1, int n) {
    std::vector<double> sum(n, 0.0), count(n, 0.0);
    for (int y = (int)(cy - r1); y <= (int)(cy + r1) + 1; y++) {
        for (int x = (int)(cx - r1); x <= (int)(cx + r1) + 1; x++) {
            if (x < 0 || y < 0 || x >= s.w || y >= s.h) continue;
            double dx = x + 0.5 - cx, dy = y + 0.5 - cy, r = sqrt(dx * dx + dy * dy);
            if (r < r0 || r >= r1) continue;
            int k = (int)floor((atan2(dy, dx) + k_pi) / (2 * k_pi) * n) % n;
            Rgb c = s.at(x, y);
            sum[k] += c.r + c.g + c.b;
            count[k] += 1;
        }
    }
    for (int k = 0; k < n; k++) sum[k] = count[k] > 0 ? sum[k] / count[k] : 0.0;
    return sum;
}

// Brightest quarter of the sectors against the darkest quarter.
double angular_contrast(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t q = v.size() / 4;
    double lo = 0, hi = 0;
    for (size_t i = 0; i < q; i++) lo += v[i], hi += v[v.size() - 1 - i];
    return lo > 0 ? hi / lo : 1e9;
}

TEST_F(Scene, GalaxyFromAboveShowsArms) {
    for (int quality = 0; quality <= 1; quality++) {
        engine_set_quality(&eng, quality);
        render(1, 512, 512, k_above);
        Camera c = camera(eng);
        Screen o = project(c, {0, 0, 0});
        printf("quality %d:", quality);
        for (double r0 = 4; r0 < 44; r0 += 4) {
            double c2 = angular_contrast(sector_means(*this, o.x, o.y, r0 * o.px_per_unit, (r0 + 2) * o.px_per_unit, 48));
            printf(" %.0f:%.2f", r0, c2);
        }
        printf("\n");
    }
    engine_set_quality(&eng, 0);
}

} // namespace
