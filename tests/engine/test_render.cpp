// Pixels through the real engine path: programs, layouts, blend, draws,
// readback, screenshots and resize, on tiny targets.
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <algorithm>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

#include "scratch.h"
#include "capture/capture.h"
#include "frame/frame.h"
#include "gpu/gpu.h"

namespace {

struct Rgba {
    int r, g, b, a;
};

// An offscreen engine whose View only shifts z by 0.5 and whose Proj is the
// identity: world x, y are clip coordinates and the plane z = 0 lies at
// depth 0.5, inside the clip volume.
const float k_black[4] = {0, 0, 0, 0};

struct Render : testing::Test {
    Engine e;
    std::vector<unsigned char> px;
    int w = 0, h = 0;

    void SetUp() override { memset(&e, 0, sizeof e); }
    void TearDown() override {
        release_all(&e);
        free(e.readback_buf);
        plat_fail_clear();
        EXPECT_EQ(plat_live_objects(), 0);
    }

    void create(int width, int height) {
        ASSERT_EQ(engine_create_offscreen(&e, width, height), 0) << galaxy_error_get();
    }

    // Binds the target, clears it and uploads the matrices above.
    void begin(const float clear[4]) {
        Globals g;
        memset(&g, 0, sizeof g);
        m4_identity(&g.View);
        g.View.m[11] = 0.5f;
        m4_identity(&g.Proj);
        upload(e.context, e.cb_globals, &g, sizeof g);
        e.context->OMSetRenderTargets(1, &e.rtv, nullptr);
        e.context->ClearRenderTargetView(e.rtv, clear);
        D3D11_VIEWPORT vp = {0, 0, (float)e.width, (float)e.height, 0, 1};
        e.context->RSSetViewports(1, &vp);
        e.context->RSSetState(e.raster);
    }

    ID3D11Buffer *quads(const QuadInstance *q, int n) {
        ID3D11Buffer *b = nullptr;
        EXPECT_EQ(make_buffer_init(e.device, n * 32, q, &b), 0);
        return b;
    }

    void read() {
        const unsigned char *p = nullptr;
        int stride = 0;
        ASSERT_EQ(engine_readback(&e, &p, &w, &h, &stride), 0) << galaxy_error_get();
        ASSERT_EQ(stride, w * 4);
        px.assign(p, p + (size_t)stride * h);
    }

    Rgba at(int x, int y) const {
        const unsigned char *p = &px[((size_t)y * w + x) * 4];
        return {p[0], p[1], p[2], p[3]};
    }

    // Draws `count` copies of one particle record with additive blending into
    // a cleared target, under a View that scales x, y and z by k and shifts z
    // by 0.5 (Proj the identity), at simulated time `time`; then reads back.
    void draw_particles(const double k[3], float time, ID3D11VertexShader *vs, ID3D11PixelShader *ps,
                        const float params[4], const ParticleInstance &rec, int count) {
        Globals g;
        memset(&g, 0, sizeof g);
        m4_identity(&g.View);
        g.View.m[0] = (float)k[0];
        g.View.m[5] = (float)k[1];
        g.View.m[10] = (float)k[2];
        g.View.m[11] = 0.5f;
        m4_identity(&g.Proj);
        g.Time = time;
        upload(e.context, e.cb_globals, &g, sizeof g);
        e.context->OMSetRenderTargets(1, &e.rtv, nullptr);
        e.context->ClearRenderTargetView(e.rtv, k_black);
        D3D11_VIEWPORT vp = {0, 0, (float)e.width, (float)e.height, 0, 1};
        e.context->RSSetViewports(1, &vp);
        e.context->RSSetState(e.raster);
        e.context->OMSetBlendState(e.blend_add, blendFA, 0xFFFFFFFF);
        std::vector<ParticleInstance> recs(count, rec);
        ID3D11Buffer *b = nullptr;
        ASSERT_EQ(make_buffer_init(e.device, 32 * count, recs.data(), &b), 0);
        draw_par_quads(&e, b, count, vs, ps, params);
        b->Release();
        read();
    }

    // A particle's spot near pixel (cx, cy): its alpha-weighted centroid
    // within 5 px (spots are drawn 8 px across) and its brightest pixel.
    struct Spot {
        double x, y, alpha_sum;
        int bx, by;
    };
    Spot spot(double cx, double cy) const {
        Spot s = {0, 0, 0, 0, 0};
        int best = -1;
        for (int y = (int)cy - 5; y <= (int)cy + 5; y++)
            for (int x = (int)cx - 5; x <= (int)cx + 5; x++) {
                if (x < 0 || y < 0 || x >= w || y >= h) continue;
                int a = at(x, y).a;
                s.x += (x + 0.5) * a, s.y += (y + 0.5) * a, s.alpha_sum += a;
                if (a > best) best = a, s.bx = x, s.by = y;
            }
        if (s.alpha_sum > 0) s.x /= s.alpha_sum, s.y /= s.alpha_sum;
        return s;
    }
};


QuadInstance quad(float x, float y, float size, float r, float g, float b) {
    QuadInstance q = {{x, y, 0.0f}, {r, g, b, 1.0f}, size};
    return q;
}

TEST_F(Render, ClearColourComesBackAsBytes) {
    create(8, 8);
    const float frame_clear[4] = {0.004f, 0.006f, 0.012f, 1.0f};
    begin(frame_clear);
    read();
    Rgba c = at(3, 5);
    EXPECT_EQ(c.r, 1);
    EXPECT_EQ(c.g, 2);
    EXPECT_EQ(c.b, 3);
    EXPECT_EQ(c.a, 255);
}

TEST_F(Render, PlanetIsOpaqueWithDarkenedRim) {
    create(64, 64);
    begin(k_black);
    QuadInstance q = quad(0, 0, 0.5f, 0.8f, 0.6f, 0.4f); // 16 pixels half-width, centre (32, 32)
    ID3D11Buffer *b = quads(&q, 1);
    draw_quads(&e, b, 1, e.vs_quad, e.ps_quad, e.il_quad, k_planet);
    b->Release();
    read();
    for (int x = 16; x < 48; x++) {
        // uv at the pixel centre, relative to the square's centre.
        float u = ((float)x + 0.5f - 32.0f) / 16.0f, v = 0.5f / 16.0f;
        float r2 = u * u + v * v;
        Rgba c = at(x, 32);
        if (r2 > 1.0f) {
            EXPECT_EQ(c.a, 0) << x;
            continue;
        }
        float limb = 1.0f - 0.55f * r2;
        EXPECT_EQ(c.a, 255) << x;
        EXPECT_NEAR(c.r, 0.8f * limb * 255.0f, 1.01f) << x;
        EXPECT_NEAR(c.b, 0.4f * limb * 255.0f, 1.01f) << x;
    }
    EXPECT_EQ(at(20, 20).a, 0); // the square's corner lies outside the disc
}

TEST_F(Render, DiscEdgeIsInclusive) {
    // Square edges through pixel centres: the left-edge pixel of the centre
    // row has uv = (-1, 0), r2 = 1 exactly, and is drawn (top-left rule);
    // a pixel just outside the disc is not.
    create(64, 64);
    begin(k_black);
    // Half-width 16 px centred on pixel centre (32.5, 32.5): edges at 16.5 and 48.5.
    QuadInstance q = quad(0.5f / 32.0f, -0.5f / 32.0f, 0.5f, 1, 1, 1);
    ID3D11Buffer *b = quads(&q, 1);
    draw_quads(&e, b, 1, e.vs_quad, e.ps_quad, e.il_quad, k_planet);
    b->Release();
    read();
    EXPECT_EQ(at(16, 32).a, 255);
    EXPECT_EQ(at(15, 32).a, 0);
    EXPECT_EQ(at(17, 17).a, 0); // near the corner: r2 close to 2
}

TEST_F(Render, RingPeaksAtFiftyFivePercent) {
    create(128, 128);
    begin(k_black);
    ID3D11BlendState *none = nullptr;
    e.context->OMSetBlendState(none, blendFA, 0xFFFFFFFF);
    QuadInstance q = quad(0, 0, 1.0f, 1, 1, 1); // half-width 64 px
    ID3D11Buffer *b = quads(&q, 1);
    draw_quads(&e, b, 1, e.vs_quad, e.ps_quad, e.il_quad, k_ring);
    b->Release();
    read();
    int best = 0, best_x = -1;
    for (int x = 64; x < 128; x++)
        if (at(x, 64).a > best) best = at(x, 64).a, best_x = x;
    float radius = ((float)best_x + 0.5f - 64.0f) / 64.0f;
    EXPECT_NEAR(radius, 0.55f, 1.0f / 64.0f);
    EXPECT_GE(best, 250);
    EXPECT_EQ(at(64, 64).a, 0); // exp(-140 * 0.55^2) rounds to nothing at the centre
}

TEST_F(Render, AdditiveGlowsSaturate) {
    create(16, 16);
    begin(k_black);
    e.context->OMSetBlendState(e.blend_add, blendFA, 0xFFFFFFFF);
    QuadInstance qs[3] = {quad(0, 0, 1, 0.6f, 0.1f, 0.0f), quad(0, 0, 1, 0.6f, 0.1f, 0.0f),
                          quad(0, 0, 1, 0.6f, 0.1f, 0.0f)};
    ID3D11Buffer *b = quads(qs, 3);
    draw_quads(&e, b, 3, e.vs_quad, e.ps_quad, e.il_quad, k_glow);
    b->Release();
    read();
    Rgba c = at(8, 8); // r2 ~ 0: each glow adds about (0.6, 0.1, 0, 1)
    EXPECT_EQ(c.a, 255);
    EXPECT_EQ(c.r, 255);
    EXPECT_NEAR(c.g, 3 * 0.1f * 255.0f * expf(-3.2f * (2 * (0.5f / 8) * (0.5f / 8))), 2.0f);
}

// Glow and dot fall off as exp(-k r2) across the whole quad and stop at its
// inscribed circle: every pixel of the middle row, against the stated k.
TEST_F(Render, GlowAndDotFalloffAcrossTheQuad) {
    const int size = 32;
    create(size, size);
    const struct {
        const float *kind;
        double k;
    } kinds[] = {{k_glow, 3.2}, {k_dot, 6.0}};
    for (const auto &c : kinds) {
        SCOPED_TRACE(c.k);
        begin(k_black);
        e.context->OMSetBlendState(e.blend_add, blendFA, 0xFFFFFFFF);
        QuadInstance q = quad(0, 0, 1, 1.0f, 1.0f, 1.0f); // half-width 1: the quad is the whole target
        ID3D11Buffer *b = quads(&q, 1);
        draw_quads(&e, b, 1, e.vs_quad, e.ps_quad, e.il_quad, c.kind);
        b->Release();
        read();
        const int y = size / 2 + 3;
        double v = 1.0 - (y + 0.5) * 2.0 / size;
        for (int x = 0; x < size; x++) {
            double u = (x + 0.5) * 2.0 / size - 1.0, r2 = u * u + v * v;
            double want = r2 > 1.0 ? 0.0 : 255.0 * exp(-c.k * r2);
            EXPECT_NEAR(at(x, y).a, want, 1.0) << "x " << x << " r2 " << r2;
            EXPECT_NEAR(at(x, y).r, want, 1.0) << "x " << x << " r2 " << r2;
        }
    }
}

// An orbit line through the engine's line program and layout: the vertex's
// colour (times 0.62, plus the flat program's small lift) reaches the row
// the line crosses, and nothing else is lit.
TEST_F(Render, LinesTakeTheirVertexColour) {
    create(16, 16);
    begin(k_black);
    const LineVertex v[2] = {{{-1, 0.03125f, 0}, {0.2f, 0.4f, 0.6f, 1}}, {{1, 0.03125f, 0}, {0.2f, 0.4f, 0.6f, 1}}};
    ID3D11Buffer *b = nullptr;
    ASSERT_EQ(make_buffer_init(e.device, sizeof v, v, &b), S_OK);
    e.context->OMSetBlendState(e.blend_add, blendFA, 0xFFFFFFFF);
    e.context->VSSetShader(e.vs_line, nullptr, 0);
    e.context->PSSetShader(e.ps_flat, nullptr, 0);
    e.context->IASetInputLayout(e.il_line);
    UINT stride = sizeof(LineVertex), offset = 0;
    e.context->IASetVertexBuffers(0, 1, &b, &stride, &offset);
    e.context->VSSetConstantBuffers(0, 1, &e.cb_globals);
    e.context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_LINESTRIP);
    e.context->Draw(2, 0);
    b->Release();
    read();
    const double want[3] = {(0.2 * 0.62 + 0.015) * 255, (0.4 * 0.62 + 0.02) * 255, (0.6 * 0.62 + 0.03) * 255};
    for (int y = 0; y < h; y++)
        for (int x = 1; x < w - 1; x++) {
            const Rgba c = at(x, y);
            if (y != 7) {
                ASSERT_EQ(c.a, 0) << x << "," << y;
                continue;
            }
            EXPECT_NEAR(c.r, want[0], 1.0) << x;
            EXPECT_NEAR(c.g, want[1], 1.0) << x;
            EXPECT_NEAR(c.b, want[2], 1.0) << x;
            EXPECT_EQ(c.a, 255) << x;
        }
}

TEST_F(Render, ParticleHalfWidthComesFromFloatThree) {
    // Floats 4, 6 and 7 are never read; float 3 is ia.w and ib.x at once.
    create(64, 64);
    const float disk_p[4] = {0, 0, 0, 0};
    const float spiral_p[4] = {0, 0, 0, 0};
    struct Family {
        ID3D11VertexShader *vs;
        ID3D11PixelShader *ps;
        const float *params;
        ParticleInstance rec;
        float peak; // coverage at the centre: a = peak * exp(-7 r2)
    } families[] = {
        // disk: a0 = 0, r = 0 puts the particle at the origin
        {e.vs_disk, e.ps_disk, disk_p, {{0, 0, 0, 0.25f, 0, 0, 1, 0}}, 0.55f},
        // galaxy: r = 0, seed 0.5 puts it at radius 0.5
        {e.vs_par, e.ps_par, spiral_p, {{0, 0, 0, 0.25f, 0, 0.5f, 1, 0}}, 0.30f},
    };
    for (Family &f : families) {
        std::vector<unsigned char> images[2];
        for (int garbage = 0; garbage < 2; garbage++) {
            ParticleInstance r = f.rec;
            if (garbage) r.f[4] = 1e6f, r.f[6] = -3e7f, r.f[7] = 12345.0f;
            begin(k_black);
            e.context->OMSetBlendState(e.blend_add, blendFA, 0xFFFFFFFF);
            ID3D11Buffer *b = nullptr;
            ASSERT_EQ(make_buffer_init(e.device, 32, &r, &b), 0);
            draw_par_quads(&e, b, 1, f.vs, f.ps, f.params);
            b->Release();
            read();
            images[garbage] = px;
        }
        EXPECT_EQ(images[0], images[1]);
        // Half-width 0.25 clip units = 8 px. Alpha survives 8-bit rounding
        // while peak * exp(-7 r2) * 255 >= 0.5, i.e. inside r2 < ln(510 peak) / 7.
        int covered = 0;
        for (int i = 0; i < w * h; i++) covered += px[i * 4 + 3] != 0;
        float r2_max = logf(510.0f * f.peak) / 7.0f;
        EXPECT_NEAR(covered, 3.14159f * 64.0f * r2_max, 10.0f);
    }
}

// The galaxy's vertex and pixel programs with every input non-zero, so each
// term shows: the winding with r, the arm offset, the odd instance's half
// turn, the scatter from the seed, the height, the spin parameter, and the
// colour ramp and dimming with r. Positions and colours are worked out here in
// double precision from the stated constants. The view scales x, y and z
// differently so a large galaxy radius still lands on screen and the height
// is clearly visible.
TEST_F(Render, GalaxyParticlesLandAndTintAsStated) {
    const int size = 128;
    create(size, size);
    const double k[3] = {1.0 / 100, 1.0 / 2, 1.0 / 200};
    struct Case {
        float r, arm, phi, seed, spin;
    } cases[] = {
        {20, 1, 0.4f, 0.3f, 0.25f},    // core-to-mid colour, clear winding
        {60, 0, 2.0f, 0.8f, -0.6f},    // beyond the ramp: the arm colour
        {35, 1, -1.0f, 0.55f, 1.1f},   // between mid and arm
        {10, 0, 1.0f, 0.05f, 0.0f},    // near the core
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "r " << c.r << " arm " << c.arm << " seed " << c.seed);
        // Records: r, arm, phi, half-width, -, seed. Instances alternate even
        // and odd; `layers` pairs stack additively on the two spots, so colour
        // bytes grow well past the 8-bit rounding.
        const ParticleInstance rec = {{c.r, c.arm, c.phi, 0.06f, 0, c.seed, 0, 0}};
        const float spin[4] = {c.spin, 0, 0, 0};
        const int layers = 4;
        draw_particles(k, 0.0f, e.vs_par, e.ps_par, spin, rec, 2 * layers);
        std::vector<unsigned char> stacked = px;
        draw_particles(k, 0.0f, e.vs_par, e.ps_par, spin, rec, 2);
        ASSERT_EQ(w, size);

        double r = c.r, seed = c.seed;
        double t = std::min(std::max(0.018 * r, 0.0), 1.0);
        const double core[3] = {1.00, 0.95, 0.82}, mid[3] = {0.95, 0.72, 0.55}, arm[3] = {0.45, 0.62, 1.00};
        double dim = 1.0 / (1.0 + 0.0025 * r * r), col[3];
        for (int i = 0; i < 3; i++)
            col[i] = (t < 0.5 ? core[i] + (mid[i] - core[i]) * 2 * t : mid[i] + (arm[i] - mid[i]) * 2 * (t - 0.5)) * dim;
        for (int odd = 0; odd < 2; odd++) {
            SCOPED_TRACE(odd ? "odd instance" : "even instance");
            double ang = c.phi + (c.arm + 2.0 * odd) * 1.5707963 + 0.21 * r;
            double spread = 0.10 + 0.016 * r;
            double g1 = 2 * (seed - 0.5), f7 = 7.31 * seed, f13 = 13.7 * seed;
            double g2 = 2 * ((f7 - floor(f7)) - 0.5);
            double rr = std::max(0.5, r * (1 + 0.18 * g1));
            double aa = ang + spread * g2 + c.spin;
            double wx = cos(aa) * rr, wy = ((f13 - floor(f13)) - 0.5) * (0.3 + 0.015 * r);
            double cx = (k[0] * wx + 1) / 2 * size, cy = (1 - k[1] * wy) / 2 * size;
            Spot p = spot(cx, cy);
            ASSERT_GT(p.alpha_sum, 0) << "nothing drawn near (" << cx << ", " << cy << ")";
            EXPECT_NEAR(p.x, cx, 0.5);
            EXPECT_NEAR(p.y, cy, 0.5);
            // One layer's alpha at the brightest pixel; the stacked colour there.
            int a1 = at(p.bx, p.by).a;
            EXPECT_GT(a1, 60); // 0.30 * 255 at the centre, a little less a pixel off it
            const unsigned char *q = &stacked[((size_t)p.by * size + p.bx) * 4];
            // Each layer's sum rounds to a byte, and a1 is rounded too.
            for (int i = 0; i < 3; i++)
                EXPECT_NEAR(q[i], layers * col[i] * a1, layers * (0.5 + 0.5 * col[i]) + 1) << "channel " << i;
        }
    }
}

// The accretion disk's programs likewise, at non-zero times and with both
// disk parameters (rotation rate and Doppler strength) non-zero: the angle
// advances by omega * Time * rate, the far half rises and the near half
// sinks, and the tint follows the radius ramp, the Doppler term and dimming.
TEST_F(Render, DiskParticlesMoveAndTintAsStated) {
    const int size = 128;
    create(size, size);
    const double k[3] = {1.0 / 10, 1.0 / 2, 1.0 / 20};
    struct Case {
        float a0, r, omega, time, rate, doppler;
    } cases[] = {
        {0.3f, 2.0f, 0.8f, 0.0f, 1.0f, 0.0f},    // at rest: the start angle alone
        {0.3f, 2.0f, 0.8f, 2.5f, 1.0f, 0.6f},    // the far half, lifted, tinted up
        {1.0f, 4.5f, 0.35f, 7.0f, 1.5f, 0.6f},   // the near half, sunk, tinted down
        {-2.0f, 6.5f, 0.2f, 3.0f, -0.5f, 1.0f},  // past the ramp, turning back
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "r " << c.r << " t " << c.time);
        // Records: start angle, radius, angular speed, half-width.
        const ParticleInstance rec = {{c.a0, c.r, c.omega, 0.06f, 0, 0, 0, 0}};
        const float params[4] = {c.rate, c.doppler, 0, 0};
        const int layers = 4;
        draw_particles(k, c.time, e.vs_disk, e.ps_disk, params, rec, layers);
        std::vector<unsigned char> stacked = px;
        draw_particles(k, c.time, e.vs_disk, e.ps_disk, params, rec, 1);
        ASSERT_EQ(w, size);

        double r = c.r;
        double a = c.a0 + (double)c.omega * c.time * c.rate;
        double sy = sin(a);
        double lift = 2.5 * exp(-1.1 * r);
        double wx = cos(a) * r, wy = lift * sy * sy * (sy < 0 ? 1.0 : -0.18);
        double cx = (k[0] * wx + 1) / 2 * size, cy = (1 - k[1] * wy) / 2 * size;
        Spot p = spot(cx, cy);
        ASSERT_GT(p.alpha_sum, 0) << "nothing drawn near (" << cx << ", " << cy << ")";
        EXPECT_NEAR(p.x, cx, 0.5);
        EXPECT_NEAR(p.y, cy, 0.5);

        double tn = std::min(std::max((r - 1.4) / 4.6, 0.0), 1.0);
        const double inner[3] = {1.00, 0.98, 0.92}, outer[3] = {0.55, 0.16, 0.05};
        double dop = 1.0 + c.doppler * 0.9 * sy, dim = 1.0 / (1.0 + 0.06 * (r - 1.4)), col[3];
        for (int i = 0; i < 3; i++) col[i] = (inner[i] + (outer[i] - inner[i]) * tn * tn) * dop * dim;
        int a1 = at(p.bx, p.by).a;
        EXPECT_GT(a1, 110); // 0.55 * 255 at the centre, a little less a pixel off it
        const unsigned char *q = &stacked[((size_t)p.by * size + p.bx) * 4];
        for (int i = 0; i < 3; i++) {
            double want = std::min(layers * col[i] * a1, 255.0);
            EXPECT_NEAR(q[i], want, layers * (0.5 + 0.5 * col[i]) + 1) << "channel " << i;
        }
    }
}

TEST_F(Render, ReadbackPacksRowsTightlyTopRowFirst) {
    create(20, 10); // a staging row pitch of 256 bytes against 80 packed
    begin(k_black);
    QuadInstance q = quad(-0.5f, 0.5f, 0.5f, 1, 0, 0); // the top-left quadrant
    ID3D11Buffer *b = quads(&q, 1);
    draw_quads(&e, b, 1, e.vs_quad, e.ps_quad, e.il_quad, k_planet);
    b->Release();
    read();
    EXPECT_EQ(w, 20);
    EXPECT_EQ(h, 10);
    EXPECT_GT(at(5, 2).r, 240); // centre of the quadrant
    EXPECT_EQ(at(5, 2).a, 255);
    EXPECT_EQ(at(5, 7).a, 0);   // below: clip y < 0
    EXPECT_EQ(at(15, 2).a, 0);  // right of it
}

TEST_F(Render, RepeatedReadbacksShareOneBufferUntilTheSizeChanges) {
    create(12, 8);
    begin(k_black);
    const unsigned char *p1, *p2, *p3;
    int w1, h1, s1, w2, h2, s2, w3, h3, s3;
    ASSERT_EQ(engine_readback(&e, &p1, &w1, &h1, &s1), 0);
    ASSERT_EQ(engine_readback(&e, &p2, &w2, &h2, &s2), 0);
    EXPECT_EQ(p1, p2);
    EXPECT_EQ(w1, w2);
    EXPECT_EQ(s1, 48);
    engine_resize(&e, 12, 9); // same width, new height
    ASSERT_EQ(engine_readback(&e, &p3, &w3, &h3, &s3), 0);
    EXPECT_EQ(h3, 9);
    EXPECT_EQ(e.readback_size, 12 * 4 * 9);
}

TEST_F(Render, ScreenshotDecodesToTheReadbackBytes) {
    create(24, 16);
    begin(k_black);
    QuadInstance q = quad(0.2f, -0.1f, 0.6f, 0.3f, 0.9f, 0.5f);
    ID3D11Buffer *b = quads(&q, 1);
    draw_quads(&e, b, 1, e.vs_quad, e.ps_quad, e.il_quad, k_dot);
    b->Release();
    read();
    const unsigned char *before = e.readback_buf;
    std::string path = scratch_path("shot.png");
    ASSERT_EQ(engine_screenshot(&e, path.c_str()), 0) << galaxy_error_get();
    int iw, ih, n;
    unsigned char *img = stbi_load(path.c_str(), &iw, &ih, &n, 4);
    ASSERT_NE(img, nullptr);
    EXPECT_EQ(iw, 24);
    EXPECT_EQ(ih, 16);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(memcmp(img, px.data(), px.size()), 0);
    stbi_image_free(img);
    remove(path.c_str());
    EXPECT_EQ(e.readback_buf, before); // screenshots leave the readback alone
}

TEST_F(Render, CaptureErrors) {
    create(8, 8);
    begin(k_black);
    EXPECT_EQ(engine_screenshot(&e, "/nonexistent-dir/x/shot.png"), -1);
    EXPECT_STREQ(galaxy_error_get(), "screenshot: stbi_write_png failed");
    EXPECT_EQ(engine_screenshot(&e, nullptr), -1);
    EXPECT_STREQ(galaxy_error_get(), "screenshot: null path");
    int w1, h1, s1;
    const unsigned char *p1 = nullptr;
    // Any one output pointer missing is refused before anything is written.
    const struct {
        const unsigned char **pixels;
        int *width, *height, *stride;
    } nulls[] = {{nullptr, &w1, &h1, &s1}, {&p1, nullptr, &h1, &s1}, {&p1, &w1, nullptr, &s1}, {&p1, &w1, &h1, nullptr}};
    for (const auto &n : nulls) {
        w1 = h1 = s1 = -3;
        // In a child process first: a missing check writes through the null
        // pointer, and that must fail this assertion, not end the suite. The
        // child is a fresh run of this test (the device's threads do not
        // survive a fork).
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        const testing::TestResult *result = testing::UnitTest::GetInstance()->current_test_info()->result();
        const int parts = result->total_part_count();
        EXPECT_EXIT(exit(engine_readback(&e, n.pixels, n.width, n.height, n.stride) == -1 ? 0 : 1),
                    ::testing::ExitedWithCode(0), "");
        if (result->total_part_count() != parts) continue; // the child crashed: not again here
        EXPECT_EQ(engine_readback(&e, n.pixels, n.width, n.height, n.stride), -1);
        EXPECT_STREQ(galaxy_error_get(), "readback: null output pointer");
        EXPECT_EQ(p1, nullptr);
        EXPECT_TRUE(w1 == -3 && h1 == -3 && s1 == -3);
    }

    plat_fail_call("Map", 1, DXGI_ERROR_DEVICE_REMOVED);
    const unsigned char *p = nullptr;
    EXPECT_EQ(engine_readback(&e, &p, &w1, &h1, &s1), -1);
    EXPECT_STREQ(galaxy_error_get(), "readback: Map failed deviceremoved=0x00000000");
    EXPECT_EQ(p, nullptr);
    plat_fail_call("Map", 1, DXGI_ERROR_DEVICE_REMOVED);
    EXPECT_EQ(engine_screenshot(&e, scratch_path("never-written.png").c_str()), -1);
    EXPECT_STREQ(galaxy_error_get(), "screenshot: Map failed 0x887A0005 deviceremoved=0x00000000");

    // A failed resize leaves the engine created without its render target.
    plat_fail_call("CreateTexture2D", 1, E_OUTOFMEMORY);
    engine_resize(&e, 10, 10);
    EXPECT_STREQ(galaxy_error_get(), "CreateTexture2D(render) failed");
    EXPECT_EQ(e.created, 1);
    EXPECT_EQ(engine_readback(&e, &p, &w1, &h1, &s1), -1);
    EXPECT_STREQ(galaxy_error_get(), "readback: not created");
    EXPECT_EQ(engine_screenshot(&e, scratch_path("never-written.png").c_str()), -1);
    EXPECT_STREQ(galaxy_error_get(), "screenshot: not created");
    engine_frame(&e); // must not crash without a render target

    plat_fail_call("CreateTexture2D", 3, E_OUTOFMEMORY); // the staging texture, after render and depth
    engine_resize(&e, 10, 10);
    EXPECT_EQ(engine_screenshot(&e, scratch_path("never-written.png").c_str()), -1);
    EXPECT_STREQ(galaxy_error_get(), "screenshot: no staging texture");
}

TEST_F(Render, ResizeRules) {
    create(16, 12);
    const struct { int w, h; bool accepted; } cases[] = {
        {1, 600, false}, {800, 1, false}, {0, 0, false}, {-5, -5, false}, {2, 2, true}, {2, 2, true}, {40, 30, true}};
    for (auto c : cases) {
        const int before_w = e.width, before_h = e.height;
        ID3D11Texture2D *old = e.render_tex;
        plat_call_count_reset();
        engine_resize(&e, c.w, c.h);
        if (c.accepted) {
            EXPECT_EQ(e.width, c.w);
            EXPECT_EQ(e.height, c.h);
            EXPECT_EQ(plat_call_count("CreateTexture2D"), 3); // render, depth, staging; also at the current size
            D3D11_TEXTURE2D_DESC d;
            e.staging_tex->GetDesc(&d);
            EXPECT_EQ((int)d.Width, c.w);
            EXPECT_EQ((int)d.Height, c.h);
        } else {
            EXPECT_EQ(e.width, before_w);
            EXPECT_EQ(e.height, before_h);
            EXPECT_EQ(e.render_tex, old);
            EXPECT_EQ(plat_call_count("CreateTexture2D"), 0);
        }
        EXPECT_EQ(plat_call_count("ResizeBuffers"), 0); // offscreen: no swap chain
    }
    begin(k_black);
    read();
    EXPECT_EQ(w, 40);
    EXPECT_EQ(h, 30);

    Engine idle;
    memset(&idle, 0, sizeof idle);
    engine_resize(&idle, 100, 100); // not created: nothing at all
    EXPECT_EQ(idle.width, 0);
}

} // namespace
