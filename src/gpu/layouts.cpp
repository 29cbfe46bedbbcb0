// Input layouts and the three fixed pipeline states.
#include <string.h>

#include "gpu/gpu.h"

#define PER_INSTANCE D3D11_INPUT_PER_INSTANCE_DATA
#define PER_VERTEX D3D11_INPUT_PER_VERTEX_DATA

static const D3D11_INPUT_ELEMENT_DESC k_quad_elems[3] = {
    {"TEXCOORD", 0, DXGI_FORMAT_R32G32B32_FLOAT, 1, 0, PER_INSTANCE, 1},
    {"TEXCOORD", 1, DXGI_FORMAT_R32G32B32A32_FLOAT, 1, 12, PER_INSTANCE, 1},
    {"TEXCOORD", 2, DXGI_FORMAT_R32_FLOAT, 1, 28, PER_INSTANCE, 1},
};

// ib starts at byte 12, not 16: float 3 is both ia.w and ib.x, the half-width.
static const D3D11_INPUT_ELEMENT_DESC k_par_elems[2] = {
    {"TEXCOORD", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 1, 0, PER_INSTANCE, 1},
    {"TEXCOORD", 1, DXGI_FORMAT_R32G32B32A32_FLOAT, 1, 12, PER_INSTANCE, 1},
};

static const D3D11_INPUT_ELEMENT_DESC k_rock_elems[5] = {
    {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, PER_VERTEX, 0},
    {"NORMAL", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 12, PER_VERTEX, 0},
    {"TEXCOORD", 0, DXGI_FORMAT_R32G32B32_FLOAT, 1, 0, PER_INSTANCE, 1},
    {"TEXCOORD", 1, DXGI_FORMAT_R32G32B32_FLOAT, 1, 12, PER_INSTANCE, 1},
    {"TEXCOORD", 2, DXGI_FORMAT_R32G32_FLOAT, 1, 24, PER_INSTANCE, 1},
};

static const D3D11_INPUT_ELEMENT_DESC k_line_elems[2] = {
    {"POSITION", 0, DXGI_FORMAT_R32G32B32_FLOAT, 0, 0, PER_VERTEX, 0},
    {"COLOR", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 12, PER_VERTEX, 0},
};

struct LayoutSpec {
    const char *name;
    const char *const *src; // the vertex program whose signature the layout matches
    const D3D11_INPUT_ELEMENT_DESC *elems;
    UINT count;
    ID3D11InputLayout *Engine::*field;
};

static const LayoutSpec k_layouts[4] = {
    {"quad", &k_src_vs_quad, k_quad_elems, 3, &Engine::il_quad},
    {"par", &k_src_vs_par, k_par_elems, 2, &Engine::il_par},
    {"rock", &k_src_vs_rock, k_rock_elems, 5, &Engine::il_rock},
    {"line", &k_src_vs_line, k_line_elems, 2, &Engine::il_line},
};

static int create_layout(Engine *e, const LayoutSpec *l) {
    // The bytecode is compiled again only for its input signature.
    ID3DBlob *code = nullptr, *msgs = nullptr;
    const char *src = *l->src;
    HRESULT hr = D3DCompile(src, strlen(src), "l", nullptr, nullptr, "main", "vs_5_0", 0, 0, &code, &msgs);
    safe_release(msgs);
    if (FAILED(hr)) {
        safe_release(code);
        set_error("D3DCompile(%s layout) failed", l->name);
        return -1;
    }
    hr = e->device->CreateInputLayout(l->elems, l->count, code->GetBufferPointer(), code->GetBufferSize(),
                                      &(e->*l->field));
    code->Release();
    if (FAILED(hr)) {
        set_error("CreateInputLayout(%s) failed: 0x%08lX", l->name, hr_code(hr));
        return -1;
    }
    return 0;
}

int create_layouts(Engine *e) {
    for (const LayoutSpec &l : k_layouts)
        if (create_layout(e, &l) != 0) return -1;
    return 0;
}

int create_states(Engine *e) {
    D3D11_BLEND_DESC bd;
    memset(&bd, 0, sizeof bd);
    bd.AlphaToCoverageEnable = FALSE;
    bd.IndependentBlendEnable = FALSE;
    bd.RenderTarget[0].BlendEnable = TRUE;
    bd.RenderTarget[0].SrcBlend = D3D11_BLEND_ONE;
    bd.RenderTarget[0].DestBlend = D3D11_BLEND_ONE;
    bd.RenderTarget[0].BlendOp = D3D11_BLEND_OP_ADD;
    bd.RenderTarget[0].SrcBlendAlpha = D3D11_BLEND_ONE;
    bd.RenderTarget[0].DestBlendAlpha = D3D11_BLEND_ONE;
    bd.RenderTarget[0].BlendOpAlpha = D3D11_BLEND_OP_ADD;
    bd.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    if (FAILED(e->device->CreateBlendState(&bd, &e->blend_add))) {
        set_error("CreateBlendState failed");
        return -1;
    }

    D3D11_RASTERIZER_DESC rd;
    memset(&rd, 0, sizeof rd);
    rd.FillMode = D3D11_FILL_SOLID;
    rd.CullMode = D3D11_CULL_NONE;
    rd.FrontCounterClockwise = FALSE;
    rd.DepthBias = 0;
    rd.DepthBiasClamp = 0.0f;
    rd.SlopeScaledDepthBias = 0.0f;
    rd.DepthClipEnable = TRUE;
    rd.ScissorEnable = FALSE;
    rd.MultisampleEnable = FALSE;
    rd.AntialiasedLineEnable = FALSE;
    if (FAILED(e->device->CreateRasterizerState(&rd, &e->raster))) {
        set_error("CreateRasterizerState failed");
        return -1;
    }

    D3D11_DEPTH_STENCIL_DESC dd;
    memset(&dd, 0, sizeof dd);
    dd.DepthEnable = TRUE;
    dd.DepthWriteMask = D3D11_DEPTH_WRITE_MASK_ALL;
    dd.DepthFunc = D3D11_COMPARISON_LESS;
    dd.StencilEnable = FALSE;
    if (FAILED(e->device->CreateDepthStencilState(&dd, &e->depth_less))) {
        set_error("CreateDepthStencilState failed");
        return -1;
    }
    return 0;
}
