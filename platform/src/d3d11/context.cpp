#include "d3d11/objects.h"

#include <string.h>

Context::Context(Device *d) : Object(d, false) {
    // Owned by the device (the private reference); public references taken
    // through GetImmediateContext keep the device alive like any child's.
    refs = 0;
    priv = 1;
}

Context::~Context() { clear_state(); }

void Context::clear_state() {
    hold(st.vs, (VertexShader *)nullptr);
    hold(st.ps, (PixelShader *)nullptr);
    hold(st.layout, (InputLayout *)nullptr);
    hold(st.blend, (BlendState *)nullptr);
    hold(st.raster, (RasterizerState *)nullptr);
    hold(st.rtv, (RenderTargetView *)nullptr);
    hold(st.dsv, (DepthStencilView *)nullptr);
    hold(st.depth, (DepthStencilState *)nullptr);
    for (VertexBinding &v : st.vb) hold(v.buffer, (Buffer *)nullptr);
    for (Buffer *&b : st.vs_cb) hold(b, (Buffer *)nullptr);
    for (Buffer *&b : st.ps_cb) hold(b, (Buffer *)nullptr);
}

void Context::set_constant_buffers(Buffer **slots, UINT start, UINT n, ID3D11Buffer *const *buffers) {
    if (start >= D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT ||
        n > D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT - start)
        return;
    for (UINT i = 0; i < n; i++) {
        Buffer *b = buffers ? static_cast<Buffer *>(buffers[i]) : nullptr;
        if (b && !(b->desc.BindFlags & D3D11_BIND_CONSTANT_BUFFER)) b = nullptr; // Direct3D unbinds it
        hold(slots[start + i], b);
    }
}

void Context::VSSetConstantBuffers(UINT start, UINT n, ID3D11Buffer *const *buffers) {
    hook_call("VSSetConstantBuffers", "%u %u", start, n);
    set_constant_buffers(st.vs_cb, start, n, buffers);
}

void Context::PSSetConstantBuffers(UINT start, UINT n, ID3D11Buffer *const *buffers) {
    hook_call("PSSetConstantBuffers", "%u %u", start, n);
    set_constant_buffers(st.ps_cb, start, n, buffers);
}

void Context::VSSetShader(ID3D11VertexShader *s, ID3D11ClassInstance *const *, UINT) {
    hook_call("VSSetShader");
    hold(st.vs, static_cast<VertexShader *>(s));
}

void Context::PSSetShader(ID3D11PixelShader *s, ID3D11ClassInstance *const *, UINT) {
    hook_call("PSSetShader");
    hold(st.ps, static_cast<PixelShader *>(s));
}

void Context::IASetInputLayout(ID3D11InputLayout *l) {
    hook_call("IASetInputLayout");
    hold(st.layout, static_cast<InputLayout *>(l));
}

void Context::IASetVertexBuffers(UINT start, UINT n, ID3D11Buffer *const *buffers, const UINT *strides,
                                 const UINT *offsets) {
    hook_call("IASetVertexBuffers", "%u %u", start, n);
    if (start >= D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT || n > D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT - start)
        return;
    for (UINT i = 0; i < n; i++) {
        VertexBinding &v = st.vb[start + i];
        Buffer *b = buffers ? static_cast<Buffer *>(buffers[i]) : nullptr;
        if (b && !(b->desc.BindFlags & D3D11_BIND_VERTEX_BUFFER)) b = nullptr;
        hold(v.buffer, b);
        v.stride = b && strides ? strides[i] : 0;
        v.offset = b && offsets ? offsets[i] : 0;
    }
}

void Context::IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY t) {
    hook_call("IASetPrimitiveTopology", "%d", (int)t);
    st.topology = t;
}

void Context::OMSetRenderTargets(UINT n, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *dsv) {
    hook_call("OMSetRenderTargets", "%u %s", n, dsv ? "depth" : "null");
    if (n > D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT) return; // Direct3D drops the call
    // One color target is all the engine draws to; the pass opens at the next draw.
    RenderTargetView *v = n && views ? static_cast<RenderTargetView *>(views[0]) : nullptr;
    DepthStencilView *d = static_cast<DepthStencilView *>(dsv);
    if (v != st.rtv || d != st.dsv) device->exec->targets_changed();
    hold(st.rtv, v);
    hold(st.dsv, d);
}

void Context::OMSetDepthStencilState(ID3D11DepthStencilState *s, UINT) {
    hook_call("OMSetDepthStencilState", "%s", s ? "state" : "null");
    // The reference value only matters to a stencil test, and no depth
    // format here has stencil bits.
    hold(st.depth, static_cast<DepthStencilState *>(s));
}

void Context::OMSetBlendState(ID3D11BlendState *s, const FLOAT factor[4], UINT) {
    hook_call("OMSetBlendState", "%s", s ? "state" : "null");
    hold(st.blend, static_cast<BlendState *>(s));
    for (int i = 0; i < 4; i++) st.blend_factor[i] = factor ? factor[i] : 1.0f;
}

void Context::RSSetState(ID3D11RasterizerState *s) {
    hook_call("RSSetState");
    hold(st.raster, static_cast<RasterizerState *>(s));
}

void Context::RSSetViewports(UINT n, const D3D11_VIEWPORT *vp) {
    hook_call("RSSetViewports", "%u", n);
    st.has_viewport = n > 0 && vp;
    if (st.has_viewport) st.viewport = vp[0];
}

void Context::ClearRenderTargetView(ID3D11RenderTargetView *view, const FLOAT rgba[4]) {
    hook_call("ClearRenderTargetView");
    if (!view || !rgba) return;
    device->exec->clear_color(static_cast<RenderTargetView *>(view)->texture->image, rgba);
}

void Context::ClearDepthStencilView(ID3D11DepthStencilView *view, UINT flags, FLOAT depth, UINT8) {
    hook_call("ClearDepthStencilView", "%u", flags);
    if (!view || !(flags & D3D11_CLEAR_DEPTH)) return; // no stencil bits to clear
    // Direct3D clamps the value to 0..1; NaN is taken as 0.
    float d = depth >= 0.0f ? (depth <= 1.0f ? depth : 1.0f) : 0.0f;
    device->exec->clear_depth(static_cast<DepthStencilView *>(view)->texture->image, d);
}

void Context::CopyResource(ID3D11Resource *dst, ID3D11Resource *src) {
    hook_call("CopyResource");
    if (!dst || !src || dst == src) return;
    // Direct3D leaves mismatched copies undefined; doing nothing is the safe reading.
    if (Texture *d = as_texture(dst)) {
        Texture *s = as_texture(src);
        if (!s || d->desc.Width != s->desc.Width || d->desc.Height != s->desc.Height || d->desc.Format != s->desc.Format)
            return;
        device->exec->copy_image(d->image, s->image);
    } else if (Buffer *d = as_buffer(dst)) {
        Buffer *s = as_buffer(src);
        if (!s || d->desc.ByteWidth != s->desc.ByteWidth || d->desc.Usage == D3D11_USAGE_IMMUTABLE) return;
        device->exec->copy_buffer(d->exec, s->exec);
    }
}

// CPU access a usage admits for each map type.
static bool map_allowed(D3D11_USAGE usage, UINT cpu, D3D11_MAP type) {
    if (usage == D3D11_USAGE_DYNAMIC)
        return type == D3D11_MAP_WRITE_DISCARD || type == D3D11_MAP_WRITE_NO_OVERWRITE;
    if (usage != D3D11_USAGE_STAGING) return false;
    switch (type) {
    case D3D11_MAP_READ: return cpu & D3D11_CPU_ACCESS_READ;
    case D3D11_MAP_WRITE: return cpu & D3D11_CPU_ACCESS_WRITE;
    case D3D11_MAP_READ_WRITE: return (cpu & D3D11_CPU_ACCESS_READ) && (cpu & D3D11_CPU_ACCESS_WRITE);
    default: return false;
    }
}

HRESULT Context::Map(ID3D11Resource *res, UINT sub, D3D11_MAP type, UINT flags, D3D11_MAPPED_SUBRESOURCE *out) {
    HRESULT hr = hook_call("Map", "%d", (int)type);
    if (out) *out = D3D11_MAPPED_SUBRESOURCE{};
    if (FAILED(hr)) return hr;
    if (!res || !out || sub != 0 || (flags & ~(UINT)D3D11_MAP_FLAG_DO_NOT_WAIT)) return E_INVALIDARG;
    if (device->exec->lost()) return DXGI_ERROR_DEVICE_REMOVED;
    const bool dont_wait = flags & D3D11_MAP_FLAG_DO_NOT_WAIT;
    if (Buffer *b = as_buffer(res)) {
        if (!map_allowed(b->desc.Usage, b->desc.CPUAccessFlags, type)) return E_INVALIDARG;
        if ((hr = device->exec->map_buffer(b->exec, type, dont_wait, &out->pData)) != S_OK) return hr;
        out->RowPitch = out->DepthPitch = b->desc.ByteWidth;
        return S_OK;
    }
    Texture *t = as_texture(res);
    if (!t || !map_allowed(t->desc.Usage, t->desc.CPUAccessFlags, type)) return E_INVALIDARG;
    void *data = nullptr;
    UINT pitch = 0;
    if ((hr = device->exec->map_image(t->image, dont_wait, &data, &pitch)) != S_OK) return hr;
    out->pData = data;
    out->RowPitch = pitch;
    out->DepthPitch = pitch * t->desc.Height;
    return S_OK;
}

void Context::Unmap(ID3D11Resource *, UINT) {
    hook_call("Unmap");
    // Coherent memory: nothing to flush.
}

void Context::Flush() {
    hook_call("Flush");
    device->exec->flush();
}

void Context::Draw(UINT count, UINT start) {
    hook_call("Draw", "%u %u", count, start);
    draw(count, 1, start, 0);
}

void Context::DrawInstanced(UINT count, UINT instances, UINT start, UINT start_instance) {
    hook_call("DrawInstanced", "%u %u %u %u", count, instances, start, start_instance);
    draw(count, instances, start, start_instance);
}

// A viewport Direct3D takes: no NaN, an area, within the viewport bounds.
// (Comparisons written so that NaN fails them.) Anything else draws nothing,
// rather than reach the rasterizer's conversions to integers.
static bool viewport_valid(const D3D11_VIEWPORT &v) {
    const float lo = (float)D3D11_VIEWPORT_BOUNDS_MIN, hi = (float)D3D11_VIEWPORT_BOUNDS_MAX;
    return v.TopLeftX >= lo && v.TopLeftY >= lo && v.Width > 0 && v.Height > 0 && v.TopLeftX + v.Width <= hi &&
           v.TopLeftY + v.Height <= hi && v.MinDepth == v.MinDepth && v.MaxDepth == v.MaxDepth;
}

// Direct3D draws nothing without these; neither do we.
bool Context::drawable() const {
    if (!st.vs || !st.ps || !st.rtv || !st.has_viewport || device->exec->lost()) return false;
    if (st.topology < D3D11_PRIMITIVE_TOPOLOGY_POINTLIST || st.topology > D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP) return false;
    if (!st.layout && !st.vs->prog.inputs.empty()) return false;
    if (!viewport_valid(st.viewport)) return false;
    // Targets of different sizes are an invalid binding; draw nothing rather
    // than let one pass run past the smaller one.
    const D3D11_TEXTURE2D_DESC &td = st.rtv->texture->desc;
    return !st.dsv || (st.dsv->texture->desc.Width == td.Width && st.dsv->texture->desc.Height == td.Height);
}

// The bound state, resolved: what each state object (or Direct3D's default
// without one) means for this draw, the executor's handles for every bound
// object. Fixed-size copies only: nothing here allocates.
void Context::finish_draw(ExecDraw *d) const {
    d->vs = st.vs->prog.exec;
    d->ps = st.ps->prog.exec;
    if (const InputLayout *l = st.layout) {
        d->layout.elements = l->elements.data();
        d->layout.count = (uint32_t)l->elements.size();
        d->layout.slot_mask = l->slot_mask;
        d->layout.instance_mask = l->instance_mask;
        d->layout.id = l->id;
    }
    for (uint32_t s = 0; s < EXEC_VERTEX_SLOTS; s++) {
        const VertexBinding &vb = st.vb[s];
        if (vb.buffer) d->streams[s] = {vb.buffer->exec, vb.stride, vb.offset};
    }
    for (uint32_t i = 0; i < EXEC_CBUFFER_SLOTS; i++) {
        d->vs_cb[i] = st.vs_cb[i] ? st.vs_cb[i]->exec : nullptr;
        d->ps_cb[i] = st.ps_cb[i] ? st.ps_cb[i]->exec : nullptr;
    }
    d->topology = st.topology;
    const D3D11_VIEWPORT &v = st.viewport;
    d->viewport = {v.TopLeftX, v.TopLeftY, v.Width, v.Height, v.MinDepth, v.MaxDepth};
    if (st.raster) d->raster = st.raster->exec;
    if (st.blend) d->blend = st.blend->exec;
    memcpy(d->blend_factor, st.blend_factor, sizeof d->blend_factor);
    d->target = st.rtv->texture->image;
    // Without a depth view there is no depth test, whatever the state says;
    // without a state, Direct3D's defaults: LESS, with writes.
    if (st.dsv) {
        d->depth_target = st.dsv->texture->image;
        if (st.depth) {
            d->depth = st.depth->exec;
        } else {
            d->depth.test = 1;
            d->depth.write = 1;
        }
    }
}

void Context::draw(UINT vertices, UINT instances, UINT first_vertex, UINT first_instance) {
    if (!vertices || !instances || !drawable()) return;
    ExecDraw d;
    finish_draw(&d);
    d.vertex_count = vertices;
    d.instance_count = instances;
    d.first_vertex = first_vertex;
    d.first_instance = first_instance;
    device->exec->draw(d);
}
