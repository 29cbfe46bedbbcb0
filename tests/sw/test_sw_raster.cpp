// The CPU executor's rasterizer and output merger on small targets, with
// coverage worked out by hand from Direct3D 11's rules.
#include "sw_test_util.h"

#include <algorithm>
#include <math.h>
#include <vector>

#include "dxgi.h"
#include "sw/sw_device.h"
#include "sw/sw_stages.h"

namespace {

const char *kVS = "struct VSOut { float4 pos : SV_POSITION; float4 col : COLOR; };\n"
                  "VSOut main(float4 p : POSITION, float4 c : COLOR) { VSOut o; o.pos = p; o.col = c; return o; }\n";
const char *kPS = "float4 main(float4 pos : SV_POSITION, float4 col : COLOR) : SV_Target { return col; }\n";

struct Vertex {
    float x, y, z, w, r, g, b, a;
};

std::vector<uint8_t> bytes_of(const SwImage &img) {
    return std::vector<uint8_t>(img.bytes.data(), img.bytes.data() + img.bytes.size());
}

struct SwRaster : testing::Test {
    static const uint32_t W = 16, H = 12;
    SwProgram vs, ps;
    SwDevice *dev = nullptr;
    SwImage target, depth;
    SwVertexElement elements[2] = {{0, 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, false},
                                   {1, 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 16, false}};

    void SetUp() override {
        std::string err;
        ASSERT_TRUE(sw_compile(kVS, "vs_5_0", &vs, &err)) << err;
        ASSERT_TRUE(sw_compile(kPS, "ps_5_0", &ps, &err)) << err;
        ASSERT_EQ(4u, vs.inputs[0].components);
        ASSERT_EQ(4u, vs.inputs[1].components);
        dev = sw_device_create(2);
        ASSERT_TRUE(dev);
        ASSERT_TRUE(sw_image_init(&target, W, H, SW_FORMAT_RGBA8));
        ASSERT_TRUE(sw_image_init(&depth, W, H, SW_FORMAT_D32));
    }
    void TearDown() override { sw_device_destroy(dev); }

    // A vertex at pixel position (px, py) of the target, depth z, w = 1.
    static Vertex at(float px, float py, float value, float z = 0.5f) {
        return {px / W * 2 - 1, 1 - py / H * 2, z, 1, value, value, value, value};
    }

    SwDraw draw_of(const std::vector<Vertex> &v, SwTopology topology, SwBlend blend = SW_BLEND_ADD) {
        SwDraw d;
        d.vs = &vs;
        d.ps = &ps;
        d.elements = elements;
        d.element_count = 2;
        d.streams[0] = {(const uint8_t *)v.data(), (uint32_t)(v.size() * sizeof(Vertex)), sizeof(Vertex), 0};
        d.topology = topology;
        d.viewport = {0, 0, (float)W, (float)H, 0, 1};
        d.blend = blend;
        d.target = &target;
        d.vertex_count = (uint32_t)v.size();
        return d;
    }
    void run(const std::vector<Vertex> &v, SwTopology topology, SwBlend blend = SW_BLEND_ADD) {
        SwDraw d = draw_of(v, topology, blend);
        sw_draw(dev, &d);
    }
    uint32_t red(uint32_t x, uint32_t y) { return target.row(y)[x * 4]; }
    // Rows of '.' (0) and digits (red / 16) for failure messages and checks.
    std::string picture() {
        std::string s;
        for (uint32_t y = 0; y < H; y++) {
            for (uint32_t x = 0; x < W; x++) s += red(x, y) ? (char)('0' + red(x, y) / 16) : '.';
            s += '\n';
        }
        return s;
    }
};

const float k16 = 16.0f / 255.0f; // one fragment adds 16

TEST_F(SwRaster, SharedEdgesCoverEveryPixelExactlyOnce) {
    // The whole target cut into triangles at odd points, some edges through
    // pixel centres: with additive blending every pixel must read 16.
    const float pts[][2] = {{0, 0}, {5.5f, 0}, {16, 0}, {0, 6.5f}, {7.25f, 5.5f}, {16, 3.5f}, {0, 12}, {9.5f, 12}, {16, 12}};
    const int tris[][3] = {{0, 1, 4}, {0, 4, 3}, {1, 2, 5}, {1, 5, 4}, {3, 4, 7}, {3, 7, 6}, {4, 5, 8}, {4, 8, 7}};
    std::vector<Vertex> v;
    for (const auto &t : tris)
        for (int k : t) v.push_back(at(pts[k][0], pts[k][1], k16));
    run(v, SW_TRIANGLE_LIST);
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++) ASSERT_EQ(16u, red(x, y)) << x << "," << y << "\n" << picture();
}

TEST_F(SwRaster, TopLeftRuleOnPixelCentres) {
    // Rectangles with every edge through pixel centres: left and top edges
    // own their centres, right and bottom ones do not.
    const struct {
        float x0, y0, x1, y1;
        uint32_t cx0, cy0, cx1, cy1; // covered pixels [cx0, cx1) x [cy0, cy1)
    } cases[] = {
        {1.5f, 1.5f, 4.5f, 3.5f, 1, 1, 4, 3},
        {2.0f, 2.0f, 5.0f, 4.0f, 2, 2, 5, 4},
        {0.5f, 0.5f, 1.5f, 1.5f, 0, 0, 1, 1},
        {3.6f, 2.6f, 4.4f, 3.4f, 0, 0, 0, 0}, // holds no centre
    };
    for (const auto &c : cases) {
        const float clear[4] = {0, 0, 0, 0};
        sw_clear_color(dev, &target, clear);
        for (bool strip : {false, true}) {
            sw_clear_color(dev, &target, clear);
            std::vector<Vertex> v;
            if (strip) v = {at(c.x0, c.y0, k16), at(c.x1, c.y0, k16), at(c.x0, c.y1, k16), at(c.x1, c.y1, k16)};
            else v = {at(c.x0, c.y0, k16), at(c.x1, c.y1, k16), at(c.x1, c.y0, k16),  // clockwise
                      at(c.x0, c.y0, k16), at(c.x0, c.y1, k16), at(c.x1, c.y1, k16)}; // counter-clockwise
            run(v, strip ? SW_TRIANGLE_STRIP : SW_TRIANGLE_LIST);
            for (uint32_t y = 0; y < H; y++)
                for (uint32_t x = 0; x < W; x++) {
                    bool in = x >= c.cx0 && x < c.cx1 && y >= c.cy0 && y < c.cy1;
                    ASSERT_EQ(in ? 16u : 0u, red(x, y)) << "rect " << c.x0 << "," << c.y0 << " strip " << strip
                                                        << " pixel " << x << "," << y << "\n" << picture();
                }
        }
    }
}

TEST_F(SwRaster, ClipSpaceUpIsTheTopRow) {
    std::vector<Vertex> v = {{-1, 1, 0.5f, 1, 1, 1, 1, 1}, {1, 1, 0.5f, 1, 1, 1, 1, 1}, {-1, 0, 0.5f, 1, 1, 1, 1, 1},
                             {1, 0, 0.5f, 1, 1, 1, 1, 1}};
    run(v, SW_TRIANGLE_STRIP);
    for (uint32_t y = 0; y < H; y++) EXPECT_EQ(y < H / 2 ? 255u : 0u, red(3, y)) << y;
}

TEST_F(SwRaster, ClippingAtNearFarAndBeyondTheGuardBand) {
    // A full-screen strip whose depth runs from -1 at the bottom to +2 at
    // the top: only 0 <= z <= 1 survives, a third of the rows (4..7).
    std::vector<Vertex> v = {{-1, 1, 2, 1, 1, 1, 1, 1}, {1, 1, 2, 1, 1, 1, 1, 1}, {-1, -1, -1, 1, 1, 1, 1, 1},
                             {1, -1, -1, 1, 1, 1, 1, 1}};
    run(v, SW_TRIANGLE_STRIP, SW_BLEND_REPLACE);
    for (uint32_t y = 0; y < H; y++) EXPECT_EQ(y >= 4 && y < 8 ? 255u : 0u, red(5, y)) << y << "\n" << picture();

    // One huge triangle (far past any fixed-point range) still covers every
    // pixel exactly once; one behind the far plane covers none.
    const float clear[4] = {0, 0, 0, 0};
    sw_clear_color(dev, &target, clear);
    v = {{-1e6f, -1e6f, 0.5f, 1, k16, k16, k16, k16}, {-1e6f, 3e6f, 0.5f, 1, k16, k16, k16, k16},
         {3e6f, -1e6f, 0.5f, 1, k16, k16, k16, k16}, {-1, -1, 1.5f, 1, 1, 1, 1, 1}, {1, 1, 1.5f, 1, 1, 1, 1, 1},
         {1, -1, 1.5f, 1, 1, 1, 1, 1}};
    run(v, SW_TRIANGLE_LIST);
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++) ASSERT_EQ(16u, red(x, y)) << x << "," << y << "\n" << picture();
}

TEST_F(SwRaster, NonFinitePositionsDrawNothing) {
    // A triangle or line with one vertex at NaN or infinity is dropped whole,
    // including the rectangle path of a four-vertex strip.
    const float inf = INFINITY;
    const Vertex bad[] = {{NAN, 0, 0.5f, 1, 1, 1, 1, 1}, {inf, 0, 0.5f, 1, 1, 1, 1, 1}, {0, 0, 0.5f, NAN, 1, 1, 1, 1},
                          {0, -inf, 0.5f, 1, 1, 1, 1, 1}, {-1, -1, NAN, 1, 1, 1, 1, 1}};
    const Vertex a = {1, 1, 0.5f, 1, 1, 1, 1, 1}, b = {-1, 1, 0.5f, 1, 1, 1, 1, 1}, c = {1, -1, 0.5f, 1, 1, 1, 1, 1};
    for (const Vertex &x : bad) {
        run({x, a, b}, SW_TRIANGLE_LIST);
        run({a, x}, SW_LINE_LIST);
        run({x, c, b, a}, SW_TRIANGLE_STRIP); // the second triangle (b, c, a) is finite
    }
    // Only the strips' finite triangle: the upper-right half, lit once.
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++) {
            uint32_t v = red(x, y);
            ASSERT_TRUE(v == 0 || v == 255) << x << "," << y << "\n" << picture();
        }
    EXPECT_EQ(255u, red(W - 1, 0));
    EXPECT_EQ(0u, red(0, H - 1));
}

TEST_F(SwRaster, PerspectiveCorrectInterpolation) {
    // A quad whose right side is four times as far (w = 4): colour runs 0..1
    // linearly in clip space, so the screen-space midpoint has 1/(1 + 4) = 0.2.
    std::vector<Vertex> v = {{-1, -1, 0, 1, 0, 0, 0, 1}, {-1, 1, 0, 1, 0, 0, 0, 1}, {4, -4, 0, 4, 1, 1, 1, 1},
                             {4, 4, 0, 4, 1, 1, 1, 1}};
    run(v, SW_TRIANGLE_STRIP, SW_BLEND_REPLACE);
    for (uint32_t x = 0; x < W; x++) {
        float sx = ((float)x + 0.5f) / W; // screen position 0..1
        float t = sx / (sx + 4 * (1 - sx));
        EXPECT_NEAR(t * 255, (float)red(x, 5), 0.6f) << x;
    }
}

TEST_F(SwRaster, LinesFollowTheExitRule) {
    const struct {
        float x0, y0, x1, y1;
        const char *pixels; // covered (x, y) pairs
    } cases[] = {
        {0.5f, 2.5f, 5.5f, 2.5f, "0,2 1,2 2,2 3,2 4,2"},       // the end centre is left out
        {5.5f, 2.5f, 0.5f, 2.5f, "5,2 4,2 3,2 2,2 1,2"},       // drawn the other way
        {3.5f, 1.0f, 3.5f, 4.0f, "3,1 3,2 3,3"},               // y-major
        {1.0f, 1.0f, 5.0f, 3.0f, "1,1 2,1 3,2 4,2"},           // x-major slope
        {2.2f, 2.2f, 2.4f, 2.3f, ""},                          // crosses no centre line
    };
    for (const auto &c : cases) {
        const float clear[4] = {0, 0, 0, 0};
        sw_clear_color(dev, &target, clear);
        run({at(c.x0, c.y0, k16), at(c.x1, c.y1, k16)}, SW_LINE_LIST);
        std::vector<bool> want(W * H, false);
        for (const char *p = c.pixels; *p;) {
            int x = 0, y = 0, used = 0;
            ASSERT_EQ(2, sscanf(p, "%d,%d%n", &x, &y, &used));
            want[y * W + x] = true;
            p += used;
            while (*p == ' ') p++;
        }
        for (uint32_t y = 0; y < H; y++)
            for (uint32_t x = 0; x < W; x++)
                ASSERT_EQ(want[y * W + x] ? 16u : 0u, red(x, y))
                    << "line " << c.x0 << "," << c.y0 << " -> " << c.x1 << "," << c.y1 << "\n" << picture();
    }
}

TEST_F(SwRaster, DepthLessKeepsTheNearest) {
    sw_clear_depth(dev, &depth, 1.0f);
    auto quad = [&](float z, float value) {
        std::vector<Vertex> v = {at(0, 0, value, z), at(W, 0, value, z), at(0, H, value, z), at(W, H, value, z)};
        SwDraw d = draw_of(v, SW_TRIANGLE_STRIP, SW_BLEND_REPLACE);
        d.depth = &depth;
        d.depth_test = d.depth_write = true;
        sw_draw(dev, &d);
    };
    quad(0.5f, 0.2f);
    quad(0.7f, 0.4f); // behind: hidden
    quad(0.5f, 0.6f); // equal: LESS fails
    EXPECT_EQ(sw_unorm8(0.2f), red(4, 4));
    quad(0.3f, 0.8f); // in front
    EXPECT_EQ(sw_unorm8(0.8f), red(4, 4));
    EXPECT_FLOAT_EQ(0.3f, ((float *)depth.row(4))[4]);
}

TEST_F(SwRaster, DepthComparisonsAtEqualDepth) {
    const bool drawn[9] = {false, false, false, true, true, false, false, true, true}; // by func 1..8
    for (uint32_t func = 1; func <= 8; func++) {
        sw_clear_depth(dev, &depth, 0.5f);
        const float clear[4] = {0, 0, 0, 0};
        sw_clear_color(dev, &target, clear);
        std::vector<Vertex> v = {at(0, 0, 1), at(W, 0, 1), at(0, H, 1), at(W, H, 1)};
        SwDraw d = draw_of(v, SW_TRIANGLE_STRIP, SW_BLEND_REPLACE);
        d.depth = &depth;
        d.depth_test = true;
        d.depth_func = func;
        sw_draw(dev, &d);
        EXPECT_EQ(drawn[func] ? 255u : 0u, red(3, 3)) << "comparison " << func;
    }
}

// Fragments on white pixels are skipped where nothing can change: under
// addition without depth writes. Row 5 is white but for one pixel a level
// short in alpha, which must still be drawn; replacing, or writing depth,
// must reach the white pixels too. Each case as a rectangle (strip), as
// triangles (list), and as a small square (the narrow rectangle path).
TEST_F(SwRaster, WhitePixelsAreSkippedOnlyWhereNothingCanChange) {
    const uint32_t white = 0xffffffffu, short_of_white = 0xfeffffffu;
    const struct {
        SwBlend blend;
        bool depth_write;
    } cases[] = {{SW_BLEND_ADD, false}, {SW_BLEND_ADD, true}, {SW_BLEND_REPLACE, false}};
    // Pixels are read 8 at a time, and one by one where the target's edge
    // cuts a group short: 13 wide, the pixel short of white lies in such a
    // group.
    for (const uint32_t w : {W, 13u})
    for (const auto &c : cases)
        for (int shape = 0; shape < 3; shape++) {
            SCOPED_TRACE(testing::Message() << "width " << w << " blend " << c.blend << " depth write " << c.depth_write
                                            << " shape " << shape);
            ASSERT_TRUE(sw_image_init(&target, w, H, SW_FORMAT_RGBA8));
            sw_clear_depth(dev, &depth, 1.0f);
            for (uint32_t y = 0; y < H; y++)
                for (uint32_t x = 0; x < w; x++) ((uint32_t *)target.row(y))[x] = y == 5 && x == 9 ? short_of_white : white;
            const float x0 = shape == 2 ? 7 : 0, x1 = shape == 2 ? 11 : W; // the square: pixels 7..10
            std::vector<Vertex> v = {at(x0, 0, k16, 0.25f), at(x1, 0, k16, 0.25f), at(x0, H, k16, 0.25f), at(x1, H, k16, 0.25f)};
            if (shape == 1) v = {v[0], v[1], v[2], v[2], v[1], v[3]};
            SwDraw d = draw_of(v, shape == 1 ? SW_TRIANGLE_LIST : SW_TRIANGLE_STRIP, c.blend);
            d.depth = &depth;
            d.depth_test = true;
            d.depth_write = c.depth_write;
            d.depth_func = 8; // always
            sw_draw(dev, &d);
            const uint32_t drawn = c.blend == SW_BLEND_ADD ? white : 0x10101010u;
            for (uint32_t y = 0; y < H; y++)
                for (uint32_t x = 0; x < w; x++) {
                    const bool in = x >= x0 && x < x1;
                    const uint32_t was = y == 5 && x == 9 ? short_of_white : white;
                    ASSERT_EQ(in ? drawn : was, ((uint32_t *)target.row(y))[x]) << x << "," << y;
                    ASSERT_NEAR(in && c.depth_write ? 0.25f : 1.0f, ((float *)depth.row(y))[x], 1e-6) << x << "," << y;
                }
        }
}

// What a worker learns of white pixels holds for its tile alone: with one
// worker taking a white tile and then a black one, the black one still
// takes every fragment.
TEST_F(SwRaster, WhitePixelsOfOneTileDoNotCarryToTheNext) {
    SwDevice *one = sw_device_create(1);
    ASSERT_TRUE(one);
    SwImage two;
    ASSERT_TRUE(sw_image_init(&two, 128, 64, SW_FORMAT_RGBA8));
    for (uint32_t y = 0; y < 64; y++)
        for (uint32_t x = 0; x < 128; x++) ((uint32_t *)two.row(y))[x] = x < 64 ? 0xffffffffu : 0;
    const Vertex q[4] = {{-1, 1, 0.5f, 1, k16, k16, k16, k16}, {1, 1, 0.5f, 1, k16, k16, k16, k16},
                         {-1, -1, 0.5f, 1, k16, k16, k16, k16}, {1, -1, 0.5f, 1, k16, k16, k16, k16}};
    const std::vector<Vertex> v(q, q + 4);
    SwDraw d = draw_of(v, SW_TRIANGLE_STRIP);
    d.target = &two;
    d.viewport = {0, 0, 128, 64, 0, 1};
    sw_draw(one, &d);
    sw_device_destroy(one);
    for (uint32_t y = 0; y < 64; y++)
        for (uint32_t x = 0; x < 128; x++)
            ASSERT_EQ(x < 64 ? 0xffffffffu : 0x10101010u, ((uint32_t *)two.row(y))[x]) << x << "," << y;
}

// A primitive reaching one pixel column or row into the next tiles is
// drawn there too: pixels 0..64 by 0..64, four tiles.
TEST_F(SwRaster, PrimitiveOnePixelIntoTheNextTileIsDrawnThere) {
    SwImage four;
    ASSERT_TRUE(sw_image_init(&four, 128, 128, SW_FORMAT_RGBA8));
    const float clear[4] = {0, 0, 0, 0};
    sw_clear_color(dev, &four, clear);
    const float e = 65.0f / 64 - 1; // pixel 65's left edge, in clip space
    const std::vector<Vertex> v = {{-1, 1, 0.5f, 1, k16, k16, k16, k16}, {e, 1, 0.5f, 1, k16, k16, k16, k16},
                                   {-1, -e, 0.5f, 1, k16, k16, k16, k16}, {e, -e, 0.5f, 1, k16, k16, k16, k16}};
    SwDraw d = draw_of(v, SW_TRIANGLE_STRIP);
    d.target = &four;
    d.viewport = {0, 0, 128, 128, 0, 1};
    sw_draw(dev, &d);
    for (uint32_t y = 0; y < 128; y++)
        for (uint32_t x = 0; x < 128; x++)
            ASSERT_EQ(x <= 64 && y <= 64 ? 0x10101010u : 0u, ((uint32_t *)four.row(y))[x]) << x << "," << y;
}

// Pipelines are kept per pair of programs: a pixel program drawn after
// another one with the same vertex program reads its own inputs, not the
// first one's (which read none).
TEST_F(SwRaster, EachPixelProgramGetsItsOwnInputs) {
    SwProgram constant;
    std::string err;
    ASSERT_TRUE(sw_compile("float4 main(float4 pos : SV_POSITION) : SV_Target { return float4(0, 1, 0, 1); }", "ps_5_0",
                           &constant, &err))
        << err;
    std::vector<Vertex> v = {at(0, 0, k16), at(W, 0, k16), at(0, H, k16), at(W, H, k16)};
    SwDraw d = draw_of(v, SW_TRIANGLE_STRIP, SW_BLEND_REPLACE);
    d.ps = &constant;
    sw_draw(dev, &d);
    EXPECT_EQ(0xff00ff00u, ((uint32_t *)target.row(3))[3]);
    run(v, SW_TRIANGLE_STRIP, SW_BLEND_REPLACE); // the fixture's pixel program: the colour input
    EXPECT_EQ(0x10101010u, ((uint32_t *)target.row(3))[3]);
}

TEST_F(SwRaster, UnormConversionAndSaturatingAdd) {
    const struct {
        float v;
        uint32_t want;
    } cases[] = {{0, 0}, {1, 255}, {-0.5f, 0}, {2, 255}, {NAN, 0}, {0.5f, 128}, {100.49f / 255, 100}, {100.51f / 255, 101}};
    for (const auto &c : cases) EXPECT_EQ(c.want, sw_unorm8(c.v)) << c.v;
    std::vector<Vertex> v = {at(0, 0, 0.75f), at(W, 0, 0.75f), at(0, H, 0.75f), at(W, H, 0.75f)};
    run(v, SW_TRIANGLE_STRIP);
    EXPECT_EQ(191u, red(1, 1));
    run(v, SW_TRIANGLE_STRIP);
    EXPECT_EQ(255u, red(1, 1));
}

// Many overlapping triangles over a target of several tiles, their corners
// on a sixteenth-pixel grid (exact through the viewport and the executor's
// fixed point). Drawn in one colour level each under additive blending, every
// pixel counts the triangles over its centre; the count is worked out here in
// integers (a centre strictly inside), leaving out the few centres that lie
// exactly on an edge, where the top-left rule decides. Drawn with varying
// colours and depths, the bytes do not depend on the number of workers.
TEST_F(SwRaster, ResultDoesNotDependOnTheWorkerCount) {
    const int BW = 256, BH = 128;
    SwImage big;
    ASSERT_TRUE(sw_image_init(&big, BW, BH, SW_FORMAT_RGBA8));
    std::vector<Vertex> shaded, flat;
    std::vector<int64_t> corners; // in sixteenths of a pixel, y down
    uint32_t seed = 12345;
    auto rnd = [&] { return (seed = seed * 1664525u + 1013904223u) / 4294967296.0f; };
    auto grid = [](float v, int side) { return floorf(v * side * 16) / 16; }; // pixels, on the grid
    const float one = 1.0f / 255;
    for (int k = 0; k < 3000; k++) {
        float cx = rnd() * 1.4f - 0.2f, cy = rnd() * 1.4f - 0.2f, s = rnd() * 0.15f, c = rnd() * 0.1f;
        const float px[3] = {grid(cx, BW), grid(cx + s, BW), grid(cx + rnd() * s, BW)};
        const float py[3] = {grid(cy, BH), grid(cy + rnd() * s, BH), grid(cy - s, BH)};
        const float cols[3][4] = {{c, c * 0.5f, c * 2, c}, {c, c, c, c}, {0, c, c, c}};
        for (int j = 0; j < 3; j++) {
            const float x = px[j] / BW * 2 - 1, y = 1 - py[j] / BH * 2;
            shaded.push_back({x, y, rnd(), 1, cols[j][0], cols[j][1], cols[j][2], cols[j][3]});
            flat.push_back({x, y, 0.5f, 1, one, one, one, one});
            corners.push_back((int64_t)(px[j] * 16));
            corners.push_back((int64_t)(py[j] * 16));
        }
    }
    // The reference: per pixel the number of triangles over its centre, or -1
    // where a centre lies on an edge of one.
    std::vector<int> want(BW * BH, 0);
    for (size_t t = 0; t < corners.size(); t += 6) {
        const int64_t *c = &corners[t];
        const int64_t area = (c[2] - c[0]) * (c[5] - c[1]) - (c[3] - c[1]) * (c[4] - c[0]);
        if (area == 0) continue;
        for (int y = 0; y < BH; y++)
            for (int x = 0; x < BW; x++) {
                const int64_t qx = 16 * x + 8, qy = 16 * y + 8;
                int inside = 0, on = 0;
                for (int e = 0; e < 3; e++) {
                    const int64_t *a = &c[2 * e], *b = &c[2 * ((e + 1) % 3)];
                    int64_t v = (b[0] - a[0]) * (qy - a[1]) - (b[1] - a[1]) * (qx - a[0]);
                    if (area < 0) v = -v;
                    inside += v > 0;
                    on += v == 0;
                }
                int &w = want[y * BW + x];
                if (inside + on == 3 && on > 0) w = -1;
                else if (inside == 3 && w >= 0) w++;
            }
    }
    size_t compared = 0, lit = 0;
    for (int v : want) {
        compared += v >= 0;
        lit += v > 0;
    }
    ASSERT_GT(compared, want.size() * 9 / 10) << "fixture: few centres on edges";
    ASSERT_GT(lit, want.size() / 2) << "fixture: the triangles should cover much of the target";

    std::vector<uint8_t> first;
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << threads << " workers");
        SwDevice *d = sw_device_create(threads);
        ASSERT_TRUE(d);
        EXPECT_EQ(threads, sw_device_threads(d));
        const float clear[4] = {0, 0, 0, 0};
        sw_clear_color(d, &big, clear);
        SwDraw dr = draw_of(flat, SW_TRIANGLE_LIST);
        dr.target = &big;
        dr.viewport = {0, 0, (float)BW, (float)BH, 0, 1};
        sw_draw(d, &dr);
        size_t differ = 0;
        for (int y = 0; y < BH; y++)
            for (int x = 0; x < BW; x++) {
                const int w = want[y * BW + x];
                if (w >= 0 && big.row(y)[4 * x] != w && differ++ < 5)
                    ADD_FAILURE() << "pixel " << x << "," << y << ": " << (int)big.row(y)[4 * x] << " triangles, want " << w;
            }
        EXPECT_EQ(0u, differ);

        sw_clear_color(d, &big, clear);
        dr = draw_of(shaded, SW_TRIANGLE_LIST);
        dr.target = &big;
        dr.viewport = {0, 0, (float)BW, (float)BH, 0, 1};
        sw_draw(d, &dr);
        sw_device_destroy(d);
        if (first.empty()) first = bytes_of(big);
        else EXPECT_TRUE(first == bytes_of(big));
    }
}

// A draw needing more binning memory than the cap is rasterized in parts:
// the same bytes under a cap that stops every setup task after each
// primitive (one byte), one that stops them now and then, and none. Small
// triangles, triangles over every tile (binned by reference) and lines, in
// one instance of thousands of primitives: the draw stops and resumes
// within an instance.
TEST_F(SwRaster, CappedBinningDrawsTheSameBytes) {
    SwImage big;
    ASSERT_TRUE(sw_image_init(&big, 200, 150, SW_FORMAT_RGBA8));
    std::vector<Vertex> tris, lines;
    uint32_t seed = 777;
    auto rnd = [&] { return (seed = seed * 1664525u + 1013904223u) / 4294967296.0f; };
    for (int k = 0; k < 2000; k++) {
        const float cx = rnd() * 2.4f - 1.2f, cy = rnd() * 2.4f - 1.2f, s = k % 50 == 0 ? 3.0f : rnd() * 0.3f;
        const float c = k % 50 == 0 ? 0.01f : rnd() * 0.1f;
        tris.push_back({cx, cy, rnd(), 1, c, c * 0.5f, c * 2, c});
        tris.push_back({cx + s, cy + rnd() * s, rnd(), 1, c, c, c, c});
        tris.push_back({cx + rnd() * s, cy - s, rnd(), 1, 0, c, c, c});
    }
    for (int k = 0; k < 300; k++) {
        const float c = rnd() * 0.2f;
        lines.push_back({rnd() * 2.2f - 1.1f, rnd() * 2.2f - 1.1f, rnd(), 1, c, c, 0, c});
    }
    std::vector<uint8_t> first;
    for (uint64_t cap : {0ull, 1ull, 20000ull}) {
        SwDevice *d = sw_device_create(3);
        ASSERT_TRUE(d);
        sw_device_set_bin_cap(d, cap);
        const float clear[4] = {0, 0, 0, 0};
        sw_clear_color(d, &big, clear);
        uint64_t peak = 0;
        for (int k = 0; k < 2; k++) {
            SwDraw dr = k == 0 ? draw_of(tris, SW_TRIANGLE_LIST) : draw_of(lines, SW_LINE_STRIP);
            dr.target = &big;
            dr.viewport = {0, 0, 200, 150, 0, 1};
            EXPECT_TRUE(sw_draw(d, &dr));
            peak = std::max(peak, sw_device_stats(d).bin_bytes);
        }
        // The 12 sets of 3 workers may each pass their share by a primitive.
        if (cap) EXPECT_LE(peak, cap + 12 * 1024) << cap;
        else EXPECT_GT(peak, 10 * 20000u);
        sw_device_destroy(d);
        if (first.empty()) first = bytes_of(big);
        else EXPECT_TRUE(first == bytes_of(big)) << "cap " << cap;
    }
}

// A mesh of several triangles per instance under caps that stop setup tasks
// inside an instance: the next pass resumes that instance at its primitive,
// while every later task's share starts at the first primitive of its own
// first instance. Each instance is an 8 x 8 pixel cell of four squares, two
// triangles each, lit once in the instance's colour; the caps run over every
// share from one triangle to three instances' worth, on 1, 2 and 3 workers,
// with few instances (shaded vertex by vertex) and many (split per instance).
TEST_F(SwRaster, CappedBinningResumesInsideMeshInstances) {
    const char *vs_src = "struct VSOut { float4 pos : SV_POSITION; float4 col : COLOR; };\n"
                         "VSOut main(float2 p : POSITION, float4 cell : TEXCOORD0) {\n"
                         "    VSOut o; o.pos = float4(p + cell.xy, 0.5, 1.0); o.col = cell.zzzz; return o;\n}\n";
    SwProgram mesh_vs;
    std::string err;
    ASSERT_TRUE(sw_compile(vs_src, "vs_5_0", &mesh_vs, &err)) << err;
    const uint32_t TW = 128, TH = 64, P = 8; // 16 x 8 cells; triangles per instance
    // Clip space: a pixel is 1/64 across and 1/32 down, exact in binary.
    std::vector<float> mesh;
    for (int sq = 0; sq < 4; sq++) {
        const float x0 = (float)(sq % 2 * 4) / 64, x1 = x0 + 4.0f / 64, y0 = -(float)(sq / 2 * 4) / 32, y1 = y0 - 4.0f / 32;
        const float tris[2][3][2] = {{{x0, y0}, {x1, y0}, {x1, y1}}, {{x0, y0}, {x1, y1}, {x0, y1}}};
        for (const auto &t : tris)
            for (const auto &v : t) mesh.insert(mesh.end(), {v[0], v[1]});
    }
    const SwVertexElement mesh_elements[2] = {{0, 0, DXGI_FORMAT_R32G32_FLOAT, 0, false},
                                              {1, 1, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, true}};
    SwImage big;
    ASSERT_TRUE(sw_image_init(&big, TW, TH, SW_FORMAT_RGBA8));
    for (uint32_t instances : {40u, 128u}) {
        std::vector<float> cells;
        std::vector<uint8_t> want(TW * TH * 4, 0);
        for (uint32_t i = 0; i < instances; i++) {
            const uint32_t cx = i % 16 * 8, cy = i / 16 * 8, level = 16 * (1 + i % 3);
            cells.insert(cells.end(), {(float)cx / 64 - 1, 1 - (float)cy / 32, (float)level / 255, 0});
            for (uint32_t y = cy; y < cy + 8; y++)
                for (uint32_t x = cx; x < cx + 8; x++) memset(&want[(y * TW + x) * 4], (int)level, 4);
        }
        SwDraw dr;
        dr.vs = &mesh_vs;
        dr.ps = &ps;
        dr.elements = mesh_elements;
        dr.element_count = 2;
        dr.streams[0] = {(const uint8_t *)mesh.data(), (uint32_t)(mesh.size() * 4), 8, 0};
        dr.streams[1] = {(const uint8_t *)cells.data(), (uint32_t)(cells.size() * 4), 16, 0};
        dr.viewport = {0, 0, (float)TW, (float)TH, 0, 1};
        dr.blend = SW_BLEND_ADD; // a triangle drawn twice shows
        dr.target = &big;
        dr.vertex_count = 3 * P;
        dr.instance_count = instances;
        for (int threads : {1, 2, 3}) {
            SwDevice *d = sw_device_create(threads);
            ASSERT_TRUE(d);
            // Every triangle lies in one tile and bins the same bytes.
            const float clear[4] = {0, 0, 0, 0};
            sw_clear_color(d, &big, clear);
            ASSERT_TRUE(sw_draw(d, &dr));
            const uint64_t per = sw_device_stats(d).bin_bytes / (instances * P);
            ASSERT_EQ(per * instances * P, sw_device_stats(d).bin_bytes);
            const uint64_t sets = (uint64_t)threads * sw::kSetsPerWorker;
            for (uint64_t share = 0; share <= 3 * P; share++) { // 0: no cap
                SCOPED_TRACE(testing::Message() << instances << " instances, " << threads << " workers, share " << share);
                sw_device_set_bin_cap(d, share * per * sets);
                sw_clear_color(d, &big, clear);
                ASSERT_TRUE(sw_draw(d, &dr));
                const std::vector<uint8_t> got = bytes_of(big);
                for (size_t k = 0; k < want.size(); k += 4)
                    ASSERT_EQ(want[k], got[k]) << "pixel " << k / 4 % TW << "," << k / 4 / TW;
                ASSERT_TRUE(want == got);
            }
            sw_device_destroy(d);
        }
    }
}

// Clears and copies run in bands of rows on the workers: every pixel of an
// image whose height is no whole number of bands (and a band's worth short
// of one, and a single row) is written, in both colour orders and the depth
// format, and a copy gives the source's bytes, on one to three workers.
TEST(SwImages, ClearsAndCopiesReachEveryRow) {
    const float rgba[4] = {0.2f, 0.4f, 0.6f, 1.0f};
    for (int threads : {1, 2, 3}) {
        SwDevice *dev = sw_device_create(threads);
        ASSERT_TRUE(dev);
        for (uint32_t h : {1u, 15u, 16u, 37u}) {
            SCOPED_TRACE(testing::Message() << threads << " workers, " << h << " rows");
            SwImage rgba8, bgra8, depth, copy;
            ASSERT_TRUE(sw_image_init(&rgba8, 19, h, SW_FORMAT_RGBA8));
            ASSERT_TRUE(sw_image_init(&bgra8, 19, h, SW_FORMAT_BGRA8));
            ASSERT_TRUE(sw_image_init(&depth, 19, h, SW_FORMAT_D32));
            ASSERT_TRUE(sw_image_init(&copy, 19, h, SW_FORMAT_RGBA8));
            for (SwImage *img : {&rgba8, &bgra8, &depth, &copy}) memset(img->bytes.data(), 0x5a, img->bytes.size());
            sw_clear_color(dev, &rgba8, rgba);
            sw_clear_color(dev, &bgra8, rgba);
            sw_clear_depth(dev, &depth, 0.75f);
            for (uint32_t y = 0; y < h; y++)
                for (uint32_t x = 0; x < 19; x++) {
                    ASSERT_EQ(0xff996633u, ((const uint32_t *)rgba8.row(y))[x]) << x << "," << y;
                    ASSERT_EQ(0xff336699u, ((const uint32_t *)bgra8.row(y))[x]) << x << "," << y;
                    ASSERT_EQ(0.75f, ((const float *)depth.row(y))[x]) << x << "," << y;
                }
            for (uint32_t y = 0; y < h; y++) // a source whose rows differ
                for (uint32_t x = 0; x < 19; x++) ((uint32_t *)rgba8.row(y))[x] = y * 1000 + x;
            sw_copy_image(dev, &copy, &rgba8);
            EXPECT_TRUE(bytes_of(rgba8) == bytes_of(copy));
        }
        sw_device_destroy(dev);
    }
}

// Instanced squares take their own path (vertex program split per instance,
// shaded and set up inside the setup tasks, component-wise); the same
// squares drawn one instance per draw take the general one. Both must give
// the same bytes: wide and narrow rectangles, mirrored ones (the other
// winding) and turned ones (corner 1 along y), and skewed squares crossing
// the near and far planes, which leave the rectangle path for clipped
// triangles; with and without culling, and in a viewport that clips them.
// (The turn is a select: a branch would keep the squares off their path.)
// The corners come from SV_VertexID, whose results the corners keep in
// registers of their own, or from a vertex buffer, whose values pass
// straight to an output and so are copied out corner by corner. The third
// program scales its corners by a constant: that work is done once per draw,
// not per batch, and must follow the constants of each draw.
const char *const kSquareVS[3] = {
        "struct VSOut { float4 pos : SV_POSITION; float4 col : COLOR; float2 uv : TEXCOORD0; };\n"
        "VSOut main(float4 c : POSITION, float4 col : COLOR, uint vid : SV_VertexID) {\n"
        "    float2 k = float2((float)(vid & 1u) * 2.0 - 1.0, (float)(vid >> 1) * 2.0 - 1.0);\n"
        "    k = col.r < 0.0 ? k.yx : k;\n"
        "    VSOut o;\n"
        "    o.pos = float4(c.x + k.x * c.w + k.y * col.a, c.y + k.y * abs(c.w), c.z + k.x * col.a, 1.0);\n"
        "    o.col = abs(col);\n"
        "    o.uv = k;\n"
        "    return o;\n"
        "}\n",
        "struct VSOut { float4 pos : SV_POSITION; float4 col : COLOR; float2 uv : TEXCOORD0; };\n"
        "VSOut main(float4 c : POSITION, float4 col : COLOR, float2 corner : TEXCOORD1) {\n"
        "    float2 k = col.r < 0.0 ? corner.yx : corner;\n"
        "    VSOut o;\n"
        "    o.pos = float4(c.x + k.x * c.w + k.y * col.a, c.y + k.y * abs(c.w), c.z + k.x * col.a, 1.0);\n"
        "    o.col = abs(col);\n"
        "    o.uv = corner;\n"
        "    return o;\n"
        "}\n",
        "cbuffer Size : register(b0) { float4 S; };\n"
        "struct VSOut { float4 pos : SV_POSITION; float4 col : COLOR; float2 uv : TEXCOORD0; };\n"
        "VSOut main(float4 c : POSITION, float4 col : COLOR, uint vid : SV_VertexID) {\n"
        "    float2 k = float2((float)(vid & 1u) * 2.0 - 1.0, (float)(vid >> 1) * 2.0 - 1.0) * S.x;\n"
        "    VSOut o;\n"
        "    o.pos = float4(c.x + k.x * c.w + k.y * col.a, c.y + k.y * abs(c.w), c.z + k.x * col.a, 1.0);\n"
        "    o.col = abs(col);\n"
        "    o.uv = k;\n"
        "    return o;\n"
        "}\n"};
const char *const kSquarePS = "float4 main(float4 pos : SV_POSITION, float4 col : COLOR, float2 uv : TEXCOORD0) : SV_Target {\n"
                         "    return float4(col.rgb * (1.0 - 0.4 * dot(uv, uv)), 1.0);\n}\n";

TEST(SwInstanced, SquaresMatchTheSameSquaresDrawnOneByOne) {
    SwProgram vss[3], ps;
    std::string err;
    for (int k = 0; k < 3; k++) ASSERT_TRUE(sw_compile(kSquareVS[k], "vs_5_0", &vss[k], &err)) << err;
    ASSERT_TRUE(sw_compile(kSquarePS, "ps_5_0", &ps, &err)) << err;
    const float corners[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
    struct Square {
        float x, y, z, half, r, g, b, slant;
    };
    std::vector<Square> squares;
    uint32_t seed = 99;
    auto rnd = [&] { return (seed = seed * 1664525u + 1013904223u) / 4294967296.0f; };
    for (int k = 0; k < 300; k++) {
        float half = k % 3 == 0 ? 0.01f + 0.2f * rnd() : 0.002f + 0.03f * rnd(); // a few pixels, or many
        float slant = k % 7 == 0 ? 0.6f * rnd() : 0.0f;
        squares.push_back({rnd() * 2.2f - 1.1f, rnd() * 2.2f - 1.1f, k % 11 == 0 ? 1.2f : rnd(), k % 5 == 1 ? -half : half,
                           (k % 4 == 2 ? -0.05f : 0.05f) * rnd(), 0.05f * rnd(), 0.05f * rnd(), slant});
    }
    const SwVertexElement elements[3] = {{0, 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, true},
                                         {1, 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 16, true},
                                         {2, 1, DXGI_FORMAT_R32G32_FLOAT, 0, false}};
    const struct {
        int program;
        SwCull cull;
        bool front_ccw;
        SwViewport viewport;
        float size; // the third program's corner scale
    } cases[] = {
        {0, SW_CULL_NONE, false, {0, 0, 300, 200, 0, 1}, 1},
        {0, SW_CULL_BACK, false, {0, 0, 300, 200, 0, 1}, 1},
        {0, SW_CULL_BACK, true, {0, 0, 300, 200, 0, 1}, 1},
        {0, SW_CULL_NONE, false, {37, 21, 190, 150, 0, 1}, 1},
        {1, SW_CULL_NONE, false, {0, 0, 300, 200, 0, 1}, 1},
        {1, SW_CULL_BACK, true, {37, 21, 190, 150, 0, 1}, 1},
        {2, SW_CULL_NONE, false, {0, 0, 300, 200, 0, 1}, 1.5f},
        {2, SW_CULL_BACK, false, {0, 0, 300, 200, 0, 1}, 0.75f},
    };
    SwDevice *dev = sw_device_create(2);
    ASSERT_TRUE(dev);
    for (const auto &c : cases) {
        // Instanced, one by one, and instanced under a binning cap that
        // stops each setup task after every square.
        std::vector<uint8_t> images[3];
        for (int way = 0; way < 3; way++) {
            const bool one_by_one = way == 1;
            sw_device_set_bin_cap(dev, way == 2 ? 1 : 0);
            SwImage target;
            ASSERT_TRUE(sw_image_init(&target, 300, 200, SW_FORMAT_RGBA8));
            SwDraw d;
            d.vs = &vss[c.program];
            d.ps = &ps;
            d.elements = elements;
            d.element_count = c.program == 1 ? 3 : 2;
            const float size[4] = {c.size, 0, 0, 0};
            d.vs_cb[0] = size;
            d.vs_cb_size[0] = sizeof size;
            d.streams[0] = {(const uint8_t *)squares.data(), (uint32_t)(squares.size() * sizeof(Square)), sizeof(Square), 0};
            d.streams[1] = {(const uint8_t *)corners, sizeof corners, sizeof corners[0], 0};
            d.topology = SW_TRIANGLE_STRIP;
            d.viewport = c.viewport;
            d.cull = c.cull;
            d.front_ccw = c.front_ccw;
            d.blend = SW_BLEND_ADD;
            d.target = &target;
            d.vertex_count = 4;
            d.instance_count = one_by_one ? 1 : (uint32_t)squares.size();
            for (uint32_t k = 0; k < (one_by_one ? squares.size() : 1); k++) {
                d.first_instance = k;
                sw_draw(dev, &d);
            }
            images[way] = bytes_of(target);
        }
        size_t lit = 0, differ = 0;
        for (size_t k = 0; k < images[0].size(); k++) {
            lit += images[0][k] != 0;
            differ += images[0][k] != images[1][k];
        }
        EXPECT_TRUE(images[0] == images[2]) << "instanced under a cap";
        SCOPED_TRACE("program " + std::to_string(c.program) + ", cull " + std::to_string(c.cull) + ", viewport x " +
                     std::to_string(c.viewport.x) + ", size " + std::to_string(c.size));
        EXPECT_EQ(0u, differ);
        EXPECT_GT(lit, images[0].size() / 8) << "the squares should cover much of the target";
    }
    sw_device_destroy(dev);
}

// A few squares apart from each other, drawn as instances in one draw, against
// what they must give worked out here: each covers the pixels of its
// rectangle (sides on pixel edges, so no centre lies on one) and shades each
// with its colour times 1 - 0.4 |uv|^2, uv running from -1 to 1 across it.
// Plain, narrow, mirrored (the other winding) and turned squares, with corners
// from SV_VertexID and from a vertex buffer.
TEST(SwInstanced, SquaresCoverTheirRectanglesInTheirColours) {
    struct Square {
        float x, y, z, half, r, g, b, slant;
    };
    const Square squares[] = {
        {-0.5f, 0.5f, 0.5f, 0.1f, 0.5f, 0.25f, 0.75f, 0},   // pixels 60..89 x 40..59
        {0.5f, -0.5f, 0.5f, 0.2f, 0.25f, 1.0f, 0.5f, 0},    // 195..254 x 130..169
        {0.0f, 0.0f, 0.5f, 0.02f, 1.0f, 1.0f, 1.0f, 0},     // 147..152 x 98..101, narrow
        {-0.5f, -0.5f, 0.5f, -0.1f, 0.75f, 0.5f, 0.25f, 0}, // 60..89 x 140..159, mirrored
        {0.6f, 0.6f, 0.5f, 0.1f, -0.5f, 0.5f, 1.0f, 0},     // 225..254 x 30..49, turned
    };
    const float corners[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
    const SwVertexElement elements[3] = {{0, 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, true},
                                         {1, 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 16, true},
                                         {2, 1, DXGI_FORMAT_R32G32_FLOAT, 0, false}};
    const int TW = 300, TH = 200;
    SwProgram ps;
    std::string err;
    ASSERT_TRUE(sw_compile(kSquarePS, "ps_5_0", &ps, &err)) << err;
    SwDevice *dev = sw_device_create(2);
    ASSERT_TRUE(dev);
    for (int program = 0; program < 2; program++) {
        SCOPED_TRACE(testing::Message() << "program " << program);
        SwProgram vs;
        ASSERT_TRUE(sw_compile(kSquareVS[program], "vs_5_0", &vs, &err)) << err;
        SwImage target;
        ASSERT_TRUE(sw_image_init(&target, TW, TH, SW_FORMAT_RGBA8));
        SwDraw d;
        d.vs = &vs;
        d.ps = &ps;
        d.elements = elements;
        d.element_count = program == 0 ? 2 : 3;
        d.streams[0] = {(const uint8_t *)squares, sizeof squares, sizeof(Square), 0};
        d.streams[1] = {(const uint8_t *)corners, sizeof corners, sizeof corners[0], 0};
        d.topology = SW_TRIANGLE_STRIP;
        d.viewport = {0, 0, (float)TW, (float)TH, 0, 1};
        d.blend = SW_BLEND_ADD;
        d.target = &target;
        d.vertex_count = 4;
        d.instance_count = sizeof squares / sizeof squares[0];
        sw_draw(dev, &d);
        std::vector<uint32_t> want(TW * TH, 0);
        for (const Square &q : squares) {
            const double h = fabs(q.half);
            const int x0 = (int)lround((q.x - h + 1) * TW / 2), x1 = (int)lround((q.x + h + 1) * TW / 2);
            const int y0 = (int)lround((1 - q.y - h) * TH / 2), y1 = (int)lround((1 - q.y + h) * TH / 2);
            for (int y = y0; y < y1; y++)
                for (int x = x0; x < x1; x++) {
                    const double u = -1 + 2 * (x + 0.5 - x0) / (x1 - x0), v = -1 + 2 * (y + 0.5 - y0) / (y1 - y0);
                    const double shade = 1 - 0.4 * (u * u + v * v);
                    uint32_t px = 0xff000000u;
                    const float rgb[3] = {fabsf(q.r), q.g, q.b};
                    for (int c = 0; c < 3; c++) px |= (uint32_t)lround(rgb[c] * shade * 255) << (8 * c);
                    want[y * TW + x] = px;
                }
        }
        size_t lit = 0, wrong = 0;
        for (int y = 0; y < TH; y++)
            for (int x = 0; x < TW; x++) {
                const uint32_t got = ((const uint32_t *)target.row(y))[x], w = want[y * TW + x];
                lit += w != 0;
                bool close = (got >> 24) == (w >> 24);
                for (int c = 0; c < 3; c++) close = close && abs((int)((got >> (8 * c)) & 255) - (int)((w >> (8 * c)) & 255)) <= 1;
                if (!close && wrong++ < 5)
                    ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << got << ", want about " << w;
            }
        EXPECT_EQ(0u, wrong);
        EXPECT_EQ(30u * 20 * 3 + 60 * 40 + 6 * 4, lit) << "fixture: the squares' areas";
    }
    sw_device_destroy(dev);
}

} // namespace
