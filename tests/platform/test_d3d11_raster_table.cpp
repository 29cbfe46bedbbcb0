// Rasterizer and output-merger behaviour through the front, from vertex
// buffers: depth functions and writes, discard, clipped lines and triangles
// with varying colours, depth clip off, viewport depth range, colour range
// limits, BGRA targets and additive blending under a depth test. Every
// expectation is computed here from the geometry, never from another draw.
#include "raster_fixture.h"

namespace {

using namespace raster;

// Each comparison against a stored 0.5, with writes on and off; a second
// EQUAL probe at the value that must now be stored shows what was written.
TEST_F(RasterTable, DepthFunctionsPassAndWriteAsCompared) {
    struct Case {
        D3D11_COMPARISON_FUNC f;
        bool below, equal, above; // passes for an incoming depth below / equal to / above the stored one
    } cases[] = {
        {D3D11_COMPARISON_NEVER, false, false, false},      {D3D11_COMPARISON_LESS, true, false, false},
        {D3D11_COMPARISON_EQUAL, false, true, false},       {D3D11_COMPARISON_LESS_EQUAL, true, true, false},
        {D3D11_COMPARISON_GREATER, false, false, true},     {D3D11_COMPARISON_NOT_EQUAL, true, false, true},
        {D3D11_COMPARISON_GREATER_EQUAL, false, true, true}, {D3D11_COMPARISON_ALWAYS, true, true, true},
    };
    const float incoming[3] = {0.25f, 0.5f, 0.75f};
    for (const Case &c : cases)
        for (int i = 0; i < 3; i++)
            for (int write = 0; write < 2; write++) {
                bool pass = i == 0 ? c.below : i == 1 ? c.equal : c.above;
                float stored = pass && write ? incoming[i] : 0.5f;
                clear(0, 0, 0, 0, 0.5f);
                depth_state(TRUE, c.f, write);
                quad(incoming[i], 1, 0, 0, 1);
                std::vector<uint32_t> px = read_pixels(target);
                ASSERT_EQ(W * H, px.size());
                EXPECT_EQ(pass ? rgba(255, 0, 0, 255) : 0u, px[27]) << "func " << c.f << " z " << incoming[i] << " write " << write;
                depth_state(TRUE, D3D11_COMPARISON_EQUAL, FALSE);
                quad(stored, 0, 0, 1, 1);
                px = read_pixels(target);
                EXPECT_EQ(rgba(0, 0, 255, 255), px[36]) << "stored depth, func " << c.f << " z " << incoming[i] << " write " << write;
            }
}

// Discarded fragments leave a non-zero target and the depth buffer alone;
// the kept half writes both.
TEST_F(RasterTable, DiscardKeepsColourAndDepth) {
    clear(0.2f, 0.4f, 0.6f, 1, 1);
    depth_state(TRUE, D3D11_COMPARISON_LESS, TRUE);
    // Alpha falls from 1 at the left edge to 0 at the right: the left half is kept.
    const V v[4] = {{-1, -1, 0.25f, 1, 0, 1, 0, 1}, {-1, 1, 0.25f, 1, 0, 1, 0, 1}, {1, -1, 0.25f, 1, 0, 1, 0, 0}, {1, 1, 0.25f, 1, 0, 1, 0, 0}};
    draw(v, 4, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    // A probe behind the discarded half passes there only.
    quad(0.5f, 1, 0, 0, 1);
    std::vector<uint32_t> px = read_pixels(target);
    ASSERT_EQ(W * H, px.size());
    for (UINT y = 0; y < H; y++)
        for (UINT x = 0; x < W; x++) {
            float a = 1 - ((x + 0.5f) / W); // interpolated alpha at the pixel centre
            uint32_t want = a >= 0.5f ? rgba(0, 255, 0, unorm8(a)) : rgba(255, 0, 0, 255);
            uint32_t got = px[y * W + x];
            EXPECT_EQ(want & 0xffffff, got & 0xffffff) << x << "," << y;
        }
    // Nothing discarded touched the clear colour before the probe either.
    clear(0.2f, 0.4f, 0.6f, 1, 1);
    depth_state(FALSE, D3D11_COMPARISON_ALWAYS, FALSE);
    draw(v, 4, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    px = read_pixels(target);
    EXPECT_EQ(rgba(unorm8(0.2f), unorm8(0.4f), unorm8(0.6f), 255), px[7]);
}

// A horizontal line from x = -3 to x = 1 in clip space, red rising from 0 to
// 1 along it: the visible half, cut by the near plane, must carry red
// 0.5..1, not 0..1 nor the reverse.
TEST_F(RasterTable, ClippedLinesKeepTheirColours) {
    depth_state(FALSE, D3D11_COMPARISON_ALWAYS, FALSE);
    const float y = 1 - 2 * (3.5f / H); // through the centres of row 3
    // Depth runs (x + 1) / 2 along it, so the near plane cuts it at the left
    // edge of the target (x = -1 lies well inside any guard band).
    const V line[2] = {{-3, y, -1, 1, 0, 0, 0, 1}, {1, y, 1, 1, 1, 0, 0, 1}};
    const V strip[3] = {{-3, y, -1, 1, 0, 0, 0, 1}, {-1.5f, y, -0.25f, 1, 0.375f, 0, 0, 1}, {1, y, 1, 1, 1, 0, 0, 1}};
    struct Case {
        const V *v;
        UINT n;
        D3D11_PRIMITIVE_TOPOLOGY topo;
    } cases[] = {{line, 2, D3D11_PRIMITIVE_TOPOLOGY_LINELIST}, {strip, 3, D3D11_PRIMITIVE_TOPOLOGY_LINESTRIP}};
    for (const Case &c : cases) {
        clear(0, 0, 0, 0, 1);
        draw(c.v, c.n, c.topo);
        std::vector<uint32_t> px = read_pixels(target);
        ASSERT_EQ(W * H, px.size());
        int lit = 0;
        for (UINT x = 0; x < W; x++) {
            uint32_t p = px[3 * W + x];
            if (!p) continue;
            lit++;
            float cx = (x + 0.5f) / W * 2 - 1;
            int want = unorm8((cx + 3) / 4);
            EXPECT_NEAR(want, (int)(p & 0xff), 2) << "topology " << c.topo << " x " << x;
        }
        EXPECT_GE(lit, (int)W - 1) << "topology " << c.topo;
    }
}

// A quad whose depth runs from -0.5 at the left edge to 1.5 at the right and
// whose red runs 0..1 across it. With depth clip on, only the middle half
// survives, with the colours of the original surface at the new edges; with
// it off the whole quad is drawn.
TEST_F(RasterTable, ClippedTrianglesKeepTheirColours) {
    depth_state(FALSE, D3D11_COMPARISON_ALWAYS, FALSE);
    const V v[4] = {{-1, -1, -0.5f, 1, 0, 0, 0, 1}, {-1, 1, -0.5f, 1, 0, 0, 0, 1}, {1, -1, 1.5f, 1, 1, 0, 0, 1}, {1, 1, 1.5f, 1, 1, 0, 0, 1}};
    const V list[6] = {v[0], v[1], v[2], v[2], v[1], v[3]};
    // As a strip (which the CPU executor may take as a rectangle) and as a
    // list of two triangles (edge functions and the general clipper).
    for (int shape = 0; shape < 4; shape++) {
        const int clip = shape & 1;
        rasterizer(clip);
        clear(0, 0, 0, 0, 1);
        if (shape < 2) draw(v, 4, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        else draw(list, 6, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
        std::vector<uint32_t> px = read_pixels(target);
        ASSERT_EQ(W * H, px.size());
        for (UINT y = 0; y < H; y++)
            for (UINT x = 0; x < W; x++) {
                float cx = (x + 0.5f) / W * 2 - 1;
                float z = cx + 0.5f;
                bool in = !clip || (z >= 0 && z <= 1);
                uint32_t want = in ? rgba(unorm8((cx + 1) / 2), 0, 0, 255) : 0;
                uint32_t got = px[y * W + x];
                EXPECT_NEAR((int)(want & 0xff), (int)(got & 0xff), 1) << "shape " << shape << " at " << x << "," << y;
                EXPECT_EQ(want >> 24, got >> 24) << "shape " << shape << " at " << x << "," << y;
            }
    }
}

// Depth written through a viewport range of 0.25..0.75: clip z = 0.8 lands at
// 0.65, in front of a stored 0.7 (it would be behind it with 0..1).
TEST_F(RasterTable, ViewportDepthRangeMapsZ) {
    struct Case {
        float zmin, zmax, z;
        bool pass;
    } cases[] = {{0.25f, 0.75f, 0.8f, true}, {0.25f, 0.75f, 1.0f, false}, {0, 1, 0.8f, false}, {0, 1, 0.6f, true}, {0.5f, 0.5f, 0.0f, true}};
    depth_state(TRUE, D3D11_COMPARISON_LESS, TRUE);
    for (const Case &c : cases) {
        viewport(c.zmin, c.zmax);
        clear(0, 0, 0, 0, 0.7f);
        quad(c.z, 1, 1, 0, 1);
        std::vector<uint32_t> px = read_pixels(target);
        ASSERT_EQ(W * H, px.size());
        EXPECT_EQ(c.pass ? rgba(255, 255, 0, 255) : 0u, px[9]) << c.zmin << ".." << c.zmax << " z " << c.z;
    }
}

// With depth clip off nothing is cut at near or far, however far past them
// a primitive lies, and its depth is clamped into the viewport's range: a
// quad wholly before the near plane or past the far one, as a strip (a
// rectangle on the CPU executor) and as a list, and as a list again wider
// than the guard band, so that the guard-band clip runs with it. A depth
// test then shows the clamped depth: LESS_EQUAL against the clamp's bound
// passes, LESS fails.
TEST_F(RasterTable, DepthClipOffDrawsBeyondNearAndFar) {
    rasterizer(FALSE);
    struct Case {
        float z, stored;
        D3D11_COMPARISON_FUNC f;
        bool drawn;
    } cases[] = {{1.5f, 1.0f, D3D11_COMPARISON_LESS_EQUAL, true},  {1.5f, 1.0f, D3D11_COMPARISON_LESS, false},
                 {-0.5f, 0.0f, D3D11_COMPARISON_GREATER_EQUAL, true}, {-0.5f, 0.0f, D3D11_COMPARISON_GREATER, false},
                 {1e6f, 1.0f, D3D11_COMPARISON_EQUAL, true},       {-3.0f, 0.25f, D3D11_COMPARISON_LESS, true}};
    for (const Case &c : cases)
        for (int shape = 0; shape < 3; shape++) {
            SCOPED_TRACE(testing::Message() << "z " << c.z << " func " << c.f << " shape " << shape);
            const float e = shape == 2 ? 40000.0f : 1.0f; // 40000 clip units: far past the guard band
            const V v[4] = {{-e, -e, c.z, 1, 0, 1, 0, 1}, {-e, e, c.z, 1, 0, 1, 0, 1}, {e, -e, c.z, 1, 0, 1, 0, 1}, {e, e, c.z, 1, 0, 1, 0, 1}};
            const V list[6] = {v[0], v[1], v[2], v[2], v[1], v[3]};
            depth_state(TRUE, c.f, FALSE);
            clear(0, 0, 0, 0, c.stored);
            if (shape == 0) draw(v, 4, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
            else draw(list, 6, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
            std::vector<uint32_t> px = read_pixels(target);
            ASSERT_EQ(W * H, px.size());
            for (UINT i = 0; i < W * H; i++) ASSERT_EQ(c.drawn ? rgba(0, 255, 0, 255) : 0u, px[i]) << "pixel " << i;
        }
}

// A viewport whose depth range holds a NaN, and a depth buffer of another
// size than its target, are invalid bindings: the draw leaves target and
// depth buffer as they were. Each is tried beside the valid binding it
// differs from, which must draw.
TEST_F(RasterTable, InvalidDepthBindingsDrawNothing) {
    depth_state(TRUE, D3D11_COMPARISON_ALWAYS, TRUE);
    const float nan = nanf("");
    const D3D11_VIEWPORT ranges[] = {{0, 0, (float)W, (float)H, 0, nan}, {0, 0, (float)W, (float)H, nan, 1},
                                     {0, 0, (float)W, (float)H, 0, 1}};
    for (const D3D11_VIEWPORT &vp : ranges) {
        SCOPED_TRACE(testing::Message() << "depth range " << vp.MinDepth << ".." << vp.MaxDepth);
        const bool valid = vp.MinDepth == vp.MinDepth && vp.MaxDepth == vp.MaxDepth;
        ctx->RSSetViewports(1, &vp);
        clear(0, 0, 0, 0, 1);
        quad(0.5f, 1, 1, 1, 1);
        for (uint32_t p : read_pixels(target)) ASSERT_EQ(valid ? 0xffffffffu : 0u, p);
    }
    viewport(0, 1);
    // Depth buffers larger than the target in width, height or both (a
    // smaller one would be written past its end if it were drawn with).
    const UINT sizes[][2] = {{W * 2, H * 2}, {W + 1, H}, {W, H + 1}, {W, H}};
    for (const auto &sz : sizes) {
        SCOPED_TRACE(testing::Message() << "depth " << sz[0] << "x" << sz[1]);
        D3D11_TEXTURE2D_DESC dd = {sz[0], sz[1], 1, 1, DXGI_FORMAT_D32_FLOAT, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_DEPTH_STENCIL, 0, 0};
        ID3D11Texture2D *t = nullptr;
        ID3D11DepthStencilView *v = nullptr;
        ASSERT_EQ(S_OK, dev->CreateTexture2D(&dd, nullptr, &t));
        ASSERT_EQ(S_OK, dev->CreateDepthStencilView(t, nullptr, &v));
        const float black[4] = {0, 0, 0, 0};
        ctx->ClearRenderTargetView(rtv, black);
        ctx->ClearDepthStencilView(v, D3D11_CLEAR_DEPTH, 1, 0);
        ctx->OMSetRenderTargets(1, &rtv, v);
        quad(0.5f, 1, 1, 1, 1);
        const bool same = sz[0] == W && sz[1] == H;
        for (uint32_t p : read_pixels(target)) ASSERT_EQ(same ? 0xffffffffu : 0u, p);
        // Nor was the depth buffer written: an EQUAL probe at the cleared
        // depth, with the buffer bound beside a target of its own size, lights all.
        ID3D11Texture2D *t2 = texture(sz[0], sz[1], D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
        ID3D11RenderTargetView *r2 = nullptr;
        ASSERT_EQ(S_OK, dev->CreateRenderTargetView(t2, nullptr, &r2));
        ctx->ClearRenderTargetView(r2, black);
        ctx->OMSetRenderTargets(1, &r2, v);
        D3D11_VIEWPORT whole = {0, 0, (float)sz[0], (float)sz[1], 0, 1};
        ctx->RSSetViewports(1, &whole);
        depth_state(TRUE, D3D11_COMPARISON_EQUAL, FALSE);
        quad(1.0f, 1, 1, 1, 1);
        for (uint32_t p : read_pixels(t2)) ASSERT_EQ(same ? 0u : 0xffffffffu, p);
        depth_state(TRUE, D3D11_COMPARISON_ALWAYS, TRUE);
        viewport(0, 1);
        ctx->OMSetRenderTargets(1, &rtv, dsv);
        r2->Release();
        t2->Release();
        v->Release();
        t->Release();
    }
}

// Colours out of range from the pixel program: negative and NaN give 0,
// above one gives 255; none wraps.
TEST_F(RasterTable, OutOfRangeColoursSaturate) {
    depth_state(FALSE, D3D11_COMPARISON_ALWAYS, FALSE);
    const float nan = nanf("");
    struct Case {
        float r, g, b;
        uint32_t want;
    } cases[] = {{-0.5f, 2.0f, 0.5f, rgba(0, 255, 128, 255)}, {nan, -100.0f, 1e30f, rgba(0, 0, 255, 255)}, {-1e-7f, nan, -0.0f, rgba(0, 0, 0, 255)}};
    for (const Case &c : cases) {
        clear(0.5f, 0.5f, 0.5f, 0.5f, 1);
        quad(0.5f, c.r, c.g, c.b, 1);
        std::vector<uint32_t> px = read_pixels(target);
        ASSERT_EQ(W * H, px.size());
        EXPECT_EQ(c.want, px[20]) << c.r << " " << c.g << " " << c.b;
    }
}

// A BGRA target stores blue first in memory.
TEST_F(RasterTable, BgraTargetSwapsRedAndBlue) {
    make_target(DXGI_FORMAT_B8G8R8A8_UNORM);
    depth_state(FALSE, D3D11_COMPARISON_ALWAYS, FALSE);
    clear(0, 0, 0, 0, 1);
    quad(0.5f, 1, 0.25f, 0.5f, 1);
    D3D11_TEXTURE2D_DESC d = {W, H, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, {1, 0}, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, 0};
    ID3D11Texture2D *st = nullptr;
    ASSERT_EQ(S_OK, dev->CreateTexture2D(&d, nullptr, &st));
    ctx->CopyResource(st, target);
    D3D11_MAPPED_SUBRESOURCE m;
    ASSERT_EQ(S_OK, ctx->Map(st, 0, D3D11_MAP_READ, 0, &m));
    const uint8_t *row = (const uint8_t *)m.pData + m.RowPitch;
    const uint8_t want[4] = {unorm8(0.5f), unorm8(0.25f), 255, 255};
    for (UINT x = 0; x < W; x++)
        for (int c = 0; c < 4; c++) EXPECT_EQ(want[c], row[x * 4 + c]) << "x " << x << " byte " << c;
    ctx->Unmap(st, 0);
    st->Release();
}

// Additive blending under a depth test: a hidden fragment adds nothing, a
// visible one adds to what is there.
TEST_F(RasterTable, AdditiveBlendingHonoursDepth) {
    blend_add();
    depth_state(TRUE, D3D11_COMPARISON_LESS, FALSE);
    clear(0.25f, 0, 0, 0, 0.5f);
    // Left half in front, right half behind.
    const float r = 0.5f;
    const V v[6] = {{-1, -1, 0.25f, 1, r, 0, 0, 1}, {-1, 1, 0.25f, 1, r, 0, 0, 1}, {0, -1, 0.25f, 1, r, 0, 0, 1},
                    {0, -1, 0.75f, 1, r, 0, 0, 1},  {0, 1, 0.75f, 1, r, 0, 0, 1},  {1, -1, 0.75f, 1, r, 0, 0, 1}};
    const V v2[6] = {{0, 1, 0.75f, 1, r, 0, 0, 1}, {1, 1, 0.75f, 1, r, 0, 0, 1}, {1, -1, 0.75f, 1, r, 0, 0, 1},
                     {-1, 1, 0.25f, 1, r, 0, 0, 1}, {0, 1, 0.25f, 1, r, 0, 0, 1}, {0, -1, 0.25f, 1, r, 0, 0, 1}};
    draw(v, 6, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    draw(v2, 6, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    std::vector<uint32_t> px = read_pixels(target);
    ASSERT_EQ(W * H, px.size());
    for (UINT y = 0; y < H; y++)
        for (UINT x = 0; x < W; x++) {
            uint32_t want = x < W / 2 ? rgba(unorm8(0.75f), 0, 0, 255) : rgba(unorm8(0.25f), 0, 0, 0);
            EXPECT_NEAR((int)(want & 0xff), (int)(px[y * W + x] & 0xff), 1) << x << "," << y;
            EXPECT_EQ(want >> 24, px[y * W + x] >> 24) << x << "," << y;
        }
}

// Descriptions the front refuses rather than half-honour: a layout feeding
// one program input twice, and initial data for a depth texture (depth
// always starts cleared).
TEST_F(RasterTable, FrontRefusesAmbiguousLayoutsAndDepthUploads) {
    ID3DBlob *code = compile_src(kVS, "vs_5_0");
    ASSERT_TRUE(code);
    const D3D11_INPUT_ELEMENT_DESC twice[3] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 16, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"position", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 32, D3D11_INPUT_PER_VERTEX_DATA, 0}};
    ID3D11InputLayout *l = nullptr;
    EXPECT_EQ(E_INVALIDARG, dev->CreateInputLayout(twice, 3, code->GetBufferPointer(), code->GetBufferSize(), &l));
    EXPECT_EQ(nullptr, l);
    code->Release();
    const std::vector<float> zs(W * H, 0.0f);
    D3D11_SUBRESOURCE_DATA init = {zs.data(), W * 4, 0};
    D3D11_TEXTURE2D_DESC dd = {W, H, 1, 1, DXGI_FORMAT_D32_FLOAT, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_DEPTH_STENCIL, 0, 0};
    ID3D11Texture2D *t = nullptr;
    EXPECT_EQ(E_INVALIDARG, dev->CreateTexture2D(&dd, &init, &t));
    EXPECT_EQ(nullptr, t);
}

} // namespace
