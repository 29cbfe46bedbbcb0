// Pixels of the galaxy, black hole and asteroid field through the whole frame
// path, checked against positions and colours worked out here in double
// precision from the scene's own constants.
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "content/content.h"
#include "frame/frame.h"
#include "gpu/gpu.h"

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

// The generator gathers each arm's particles into an angle window of 0.3
// rad; the vertex program turns arm k by k quarter turns and winds it by
// 0.21 r. From above, the arm centres must be bright and the lanes half-way
// between them dark, and each thin ring must show a strong angular contrast.
TEST_F(Scene, GalaxyFromAboveShowsFourWoundArms) {
    const int star_count = eng.star_count;
    eng.star_count = 0; // stars would only add noise
    for (int quality = 0; quality <= 1; quality++) {
        SCOPED_TRACE("quality " + std::to_string(quality));
        engine_set_quality(&eng, quality);
        eng.star_count = 0;
        render(1, 512, 512, k_above);
        Camera c = camera(eng);
        Screen o = project(c, {0, 0, 0});
        for (double r = 8; r <= 24; r += 4) {
            double contrast = angular_contrast(sector_means(*this, o.x, o.y, r * o.px_per_unit, (r + 2) * o.px_per_unit, 48));
            EXPECT_GT(contrast, 2.0) << "ring at r = " << r;
            double arms = 0, lanes = 0;
            for (int k = 0; k < 4; k++) {
                double a = 0.15 + k * k_pi / 2 + 0.21 * r;
                for (int lane = 0; lane < 2; lane++) {
                    double b = a + lane * k_pi / 4;
                    Screen p = project(c, {cos(b) * r, 0, sin(b) * r});
                    Rgb px = at((int)p.x, (int)p.y);
                    (lane ? lanes : arms) += px.r + px.g + px.b;
                }
            }
            EXPECT_GT(arms, 2.0 * lanes + 30) << "arms against lanes at r = " << r;
        }
    }
    engine_set_quality(&eng, 0);
    eng.star_count = star_count;
}

// At the preset camera the core is the warm white of the two glows and the
// densest particles, fading outwards and bluer at the rim.
TEST_F(Scene, GalaxyCoreIsWarmAndCentred) {
    engine_set_quality(&eng, 0);
    render(1, 640, 480);
    Camera c = camera(eng);
    Screen o = project(c, {0, 0, 0});
    Rgb core = at((int)o.x, (int)o.y);
    EXPECT_EQ(core.r, 255);
    EXPECT_GE(core.g, 230);
    // Warm around the core: red above blue, summed over a thin ring.
    double red = 0, blue = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            double d = hypot(x + 0.5 - o.x, y + 0.5 - o.y) / o.px_per_unit;
            if (d >= 6 && d < 9) red += at(x, y).r, blue += at(x, y).b;
        }
    EXPECT_GT(red, 1.05 * blue);
    // Brightness falls off with distance from the projected centre.
    auto ring_brightness = [&](double r) {
        std::vector<double> v = sector_means(*this, o.x, o.y, r * o.px_per_unit, (r + 3) * o.px_per_unit, 16);
        double sum = 0;
        for (double x : v) sum += x;
        return sum / v.size();
    };
    EXPECT_GT(ring_brightness(3), ring_brightness(20));
    EXPECT_GT(ring_brightness(20), ring_brightness(45));
}

// Glow (size 1.3, exp(-3.2 r2)) and ring (size 0.5, peak at 55%) both sit at
// the origin, in view space at the camera's distance; along the row through
// their centre, away from the disk, each pixel is their sum over the clear
// colour.
TEST_F(Scene, BlackHoleGlowAndRingAlongTheCentreRow) {
    const int star_count = eng.star_count;
    eng.star_count = 0;
    render(2, 640, 480);
    eng.star_count = star_count;
    Camera c = camera(eng);
    Screen o = project(c, {0, 0, 0});
    const double glow[3] = {1.0, 0.9, 0.7}, ring[3] = {1.0, 0.95, 0.85}, clear[3] = {0.004, 0.006, 0.012};
    int y = (int)floor(o.y);
    int ring_pixels = 0;
    for (int x = (int)(o.x - 1.2 * o.px_per_unit); x <= (int)(o.x + 1.2 * o.px_per_unit); x++) {
        double u = (x + 0.5 - o.x) / o.px_per_unit, v = (y + 0.5 - o.y) / o.px_per_unit;
        double d = sqrt(u * u + v * v);
        double g2 = (d / 1.3) * (d / 1.3), ru = d / 0.5;
        double ga = g2 <= 1 ? exp(-3.2 * g2) : 0, ra = ru <= 1 ? exp(-140 * (ru - 0.55) * (ru - 0.55)) : 0;
        ring_pixels += ra > 0.5;
        Rgb got = at(x, y);
        const int chan[3] = {got.r, got.g, got.b};
        for (int k = 0; k < 3; k++) {
            double want = clear[k] + glow[k] * ga + ring[k] * ra;
            EXPECT_NEAR(chan[k], want > 1 ? 255 : want * 255, 3.0) << "x " << x << " channel " << k;
        }
    }
    EXPECT_GE(ring_pixels, 2) << "the row must cross the ring on both sides";
}

// ---- rocks -------------------------------------------------------------------

const Vec k_light = {0.55, 0.21, -0.81};

struct Hit {
    double t = 1e300;
    Vec n;      // interpolated vertex normal
    double edge; // smallest barycentric coordinate
};

// Nearest hit of the ray eye + t dir with the triangle list (no culling).
Hit trace(const std::vector<Vec> &p, const std::vector<Vec> &n, Vec eye, Vec dir) {
    Hit best;
    for (size_t i = 0; i + 2 < p.size(); i += 3) {
        Vec e1 = add(p[i + 1], scale(p[i], -1)), e2 = add(p[i + 2], scale(p[i], -1));
        Vec h = cross(dir, e2);
        double det = dot(e1, h);
        if (fabs(det) < 1e-12) continue;
        Vec s = add(eye, scale(p[i], -1));
        double b1 = dot(s, h) / det;
        Vec q = cross(s, e1);
        double b2 = dot(dir, q) / det, t = dot(e2, q) / det;
        if (b1 < 0 || b2 < 0 || b1 + b2 > 1 || t <= 0 || t >= best.t) continue;
        best.t = t;
        best.n = add(add(scale(n[i], 1 - b1 - b2), scale(n[i + 1], b1)), scale(n[i + 2], b2));
        best.edge = fmin(fmin(b1, b2), 1 - b1 - b2);
    }
    return best;
}

// One rock, unrotated at t = 0 (phase 0), scale 12 at the origin: every
// pixel it covers must show the near surface, shaded by the vertex colours
// 0.85 max(0, n.L) + 0.15 interpolated across the triangle, through the flat
// program's 0.62 and bias. Drawing back faces over front ones (no depth)
// fails this on a third of the rock.
TEST_F(Scene, LoneRockShowsItsNearSurfaceLitFromTheLight) {
    RockInstance one = {{0, 0, 0}, {0, 1, 0}, {12.0f, 0.0f}};
    ID3D11Buffer *vb = nullptr;
    ASSERT_EQ(make_buffer_init(eng.device, sizeof one, &one, &vb), 0);
    ID3D11Buffer *saved_vb = eng.rock_inst_vb;
    const int saved_count = eng.rock_count, star_count = eng.star_count;
    eng.rock_inst_vb = vb;
    eng.rock_count = 1;
    eng.star_count = 0;
    const float cam[3] = {0.9f, 0.1f, 40.0f};
    render(3, 320, 240, cam);
    eng.rock_inst_vb = saved_vb;
    eng.rock_count = saved_count;
    eng.star_count = star_count;
    vb->Release();

    RockVertex mesh[ROCK_MESH_VERTICES];
    fill_rock_mesh(mesh);
    std::vector<Vec> pos, nrm;
    for (const RockVertex &v : mesh) {
        pos.push_back({v.p[0] * 12.0, v.p[1] * 12.0, v.p[2] * 12.0});
        double ndl = unit(Vec{v.n[0], v.n[1], v.n[2]}).x * k_light.x + unit(Vec{v.n[0], v.n[1], v.n[2]}).y * k_light.y +
                     unit(Vec{v.n[0], v.n[1], v.n[2]}).z * k_light.z;
        nrm.push_back({0.85 * fmax(0.0, ndl) + 0.15, 0, 0}); // the vertex colour, interpolated like a normal
    }
    std::vector<Vec> normals;
    for (const RockVertex &v : mesh) normals.push_back({v.n[0], v.n[1], v.n[2]});

    Camera c = camera(eng);
    int checked = 0, lit = 0, dark = 0;
    double lit_sum = 0, dark_sum = 0;
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            double sx = ((x + 0.5) / w * 2 - 1) * c.t * c.aspect, sy = (1 - (y + 0.5) / h * 2) * c.t;
            Vec dir = unit(add(add(c.fwd, scale(c.right, sx)), scale(c.up, sy)));
            Hit hit = trace(pos, nrm, c.eye, dir);
            if (hit.t > 1e299 || hit.edge < 0.05) continue; // off the rock, or too close to an edge to call
            double shade = hit.n.x;
            Rgb got = at(x, y);
            EXPECT_NEAR(got.r, (shade * 0.62 + 0.015) * 255, 3.0) << "pixel " << x << ", " << y;
            EXPECT_NEAR(got.b, (shade * 0.62 + 0.03) * 255, 3.0) << "pixel " << x << ", " << y;
            checked++;
            Hit geo = trace(pos, normals, c.eye, dir);
            double facing = dot(unit(geo.n), unit(k_light));
            if (facing > 0.5) lit++, lit_sum += got.r;
            else if (facing < -0.2) dark++, dark_sum += got.r;
        }
    }
    EXPECT_GT(checked, 2000) << "the rock must fill a good part of the view";
    ASSERT_GT(lit, 100);
    ASSERT_GT(dark, 100);
    EXPECT_GT(lit_sum / lit, 2.5 * (dark_sum / dark)) << "the side facing the light is the bright one";
}

// In the whole field at t = 0 the largest rocks on screen land where the
// projection puts their centres: grey, lit at least by the ambient term,
// never the dark sky.
TEST_F(Scene, FieldRocksLandAtTheirProjectedCentres) {
    engine_set_quality(&eng, 0);
    render(3, 640, 480);
    Camera c = camera(eng);
    std::vector<std::pair<double, int>> big;
    for (int i = 0; i < eng.rock_count; i++) {
        const RockInstance &r = eng.rocks[i];
        Screen s = project(c, {r.ipos[0], r.ipos[1], r.ipos[2]});
        double radius = 0.85 * r.idata[0] * s.px_per_unit;
        if (s.depth > 1 && s.x > radius && s.y > radius && s.x < w - radius && s.y < h - radius)
            big.push_back({-radius, i});
    }
    std::sort(big.begin(), big.end());
    ASSERT_GE(big.size(), 5u);
    for (size_t k = 0; k < 5; k++) {
        const RockInstance &r = eng.rocks[big[k].second];
        Screen s = project(c, {r.ipos[0], r.ipos[1], r.ipos[2]});
        Rgb got = at((int)s.x, (int)s.y);
        const int floor_ = (int)((0.15 * 0.62 + 0.015) * 255) - 2; // ambient only
        EXPECT_GE(got.r, floor_) << "rock " << big[k].second;
        EXPECT_LE(got.b - got.r, 5) << "rock " << big[k].second; // grey, not the bluish sky
        EXPECT_GE(got.b - got.r, 2) << "rock " << big[k].second; // the flat program's bias
    }
}

} // namespace
