// The fixture of the rasterizer tables: a position-and-colour vertex
// program, a pixel program that discards below alpha one half, an RGBA8
// target with a D32 depth buffer of the same size, and helpers to set state
// and draw from a vertex array.
#pragma once
#include "test_d3d11_fixture.h"

#include <d3dcompiler.h>

#include <math.h>
#include <string.h>

namespace raster {

const char *const kVS = R"(
struct VSOut { float4 pos : SV_Position; float4 col : COLOR0; };
VSOut main(float4 pos : POSITION, float4 col : COLOR) { VSOut o; o.pos = pos; o.col = col; return o; })";

// Discards fragments whose colour has alpha below one half.
const char *const kPS = R"(
float4 main(float4 p : SV_Position, float4 col : COLOR0) : SV_Target {
    if (col.a < 0.5) discard;
    return col;
})";

struct V {
    float x, y, z, w, r, g, b, a;
};

inline ID3DBlob *compile_src(const char *src, const char *target) {
    ID3DBlob *code = nullptr, *errors = nullptr;
    HRESULT hr = D3DCompile(src, strlen(src), "t.hlsl", nullptr, nullptr, "main", target, 0, 0, &code, &errors);
    EXPECT_EQ(S_OK, hr) << (errors ? (const char *)errors->GetBufferPointer() : "");
    if (errors) errors->Release();
    return code;
}

inline uint8_t unorm8(float v) { return (uint8_t)lroundf((v < 0 ? 0 : v > 1 ? 1 : v) * 255.0f); }

struct RasterTable : D3D11Test {
    UINT W = 8, H = 8;
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
        resize(W, H);
        rasterizer(TRUE);
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
    // A target and depth buffer of w by h, bound, with a viewport over all of it.
    void resize(UINT w, UINT h) {
        W = w, H = h;
        release(dsv);
        release(depth);
        D3D11_TEXTURE2D_DESC dd = {W, H, 1, 1, DXGI_FORMAT_D32_FLOAT, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_DEPTH_STENCIL, 0, 0};
        ASSERT_EQ(S_OK, dev->CreateTexture2D(&dd, nullptr, &depth));
        ASSERT_EQ(S_OK, dev->CreateDepthStencilView(depth, nullptr, &dsv));
        make_target(DXGI_FORMAT_R8G8B8A8_UNORM);
        viewport(0, 1);
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

} // namespace raster
