#include "d3d11/objects.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <string>

HRESULT create_adapter(Device *d, IDXGIAdapter **out); // dxgi.cpp

namespace {

template <class T> HRESULT fail(T **pp, HRESULT hr) {
    if (pp) *pp = nullptr;
    return hr;
}

UINT format_bytes(DXGI_FORMAT f) {
    switch (f) {
    case DXGI_FORMAT_R32G32B32A32_FLOAT:
    case DXGI_FORMAT_R32G32B32A32_UINT: return 16;
    case DXGI_FORMAT_R32G32B32_FLOAT:
    case DXGI_FORMAT_R32G32B32_UINT: return 12;
    case DXGI_FORMAT_R16G16B16A16_FLOAT:
    case DXGI_FORMAT_R32G32_FLOAT:
    case DXGI_FORMAT_R32G32_UINT: return 8;
    case DXGI_FORMAT_R8G8B8A8_UNORM:
    case DXGI_FORMAT_R8G8B8A8_UINT:
    case DXGI_FORMAT_R16G16_FLOAT:
    case DXGI_FORMAT_R32_FLOAT:
    case DXGI_FORMAT_R32_UINT:
    case DXGI_FORMAT_B8G8R8A8_UNORM: return 4;
    default: return 0;
    }
}

bool valid_usage(D3D11_USAGE u) { return u >= D3D11_USAGE_DEFAULT && u <= D3D11_USAGE_STAGING; }

// CPU access and bind flags each usage admits, as the Direct3D 11 runtime checks them.
bool valid_buffer_desc(const D3D11_BUFFER_DESC &d, const D3D11_SUBRESOURCE_DATA *init) {
    const UINT cpu = d.CPUAccessFlags, bind = d.BindFlags;
    if (d.ByteWidth == 0 || !valid_usage(d.Usage)) return false;
    if (cpu & ~(UINT)(D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE)) return false;
    if (bind & D3D11_BIND_CONSTANT_BUFFER) {
        if (bind != D3D11_BIND_CONSTANT_BUFFER) return false;
        if (d.ByteWidth % 16 || d.ByteWidth > D3D11_REQ_CONSTANT_BUFFER_ELEMENT_COUNT * 16) return false;
    }
    if (init && !init->pSysMem) return false;
    switch (d.Usage) {
    case D3D11_USAGE_DEFAULT: return cpu == 0;
    case D3D11_USAGE_IMMUTABLE: return cpu == 0 && init && bind != 0;
    case D3D11_USAGE_DYNAMIC: return cpu == D3D11_CPU_ACCESS_WRITE && bind != 0;
    case D3D11_USAGE_STAGING: return bind == 0 && cpu != 0;
    }
    return false;
}

bool valid_texture_desc(const D3D11_TEXTURE2D_DESC &d) {
    const UINT max = D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION;
    if (d.Width == 0 || d.Height == 0 || d.Width > max || d.Height > max) return false;
    if (d.MipLevels != 1 || d.ArraySize != 1 || d.SampleDesc.Count != 1 || d.SampleDesc.Quality != 0) return false;
    if (d.MiscFlags) return false;
    // A depth texture is only ever a depth-stencil target: Direct3D wants a
    // typeless format for anything else, and neither render-target nor
    // CPU-visible depth is needed here.
    if (d.Format == DXGI_FORMAT_D32_FLOAT)
        return d.Usage == D3D11_USAGE_DEFAULT && d.CPUAccessFlags == 0 && d.BindFlags == D3D11_BIND_DEPTH_STENCIL;
    if (d.Format != DXGI_FORMAT_R8G8B8A8_UNORM && d.Format != DXGI_FORMAT_B8G8R8A8_UNORM) return false;
    switch (d.Usage) {
    case D3D11_USAGE_DEFAULT:
        return d.CPUAccessFlags == 0 &&
               (d.BindFlags & ~(UINT)(D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE)) == 0;
    case D3D11_USAGE_STAGING:
        return d.BindFlags == 0 && d.CPUAccessFlags != 0 &&
               (d.CPUAccessFlags & ~(UINT)(D3D11_CPU_ACCESS_READ | D3D11_CPU_ACCESS_WRITE)) == 0;
    default: return false; // not needed by the engine
    }
}

struct Blob {
    const ShaderBlobHeader *header;
    const ShaderBlobInput *inputs;
    const uint32_t *spirv;
};

// Checks the container produced by D3DCompile: magic, version, stage, sizes.
bool parse_blob(const void *code, SIZE_T len, uint32_t stage, Blob *out) {
    if (!code || len < sizeof(ShaderBlobHeader)) return false;
    const ShaderBlobHeader *h = (const ShaderBlobHeader *)code;
    if (h->magic != SHADER_BLOB_MAGIC || h->version != SHADER_BLOB_VERSION || h->stage != stage) return false;
    if (h->input_count > D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT || h->spirv_words < 5) return false;
    size_t need = sizeof *h + (size_t)h->input_count * sizeof(ShaderBlobInput) + (size_t)h->spirv_words * 4;
    if (len < need) return false;
    out->header = h;
    out->inputs = (const ShaderBlobInput *)(h + 1);
    out->spirv = (const uint32_t *)(out->inputs + h->input_count);
    // Semantics are compared as strings: each must end within its field.
    for (uint32_t k = 0; k < h->input_count; k++)
        if (!memchr(out->inputs[k].semantic, 0, SHADER_BLOB_MAX_SEMANTIC)) return false;
    return out->spirv[0] == 0x07230203u;
}

// Name of the OpEntryPoint for the stage: glslang keeps the HLSL entry name.
bool entry_point(const Blob &b, std::string *name) {
    const uint32_t model = b.header->stage == SHADER_STAGE_VERTEX ? 0u : 4u; // Vertex, Fragment
    const uint32_t *w = b.spirv, n = b.header->spirv_words;
    for (uint32_t i = 5; i < n;) {
        uint32_t count = w[i] >> 16, op = w[i] & 0xffff;
        if (count == 0 || i + count > n) return false;
        if (op == 15 && count >= 4 && w[i + 1] == model) {
            const char *s = (const char *)&w[i + 3];
            *name = std::string(s, strnlen(s, (count - 3) * 4));
            return true;
        }
        i += count;
    }
    return false;
}

HRESULT create_program(Device *d, const void *code, SIZE_T len, uint32_t stage, Program *p) {
    Blob b;
    std::string entry;
    if (!parse_blob(code, len, stage, &b) || !entry_point(b, &entry)) return E_INVALIDARG;
    p->inputs.assign(b.inputs, b.inputs + b.header->input_count);
    const ExecStage s = stage == SHADER_STAGE_VERTEX ? EXEC_STAGE_VERTEX : EXEC_STAGE_PIXEL;
    return d->exec->create_program(s, b.spirv, b.header->spirv_words, entry.c_str(), &p->exec);
}

// State objects keep their description as the executors read it, resolved
// once here rather than at every draw.
ExecBlend exec_blend(const D3D11_RENDER_TARGET_BLEND_DESC &rt) {
    ExecBlend b;
    b.write_mask = rt.RenderTargetWriteMask & 0xf;
    b.enable = rt.BlendEnable ? 1 : 0;
    if (!rt.BlendEnable) return b; // the factors of a disabled blend are never read
    b.src = (uint8_t)rt.SrcBlend;
    b.dst = (uint8_t)rt.DestBlend;
    b.op = (uint8_t)rt.BlendOp;
    b.src_alpha = (uint8_t)rt.SrcBlendAlpha;
    b.dst_alpha = (uint8_t)rt.DestBlendAlpha;
    b.op_alpha = (uint8_t)rt.BlendOpAlpha;
    return b;
}

ExecRaster exec_raster(const D3D11_RASTERIZER_DESC &d) {
    ExecRaster r;
    r.fill = (uint8_t)d.FillMode;
    r.cull = (uint8_t)d.CullMode;
    r.front_ccw = d.FrontCounterClockwise ? 1 : 0;
    r.depth_clip = d.DepthClipEnable ? 1 : 0;
    return r;
}

// The fields of a disabled test are never read: they stay at the defaults
// so that equal behaviour gives equal values.
ExecDepth exec_depth(const D3D11_DEPTH_STENCIL_DESC &d) {
    ExecDepth e;
    if (!d.DepthEnable) return e;
    e.test = 1;
    e.write = d.DepthWriteMask == D3D11_DEPTH_WRITE_MASK_ALL ? 1 : 0;
    e.func = (uint8_t)d.DepthFunc;
    return e;
}

bool valid_comparison(D3D11_COMPARISON_FUNC f) { return f >= D3D11_COMPARISON_NEVER && f <= D3D11_COMPARISON_ALWAYS; }

bool valid_stencil_face(const D3D11_DEPTH_STENCILOP_DESC &f) {
    auto op = [](D3D11_STENCIL_OP o) { return o >= D3D11_STENCIL_OP_KEEP && o <= D3D11_STENCIL_OP_DECR; };
    return op(f.StencilFailOp) && op(f.StencilDepthFailOp) && op(f.StencilPassOp) && valid_comparison(f.StencilFunc);
}

// Fields of a disabled test are not looked at, so a zeroed description with
// both tests off is valid.
bool valid_depth_stencil(const D3D11_DEPTH_STENCIL_DESC &d) {
    // The write mask's enumerators are 0 and 1, so any other value is outside
    // the enum's range: read the field as the integer the caller stored.
    UINT write_mask;
    memcpy(&write_mask, &d.DepthWriteMask, sizeof write_mask);
    if (d.DepthEnable && (write_mask > D3D11_DEPTH_WRITE_MASK_ALL || !valid_comparison(d.DepthFunc))) return false;
    return !d.StencilEnable || (valid_stencil_face(d.FrontFace) && valid_stencil_face(d.BackFace));
}

bool valid_blend(const D3D11_RENDER_TARGET_BLEND_DESC &rt) {
    auto factor = [](D3D11_BLEND b) { return b >= D3D11_BLEND_ZERO && b <= D3D11_BLEND_INV_SRC1_ALPHA && b != 12 && b != 13; };
    auto op = [](D3D11_BLEND_OP o) { return o >= D3D11_BLEND_OP_ADD && o <= D3D11_BLEND_OP_MAX; };
    if (!rt.BlendEnable) return true;
    return factor(rt.SrcBlend) && factor(rt.DestBlend) && factor(rt.SrcBlendAlpha) && factor(rt.DestBlendAlpha) &&
           op(rt.BlendOp) && op(rt.BlendOpAlpha);
}

} // namespace

Device::Device() : Object(nullptr) { ctx = new Context(this); }

Device::~Device() {
    if (ctx) {
        ctx->clear_state();
        ctx->release_private();
    }
    delete exec;
}

// The executor for the software driver types (WARP, REFERENCE): the CPU
// executor, unless HALVENOR_EXECUTOR=vulkan picks lavapipe. HALVENOR_THREADS
// sets the CPU executor's workers (default: one per core).
static HRESULT create_executor(D3D_DRIVER_TYPE type, Executor **out) {
    if (type == D3D_DRIVER_TYPE_HARDWARE) return vk_executor_create(true, out);
    const char *e = getenv("HALVENOR_EXECUTOR");
    if (e && strcmp(e, "vulkan") == 0) return vk_executor_create(false, out);
    const char *t = getenv("HALVENOR_THREADS");
    int threads = t ? atoi(t) : 0;
    return sw_executor_create(threads >= 1 && threads <= 64 ? threads : 0, out);
}

HRESULT Device::QueryInterface(REFIID riid, void **ppv) {
    HRESULT hr = hook_call("QueryInterface");
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (FAILED(hr)) return hr;
    if (riid == IID_IUnknown || riid == IID_ID3D11Device) *ppv = static_cast<ID3D11Device *>(this);
    else if (riid == IID_IDXGIObject || riid == IID_IDXGIDevice || riid == IID_IDXGIDevice1)
        *ppv = static_cast<IDXGIDevice1 *>(this);
    else return E_NOINTERFACE;
    add_ref();
    return S_OK;
}

HRESULT Device::CreateBuffer(const D3D11_BUFFER_DESC *desc, const D3D11_SUBRESOURCE_DATA *init, ID3D11Buffer **pp) {
    HRESULT hr = hook_call("CreateBuffer", "%u", desc ? desc->ByteWidth : 0);
    if (FAILED(hr)) return fail(pp, hr);
    if (exec->lost()) return fail(pp, DXGI_ERROR_DEVICE_REMOVED);
    if (!desc || !valid_buffer_desc(*desc, init)) return fail(pp, E_INVALIDARG);
    if (!pp) return S_FALSE; // validation only, as Direct3D does
    Buffer *b = new Buffer(this);
    b->desc = *desc;
    if (FAILED(hr = exec->create_buffer(*desc, init ? init->pSysMem : nullptr, &b->exec))) {
        b->release();
        return fail(pp, hr);
    }
    *pp = b;
    return S_OK;
}

HRESULT Device::create_texture(const D3D11_TEXTURE2D_DESC &desc, const D3D11_SUBRESOURCE_DATA *init, bool back_buffer,
                               Texture **out) {
    Texture *t = new Texture(this);
    t->desc = desc;
    HRESULT hr = exec->create_image(desc, init, back_buffer, &t->image);
    if (FAILED(hr)) {
        t->release();
        *out = nullptr;
        return hr;
    }
    *out = t;
    return S_OK;
}

HRESULT Device::CreateTexture2D(const D3D11_TEXTURE2D_DESC *desc, const D3D11_SUBRESOURCE_DATA *init,
                                ID3D11Texture2D **pp) {
    HRESULT hr = hook_call("CreateTexture2D", "%u %u", desc ? desc->Width : 0, desc ? desc->Height : 0);
    if (FAILED(hr)) return fail(pp, hr);
    if (exec->lost()) return fail(pp, DXGI_ERROR_DEVICE_REMOVED);
    if (!desc || !valid_texture_desc(*desc)) return fail(pp, E_INVALIDARG);
    if (init && (!init->pSysMem || init->SysMemPitch < desc->Width * 4)) return fail(pp, E_INVALIDARG);
    if (init && desc->Format == DXGI_FORMAT_D32_FLOAT) return fail(pp, E_INVALIDARG); // depth starts cleared, never uploaded
    if (!pp) return S_FALSE;
    Texture *t;
    if (FAILED(hr = create_texture(*desc, init, false, &t))) return fail(pp, hr);
    *pp = t;
    return S_OK;
}

HRESULT Device::CreateRenderTargetView(ID3D11Resource *res, const D3D11_RENDER_TARGET_VIEW_DESC *desc,
                                       ID3D11RenderTargetView **pp) {
    HRESULT hr = hook_call("CreateRenderTargetView");
    if (FAILED(hr)) return fail(pp, hr);
    Texture *t = as_texture(res);
    if (!t || !(t->desc.BindFlags & D3D11_BIND_RENDER_TARGET)) return fail(pp, E_INVALIDARG);
    if (desc && ((desc->Format != DXGI_FORMAT_UNKNOWN && desc->Format != t->desc.Format) ||
                 desc->ViewDimension != D3D11_RTV_DIMENSION_TEXTURE2D || desc->Texture2D.MipSlice != 0))
        return fail(pp, E_INVALIDARG);
    if (!pp) return S_FALSE;
    RenderTargetView *v = new RenderTargetView(this);
    hold(v->texture, t);
    *pp = v;
    return S_OK;
}

HRESULT Device::CreateDepthStencilView(ID3D11Resource *res, const D3D11_DEPTH_STENCIL_VIEW_DESC *desc,
                                       ID3D11DepthStencilView **pp) {
    HRESULT hr = hook_call("CreateDepthStencilView");
    if (FAILED(hr)) return fail(pp, hr);
    Texture *t = as_texture(res);
    if (!t || !(t->desc.BindFlags & D3D11_BIND_DEPTH_STENCIL)) return fail(pp, E_INVALIDARG);
    // Read-only views (Flags) are not needed here.
    if (desc && ((desc->Format != DXGI_FORMAT_UNKNOWN && desc->Format != t->desc.Format) ||
                 desc->ViewDimension != D3D11_DSV_DIMENSION_TEXTURE2D || desc->Flags != 0 || desc->Texture2D.MipSlice != 0))
        return fail(pp, E_INVALIDARG);
    if (!pp) return S_FALSE;
    DepthStencilView *v = new DepthStencilView(this);
    hold(v->texture, t);
    *pp = v;
    return S_OK;
}

HRESULT Device::CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *desc, ID3D11DepthStencilState **pp) {
    HRESULT hr = hook_call("CreateDepthStencilState");
    if (FAILED(hr)) return fail(pp, hr);
    if (!desc || !valid_depth_stencil(*desc)) return fail(pp, E_INVALIDARG);
    if (!pp) return S_FALSE;
    DepthStencilState *s = new DepthStencilState(this);
    s->desc = *desc;
    s->exec = exec_depth(*desc);
    *pp = s;
    return S_OK;
}

HRESULT Device::CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *elems, UINT n, const void *code, SIZE_T len,
                                  ID3D11InputLayout **pp) {
    HRESULT hr = hook_call("CreateInputLayout", "%u", n);
    if (FAILED(hr)) return fail(pp, hr);
    Blob b;
    if ((n && !elems) || n > D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT ||
        !parse_blob(code, len, SHADER_STAGE_VERTEX, &b))
        return fail(pp, E_INVALIDARG);

    std::vector<ExecInputElement> out;
    uint32_t slot_end[D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT] = {};
    uint32_t slot_mask = 0, instance_mask = 0;
    std::vector<int> element_of_input(b.header->input_count, -1);
    for (UINT i = 0; i < n; i++) {
        const D3D11_INPUT_ELEMENT_DESC &e = elems[i];
        UINT bytes = format_bytes(e.Format);
        bool instanced = e.InputSlotClass == D3D11_INPUT_PER_INSTANCE_DATA;
        if (!e.SemanticName || !bytes || e.InputSlot >= D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT) return fail(pp, E_INVALIDARG);
        if (instanced ? e.InstanceDataStepRate != 1 : (e.InputSlotClass != D3D11_INPUT_PER_VERTEX_DATA || e.InstanceDataStepRate != 0))
            return fail(pp, E_INVALIDARG); // step rates above 1 are not needed here
        // One slot cannot mix per-vertex and per-instance data.
        uint32_t bit = 1u << e.InputSlot;
        if ((slot_mask & bit) && !!(instance_mask & bit) != instanced) return fail(pp, E_INVALIDARG);
        slot_mask |= bit;
        if (instanced) instance_mask |= bit;
        UINT offset = e.AlignedByteOffset == D3D11_APPEND_ALIGNED_ELEMENT ? slot_end[e.InputSlot] : e.AlignedByteOffset;
        slot_end[e.InputSlot] = offset + bytes;
        for (uint32_t k = 0; k < b.header->input_count; k++) {
            const ShaderBlobInput &in = b.inputs[k];
            if (strcasecmp(in.semantic, e.SemanticName) != 0 || in.semantic_index != e.SemanticIndex) continue;
            if (element_of_input[k] >= 0) return fail(pp, E_INVALIDARG); // semantic given twice
            element_of_input[k] = (int)i;
            out.push_back({in.location, e.InputSlot, (uint32_t)e.Format, offset, instanced});
        }
    }
    for (int e : element_of_input)
        if (e < 0) return fail(pp, E_INVALIDARG); // the program reads an input nobody feeds
    if (out.size() > EXEC_MAX_ELEMENTS) return fail(pp, E_INVALIDARG);
    if (!pp) return S_FALSE;
    InputLayout *l = new InputLayout(this);
    l->elements = std::move(out);
    l->slot_mask = 0;
    for (const ExecInputElement &e : l->elements) l->slot_mask |= 1u << e.slot;
    l->instance_mask = instance_mask & l->slot_mask;
    l->id = next_id++;
    *pp = l;
    return S_OK;
}

HRESULT Device::CreateVertexShader(const void *code, SIZE_T len, ID3D11ClassLinkage *, ID3D11VertexShader **pp) {
    HRESULT hr = hook_call("CreateVertexShader");
    if (FAILED(hr)) return fail(pp, hr);
    if (exec->lost()) return fail(pp, DXGI_ERROR_DEVICE_REMOVED);
    Blob b;
    if (!parse_blob(code, len, SHADER_STAGE_VERTEX, &b)) return fail(pp, E_INVALIDARG);
    if (!pp) return S_FALSE;
    VertexShader *s = new VertexShader(this);
    if (FAILED(hr = create_program(this, code, len, SHADER_STAGE_VERTEX, &s->prog))) {
        s->release();
        return fail(pp, hr);
    }
    *pp = s;
    return S_OK;
}

HRESULT Device::CreatePixelShader(const void *code, SIZE_T len, ID3D11ClassLinkage *, ID3D11PixelShader **pp) {
    HRESULT hr = hook_call("CreatePixelShader");
    if (FAILED(hr)) return fail(pp, hr);
    if (exec->lost()) return fail(pp, DXGI_ERROR_DEVICE_REMOVED);
    Blob b;
    if (!parse_blob(code, len, SHADER_STAGE_PIXEL, &b)) return fail(pp, E_INVALIDARG);
    if (!pp) return S_FALSE;
    PixelShader *s = new PixelShader(this);
    if (FAILED(hr = create_program(this, code, len, SHADER_STAGE_PIXEL, &s->prog))) {
        s->release();
        return fail(pp, hr);
    }
    *pp = s;
    return S_OK;
}

HRESULT Device::CreateBlendState(const D3D11_BLEND_DESC *desc, ID3D11BlendState **pp) {
    HRESULT hr = hook_call("CreateBlendState");
    if (FAILED(hr)) return fail(pp, hr);
    if (!desc) return fail(pp, E_INVALIDARG);
    for (int i = 0; i < (desc->IndependentBlendEnable ? 8 : 1); i++)
        if (!valid_blend(desc->RenderTarget[i])) return fail(pp, E_INVALIDARG);
    if (!pp) return S_FALSE;
    BlendState *s = new BlendState(this);
    s->desc = *desc;
    s->exec = exec_blend(desc->RenderTarget[0]);
    *pp = s;
    return S_OK;
}

HRESULT Device::CreateRasterizerState(const D3D11_RASTERIZER_DESC *desc, ID3D11RasterizerState **pp) {
    HRESULT hr = hook_call("CreateRasterizerState");
    if (FAILED(hr)) return fail(pp, hr);
    if (!desc || (desc->FillMode != D3D11_FILL_SOLID && desc->FillMode != D3D11_FILL_WIREFRAME) ||
        desc->CullMode < D3D11_CULL_NONE || desc->CullMode > D3D11_CULL_BACK)
        return fail(pp, E_INVALIDARG);
    if (!pp) return S_FALSE;
    RasterizerState *s = new RasterizerState(this);
    s->desc = *desc;
    s->exec = exec_raster(*desc);
    *pp = s;
    return S_OK;
}

HRESULT Device::GetDeviceRemovedReason() {
    hook_call("GetDeviceRemovedReason");
    return exec->lost() ? exec->lost_reason() : S_OK;
}

void Device::GetImmediateContext(ID3D11DeviceContext **pp) {
    HRESULT hr = hook_call("GetImmediateContext");
    if (!pp) return;
    *pp = nullptr;
    if (FAILED(hr)) return;
    ctx->add_ref();
    *pp = ctx;
}

HRESULT Device::GetParent(REFIID riid, void **pp) {
    HRESULT hr = hook_call("GetParent");
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    if (FAILED(hr)) return hr;
    if (riid != IID_IUnknown && riid != IID_IDXGIObject && riid != IID_IDXGIAdapter) return E_NOINTERFACE;
    IDXGIAdapter *a;
    if (FAILED(hr = create_adapter(this, &a))) return hr;
    *pp = a;
    return S_OK;
}

HRESULT Device::GetAdapter(IDXGIAdapter **pp) {
    HRESULT hr = hook_call("GetAdapter");
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    if (FAILED(hr)) return hr;
    return create_adapter(this, pp);
}

extern "C" HRESULT WINAPI D3D11CreateDevice(IDXGIAdapter *adapter, D3D_DRIVER_TYPE type, HMODULE software,
                                            UINT flags, const D3D_FEATURE_LEVEL *levels, UINT nlevels, UINT sdk,
                                            ID3D11Device **ppDevice, D3D_FEATURE_LEVEL *pLevel,
                                            ID3D11DeviceContext **ppContext) {
    HRESULT hr = hook_call("D3D11CreateDevice", "%d", (int)type);
    if (ppDevice) *ppDevice = nullptr;
    if (ppContext) *ppContext = nullptr;
    if (FAILED(hr)) return hr;
    (void)flags;
    if (sdk != D3D11_SDK_VERSION) return E_INVALIDARG;
    // An explicit adapter goes with DRIVER_TYPE_UNKNOWN only; adapters here
    // always stand for the CPU device.
    if ((adapter != nullptr) != (type == D3D_DRIVER_TYPE_UNKNOWN)) return E_INVALIDARG;
    if (type == D3D_DRIVER_TYPE_SOFTWARE && !software) return E_INVALIDARG;
    if (type == D3D_DRIVER_TYPE_SOFTWARE || type == D3D_DRIVER_TYPE_NULL) return DXGI_ERROR_UNSUPPORTED;
    if (type < D3D_DRIVER_TYPE_UNKNOWN || type > D3D_DRIVER_TYPE_WARP) return E_INVALIDARG;

    static const D3D_FEATURE_LEVEL defaults[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1,
                                                 D3D_FEATURE_LEVEL_10_0};
    if (!levels || !nlevels) {
        levels = defaults;
        nlevels = 3;
    }
    D3D_FEATURE_LEVEL level = (D3D_FEATURE_LEVEL)0;
    for (UINT i = 0; i < nlevels && !level; i++)
        if (levels[i] >= D3D_FEATURE_LEVEL_9_1 && levels[i] <= D3D_FEATURE_LEVEL_11_1) level = levels[i];
    if (!level) return E_INVALIDARG;

    Device *d = new Device();
    if (FAILED(hr = create_executor(type, &d->exec))) {
        d->release();
        return hr;
    }
    if (pLevel) *pLevel = level;
    if (ppContext) {
        d->ctx->add_ref();
        *ppContext = d->ctx;
    }
    if (!ppDevice) {
        d->release();
        return ppContext ? S_OK : S_FALSE;
    }
    *ppDevice = d;
    return S_OK;
}
