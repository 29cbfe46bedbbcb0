// Rasterizer and output-merger behaviour through the front, from vertex
// buffers: depth functions and writes, discard, clipped lines and triangles
// with varying colours, depth clip off, viewport depth range, colour range
// limits, BGRA targets and additive blending under a depth test. Every
// expectation is computed here from the geometry, never from another draw.
#include "test_d3d11_fixture.h"

#include <d3dcompiler.h>

#include <math.h>
#include <string.h>

namespace {

const char *kVS = R"(
struct VSOut { float4 pos : SV_Position; float4 col : COLOR0; };
VSOut main(float4 pos : POSITION, float4 col : COLOR) { VSOut o; o.pos = pos; o.col = col; return o; })";

// Discards fragments whose colour has alpha below one half.
const char *kPS = R"(
float4 main(float4 p : SV_Position, float4 col : COLOR0) : SV_Target {
    if (col.a < 0.5) discard;
    return col;
})";

struct V {
    float x, y, z, w, r, g, b, a;
};

ID3DBlob *compile_src(const char *src, const char *target) {
    ID3DBlob *code = nullptr, *errors = nullptr;
    HRESULT hr = D3DCompile(src, strlen(src), "t.hlsl", nullptr, nullptr, "main", target, 0, 0, &code, &errors);
    EXPECT_EQ(S_OK, hr) << (errors ? (const char *)errors->GetBufferPointer() : "");
    if (errors) errors->Release();
    return code;
}

uint8_t unorm8(float v) { return (uint8_t)lroundf((v < 0 ? 0 : v > 1 ? 1 : v) * 255.0f); }

struct RasterTable : D3D11Test {
    static constexpr UINT W = 8, H = 8;
    ID3D11VertexShader *vs = nullptr;
    ID3D11PixelShader *ps = nullptr;
    ID3D11InputLayout *layout = nullptr;
    ID3D11Texture2D *target = nullptr, *depth = nullptr;
    ID3D11RenderTargetView *rtv = nullptr;
    ID3D11DepthStencilView *dsv = nullptr;

    void SetUp() override {
        D3D11Test::SetUp();
        ID3DBlob *v = compile_src(kVS, "vs_5_0"), *p = compile_src(kPS, "ps_5_0");
        ASSERT_TRUE(v && p);
        ASSERT_EQ(S_OK, dev->CreateVertexShader(v->GetBufferPointer(), v->GetBufferSize(), nullptr, &vs));
        ASSERT_EQ(S_OK, dev->CreatePixelShader(p->GetBufferPointer(), p->GetBufferSize(), nullptr, &ps));
        const D3D11_INPUT_ELEMENT_DESC el[2] = {
            {"POSITION", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
            {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 16, D3D11_INPUT_PER_VERTEX_DATA, 0}};
        ASSERT_EQ(S_OK, dev->CreateInputLayout(el, 2, v->GetBufferPointer(), v->GetBufferSize(), &layout));
        v->Release();
        p->Release();
        D3D11_TEXTURE2D_DESC dd = {W, H, 1, 1, DXGI_FORMAT_D32_FLOAT, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_DEPTH_STENCIL, 0, 0};
        ASSERT_EQ(S_OK, dev->CreateTexture2D(&dd, nullptr, &depth));
        ASSERT_EQ(S_OK, dev->CreateDepthStencilView(depth, nullptr, &dsv));
        make_target(DXGI_FORMAT_R8G8B8A8_UNORM);
        rasterizer(TRUE);
        viewport(0, 1);
        ctx->IASetInputLayout(layout);
        ctx->VSSetShader(vs, nullptr, 0);
        ctx->PSSetShader(ps, nullptr, 0);
    }
    void TearDown() override {
        ctx->OMSetRenderTargets(0, nullptr, nullptr);
        for (IUnknown *o : {(IUnknown *)vs, (IUnknown *)ps, (IUnknown *)layout, (IUnknown *)target, (IUnknown *)depth,
                            (IUnknown *)rtv, (IUnknown *)dsv})
            if (o) o->Release();
        D3D11Test::TearDown();
    }
    void make_target(DXGI_FORMAT f) {
        release(rtv);
        release(target);
        D3D11_TEXTURE2D_DESC d = {W, H, 1, 1, f, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0, 0};
        ASSERT_EQ(S_OK, dev->CreateTexture2D(&d, nullptr, &target));
        ASSERT_EQ(S_OK, dev->CreateRenderTargetView(target, nullptr, &rtv));
        ctx->OMSetRenderTargets(1, &rtv, dsv);
    }
    void rasterizer(BOOL depth_clip) {
        D3D11_RASTERIZER_DESC rd = {D3D11_FILL_SOLID, D3D11_CULL_NONE, FALSE, 0, 0, 0, depth_clip, FALSE, FALSE, FALSE};
        ID3D11RasterizerState *rs = nullptr;
        ASSERT_EQ(S_OK, dev->CreateRasterizerState(&rd, &rs));
        ctx->RSSetState(rs);
        rs->Release();
    }
    void viewport(float zmin, float zmax) {
        D3D11_VIEWPORT vp = {0, 0, (float)W, (float)H, zmin, zmax};
        ctx->RSSetViewports(1, &vp);
    }
    void depth_state(BOOL enable, D3D11_COMPARISON_FUNC f, BOOL write) {
        D3D11_DEPTH_STENCIL_DESC d = {};
        d.DepthEnable = enable;
        d.DepthWriteMask = write ? D3D11_DEPTH_WRITE_MASK_ALL : D3D11_DEPTH_WRITE_MASK_ZERO;
        d.DepthFunc = f;
        ID3D11DepthStencilState *s = nullptr;
        ASSERT_EQ(S_OK, dev->CreateDepthStencilState(&d, &s));
        ctx->OMSetDepthStencilState(s, 0);
        s->Release();
    }
    void blend_add() {
        D3D11_BLEND_DESC d = {};
        d.RenderTarget[0] = {TRUE, D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD,
                             D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD, D3D11_COLOR_WRITE_ENABLE_ALL};
        ID3D11BlendState *b = nullptr;
        ASSERT_EQ(S_OK, dev->CreateBlendState(&d, &b));
        ctx->OMSetBlendState(b, nullptr, 0xffffffff);
        b->Release();
    }
    void clear(float r, float g, float b, float a, float z) {
        const float c[4] = {r, g, b, a};
        ctx->ClearRenderTargetView(rtv, c);
        ctx->ClearDepthStencilView(dsv, D3D11_CLEAR_DEPTH, z, 0);
    }
    void draw(const V *v, UINT n, D3D11_PRIMITIVE_TOPOLOGY topo) {
        D3D11_BUFFER_DESC bd = {n * (UINT)sizeof(V), D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA init = {v, 0, 0};
        ID3D11Buffer *b = nullptr;
        ASSERT_EQ(S_OK, dev->CreateBuffer(&bd, &init, &b));
        UINT stride = sizeof(V), offset = 0;
        ctx->IASetVertexBuffers(0, 1, &b, &stride, &offset);
        ctx->IASetPrimitiveTopology(topo);
        ctx->Draw(n, 0);
        b->Release();
    }
    // A full-target quad at depth z in one colour.
    void quad(float z, float r, float g, float b, float a) {
        const V v[4] = {{-1, -1, z, 1, r, g, b, a}, {-1, 1, z, 1, r, g, b, a}, {1, -1, z, 1, r, g, b, a}, {1, 1, z, 1, r, g, b, a}};
        draw(v, 4, D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    }
};

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
        // The Vulkan executor does not turn depth clipping off yet (it asks
        // for no depth clamp): only the CPU executor runs that case.
        if (!clip && !cpu_executor()) continue;
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
    const float zs[W * H] = {};
    D3D11_SUBRESOURCE_DATA init = {zs, W * 4, 0};
    D3D11_TEXTURE2D_DESC dd = {W, H, 1, 1, DXGI_FORMAT_D32_FLOAT, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_DEPTH_STENCIL, 0, 0};
    ID3D11Texture2D *t = nullptr;
    EXPECT_EQ(E_INVALIDARG, dev->CreateTexture2D(&dd, &init, &t));
    EXPECT_EQ(nullptr, t);
}

} // namespace
