// Scene content without a device: the random source, every generator's
// records, the rock mesh, Kepler motion, orbit lines and the quality setter.
// Expected records are golden values or evaluated here from draws re-derived
// with a local xorshift, never by calling the generators.
#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <set>
#include <vector>

#include "alloc_fail.h"
#include "content/content.h"

namespace {

// ---- a local xorshift64, its inverse, and states that yield chosen draws

uint64_t step(uint64_t s) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

uint64_t unstep(uint64_t y) {
    y ^= (y << 17) ^ (y << 34) ^ (y << 51);
    uint64_t x = y;
    for (int k = 7; k < 64; k += 7) x ^= y >> k;
    return x ^ (x << 13) ^ (x << 26) ^ (x << 39) ^ (x << 52);
}

float to_unit(uint64_t state) {
    uint64_t v = (state >> 11) & ((1ull << 52) - 1);
    return (float)(double)v * 0x1p-52f; // v < 2^52: exact in double, one rounding to float
}

// The state whose 52 draw bits are exactly u * 2^52 (u a float in [0, 1)).
uint64_t state_for(float u) { return (uint64_t)((double)u * 0x1p52) << 11; }

struct Draws {
    uint64_t s;
    float u() { return to_unit(s = step(s)); }
    void skip(long n) {
        for (long i = 0; i < n; i++) s = step(s);
    }
};

uint32_t bits(float f) {
    uint32_t b;
    memcpy(&b, &f, 4);
    return b;
}

// Bit-for-bit float comparison (tells -0 from 0), printing values on failure.
::testing::AssertionResult same_floats(const float *got, const float *want, int n) {
    for (int i = 0; i < n; i++)
        if (bits(got[i]) != bits(want[i]))
            return ::testing::AssertionFailure()
                   << "float " << i << ": got " << got[i] << " (0x" << std::hex << bits(got[i])
                   << "), want " << std::dec << want[i] << " (0x" << std::hex << bits(want[i]) << ")";
    return ::testing::AssertionSuccess();
}

const float TWO_PI = 6.2831855f;

} // namespace

// ---- random source

TEST(ContentRng, StepIsXorshift64) {
    rng_seed = 1; // by hand: 1 -> 0x2001 -> 0x2041 -> 0x2041 ^ (0x2041 << 17)
    EXPECT_EQ(rng_next(), 0x40822041ull);
    EXPECT_EQ(rng_seed, 0x40822041ull);
    rng_seed = 0x8000000000000000ull; // shifted-out bits are lost
    EXPECT_EQ(rng_next(), 0x8000000000000000ull ^ (0x8000000000000000ull >> 7));
    for (uint64_t s : {0x9e3779b97f4a7c15ull, 0x5eed5eedull, 0xffffffffffffffffull})
        EXPECT_EQ(unstep(step(s)), s) << "test helper";
}

TEST(ContentRng, FloatUsesBits11To62WithRounding) {
    struct {
        uint64_t v52;
        float want;
    } cases[] = {
        {0, 0.0f},
        {1, 0x1p-52f},
        {(1ull << 51), 0.5f},
        {(1ull << 52) - (1ull << 27) - 1, 0x1.fffffep-1f}, // last value below the round-up
        {(1ull << 52) - (1ull << 27), 1.0f},                // ties to even: exactly 1.0
        {(1ull << 52) - 1, 1.0f},
    };
    for (auto &c : cases) {
        for (uint64_t extra : {0ull, 0x7ffull, 0x8000000000000000ull}) { // bits 0..10 and 63 are dropped
            uint64_t target = (c.v52 << 11) | extra;
            rng_seed = unstep(target);
            float u = rng_float();
            EXPECT_EQ(bits(u), bits(c.want)) << std::hex << c.v52 << " extra " << extra;
            EXPECT_EQ(rng_seed, target);
        }
    }
}

TEST(ContentRng, RangeScalesByTheFloatDifference) {
    float u = 0.37f; // a draw where the two factors round differently
    rng_seed = unstep(state_for(u));
    EXPECT_EQ(bits(rng_range(0.4f, 0.9f)), bits(u * 0.49999997f + 0.4f));
    rng_seed = unstep(state_for(u));
    EXPECT_EQ(bits(rng_range(-220.0f, 220.0f)), bits(u * 440.0f - 220.0f));
    EXPECT_NE(bits(u * 0.49999997f + 0.4f), bits(u * 0.5f + 0.4f)) << "fixture must tell them apart";
}

// ---- generators: four records of each set at the top quality, and the
// lower quality a prefix of it

// Golden records, bit for bit: the first two, the last of the lowest quality
// and the last of the highest. Their sizes, colours and radii lie within the
// ranges the distribution tests below state.
struct SetCase {
    const char *name;
    size_t record_bytes;
    int floats; // compared floats (particles leave float 7 unwritten)
    void (*fill)(void *, int);
    int n_low, n_high;
    float golden[4][8];
};

template <typename Rec, void (*F)(Rec *, int)> void fill_as(void *out, int n) { F((Rec *)out, n); }

TEST(ContentSets, RecordsMatchTheirGoldenValues) {
    const SetCase cases[] = {
        {"stars", sizeof(QuadInstance), 8, fill_as<QuadInstance, fill_stars>, 100000, 500000,
            {
             {0x1.53ad76p+11f, -0x1.b4fc9p+12f, 0x1.fcdf7cp+12f, 0x1.f87e38p-2f, 0x1.f87e38p-2f, 0x1.f87e38p-2f, 0x1p+0f, 0x1.0dc47ep+4f},
             {-0x1.f40396p+12f, 0x1.b26dacp+12f, -0x1.32a7ecp+9f, 0x1.48587cp-1f, 0x1.48587cp-1f, 0x1.48587cp-1f, 0x1p+0f, 0x1.94f5ecp+3f},
             {0x1.aae0b6p+12f, 0x1.f4ed04p+12f, -0x1.3b522p+12f, 0x1.8a0bfep-2f, 0x1.8a0bfep-2f, 0x1.8a0bfep-2f, 0x1p+0f, 0x1.ba4498p+3f},
             {-0x1.118d3ap+8f, 0x1.54635p+6f, 0x1.61b0b2p+13f, 0x1.d337d8p-2f, 0x1.75c646p-2f, 0x1.1854b6p-2f, 0x1p+0f, 0x1.16bca2p+4f}
            }},
        {"belt", sizeof(QuadInstance), 8, fill_as<QuadInstance, fill_belt>, 25000, 500000,
            {
             {0x1.37d142p+6f, 0x1.8f3d8p-3f, 0x1.54d618p-9f, 0x1.c4ad34p-3f, 0x1.a07664p-3f, 0x1.6a242ap-3f, 0x1p+0f, 0x1.45500cp-1f},
             {-0x1.90ccd4p+5f, 0x1.407edp+0f, 0x1.8dffbep+5f, 0x1.2fef2cp-2f, 0x1.179e9ap-2f, 0x1.e64b7ap-3f, 0x1p+0f, 0x1.ca2bbcp-2f},
             {-0x1.75818p+5f, 0x1.9c61b8p+0f, 0x1.e9592ap+5f, 0x1.46b85cp-3f, 0x1.2c9522p-3f, 0x1.05604ap-3f, 0x1p+0f, 0x1.b25fbcp-1f},
             {-0x1.085434p+6f, 0x1.68fb2cp+0f, -0x1.2e7956p+3f, 0x1.c1d1acp-3f, 0x1.9dd562p-3f, 0x1.67dafp-3f, 0x1p+0f, 0x1.5f1f4ep-1f}
            }},
        {"galaxy", sizeof(ParticleInstance), 7, fill_as<ParticleInstance, fill_galaxy>, 100000, 500000,
            {
             {0x1.0001b2p+0f, 0x1p+0f, 0x1.26dfdcp-2f, 0x1.123f1ap-1f, 0x0p+0f, 0x1.aeb852p-1f, 0x1p+0f},
             {0x1.e20fbp+3f, 0x1p+0f, 0x1.8d8beep+2f, 0x1.64cb8ep-1f, 0x0p+0f, 0x1.65cbbap-2f, 0x1p+0f},
             {0x1.9814c6p+3f, 0x0p+0f, 0x1.57fa6ap-2f, 0x1.7c5144p-1f, 0x0p+0f, 0x1.7b66ccp-1f, 0x1p+0f},
             {0x1.f06a16p+2f, 0x0p+0f, 0x1.6c29a4p-3f, 0x1.fc1d3ep-1f, 0x0p+0f, 0x1.505308p-1f, 0x1p+0f}
            }},
        {"disk", sizeof(ParticleInstance), 7, fill_as<ParticleInstance, fill_disk>, 8000, 48000,
            {
             {0x1.ad633p+1f, 0x1.80ddf4p+0f, 0x1.0fd678p+1f, 0x1.0365e6p-4f, 0x0p+0f, 0x0p+0f, 0x1p+0f},
             {0x1.65e84ap+2f, 0x1.b82cd4p+1f, 0x1.9fa218p-2f, 0x1.096f64p-3f, 0x0p+0f, 0x0p+0f, 0x1p+0f},
             {0x1.40d636p+1f, 0x1.ad4e6cp+1f, 0x1.b4f1dep-2f, 0x1.959a88p-4f, 0x0p+0f, 0x0p+0f, 0x1p+0f},
             {0x1.8c9006p+1f, 0x1.3a4696p+2f, 0x1.97abb2p-3f, 0x1.ff4fe4p-4f, 0x0p+0f, 0x0p+0f, 0x1p+0f}
            }},
        {"rocks", sizeof(RockInstance), 8, fill_as<RockInstance, fill_rocks>, 300, 1800,
            {
             {-0x1.b7fee6p+7f, -0x1.37270cp+6f, -0x1.116328p+7f, 0x1.7ca6fp-4f, -0x1.e3bb7ep-1f, -0x1.41c382p-2f, 0x1.7e3ac2p+2f, 0x1.041eeep+1f},
             {0x1.364068p+6f, 0x1.8aa17p+7f, 0x1.acc23cp+7f, -0x1.107b1ep-1f, -0x1.71d902p-1f, 0x1.c4277cp-2f, 0x1.27e132p+1f, 0x1.26e456p+2f},
             {0x1.a59cep+4f, -0x1.51282cp+6f, -0x1.5decdp+4f, -0x1.46b9eap-3f, 0x1.b246e2p-1f, 0x1.029a76p-1f, 0x1.b21ccp+0f, 0x1.ad36d6p+0f},
             {0x1.66bd7cp+7f, 0x1.2853fp+6f, 0x1.668c38p+6f, 0x1.239edcp-2f, 0x1.20571p-2f, 0x1.d5257cp-1f, 0x1.906e5ep+1f, 0x1.038c36p+2f}
            }},
    };
    for (const SetCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> low(c.record_bytes * c.n_low), high(c.record_bytes * c.n_high);
        c.fill(low.data(), c.n_low);
        c.fill(high.data(), c.n_high);
        const int idx[4] = {0, 1, c.n_low - 1, c.n_high - 1};
        for (int k = 0; k < 4; k++) {
            const float *got = (const float *)(high.data() + c.record_bytes * idx[k]);
            EXPECT_TRUE(same_floats(got, c.golden[k], c.floats)) << "record " << idx[k];
        }
        EXPECT_EQ(memcmp(low.data(), high.data(), low.size()), 0) << "low level is a prefix";
    }
}

TEST(ContentSets, FirstAsteroidLiesAlmostOnPlusX) {
    QuadInstance a;
    fill_belt(&a, 1);
    EXPECT_GT(a.ipos[0], 61.0f);
    EXPECT_LT(fabsf(a.ipos[2]), 0.01f * a.ipos[0]);
}

TEST(ContentSets, FillLeavesParticleFloat7Alone) {
    ParticleInstance p[2];
    memset(p, 0x7f, sizeof p);
    fill_galaxy(p, 1);
    fill_disk(p + 1, 1);
    EXPECT_EQ(bits(p[0].f[7]), 0x7f7f7f7fu);
    EXPECT_EQ(bits(p[1].f[7]), 0x7f7f7f7fu);
}

// ---- thresholds and edges, from states chosen to give exact draws

// The seed whose draw number `position` (0 = the first) is exactly u.
static uint64_t seed_with_draw_at(int position, float u) {
    uint64_t s = state_for(u);
    for (int i = 0; i < position; i++) s = unstep(s);
    return unstep(s);
}

TEST(ContentEdges, StarColourClassBoundaries) {
    struct {
        float u5;
        int cls; // 0 warm, 1 blue, 2 white
    } cases[] = {{0.0f, 0}, {nextafterf(0.12f, 0.0f), 0}, {0.12f, 1}, {nextafterf(0.2f, 0.0f), 1}, {0.2f, 2}, {0.99f, 2}};
    for (auto &c : cases) {
        uint64_t seed = seed_with_draw_at(4, c.u5);
        Draws d = {seed};
        for (int i = 0; i < 3; i++) d.u();
        float v = d.u() * 0.5f + 0.2f;
        ASSERT_EQ(bits(d.u()), bits(c.u5));
        float want[3][3] = {{v, 0.8f * v, 0.6f * v}, {0.7f * v, 0.8f * v, v}, {v, v, v}};
        rng_seed = seed;
        QuadInstance q;
        make_star(&q);
        EXPECT_TRUE(same_floats(q.icol, want[c.cls], 3)) << "u5 " << c.u5;
    }
}

TEST(ContentEdges, GalaxyArmBoundary) {
    struct {
        float u2, arm;
    } cases[] = {{0.0f, 0.0f}, {nextafterf(0.5f, 0.0f), 0.0f}, {0.5f, 1.0f}, {0.75f, 1.0f}};
    for (auto &c : cases) {
        rng_seed = seed_with_draw_at(1, c.u2);
        ParticleInstance p;
        make_galaxy_particle(&p);
        EXPECT_EQ(p.f[1], c.arm) << c.u2;
    }
}

// Unwound by the radius the vertex program will draw it at, every particle's
// angle lies in one narrow window, so the program's four arm offsets make
// four separate arms; the stored angle itself stays within 0 .. 2 pi.
TEST(ContentEdges, GalaxyAnglesGatherIntoOneArmWindow) {
    std::vector<ParticleInstance> p(100000);
    fill_galaxy(p.data(), (int)p.size());
    double lo = 10, hi = -10;
    int wrapped = 0;
    for (const ParticleInstance &q : p) {
        ASSERT_GE(q.f[2], 0.0f);
        ASSERT_LT(q.f[2], TWO_PI);
        double drawn_at = q.f[0] * (1.0 + 0.18 * (2.0 * (q.f[5] - 0.5)));
        double a = q.f[2] - 0.21 * (drawn_at - q.f[0]);
        if (a > 3.2) a -= 2 * 3.14159265358979, wrapped++;
        lo = fmin(lo, a), hi = fmax(hi, a);
    }
    EXPECT_NEAR(lo, 0.0, 1e-3);
    EXPECT_NEAR(hi, 0.3, 1e-3);
    EXPECT_GT(wrapped, 1000) << "fixture: outer particles pulled inwards wrap below zero";
}

TEST(ContentEdges, DiskRadiusEnds) {
    // u1 = 0 (only bit 63 set, which is dropped) and u1 = 1.0 (top of the rounding).
    struct {
        uint64_t state;
        float r;
    } cases[] = {{0x8000000000000000ull, 1.5f}, {((1ull << 52) - 1) << 11, 6.0f}};
    for (auto &c : cases) {
        rng_seed = unstep(c.state);
        ParticleInstance p;
        make_disk_particle(&p);
        EXPECT_EQ(p.f[1], c.r);
        EXPECT_EQ(bits(p.f[2]), bits(4.8f / (c.r * c.r)));
    }
}

// ---- rock mesh

static const float T = 1.618034f;
static const float ICO[12][3] = {{-1, T, 0}, {1, T, 0}, {-1, -T, 0}, {1, -T, 0}, {0, -1, T}, {0, 1, T},
                                 {0, -1, -T}, {0, 1, -T}, {T, 0, -1}, {T, 0, 1}, {-T, 0, -1}, {-T, 0, 1}};
static const int FACES[20][3] = {{0, 11, 5}, {0, 5, 1}, {0, 1, 7},  {0, 7, 10}, {0, 10, 11},
                                 {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                                 {3, 9, 4},  {3, 4, 2}, {3, 2, 6},  {3, 6, 8},  {3, 8, 9},
                                 {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},  {9, 8, 1}};

static float len3(const float *v) { return sqrtf((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]); }

static void scaled(const float *v, float k, float *out) {
    float l = len3(v);
    for (int i = 0; i < 3; i++) out[i] = (v[i] / l) * k;
}

// Base vertex i: state i of the mesh sequence (state 0 is the start state).
static void want_base(int i, float *out) {
    uint64_t s = 0x305e1eb48171c11eull;
    for (int j = 0; j < i; j++) s = step(s);
    float b = (float)((s >> 32) & 255);
    scaled(ICO[i], ((b / 255.0f) - 0.5f) * 0.3f + 1.0f, out);
}

TEST(ContentRockMesh, FirstVertexIsTheScaledIcosahedronCorner) {
    RockVertex m[ROCK_MESH_VERTICES];
    fill_rock_mesh(m);
    EXPECT_FLOAT_EQ(m[0].p[0], -0.5582027f);
    EXPECT_FLOAT_EQ(m[0].p[1], 0.9031910f);
    EXPECT_EQ(m[0].p[2], 0.0f);
    float n[3];
    scaled(ICO[0], 1.0f, n);
    for (int i = 0; i < 3; i++) EXPECT_NEAR(m[0].n[i], n[i], 1e-7f);
    EXPECT_EQ(m[0].spare, 1.0f);
}

TEST(ContentRockMesh, CornersAreTheDisplacedBaseVertices) {
    RockVertex m[ROCK_MESH_VERTICES];
    fill_rock_mesh(m);
    float base[12][3];
    for (int i = 0; i < 12; i++) want_base(i, base[i]);
    for (int f = 0; f < 20; f++)
        for (int c = 0; c < 3; c++) // corner c opens triangle c of the face
            EXPECT_TRUE(same_floats(m[12 * f + 3 * c].p, base[FACES[f][c]], 3)) << "face " << f << " corner " << c;
    uint64_t last = 0x305e1eb48171c11eull;
    for (int i = 0; i < 71; i++) last = step(last);
    EXPECT_EQ(rng_seed, last) << "72 states, the last one left behind";
}

TEST(ContentRockMesh, FirstFaceMidpointsAndTheirReuse) {
    RockVertex m[ROCK_MESH_VERTICES];
    fill_rock_mesh(m);
    float v0[3], v11[3], v5[3];
    want_base(0, v0);
    want_base(11, v11);
    want_base(5, v5);
    uint64_t s = 0x305e1eb48171c11eull;
    for (int j = 0; j < 12; j++) s = step(s); // states 12, 13, 14 displace face 0's midpoints
    const float *ends[3][2] = {{v11, v0}, {v11, v5}, {v5, v0}};
    float mid[3][3];
    for (int j = 0; j < 3; j++) {
        float sum[3];
        for (int i = 0; i < 3; i++) sum[i] = (ends[j][0][i] + ends[j][1][i]) * 0.5f;
        float b7 = (float)((s >> 32) & 127);
        scaled(sum, ((b7 / 127.0f) - 0.5f) * 0.2f + 1.0f, mid[j]);
        s = step(s);
    }
    // (q1,m12,m31) (q2,m23,m12) (q3,m31,m23) (m12,m23,m31)
    const int slot[3][3] = {{1, 5, 9}, {4, 8, 10}, {2, 7, 11}}; // m12, m23, m31
    for (int j = 0; j < 3; j++)
        for (int k = 0; k < 3; k++) EXPECT_TRUE(same_floats(m[slot[j][k]].p, mid[j], 3)) << j << "," << k;
}

// Geometry read from the mesh itself, not from a copy of its tables: the
// corners of the twenty faces (their first vertex of each corner triangle)
// form a closed icosahedron, and every triangle turns the same way as seen
// from outside.
TEST(ContentRockMesh, BaseSolidIsAClosedConsistentlyWoundIcosahedron) {
    RockVertex m[ROCK_MESH_VERTICES];
    fill_rock_mesh(m);
    std::vector<std::array<float, 3>> corners; // distinct corner positions
    int face[20][3];
    for (int f = 0; f < 20; f++)
        for (int c = 0; c < 3; c++) {
            const float *p = m[12 * f + 3 * c].p;
            int k = 0;
            while (k < (int)corners.size() && !same_floats(corners[k].data(), p, 3)) k++;
            if (k == (int)corners.size()) corners.push_back({p[0], p[1], p[2]});
            face[f][c] = k;
        }
    ASSERT_EQ(corners.size(), 12u);
    int uses[12] = {0};
    std::set<std::pair<int, int>> edges, directed;
    for (int f = 0; f < 20; f++)
        for (int c = 0; c < 3; c++) {
            int a = face[f][c], b = face[f][(c + 1) % 3];
            uses[a]++;
            edges.insert({std::min(a, b), std::max(a, b)});
            EXPECT_TRUE(directed.insert({a, b}).second) << "edge " << a << "-" << b << " run the same way twice";
        }
    EXPECT_EQ(edges.size(), 30u);
    for (int v = 0; v < 12; v++) EXPECT_EQ(uses[v], 5) << "corner " << v;
    // Every one of the 80 triangles: the sign of (b-a)x(c-a) . centroid.
    int outward = 0, inward = 0;
    for (int t = 0; t < ROCK_MESH_VERTICES / 3; t++) {
        const float *a = m[3 * t].p, *b = m[3 * t + 1].p, *c = m[3 * t + 2].p;
        double u[3], v[3], n[3], g[3];
        for (int i = 0; i < 3; i++) {
            u[i] = (double)b[i] - a[i];
            v[i] = (double)c[i] - a[i];
            g[i] = ((double)a[i] + b[i] + c[i]) / 3.0;
        }
        n[0] = u[1] * v[2] - u[2] * v[1];
        n[1] = u[2] * v[0] - u[0] * v[2];
        n[2] = u[0] * v[1] - u[1] * v[0];
        double d = n[0] * g[0] + n[1] * g[1] + n[2] * g[2];
        outward += d > 0;
        inward += d < 0;
    }
    EXPECT_EQ(outward + inward, ROCK_MESH_VERTICES / 3);
    EXPECT_TRUE(outward == 0 || inward == 0) << outward << " triangles one way, " << inward << " the other";
}

TEST(ContentRockMesh, AllVerticesNearTheUnitSphereWithRadialNormals) {
    RockVertex m[ROCK_MESH_VERTICES];
    fill_rock_mesh(m);
    for (int i = 0; i < ROCK_MESH_VERTICES; i++) {
        float r = len3(m[i].p);
        EXPECT_GE(r, 0.85f) << i;
        EXPECT_LE(r, 1.15f) << i;
        EXPECT_NEAR(len3(m[i].n), 1.0f, 1e-6f) << i;
        for (int c = 0; c < 3; c++) EXPECT_NEAR(m[i].n[c] * r, m[i].p[c], 1e-6f) << i;
        EXPECT_EQ(m[i].spare, 1.0f);
    }
}

// ---- planets

// Double-precision reference: Kepler's equation solved to convergence.
static void ref_position(const Planet &p, double t, double out[3]) {
    double q = t / p.period + p.phase;
    double M = (q - trunc(q)) * 2.0 * M_PI, E = M;
    for (int i = 0; i < 50; i++) E -= (E - p.e * sin(E) - M) / (1.0 - p.e * cos(E));
    double nu = 2.0 * atan2(sqrt(1.0 + p.e) * sin(E / 2), sqrt(1.0 - p.e) * cos(E / 2));
    double r = p.a * (1.0 - p.e * cos(E));
    out[0] = r * cos(nu);
    out[1] = -r * sin(nu) * sin((double)p.inc);
    out[2] = r * sin(nu) * cos((double)p.inc);
}

// The eight planets' elements, stated here rather than read from the table
// under test: a wrong entry there must not pass by comparing with itself.
TEST(ContentKepler, TableHoldsTheStatedElements) {
    const float stated[8][9] = {
        {18, 0.007f, 0, 1.9f, 0.4f, 3.3f, 0.75f, 0.65f, 0.45f},
        {30, 0.009f, 0.009f, 3.2f, 2.1f, 5.0f, 0.8f, 0.7f, 0.5f},
        {42, 0.017f, 0, 5.0f, 4.0f, 4.5f, 0.35f, 0.55f, 0.95f},
        {55, 0.093f, 0.041f, 7.8f, 1.2f, 4.8f, 0.95f, 0.45f, 0.3f},
        {105, 0.048f, 0.032f, 18, 3.3f, 9.5f, 0.9f, 0.55f, 0.3f},
        {145, 0.056f, 0.048f, 29, 0.9f, 8.5f, 0.9f, 0.75f, 0.55f},
        {180, 0.046f, 0.029f, 45, 5.2f, 7.5f, 0.8f, 0.85f, 0.95f},
        {210, 0.035f, 0.031f, 70, 2.7f, 7.0f, 0.7f, 0.85f, 0.95f},
    };
    for (int k = 0; k < 8; k++) {
        const Planet &p = PLANETS[k];
        const float got[9] = {p.a, p.e, p.inc, p.period, p.phase, p.size, p.color[0], p.color[1], p.color[2]};
        for (int i = 0; i < 9; i++) EXPECT_EQ(got[i], stated[k][i]) << "planet " << k << " field " << i;
    }
}

TEST(ContentKepler, TracksTheConvergedSolution) {
    for (int k = 0; k < 8; k++) {
        const Planet &p = PLANETS[k];
        for (float t : {0.0f, 0.37f, 7.5f, 61.25f, 200.0f}) {
            float x, y, z;
            double want[3];
            kepler_position(&p, t, &x, &y, &z);
            ref_position(p, t, want);
            double tol = 2e-4 * p.a;
            EXPECT_NEAR(x, want[0], tol) << k << " t=" << t;
            EXPECT_NEAR(y, want[1], tol) << k << " t=" << t;
            EXPECT_NEAR(z, want[2], tol) << k << " t=" << t;
            if (p.inc == 0.0f) {
                EXPECT_EQ(y, 0.0f) << k << " t=" << t; // -0 allowed
            }
        }
    }
}

TEST(ContentKepler, StartPositions) {
    const Planet &p2 = PLANETS[2]; // phase 4.0: at periapsis
    float x, y, z;
    kepler_position(&p2, 0.0f, &x, &y, &z);
    EXPECT_EQ(bits(x), bits((1.0f - p2.e) * p2.a));
    EXPECT_EQ(y, 0.0f);
    EXPECT_EQ(z, 0.0f);
    kepler_position(&PLANETS[0], 0.0f, &x, &y, &z); // phase 0.4: a little past 0.4 turn
    EXPECT_LT(x, 0.0f);
    EXPECT_GT(z, 0.0f);
    float turn = atan2f(z, x) / 6.2831855f;
    EXPECT_GT(turn, 0.4f);
    EXPECT_LT(turn, 0.42f);
}

TEST(ContentKepler, WholePeriodsReturnToTheStart) {
    for (int k = 0; k < 8; k++) {
        float x0, y0, z0;
        kepler_position(&PLANETS[k], 0.0f, &x0, &y0, &z0);
        for (int n : {1, 2, 5, 40}) {
            float x, y, z;
            kepler_position(&PLANETS[k], (float)n * PLANETS[k].period, &x, &y, &z);
            float tol = 1e-4f * PLANETS[k].a;
            EXPECT_NEAR(x, x0, tol) << k << " n=" << n;
            EXPECT_NEAR(y, y0, tol) << k << " n=" << n;
            EXPECT_NEAR(z, z0, tol) << k << " n=" << n;
        }
    }
}

// One case bit for bit: the rounding is part of the result. At t = 1.9 the
// third Newton step still changes the bits; the point lies 59.8 from the
// sun, within the orbit's 49.9 .. 60.1.
TEST(ContentKepler, SingleCaseBitForBit) {
    const float want[3] = {-0x1.c9eb7cp+5f, -0x1.6eb348p-1f, 0x1.17572ep+4f};
    float got[3];
    kepler_position(&PLANETS[3], 1.9f, &got[0], &got[1], &got[2]);
    EXPECT_TRUE(same_floats(got, want, 3));
}

TEST(ContentKepler, NonFiniteTimeGivesNaN) {
    for (float t : {NAN, INFINITY, -INFINITY}) {
        float x = 0, y = 0, z = 0;
        kepler_position(&PLANETS[3], t, &x, &y, &z);
        EXPECT_TRUE(isnan(x) && isnan(y) && isnan(z)) << t;
    }
}

// ---- orbit lines

TEST(ContentOrbits, EndsOfEachEllipseAndItsColour) {
    std::vector<LineVertex> v(ORBIT_VERTICES);
    fill_orbit_lines(v.data());
    for (int k = 0; k < 8; k++) {
        const Planet &p = PLANETS[k];
        const LineVertex &peri = v[161 * k], &apo = v[161 * k + 80], &last = v[161 * k + 160];
        EXPECT_NEAR(peri.p[0], p.a * (1 - p.e), 2e-6f * p.a) << k;
        EXPECT_EQ(peri.p[1], 0.0f);
        EXPECT_EQ(peri.p[2], 0.0f);
        EXPECT_NEAR(apo.p[0], -p.a * (1 + p.e), 2e-6f * p.a) << k;
        EXPECT_NEAR(apo.p[1], 0.0f, 1e-6f * p.a);
        EXPECT_NEAR(apo.p[2], 0.0f, 1e-6f * p.a);
        for (int i = 0; i < 3; i++) EXPECT_NEAR(last.p[i], peri.p[i], 1e-6f * p.a) << "loop closes";
        const float want_col[4] = {0.45f * p.color[0], 0.45f * p.color[1], 0.45f * p.color[2], 1.0f};
        for (int j = 0; j < 161; j++) ASSERT_TRUE(same_floats(v[161 * k + j].vcol, want_col, 4)) << k << "/" << j;
    }
}

// Orbit 3, sample 37 of 160, bit for bit: 53.9 from the sun, 37/160 of a
// turn from periapsis, tilted below the plane by the orbit's inclination.
TEST(ContentOrbits, SampleBitForBit) {
    std::vector<LineVertex> v(ORBIT_VERTICES);
    fill_orbit_lines(v.data());
    const float want[3] = {0x1.95b7cep+2f, -0x1.190244p+1f, 0x1.ac2088p+5f};
    EXPECT_TRUE(same_floats(v[161 * 3 + 37].p, want, 3));
}

TEST(ContentOrbits, EveryPlanetMovesOnItsLine) {
    std::vector<LineVertex> v(ORBIT_VERTICES);
    fill_orbit_lines(v.data());
    for (int k = 0; k < 8; k++) {
        const Planet &p = PLANETS[k];
        float lo = p.a * (1 - p.e) * (1 - 1e-6f), hi = p.a * (1 + p.e) * (1 + 1e-6f);
        for (int j = 0; j < 161; j++) {
            float r = len3(v[161 * k + j].p);
            EXPECT_GE(r, lo) << k << "/" << j;
            EXPECT_LE(r, hi) << k << "/" << j;
            if (p.inc == 0.0f) {
                EXPECT_EQ(v[161 * k + j].p[1], 0.0f);
            }
        }
        // The planet at any time lies on the polar ellipse the line samples.
        for (float t : {0.0f, 1.234f, 33.3f}) {
            float x, y, z;
            kepler_position(&p, t, &x, &y, &z);
            double h = sqrt((double)y * y + (double)z * z) * (z < 0 ? -1 : 1);
            double theta = atan2(h, x), r = sqrt((double)x * x + h * h);
            double l = (1.0 - (double)p.e * p.e) * p.a;
            EXPECT_NEAR(r, l / (1.0 + p.e * cos(theta)), 2e-5 * p.a) << k << " t=" << t;
        }
    }
    const LineVertex &p2 = v[161 * 2];
    float x, y, z;
    kepler_position(&PLANETS[2], 0.0f, &x, &y, &z);
    EXPECT_NEAR(p2.p[0], x, 1e-5f) << "line starts where planet 2 starts";
}

// ---- quality setter and protocol without a device

namespace {
struct NoDeviceEngine : ::testing::Test {
    Engine e;
    void SetUp() override {
        memset(&e, 0, sizeof e);
        e.quality = 1;
        e.created = 1;
        clear_error();
        alloc_fail_clear();
    }
    void TearDown() override {
        free(e.stars);
        free(e.belt);
        free(e.rocks);
        alloc_fail_clear();
    }
};
} // namespace

// Without a device a level is only stored; with one but before any upload,
// a change rebuilds the CPU copies and uploads nothing. Orbit lines are never
// rebuilt. (Ignored levels and failed allocations: test_content_device.cpp.)
TEST_F(NoDeviceEngine, SetQualityStoresOrRebuildsOnlyTheCopies) {
    e.stars = (QuadInstance *)malloc(sizeof(QuadInstance)); // a copy any rebuild would free
    e.created = 0;
    engine_set_quality(&e, 2); // stored only
    EXPECT_EQ(e.quality, 2);
    EXPECT_NE(e.stars, nullptr);
    e.created = 1;
    e.line_vertex_count = 1288;
    engine_set_quality(&e, 0);
    EXPECT_EQ(e.quality, 0);
    EXPECT_EQ(e.stars, nullptr) << "rebuilt: the old copy is gone, nothing uploaded";
    EXPECT_EQ(e.star_count, 0);
    EXPECT_EQ(e.line_vertex_count, 1288) << "orbit lines are never rebuilt";
}


// ---- distributions: what a wrong constant copied into a generator breaks,
// checked against stated ranges and shares rather than re-derived records.

namespace {

struct Stats {
    double lo = 1e300, hi = -1e300, sum = 0;
    int n = 0;
    void add(double v) {
        lo = std::min(lo, v), hi = std::max(hi, v), sum += v, n++;
    }
    double mean() const { return sum / n; }
};

// Every value within [lo, hi] (a float's rounding allowed), reaching both ends
// to within `reach` of the range, with the given mean to within `mean_tol`.
void expect_spread(const char *what, const Stats &s, double lo, double hi, double mean, double mean_tol) {
    double slack = 1e-6 * std::max(fabs(lo), fabs(hi)), reach = 0.01 * (hi - lo);
    EXPECT_GE(s.lo, lo - slack) << what;
    EXPECT_LE(s.hi, hi + slack) << what;
    EXPECT_LT(s.lo, lo + reach) << what << ": the low end is never reached";
    EXPECT_GT(s.hi, hi - reach) << what << ": the high end is never reached";
    EXPECT_NEAR(s.mean(), mean, mean_tol) << what << ": mean";
}

const int k_samples = 100000;

} // namespace

TEST(ContentDistributions, StarsFillTheShellInThreeColourClasses) {
    std::vector<QuadInstance> v(k_samples);
    fill_stars(v.data(), k_samples);
    Stats radius, size, bright;
    int warm = 0, blue = 0, white = 0;
    for (const QuadInstance &q : v) {
        radius.add(sqrt((double)q.ipos[0] * q.ipos[0] + (double)q.ipos[1] * q.ipos[1] + (double)q.ipos[2] * q.ipos[2]));
        size.add(q.isize);
        const float *c = q.icol;
        bool is_warm = fabsf(c[1] - 0.8f * c[0]) < 1e-6f && fabsf(c[2] - 0.6f * c[0]) < 1e-6f;
        bool is_blue = fabsf(c[0] - 0.7f * c[2]) < 1e-6f && fabsf(c[1] - 0.8f * c[2]) < 1e-6f;
        bool is_white = c[0] == c[1] && c[1] == c[2];
        warm += is_warm, blue += is_blue, white += is_white;
        bright.add(std::max(c[0], std::max(c[1], c[2])));
        EXPECT_EQ(c[3], 1.0f);
    }
    expect_spread("radius", radius, 8000, 16000, 12000, 60); // uniform in radius, not in volume
    expect_spread("size", size, 10, 20, 15, 0.1);
    expect_spread("brightness", bright, 0.2, 0.7, 0.45, 0.005);
    EXPECT_EQ(warm + blue + white, k_samples) << "a star of no class";
    EXPECT_NEAR(warm / (double)k_samples, 0.12, 0.005);
    EXPECT_NEAR(blue / (double)k_samples, 0.08, 0.005);
}

TEST(ContentDistributions, BeltIsABandOfRadius62To84) {
    std::vector<QuadInstance> v(k_samples);
    fill_belt(v.data(), k_samples);
    Stats rho, y, size, bright;
    for (const QuadInstance &q : v) {
        rho.add(hypot((double)q.ipos[0], (double)q.ipos[2]));
        y.add(q.ipos[1]);
        size.add(q.isize);
        bright.add(q.icol[0]);
        EXPECT_NEAR(q.icol[1], 0.92f * q.icol[0], 1e-6f);
        EXPECT_NEAR(q.icol[2], 0.8f * q.icol[0], 1e-6f);
    }
    expect_spread("radius", rho, 62, 84, 73, 0.15);
    expect_spread("height", y, -2.5, 2.5, 0, 0.03);
    expect_spread("size", size, 0.4, 0.9, 0.65, 0.005);
    expect_spread("brightness", bright, 0.15, 0.4, 0.275, 0.003);
}

TEST(ContentDistributions, GalaxyRadiiCrowdTowardsTheCentre) {
    std::vector<ParticleInstance> v(k_samples);
    fill_galaxy(v.data(), k_samples);
    Stats radius, size;
    int inner = 0, arm1 = 0;
    for (const ParticleInstance &p : v) {
        radius.add(p.f[0]);
        inner += p.f[0] < 14.5f;
        EXPECT_TRUE(p.f[1] == 0.0f || p.f[1] == 1.0f) << p.f[1];
        arm1 += p.f[1] == 1.0f;
        size.add(p.f[3]);
    }
    // r - 1 = 54 u^2: mean 1 + 54 / 3 = 19, half of them inside 14.5.
    expect_spread("radius", radius, 1, 55, 19, 0.2);
    EXPECT_NEAR(inner / (double)k_samples, 0.5, 0.01);
    EXPECT_NEAR(arm1 / (double)k_samples, 0.5, 0.01);
    expect_spread("size", size, 0.5, 1.0, 0.75, 0.005);
}

TEST(ContentDistributions, DiskOrbitsFasterInsideAndLeansOutwards) {
    std::vector<ParticleInstance> v(k_samples);
    fill_disk(v.data(), k_samples);
    Stats radius, size;
    int inside = 0;
    for (const ParticleInstance &p : v) {
        double r = p.f[1];
        radius.add(r);
        inside += r < 3.75;
        EXPECT_NEAR(p.f[2], 4.8 / (r * r), 1e-5 * (4.8 / (r * r))) << "angular speed at r " << r;
        size.add(p.f[3]);
    }
    // r = 1.5 + 4.5 u^0.6: mean 1.5 + 4.5 / 1.6, and ((3.75 - 1.5) / 4.5)^(5/3) inside 3.75.
    expect_spread("radius", radius, 1.5, 6.0, 1.5 + 4.5 / 1.6, 0.02);
    EXPECT_NEAR(inside / (double)k_samples, pow(0.5, 5.0 / 3.0), 0.01);
    expect_spread("size", size, 0.06, 0.14, 0.10, 0.001);
}

TEST(ContentDistributions, RocksFillTheCubeAtStatedScales) {
    std::vector<RockInstance> v(k_samples / 10);
    fill_rocks(v.data(), (int)v.size());
    Stats pos[3], scale;
    for (const RockInstance &r : v) {
        for (int i = 0; i < 3; i++) pos[i].add(r.ipos[i]);
        scale.add(r.idata[0]);
        EXPECT_NEAR(sqrt((double)r.irot[0] * r.irot[0] + (double)r.irot[1] * r.irot[1] + (double)r.irot[2] * r.irot[2]),
                    1.0, 1e-5);
    }
    for (int i = 0; i < 3; i++) expect_spread("position", pos[i], -220, 220, 0, 6);
    expect_spread("scale", scale, 1.5, 14, 7.75, 0.2);
}
