// Drawing: Direct3D 11 conventions (y up, culling, blending, constant-buffer
// slots, SV_VertexID/SV_InstanceID) on Vulkan, checked by reading pixels back.
#include "test_d3d11_fixture.h"

#include <d3dcompiler.h>

#include "d3d11/objects.h"
#include "vk/vk_executor.h"

#include <atomic>
#include <math.h>
#include <new>
#include <stdlib.h>
#include <string.h>

// Counts C++ heap allocations while armed: the layer's own containers are
// all C++, so a steady frame must leave this at zero. AddressSanitizer keeps
// its own allocator, with which a replaced operator new cannot be mixed.
static std::atomic<bool> g_count_news{false};
static std::atomic<int> g_news{0};
#if !defined(__SANITIZE_ADDRESS__)
#define HG_COUNT_NEWS 1
void *operator new(size_t n) {
    if (g_count_news) g_news++;
    if (void *p = malloc(n ? n : 1)) return p;
    abort(); // no exceptions here
}
void *operator new[](size_t n) { return operator new(n); }
void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }
#endif

namespace {

// A quad from SV_VertexID over rect (clip-space x0 y0 x1 y1), tinted by VS b1.
const char *kQuadVS = R"(
cbuffer Rect : register(b0) { float4 rect; };
cbuffer Tint : register(b1) { float4 tint; };
cbuffer Depth : register(b2) { float4 depth; }; // unbound: z = 0.5
struct VSOut { float4 pos : SV_Position; float4 col : COLOR0; };
VSOut main(uint vid : SV_VertexID) {
    float2 t = float2(vid & 1, vid >> 1);
    VSOut o;
    o.pos = float4(lerp(rect.xy, rect.zw, t), 0.5 + depth.x, 1);
    o.col = tint;
    return o;
})";

// One column per instance at the per-instance OFFSET; red encodes SV_InstanceID.
const char *kInstanceVS = R"(
struct VSOut { float4 pos : SV_Position; float4 col : COLOR0; };
VSOut main(float2 off : OFFSET, uint vid : SV_VertexID, uint iid : SV_InstanceID) {
    float2 t = float2(vid & 1, vid >> 1);
    VSOut o;
    o.pos = float4(off.x + t.x * off.y, t.y * 2 - 1, 0.5, 1);
    o.col = float4((iid + 1) * 0.25, 0, 0, 1);
    return o;
})";

// PS b1 scales, PS b0 biases (left unbound: reads zero).
const char *kPS = R"(
cbuffer Bias : register(b0) { float4 bias; };
cbuffer Scale : register(b1) { float4 scale; };
float4 main(float4 p : SV_Position, float4 col : COLOR0) : SV_Target { return col * scale + bias; }
)";

ID3DBlob *compile(const char *src, const char *target) {
    ID3DBlob *code = nullptr, *errors = nullptr;
    HRESULT hr = D3DCompile(src, strlen(src), "test.hlsl", nullptr, nullptr, "main", target, 0, 0, &code, &errors);
    EXPECT_EQ(S_OK, hr) << (errors ? (const char *)errors->GetBufferPointer() : "");
    if (errors) errors->Release();
    return code;
}

struct DrawTest : D3D11Test {
    static constexpr UINT W = 4, H = 4;
    ID3D11VertexShader *vs = nullptr;
    ID3D11PixelShader *ps = nullptr;
    ID3D11Buffer *rect = nullptr, *tint = nullptr, *scale = nullptr;
    ID3D11Texture2D *target = nullptr;
    ID3D11RenderTargetView *rtv = nullptr;
    ID3D11RasterizerState *no_cull = nullptr;

    void SetUp() override {
        D3D11Test::SetUp();
        ID3DBlob *v = compile(kQuadVS, "vs_5_0"), *p = compile(kPS, "ps_5_0");
        ASSERT_TRUE(v && p);
        ASSERT_EQ(S_OK, dev->CreateVertexShader(v->GetBufferPointer(), v->GetBufferSize(), nullptr, &vs));
        ASSERT_EQ(S_OK, dev->CreatePixelShader(p->GetBufferPointer(), p->GetBufferSize(), nullptr, &ps));
        v->Release();
        p->Release();
        rect = constants();
        tint = constants();
        scale = constants();
        set(scale, 1, 1, 1, 1);
        target = texture(W, H, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
        ASSERT_EQ(S_OK, dev->CreateRenderTargetView(target, nullptr, &rtv));
        D3D11_RASTERIZER_DESC rd = {D3D11_FILL_SOLID, D3D11_CULL_NONE, FALSE, 0, 0, 0, TRUE, FALSE, FALSE, FALSE};
        ASSERT_EQ(S_OK, dev->CreateRasterizerState(&rd, &no_cull));

        const float black[4] = {0, 0, 0, 0};
        ctx->ClearRenderTargetView(rtv, black);
        ctx->OMSetRenderTargets(1, &rtv, nullptr);
        D3D11_VIEWPORT vp = {0, 0, (float)W, (float)H, 0, 1};
        ctx->RSSetViewports(1, &vp);
        ctx->RSSetState(no_cull);
        ctx->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        ctx->VSSetShader(vs, nullptr, 0);
        ctx->PSSetShader(ps, nullptr, 0);
        ID3D11Buffer *vcb[2] = {rect, tint};
        ctx->VSSetConstantBuffers(0, 2, vcb);
        ctx->PSSetConstantBuffers(1, 1, &scale);
    }
    void TearDown() override {
        for (IUnknown *o : {(IUnknown *)vs, (IUnknown *)ps, (IUnknown *)rect, (IUnknown *)tint, (IUnknown *)scale,
                            (IUnknown *)target, (IUnknown *)rtv, (IUnknown *)no_cull})
            if (o) o->Release();
        D3D11Test::TearDown();
    }

    // The instance program bound with a layout reading its offset per
    // instance from `slot`, and a buffer of four column offsets to bind there.
    struct Instanced {
        ID3D11VertexShader *vs = nullptr;
        ID3D11InputLayout *layout = nullptr;
        ID3D11Buffer *columns = nullptr;
        ~Instanced() {
            for (IUnknown *o : {(IUnknown *)vs, (IUnknown *)layout, (IUnknown *)columns})
                if (o) o->Release();
        }
    };
    void instanced(UINT slot, Instanced *out) {
        ID3DBlob *code = compile(kInstanceVS, "vs_5_0");
        ASSERT_TRUE(code);
        ASSERT_EQ(S_OK, dev->CreateVertexShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &out->vs));
        // "offset" for the program's OFFSET: semantic names match whatever their case.
        const D3D11_INPUT_ELEMENT_DESC el = {"offset", 0, DXGI_FORMAT_R32G32_FLOAT, slot, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1};
        ASSERT_EQ(S_OK, dev->CreateInputLayout(&el, 1, code->GetBufferPointer(), code->GetBufferSize(), &out->layout));
        code->Release();
        const float columns[4][2] = {{-1.0f, 0.5f}, {-0.5f, 0.5f}, {0.0f, 0.5f}, {0.5f, 0.5f}};
        D3D11_BUFFER_DESC bd = {sizeof columns, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA init = {columns, 0, 0};
        ASSERT_EQ(S_OK, dev->CreateBuffer(&bd, &init, &out->columns));
        ctx->IASetInputLayout(out->layout);
        ctx->VSSetShader(out->vs, nullptr, 0);
    }

    ID3D11Buffer *constants() {
        D3D11_BUFFER_DESC d = {16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
        ID3D11Buffer *b = nullptr;
        EXPECT_EQ(S_OK, dev->CreateBuffer(&d, nullptr, &b));
        return b;
    }
    void set(ID3D11Buffer *b, float x, float y, float z, float w) {
        D3D11_MAPPED_SUBRESOURCE m;
        ASSERT_EQ(S_OK, ctx->Map(b, 0, D3D11_MAP_WRITE_DISCARD, 0, &m));
        const float v[4] = {x, y, z, w};
        memcpy(m.pData, v, sizeof v);
        ctx->Unmap(b, 0);
    }
    // Quad over clip-space rect in colour c.
    void quad(float x0, float y0, float x1, float y1, const float (&c)[4]) {
        set(rect, x0, y0, x1, y1);
        set(tint, c[0], c[1], c[2], c[3]);
        ctx->Draw(4, 0);
    }
    // The Vulkan core behind the device; null on the CPU executor.
    VkcCore *vk() { return vk_executor_core(static_cast<Device *>(dev)->exec); }
    size_t pipelines() { return vk()->pipelines.size(); }
};

const float kRed[4] = {1, 0, 0, 1};

TEST_F(DrawTest, ClipSpaceYPointsUp) {
    quad(-1, 0, 1, 1, kRed); // upper half of clip space
    std::vector<uint32_t> px = read_pixels(target);
    for (UINT y = 0; y < H; y++)
        for (UINT x = 0; x < W; x++)
            EXPECT_EQ(y < H / 2 ? rgba(255, 0, 0, 255) : 0u, px[y * W + x]) << x << "," << y;
}

TEST_F(DrawTest, CullModeFollowsClockwiseFrontFaces) {
    // The strip quad winds counter-clockwise on screen: a back face in Direct3D.
    D3D11_RASTERIZER_DESC rd = {D3D11_FILL_SOLID, D3D11_CULL_BACK, FALSE, 0, 0, 0, TRUE, FALSE, FALSE, FALSE};
    struct Case {
        D3D11_CULL_MODE cull;
        BOOL front_ccw;
        bool use_default;
        bool drawn;
    } cases[] = {
        {D3D11_CULL_BACK, FALSE, true, false}, // null state: cull back, clockwise front
        {D3D11_CULL_BACK, FALSE, false, false},
        {D3D11_CULL_FRONT, FALSE, false, true},
        {D3D11_CULL_NONE, FALSE, false, true},
        {D3D11_CULL_BACK, TRUE, false, true},
    };
    const float black[4] = {0, 0, 0, 0};
    for (const Case &c : cases) {
        rd.CullMode = c.cull;
        rd.FrontCounterClockwise = c.front_ccw;
        ID3D11RasterizerState *rs = nullptr;
        ASSERT_EQ(S_OK, dev->CreateRasterizerState(&rd, &rs));
        ctx->RSSetState(c.use_default ? nullptr : rs);
        ctx->ClearRenderTargetView(rtv, black);
        quad(-1, -1, 1, 1, kRed);
        EXPECT_EQ(c.drawn ? rgba(255, 0, 0, 255) : 0u, read_pixels(target)[5])
            << "cull " << c.cull << " ccw " << c.front_ccw << " default " << c.use_default;
        rs->Release();
    }
}

TEST_F(DrawTest, StageConstantBufferSlotsDoNotAlias) {
    // VS b1 = tint, PS b1 = scale, PS b0 unbound reads zero.
    set(scale, 1.0f, 2.0f, 0.5f, 1.0f);
    const float tint_c[4] = {0.5f, 0.25f, 1.0f, 1.0f};
    quad(-1, -1, 1, 1, tint_c);
    EXPECT_EQ(rgba(128, 128, 128, 255), read_pixels(target)[0]);
}

// Factors and operations outside Direct3D's enumerations are refused,
// including the gap at 12 and 13 between the enumerators; a target whose
// blending is off is not looked at, nor are targets 1..7 without independent
// blending.
TEST_F(DrawTest, BlendDescriptionsAreValidated) {
    const D3D11_RENDER_TARGET_BLEND_DESC add = {TRUE, D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD,
                                                D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD,
                                                D3D11_COLOR_WRITE_ENABLE_ALL};
    auto with = [&](int field, int value) {
        D3D11_RENDER_TARGET_BLEND_DESC rt = add;
        switch (field) {
        case 0: rt.SrcBlend = (D3D11_BLEND)value; break;
        case 1: rt.DestBlend = (D3D11_BLEND)value; break;
        case 2: rt.SrcBlendAlpha = (D3D11_BLEND)value; break;
        case 3: rt.DestBlendAlpha = (D3D11_BLEND)value; break;
        case 4: rt.BlendOp = (D3D11_BLEND_OP)value; break;
        case 5: rt.BlendOpAlpha = (D3D11_BLEND_OP)value; break;
        }
        return rt;
    };
    const struct {
        int field, value;
        HRESULT want;
    } cases[] = {
        {0, D3D11_BLEND_ZERO, S_FALSE}, {0, D3D11_BLEND_INV_SRC1_ALPHA, S_FALSE}, {0, 0, E_INVALIDARG},
        {0, 12, E_INVALIDARG},          {1, 13, E_INVALIDARG},                    {2, 20, E_INVALIDARG},
        {3, 13, E_INVALIDARG},          {4, D3D11_BLEND_OP_MAX, S_FALSE},        {4, 0, E_INVALIDARG},
        {5, 6, E_INVALIDARG},
    };
    for (const auto &c : cases) {
        D3D11_BLEND_DESC bd = {};
        bd.RenderTarget[0] = with(c.field, c.value);
        EXPECT_EQ(c.want, dev->CreateBlendState(&bd, nullptr)) << "field " << c.field << " value " << c.value;
        bd.RenderTarget[0].BlendEnable = FALSE; // not looked at
        EXPECT_EQ(S_FALSE, dev->CreateBlendState(&bd, nullptr)) << "field " << c.field << " value " << c.value;
        bd.RenderTarget[0] = add;
        bd.RenderTarget[3] = with(c.field, c.value);
        EXPECT_EQ(S_FALSE, dev->CreateBlendState(&bd, nullptr)) << "target 3 unused";
        bd.IndependentBlendEnable = TRUE;
        EXPECT_EQ(c.want, dev->CreateBlendState(&bd, nullptr)) << "target 3, field " << c.field << " value " << c.value;
    }
}

TEST_F(DrawTest, AdditiveBlendingSaturates) {
    D3D11_BLEND_DESC bd = {};
    bd.RenderTarget[0] = {TRUE,           D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD,
                          D3D11_BLEND_ONE, D3D11_BLEND_ONE, D3D11_BLEND_OP_ADD, D3D11_COLOR_WRITE_ENABLE_ALL};
    ID3D11BlendState *add = nullptr;
    ASSERT_EQ(S_OK, dev->CreateBlendState(&bd, &add));
    ctx->OMSetBlendState(add, nullptr, 0xffffffff);
    const float c[4] = {0.75f, 0.25f, 0.0f, 0.5f};
    quad(-1, -1, 1, 1, c);
    quad(-1, -1, 1, 1, c);
    EXPECT_EQ(rgba(255, 128, 0, 255), read_pixels(target)[0]);
    ctx->OMSetBlendState(nullptr, nullptr, 0xffffffff); // blending off again
    quad(-1, -1, 1, 1, c);
    EXPECT_EQ(rgba(191, 64, 0, 128), read_pixels(target)[0]);
    add->Release();
}

TEST_F(DrawTest, DiscardMapsKeepWhatEarlierDrawsSaw) {
    // Three draws recorded before any submission, each after re-mapping the
    // same constant buffers: each must keep its own values.
    const float colours[3][4] = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}};
    for (int i = 0; i < 3; i++) quad(-1 + 0.5f * i, -1, -0.5f + 0.5f * i, 1, colours[i]);
    std::vector<uint32_t> px = read_pixels(target);
    EXPECT_EQ(rgba(255, 0, 0, 255), px[0]);
    EXPECT_EQ(rgba(0, 255, 0, 255), px[1]);
    EXPECT_EQ(rgba(0, 0, 255, 255), px[2]);
    EXPECT_EQ(0u, px[3]);
}

TEST_F(DrawTest, InstanceIdExcludesStartInstance) {
    // Per-instance data in slot 1; slot 0 stays empty, as the engine leaves it.
    Instanced in;
    instanced(1, &in);
    ID3D11Buffer *vbs[2] = {nullptr, in.columns};
    UINT strides[2] = {0, 8}, offsets[2] = {0, 0};
    ctx->IASetVertexBuffers(0, 2, vbs, strides, offsets);
    ctx->DrawInstanced(4, 2, 0, 2); // columns 2 and 3, as instances 0 and 1
    std::vector<uint32_t> px = read_pixels(target);
    EXPECT_EQ(0u, px[0]);
    EXPECT_EQ(0u, px[1]);
    EXPECT_EQ(rgba(64, 0, 0, 255), px[2]);
    EXPECT_EQ(rgba(128, 0, 0, 255), px[3]);
}

// A program with inputs and no input layout bound draws nothing: there is
// nothing to say where its inputs come from.
TEST_F(DrawTest, ProgramWithInputsNeedsALayout) {
    Instanced in;
    instanced(0, &in);
    UINT stride = 8, offset = 0;
    ctx->IASetVertexBuffers(0, 1, &in.columns, &stride, &offset);
    ctx->IASetInputLayout(nullptr);
    ctx->DrawInstanced(4, 4, 0, 0);
    for (uint32_t p : read_pixels(target)) EXPECT_EQ(0u, p);
    ctx->IASetInputLayout(in.layout); // and with it, the columns
    ctx->DrawInstanced(4, 4, 0, 0);
    EXPECT_EQ(rgba(255, 0, 0, 255), read_pixels(target)[3]);
}

// Direct3D has 32 vertex-buffer slots; the upper half must feed a program
// as the lower one does.
TEST_F(DrawTest, VertexBuffersInEverySlot) {
    const float black[4] = {0, 0, 0, 0};
    for (UINT slot : {0u, 15u, 16u, 23u, 31u}) {
        SCOPED_TRACE(slot);
        Instanced in;
        instanced(slot, &in);
        UINT stride = 8, offset = 0;
        ctx->IASetVertexBuffers(slot, 1, &in.columns, &stride, &offset);
        ctx->ClearRenderTargetView(rtv, black);
        ctx->DrawInstanced(4, 2, 0, 1); // columns 1 and 2
        std::vector<uint32_t> px = read_pixels(target);
        EXPECT_EQ(0u, px[0]);
        EXPECT_EQ(rgba(64, 0, 0, 255), px[1]);
        EXPECT_EQ(rgba(128, 0, 0, 255), px[2]);
        EXPECT_EQ(0u, px[3]);
        ID3D11Buffer *none = nullptr;
        ctx->IASetVertexBuffers(slot, 1, &none, &stride, &offset);
    }
}

// Many instances of a mesh with a start vertex: the corners come from
// vertices 4-7 of the per-vertex buffer (0-3 lie off the target), each
// instance moved by its own offset. Instance 63 lands on column 2, the
// others on column 0.
TEST_F(DrawTest, ManyInstancesReadTheirStartVertex) {
    const char *vsrc = R"(
float4 main(float2 corner : CORNER, float2 off : OFFSET) : SV_Position {
    return float4(corner.x + abs(off.x) * 2, corner.y, 0.5, 1); // abs: once per instance
})";
    const char *psrc = "float4 main() : SV_Target { return float4(1, 0, 0, 1); }";
    ID3DBlob *v = compile(vsrc, "vs_5_0"), *p = compile(psrc, "ps_5_0");
    ASSERT_TRUE(v && p);
    ID3D11VertexShader *mvs = nullptr;
    ID3D11PixelShader *mps = nullptr;
    ID3D11InputLayout *layout = nullptr;
    const D3D11_INPUT_ELEMENT_DESC el[2] = {
        {"CORNER", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"OFFSET", 0, DXGI_FORMAT_R32G32_FLOAT, 1, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1}};
    ASSERT_EQ(S_OK, dev->CreateVertexShader(v->GetBufferPointer(), v->GetBufferSize(), nullptr, &mvs));
    ASSERT_EQ(S_OK, dev->CreatePixelShader(p->GetBufferPointer(), p->GetBufferSize(), nullptr, &mps));
    ASSERT_EQ(S_OK, dev->CreateInputLayout(el, 2, v->GetBufferPointer(), v->GetBufferSize(), &layout));
    v->Release();
    p->Release();
    const float corners[8][2] = {{5, -1}, {6, -1}, {5, 1}, {6, 1}, {-1, -1}, {-0.5f, -1}, {-1, 1}, {-0.5f, 1}};
    float offsets[64][2] = {};
    offsets[63][0] = 0.5f;
    ID3D11Buffer *vbs[2] = {nullptr, nullptr};
    const void *data[2] = {corners, offsets};
    const UINT sizes[2] = {sizeof corners, sizeof offsets};
    for (int k = 0; k < 2; k++) {
        D3D11_BUFFER_DESC bd = {sizes[k], D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA init = {data[k], 0, 0};
        ASSERT_EQ(S_OK, dev->CreateBuffer(&bd, &init, &vbs[k]));
    }
    UINT strides[2] = {8, 8}, offs[2] = {0, 0};
    ctx->IASetVertexBuffers(0, 2, vbs, strides, offs);
    ctx->IASetInputLayout(layout);
    ctx->VSSetShader(mvs, nullptr, 0);
    ctx->PSSetShader(mps, nullptr, 0);
    ctx->DrawInstanced(4, 64, 4, 0);
    std::vector<uint32_t> px = read_pixels(target);
    const uint32_t red = rgba(255, 0, 0, 255);
    for (UINT y = 0; y < H; y++) {
        EXPECT_EQ(red, px[y * W + 0]) << y;
        EXPECT_EQ(0u, px[y * W + 1]) << y;
        EXPECT_EQ(red, px[y * W + 2]) << y;
        EXPECT_EQ(0u, px[y * W + 3]) << y;
    }
    for (IUnknown *o : {(IUnknown *)mvs, (IUnknown *)mps, (IUnknown *)layout, (IUnknown *)vbs[0], (IUnknown *)vbs[1]})
        o->Release();
}

// A pixel program reads SV_Position as Direct3D gives it: the pixel centre,
// depth, and the clip-space w interpolated in perspective. w runs from
// b0.x at the left edge to b0.y at the right one; red is w / 4.
TEST_F(DrawTest, PixelProgramReadsPositionW) {
    const char *vsrc = R"(
cbuffer W : register(b0) { float4 ws; };
float4 main(uint vid : SV_VertexID) : SV_Position {
    float2 t = float2(vid & 1, vid >> 1);
    float w = lerp(ws.x, ws.y, t.x);
    return float4(t * 2 - 1, 0.25, 1) * w;
})";
    const char *psrc = "float4 main(float4 p : SV_Position) : SV_Target {"
                       " return float4(p.w * 0.25, p.z, (p.x - 0.5) * 0.25, 1); }";
    ID3DBlob *v = compile(vsrc, "vs_5_0"), *p = compile(psrc, "ps_5_0");
    ASSERT_TRUE(v && p);
    ID3D11VertexShader *wvs = nullptr;
    ID3D11PixelShader *wps = nullptr;
    ASSERT_EQ(S_OK, dev->CreateVertexShader(v->GetBufferPointer(), v->GetBufferSize(), nullptr, &wvs));
    ASSERT_EQ(S_OK, dev->CreatePixelShader(p->GetBufferPointer(), p->GetBufferSize(), nullptr, &wps));
    v->Release();
    p->Release();
    ctx->VSSetShader(wvs, nullptr, 0);
    ctx->PSSetShader(wps, nullptr, 0);
    const float cases[][2] = {{2, 2}, {1, 3}, {3.5f, 0.5f}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "w from " << c[0] << " to " << c[1]);
        set(rect, c[0], c[1], 0, 0);
        ctx->Draw(4, 0);
        std::vector<uint32_t> px = read_pixels(target);
        for (UINT x = 0; x < W; x++) {
            // 1/w is linear on the screen.
            const double t = (x + 0.5) / W, w = 1.0 / ((1 - t) / c[0] + t / c[1]);
            const int want = (int)(w * 0.25 * 255 + 0.5);
            for (UINT y = 0; y < H; y++) {
                const uint32_t got = px[y * W + x];
                EXPECT_NEAR(want, (int)(got & 0xff), 1) << x << "," << y;
                EXPECT_EQ(64u, got >> 8 & 0xff) << x << "," << y; // z = 0.25: 63.75 + 0.5
                EXPECT_EQ((uint32_t)(x * 0.25 * 255 + 0.5), got >> 16 & 0xff) << x << "," << y;
            }
        }
    }
    wvs->Release();
    wps->Release();
}

// Viewports Direct3D does not take draw nothing: no NaN, no empty or
// negative area, nothing beyond its bounds of -32768 .. 32767.
TEST_F(DrawTest, InvalidViewportsDrawNothing) {
    const float nan = NAN, inf = INFINITY;
    const D3D11_VIEWPORT cases[] = {
        {nan, 0, 4, 4, 0, 1}, {0, nan, 4, 4, 0, 1}, {0, 0, nan, 4, 0, 1}, {0, 0, 4, nan, 0, 1},
        {0, 0, 4, 4, nan, 1}, {0, 0, 4, 4, 0, nan}, {0, 0, 0, 4, 0, 1},  {0, 0, 4, -4, 0, 1},
        {-inf, 0, 4, 4, 0, 1}, {0, 0, inf, 4, 0, 1}, {-40000, 0, 40004, 4, 0, 1}, {0, 0, 4, 40000, 0, 1},
    };
    for (const D3D11_VIEWPORT &vp : cases) {
        SCOPED_TRACE(testing::Message() << vp.TopLeftX << " " << vp.TopLeftY << " " << vp.Width << " " << vp.Height
                                        << " " << vp.MinDepth << " " << vp.MaxDepth);
        ctx->RSSetViewports(1, &vp);
        quad(-1, -1, 1, 1, kRed);
        for (uint32_t v : read_pixels(target)) ASSERT_EQ(0u, v);
    }
    // Beside them, a viewport reaching past the target, which draws.
    const D3D11_VIEWPORT widest = {-4, -4, 8, 8, 0, 1};
    ctx->RSSetViewports(1, &widest);
    quad(-1, -1, 1, 1, kRed);
    EXPECT_EQ(rgba(255, 0, 0, 255), read_pixels(target)[0]);
}

// A stream's stride is set with the buffer, not with the layout: the same
// programs, layout and buffer drawn at another stride must read other data
// (an executor caching per layout must not keep the first stride).
TEST_F(DrawTest, StrideChangesBetweenDrawsAreHonoured) {
    Instanced in;
    instanced(0, &in);
    const float black[4] = {0, 0, 0, 0};
    const uint32_t first = rgba(64, 0, 0, 255), second = rgba(128, 0, 0, 255);
    struct {
        UINT stride;
        uint32_t want[4];
    } cases[] = {{8, {first, second, 0, 0}}, {16, {first, 0, second, 0}}, {8, {first, second, 0, 0}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stride);
        UINT offset = 0;
        ctx->IASetVertexBuffers(0, 1, &in.columns, &c.stride, &offset);
        ctx->ClearRenderTargetView(rtv, black);
        ctx->DrawInstanced(4, 2, 0, 0);
        std::vector<uint32_t> px = read_pixels(target);
        for (int i = 0; i < 4; i++) EXPECT_EQ(c.want[i], px[i]) << i;
    }
}

TEST_F(DrawTest, InputLayoutMustFeedEveryProgramInput) {
    ID3DBlob *code = compile(kInstanceVS, "vs_5_0"), *pcode = compile(kPS, "ps_5_0");
    ASSERT_TRUE(code && pcode);
    const D3D11_INPUT_ELEMENT_DESC good = {"OFFSET", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0};
    const D3D11_INPUT_ELEMENT_DESC extra[2] = {good, {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0,
                                                       D3D11_APPEND_ALIGNED_ELEMENT, D3D11_INPUT_PER_VERTEX_DATA, 0}};
    const D3D11_INPUT_ELEMENT_DESC wrong_index = {"OFFSET", 1, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0};
    const D3D11_INPUT_ELEMENT_DESC bad_format = {"OFFSET", 0, DXGI_FORMAT_UNKNOWN, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0};
    // One slot steps once per vertex or once per instance, never both.
    const D3D11_INPUT_ELEMENT_DESC mixed[2] = {good, {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 8,
                                                      D3D11_INPUT_PER_INSTANCE_DATA, 1}};
    struct Case {
        const D3D11_INPUT_ELEMENT_DESC *el;
        UINT n;
        ID3DBlob *code;
        HRESULT want;
    } cases[] = {
        {&good, 1, code, S_OK},
        {extra, 2, code, S_OK}, // elements the program ignores are fine
        {&wrong_index, 1, code, E_INVALIDARG},
        {nullptr, 0, code, E_INVALIDARG},
        {&bad_format, 1, code, E_INVALIDARG},
        {mixed, 2, code, E_INVALIDARG},
        {&good, 1, pcode, E_INVALIDARG}, // pixel bytecode
    };
    for (const Case &c : cases) {
        ID3D11InputLayout *l = nullptr;
        EXPECT_EQ(c.want, dev->CreateInputLayout(c.el, c.n, c.code->GetBufferPointer(), c.code->GetBufferSize(), &l))
            << "case " << (&c - cases);
        if (l) l->Release();
    }
    ID3D11VertexShader *v = nullptr;
    ID3D11PixelShader *p = nullptr;
    EXPECT_EQ(E_INVALIDARG, dev->CreateVertexShader(pcode->GetBufferPointer(), pcode->GetBufferSize(), nullptr, &v));
    EXPECT_EQ(E_INVALIDARG, dev->CreatePixelShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &p));
    EXPECT_EQ(E_INVALIDARG, dev->CreatePixelShader("junk", 4, nullptr, &p));
    EXPECT_EQ(nullptr, v);
    EXPECT_EQ(nullptr, p);
    code->Release();
    pcode->Release();
}

// An element placed with D3D11_APPEND_ALIGNED_ELEMENT follows the one before
// it in its slot: the colour is read after the offset's two floats.
TEST_F(DrawTest, AppendAlignedElementFollowsThePreviousOne) {
    const char *src = R"(
struct VSOut { float4 pos : SV_Position; float4 col : COLOR0; };
VSOut main(float2 off : OFFSET, float4 col : COLOR, uint vid : SV_VertexID) {
    float2 t = float2(vid & 1, vid >> 1);
    VSOut o;
    o.pos = float4(off.x + t.x * off.y, t.y * 2 - 1, 0.5, 1);
    o.col = col;
    return o;
})";
    ID3DBlob *code = compile(src, "vs_5_0");
    ASSERT_TRUE(code);
    ID3D11VertexShader *v = nullptr;
    ID3D11InputLayout *layout = nullptr;
    ID3D11Buffer *vb = nullptr;
    EXPECT_EQ(S_OK, dev->CreateVertexShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &v));
    const D3D11_INPUT_ELEMENT_DESC el[2] = {
        {"OFFSET", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_INSTANCE_DATA, 1},
        {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, D3D11_APPEND_ALIGNED_ELEMENT, D3D11_INPUT_PER_INSTANCE_DATA, 1}};
    EXPECT_EQ(S_OK, dev->CreateInputLayout(el, 2, code->GetBufferPointer(), code->GetBufferSize(), &layout));
    code->Release();
    const float instance[6] = {-1, 2, 1, 0, 1, 1}; // the whole target in magenta
    D3D11_BUFFER_DESC bd = {sizeof instance, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
    D3D11_SUBRESOURCE_DATA init = {instance, 0, 0};
    EXPECT_EQ(S_OK, dev->CreateBuffer(&bd, &init, &vb));
    if (v && layout && vb) {
        UINT stride = sizeof instance, offset = 0;
        ctx->IASetVertexBuffers(0, 1, &vb, &stride, &offset);
        ctx->IASetInputLayout(layout);
        ctx->VSSetShader(v, nullptr, 0);
        ctx->DrawInstanced(4, 1, 0, 0);
        std::vector<uint32_t> px = read_pixels(target);
        for (UINT i = 0; i < W * H; i++) EXPECT_EQ(rgba(255, 0, 255, 255), px[i]) << "pixel " << i;
    }
    for (IUnknown *o : {(IUnknown *)v, (IUnknown *)layout, (IUnknown *)vb})
        if (o) o->Release();
}

TEST_F(DrawTest, PipelinesAreBuiltOncePerState) {
    if (cpu_executor()) GTEST_SKIP() << "Vulkan pipelines";
    quad(-1, -1, 1, 1, kRed);
    size_t n = pipelines();
    for (int frame = 0; frame < 50; frame++) quad(-1, -1, 1, 1, kRed);
    EXPECT_EQ(n, pipelines());
    ctx->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    quad(-1, -1, 1, 1, kRed);
    EXPECT_EQ(n + 1, pipelines());
    // A state object is known by what it says: an equal one shares the pipeline.
    D3D11_RASTERIZER_DESC rd = {D3D11_FILL_SOLID, D3D11_CULL_NONE, FALSE, 0, 0, 0, TRUE, FALSE, FALSE, FALSE};
    ID3D11RasterizerState *same = nullptr;
    ASSERT_EQ(S_OK, dev->CreateRasterizerState(&rd, &same));
    ctx->RSSetState(same);
    quad(-1, -1, 1, 1, kRed);
    EXPECT_EQ(n + 1, pipelines());
    same->Release();
}

// The validation layer allocates on every call; this device goes without it
// (the same calls are validated by the other tests).
struct UnvalidatedDrawTest : DrawTest {
    void SetUp() override {
        const char *v = getenv("HALVENOR_VK_VALIDATION");
        std::string saved = v ? v : "";
        unsetenv("HALVENOR_VK_VALIDATION");
        DrawTest::SetUp();
        if (v) setenv("HALVENOR_VK_VALIDATION", saved.c_str(), 1);
    }
};

TEST_F(UnvalidatedDrawTest, SteadyFramesAllocateNothing) {
#ifndef HG_COUNT_NEWS
    GTEST_SKIP() << "allocations are not counted under AddressSanitizer";
#endif
    ID3D11Texture2D *st = texture(W, H, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
    const float black[4] = {0, 0, 0, 0};
    auto frame = [&] {
        ctx->ClearRenderTargetView(rtv, black);
        ctx->OMSetRenderTargets(1, &rtv, nullptr);
        for (int i = 0; i < 4; i++) quad(-1, -1, 1, 1, kRed);
        ctx->CopyResource(st, target);
        D3D11_MAPPED_SUBRESOURCE m;
        ASSERT_EQ(S_OK, ctx->Map(st, 0, D3D11_MAP_READ, 0, &m));
        ctx->Unmap(st, 0);
    };
    for (int i = 0; i < 10; i++) frame(); // pipelines built, rings grown
    g_news = 0;
    g_count_news = true;
    for (int i = 0; i < 20; i++) frame();
    g_count_news = false;
    EXPECT_EQ(0, g_news.load());
    st->Release();
}

TEST_F(DrawTest, LongRecordingsSubmitOnTheirOwn) {
    if (cpu_executor()) GTEST_SKIP() << "Vulkan command recording";
    VkcCore &vk = *this->vk();
    uint64_t before = vk.next_seq;
    for (int i = 0; i < 3000; i++) quad(-1, -1, 1, 1, kRed);
    EXPECT_GT(vk.next_seq, before); // no Flush, yet work went to the GPU
    EXPECT_LT(vk.commands, (uint32_t)VKC_AUTO_SUBMIT_COMMANDS + 16);
    EXPECT_EQ(rgba(255, 0, 0, 255), read_pixels(target)[0]);
}

// ---- depth -------------------------------------------------------------------

struct DepthTest : DrawTest {
    ID3D11Texture2D *depth_tex = nullptr;
    ID3D11DepthStencilView *dsv = nullptr;
    ID3D11Buffer *depth = nullptr;

    void SetUp() override {
        DrawTest::SetUp();
        depth_tex = depth_texture(W, H);
        ASSERT_NE(depth_tex, nullptr);
        ASSERT_EQ(S_OK, dev->CreateDepthStencilView(depth_tex, nullptr, &dsv));
        depth = constants();
        ctx->VSSetConstantBuffers(2, 1, &depth);
    }
    void TearDown() override {
        release(depth);
        release(dsv);
        release(depth_tex);
        DrawTest::TearDown();
    }
    ID3D11Texture2D *depth_texture(UINT w, UINT h) {
        D3D11_TEXTURE2D_DESC d = {w, h, 1, 1, DXGI_FORMAT_D32_FLOAT, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_DEPTH_STENCIL, 0, 0};
        ID3D11Texture2D *t = nullptr;
        EXPECT_EQ(S_OK, dev->CreateTexture2D(&d, nullptr, &t));
        return t;
    }
    // Whole-target quad at depth z.
    void quad_at(float z, const float (&c)[4]) {
        set(depth, z - 0.5f, 0, 0, 0);
        quad(-1, -1, 1, 1, c);
    }
};

const float kGreen[4] = {0, 1, 0, 1};

// Red at depth 0.3, then green at 0.7 over it: which one stays.
TEST_F(DepthTest, StateViewAndClearDecideTheNearestSurface) {
    const D3D11_DEPTH_STENCILOP_DESC keep = {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP,
                                             D3D11_COMPARISON_ALWAYS};
    struct Case {
        const char *name;
        bool view;        // depth view bound
        int state;        // -1: null (Direct3D's defaults), else an index into descs
        float clear;      // depth clear value
        uint32_t want;
    };
    const D3D11_DEPTH_STENCIL_DESC descs[] = {
        {TRUE, D3D11_DEPTH_WRITE_MASK_ALL, D3D11_COMPARISON_LESS, FALSE, 0xff, 0xff, keep, keep},
        {FALSE, D3D11_DEPTH_WRITE_MASK_ALL, D3D11_COMPARISON_LESS, FALSE, 0xff, 0xff, keep, keep},
        {TRUE, D3D11_DEPTH_WRITE_MASK_ZERO, D3D11_COMPARISON_LESS, FALSE, 0xff, 0xff, keep, keep},
        {TRUE, D3D11_DEPTH_WRITE_MASK_ALL, D3D11_COMPARISON_GREATER, FALSE, 0xff, 0xff, keep, keep},
    };
    const uint32_t red = rgba(255, 0, 0, 255), green = rgba(0, 255, 0, 255);
    const Case cases[] = {
        {"LESS with writes keeps the nearer", true, 0, 1.0f, red},
        {"null state is LESS with writes", true, -1, 1.0f, red},
        {"no view: no test, last draw wins", false, 0, 1.0f, green},
        {"test disabled", true, 1, 1.0f, green},
        {"no writes: both pass the cleared far plane", true, 2, 1.0f, green},
        {"GREATER against a cleared near plane", true, 3, 0.0f, green},
        {"clear value above 1 is clamped to 1", true, 0, 7.0f, red},
        {"cleared nearer than both: nothing drawn", true, 0, 0.2f, 0u},
    };
    const float black[4] = {0, 0, 0, 0};
    for (const Case &c : cases) {
        ID3D11DepthStencilState *ds = nullptr;
        if (c.state >= 0) {
            ASSERT_EQ(S_OK, dev->CreateDepthStencilState(&descs[c.state], &ds));
        }
        ctx->OMSetRenderTargets(1, &rtv, c.view ? dsv : nullptr);
        ctx->ClearRenderTargetView(rtv, black);
        ctx->ClearDepthStencilView(dsv, D3D11_CLEAR_DEPTH, c.clear, 0);
        ctx->OMSetDepthStencilState(ds, 0);
        quad_at(0.3f, kRed);
        quad_at(0.7f, kGreen);
        EXPECT_EQ(c.want, read_pixels(target)[5]) << c.name;
        ctx->OMSetDepthStencilState(nullptr, 0);
        release(ds);
    }
    EXPECT_EQ(0, plat_validation_messages());
}

// A depth view larger or smaller than the target is an invalid binding: the
// draw does nothing, though the depth test would pass (cleared to 1).
TEST_F(DepthTest, DepthViewOfAnotherSizeDrawsNothing) {
    const UINT sizes[][2] = {{W * 2, H}, {W / 2, H / 2}, {W, H}};
    for (const auto &size : sizes) {
        SCOPED_TRACE(testing::Message() << size[0] << "x" << size[1]);
        ID3D11Texture2D *other = depth_texture(size[0], size[1]);
        ID3D11DepthStencilView *view = nullptr;
        ASSERT_EQ(S_OK, dev->CreateDepthStencilView(other, nullptr, &view));
        ctx->ClearDepthStencilView(view, D3D11_CLEAR_DEPTH, 1.0f, 0);
        const float black[4] = {0, 0, 0, 0};
        ctx->ClearRenderTargetView(rtv, black);
        ctx->OMSetRenderTargets(1, &rtv, view);
        quad_at(0.3f, kRed);
        const bool same = size[0] == W && size[1] == H; // the fixture's control: it draws
        EXPECT_EQ(same ? rgba(255, 0, 0, 255) : 0u, read_pixels(target)[5]);
        ctx->OMSetRenderTargets(1, &rtv, nullptr);
        release(view);
        release(other);
    }
}

// A depth texture and a colour one of the same size are still not copies of
// each other: the copy leaves the colour target alone.
TEST_F(DepthTest, CopyBetweenDepthAndColourDoesNothing) {
    const float blue[4] = {0, 0, 1, 1};
    ctx->ClearRenderTargetView(rtv, blue);
    ctx->ClearDepthStencilView(dsv, D3D11_CLEAR_DEPTH, 0.25f, 0);
    ctx->CopyResource(target, depth_tex);
    for (uint32_t p : read_pixels(target)) EXPECT_EQ(rgba(0, 0, 255, 255), p);
}

TEST_F(DepthTest, CreationChecksDescriptions) {
    struct TexCase {
        DXGI_FORMAT format;
        D3D11_USAGE usage;
        UINT bind, cpu;
        HRESULT want;
    } textures[] = {
        {DXGI_FORMAT_D32_FLOAT, D3D11_USAGE_DEFAULT, D3D11_BIND_DEPTH_STENCIL, 0, S_FALSE},
        {DXGI_FORMAT_D32_FLOAT, D3D11_USAGE_DEFAULT, D3D11_BIND_DEPTH_STENCIL | D3D11_BIND_RENDER_TARGET, 0, E_INVALIDARG},
        {DXGI_FORMAT_D32_FLOAT, D3D11_USAGE_DEFAULT, D3D11_BIND_DEPTH_STENCIL | D3D11_BIND_SHADER_RESOURCE, 0, E_INVALIDARG},
        {DXGI_FORMAT_R8G8B8A8_UNORM, D3D11_USAGE_DEFAULT, D3D11_BIND_DEPTH_STENCIL, 0, E_INVALIDARG},
        {DXGI_FORMAT_D32_FLOAT, D3D11_USAGE_DYNAMIC, D3D11_BIND_DEPTH_STENCIL, D3D11_CPU_ACCESS_WRITE, E_INVALIDARG},
    };
    for (const TexCase &c : textures) {
        D3D11_TEXTURE2D_DESC d = {W, H, 1, 1, c.format, {1, 0}, c.usage, c.bind, c.cpu, 0};
        EXPECT_EQ(c.want, dev->CreateTexture2D(&d, nullptr, nullptr)) << c.format << " bind " << c.bind;
    }

    struct ViewCase {
        ID3D11Resource *res;
        bool with_desc;
        DXGI_FORMAT format;
        D3D11_DSV_DIMENSION dim;
        UINT flags;
        HRESULT want;
    } views[] = {
        {depth_tex, false, DXGI_FORMAT_UNKNOWN, D3D11_DSV_DIMENSION_TEXTURE2D, 0, S_FALSE},
        {depth_tex, true, DXGI_FORMAT_UNKNOWN, D3D11_DSV_DIMENSION_TEXTURE2D, 0, S_FALSE},
        {depth_tex, true, DXGI_FORMAT_D32_FLOAT, D3D11_DSV_DIMENSION_TEXTURE2D, 0, S_FALSE},
        {depth_tex, true, DXGI_FORMAT_R32_FLOAT, D3D11_DSV_DIMENSION_TEXTURE2D, 0, E_INVALIDARG},
        {depth_tex, true, DXGI_FORMAT_UNKNOWN, D3D11_DSV_DIMENSION_TEXTURE1D, 0, E_INVALIDARG},
        {depth_tex, true, DXGI_FORMAT_UNKNOWN, D3D11_DSV_DIMENSION_TEXTURE2D, 1, E_INVALIDARG},
        {target, false, DXGI_FORMAT_UNKNOWN, D3D11_DSV_DIMENSION_TEXTURE2D, 0, E_INVALIDARG}, // no depth binding
        {rect, false, DXGI_FORMAT_UNKNOWN, D3D11_DSV_DIMENSION_TEXTURE2D, 0, E_INVALIDARG},   // a buffer
        {nullptr, false, DXGI_FORMAT_UNKNOWN, D3D11_DSV_DIMENSION_TEXTURE2D, 0, E_INVALIDARG},
    };
    for (const ViewCase &c : views) {
        D3D11_DEPTH_STENCIL_VIEW_DESC d = {};
        d.Format = c.format;
        d.ViewDimension = c.dim;
        d.Flags = c.flags;
        EXPECT_EQ(c.want, dev->CreateDepthStencilView(c.res, c.with_desc ? &d : nullptr, nullptr))
            << "format " << c.format << " dim " << c.dim << " flags " << c.flags;
    }
    ID3D11DepthStencilView *v = (ID3D11DepthStencilView *)&v;
    EXPECT_EQ(E_INVALIDARG, dev->CreateDepthStencilView(target, nullptr, &v));
    EXPECT_EQ(nullptr, v); // a failed creation clears the output

    const D3D11_DEPTH_STENCILOP_DESC keep = {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP,
                                             D3D11_COMPARISON_ALWAYS};
    const D3D11_DEPTH_STENCILOP_DESC zero = {};
    struct StateCase {
        D3D11_DEPTH_STENCIL_DESC d;
        HRESULT want;
    } states[] = {
        {{TRUE, D3D11_DEPTH_WRITE_MASK_ALL, D3D11_COMPARISON_LESS, FALSE, 0, 0, zero, zero}, S_FALSE},
        {{FALSE, (D3D11_DEPTH_WRITE_MASK)0, (D3D11_COMPARISON_FUNC)0, FALSE, 0, 0, zero, zero}, S_FALSE},
        {{TRUE, D3D11_DEPTH_WRITE_MASK_ALL, (D3D11_COMPARISON_FUNC)0, FALSE, 0, 0, zero, zero}, E_INVALIDARG},
        {{TRUE, D3D11_DEPTH_WRITE_MASK_ALL, (D3D11_COMPARISON_FUNC)9, FALSE, 0, 0, zero, zero}, E_INVALIDARG},
        {{TRUE, (D3D11_DEPTH_WRITE_MASK)2, D3D11_COMPARISON_LESS, FALSE, 0, 0, zero, zero}, E_INVALIDARG},
        {{TRUE, D3D11_DEPTH_WRITE_MASK_ALL, D3D11_COMPARISON_LESS, TRUE, 0xff, 0xff, keep, keep}, S_FALSE},
        {{TRUE, D3D11_DEPTH_WRITE_MASK_ALL, D3D11_COMPARISON_LESS, TRUE, 0xff, 0xff, keep, zero}, E_INVALIDARG},
    };
    for (const StateCase &c : states)
        EXPECT_EQ(c.want, dev->CreateDepthStencilState(&c.d, nullptr))
            << "depth " << c.d.DepthEnable << " func " << c.d.DepthFunc << " stencil " << c.d.StencilEnable;
    EXPECT_EQ(E_INVALIDARG, dev->CreateDepthStencilState(nullptr, nullptr));
}

TEST_F(DepthTest, InjectedFailuresAndInterfaces) {
    ID3D11DepthStencilView *v = nullptr;
    plat_fail_call("CreateDepthStencilView", 1, E_OUTOFMEMORY);
    EXPECT_EQ(E_OUTOFMEMORY, dev->CreateDepthStencilView(depth_tex, nullptr, &v));
    EXPECT_EQ(nullptr, v);
    ID3D11DepthStencilState *s = nullptr;
    const D3D11_DEPTH_STENCIL_DESC d = {TRUE, D3D11_DEPTH_WRITE_MASK_ALL, D3D11_COMPARISON_LESS, FALSE, 0, 0, {}, {}};
    plat_fail_call("CreateDepthStencilState", 1, E_OUTOFMEMORY);
    EXPECT_EQ(E_OUTOFMEMORY, dev->CreateDepthStencilState(&d, &s));
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(2, plat_fail_fired());

    ID3D11View *view = nullptr;
    ASSERT_EQ(S_OK, dsv->QueryInterface(IID_ID3D11View, (void **)&view));
    ID3D11Resource *res = nullptr;
    view->GetResource(&res);
    EXPECT_EQ(static_cast<ID3D11Resource *>(depth_tex), res);
    release(res);
    release(view);
    ASSERT_EQ(S_OK, dev->CreateDepthStencilState(&d, &s));
    void *same = nullptr;
    EXPECT_EQ(S_OK, s->QueryInterface(IID_ID3D11DepthStencilState, &same));
    EXPECT_EQ((void *)s, same);
    s->Release();
    release(s);
}

// A program the CPU executor cannot run fails creation as Direct3D reports
// bad bytecode, creating nothing; lavapipe takes it.
TEST_F(DrawTest, ProgramsBeyondTheCpuExecutorFailCreation) {
    ID3DBlob *loop = compile("cbuffer C : register(b0) { float4 n; };\n"
                             "float4 main(float4 p : SV_POSITION) : SV_Target {\n"
                             "    float s = 0; for (int i = 0; i < (int)n.x; i++) s += p.x;\n"
                             "    return float4(s, 0, 0, 1); }\n",
                             "ps_5_0");
    ASSERT_TRUE(loop);
    int live = plat_live_objects();
    ID3D11PixelShader *p = nullptr;
    HRESULT hr = dev->CreatePixelShader(loop->GetBufferPointer(), loop->GetBufferSize(), nullptr, &p);
    if (cpu_executor()) {
        EXPECT_EQ(E_INVALIDARG, hr);
        EXPECT_EQ(nullptr, p);
        EXPECT_EQ(live, plat_live_objects());
    } else {
        EXPECT_EQ(S_OK, hr);
    }
    release(p);
    loop->Release();
}

} // namespace

// Direct3D reads zero past the end of a vertex buffer. The buffer's memory
// here goes on past its end (a renamable slice, filled with junk on
// purpose): instances 2 and 3 of a two-instance buffer must still read zero.
TEST_F(DrawTest, VertexFetchPastTheEndReadsZero) {
    if (vk() && !vk()->robust_zero) GTEST_SKIP() << "the device offers no robustBufferAccess2";
    const char *src = R"(
struct VSOut { float4 pos : SV_Position; float4 col : COLOR0; };
VSOut main(float4 col : COLOR0, uint vid : SV_VertexID, uint iid : SV_InstanceID) {
    float2 t = float2(vid & 1, vid >> 1);
    VSOut o;
    o.pos = float4(-1 + 0.5 * (iid + t.x), t.y * 2 - 1, 0.5, 1);
    o.col = col;
    return o;
})";
    ID3DBlob *code = compile(src, "vs_5_0");
    ASSERT_TRUE(code);
    ID3D11VertexShader *ivs = nullptr;
    ASSERT_EQ(S_OK, dev->CreateVertexShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &ivs));
    const D3D11_INPUT_ELEMENT_DESC el = {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 0,
                                         D3D11_INPUT_PER_INSTANCE_DATA, 1};
    ID3D11InputLayout *layout = nullptr;
    ASSERT_EQ(S_OK, dev->CreateInputLayout(&el, 1, code->GetBufferPointer(), code->GetBufferSize(), &layout));
    code->Release();
    D3D11_BUFFER_DESC bd = {32, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
    ID3D11Buffer *inst = nullptr;
    ASSERT_EQ(S_OK, dev->CreateBuffer(&bd, nullptr, &inst));
    D3D11_MAPPED_SUBRESOURCE m;
    ASSERT_EQ(S_OK, ctx->Map(inst, 0, D3D11_MAP_WRITE_DISCARD, 0, &m));
    // On Vulkan the buffer's slice runs on past its 32 bytes: fill that with
    // 0.75 in every float, which a fetch past the end must not return. The
    // CPU executor's buffer ends where the Direct3D one does.
    const VkDeviceSize slice = vk() ? vk_executor_ring(static_cast<Buffer *>(inst)->exec)->slice_size : 32;
    ASSERT_GE(slice, 32u);
    memset(m.pData, 0x3f, slice);
    const float cols[2][4] = {{1, 0, 0, 1}, {0, 1, 0, 1}};
    memcpy(m.pData, cols, sizeof cols);
    ctx->Unmap(inst, 0);
    const float grey[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    ctx->ClearRenderTargetView(rtv, grey);
    UINT stride = 16, offset = 0;
    ctx->IASetVertexBuffers(0, 1, &inst, &stride, &offset);
    ctx->IASetInputLayout(layout);
    ctx->VSSetShader(ivs, nullptr, 0);
    ctx->DrawInstanced(4, 4, 0, 0);
    std::vector<uint32_t> px = read_pixels(target);
    EXPECT_EQ(rgba(255, 0, 0, 255), px[0]);
    EXPECT_EQ(rgba(0, 255, 0, 255), px[1]);
    EXPECT_EQ(0u, px[2]);
    EXPECT_EQ(0u, px[3]);
    inst->Release();
    layout->Release();
    ivs->Release();
}
