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
    hook_enter("VSSetConstantBuffers");
    if (hook_recording()) hook_record("VSSetConstantBuffers %u %u", start, n);
    set_constant_buffers(st.vs_cb, start, n, buffers);
}

void Context::PSSetConstantBuffers(UINT start, UINT n, ID3D11Buffer *const *buffers) {
    hook_enter("PSSetConstantBuffers");
    if (hook_recording()) hook_record("PSSetConstantBuffers %u %u", start, n);
    set_constant_buffers(st.ps_cb, start, n, buffers);
}

void Context::VSSetShader(ID3D11VertexShader *s, ID3D11ClassInstance *const *, UINT) {
    hook_enter("VSSetShader");
    if (hook_recording()) hook_record("VSSetShader");
    hold(st.vs, static_cast<VertexShader *>(s));
}

void Context::PSSetShader(ID3D11PixelShader *s, ID3D11ClassInstance *const *, UINT) {
    hook_enter("PSSetShader");
    if (hook_recording()) hook_record("PSSetShader");
    hold(st.ps, static_cast<PixelShader *>(s));
}

void Context::IASetInputLayout(ID3D11InputLayout *l) {
    hook_enter("IASetInputLayout");
    if (hook_recording()) hook_record("IASetInputLayout");
    hold(st.layout, static_cast<InputLayout *>(l));
}

void Context::IASetVertexBuffers(UINT start, UINT n, ID3D11Buffer *const *buffers, const UINT *strides,
                                 const UINT *offsets) {
    hook_enter("IASetVertexBuffers");
    if (hook_recording()) hook_record("IASetVertexBuffers %u %u", start, n);
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
    hook_enter("IASetPrimitiveTopology");
    if (hook_recording()) hook_record("IASetPrimitiveTopology %d", (int)t);
    st.topology = t;
}

void Context::OMSetRenderTargets(UINT n, ID3D11RenderTargetView *const *views, ID3D11DepthStencilView *dsv) {
    hook_enter("OMSetRenderTargets");
    if (hook_recording()) hook_record("OMSetRenderTargets %u %s", n, dsv ? "depth" : "null");
    if (n > D3D11_SIMULTANEOUS_RENDER_TARGET_COUNT) return; // Direct3D drops the call
    // One color target is all the engine draws to; the pass opens at the next draw.
    RenderTargetView *v = n && views ? static_cast<RenderTargetView *>(views[0]) : nullptr;
    DepthStencilView *d = static_cast<DepthStencilView *>(dsv);
    if ((v != st.rtv || d != st.dsv) && !device->cpu) vkc_end_rendering(&device->vk);
    hold(st.rtv, v);
    hold(st.dsv, d);
}

void Context::OMSetDepthStencilState(ID3D11DepthStencilState *s, UINT) {
    hook_enter("OMSetDepthStencilState");
    if (hook_recording()) hook_record("OMSetDepthStencilState %s", s ? "state" : "null");
    // The reference value only matters to a stencil test, and no depth
    // format here has stencil bits.
    hold(st.depth, static_cast<DepthStencilState *>(s));
}

void Context::OMSetBlendState(ID3D11BlendState *s, const FLOAT factor[4], UINT) {
    hook_enter("OMSetBlendState");
    if (hook_recording()) hook_record("OMSetBlendState %s", s ? "state" : "null");
    hold(st.blend, static_cast<BlendState *>(s));
    for (int i = 0; i < 4; i++) st.blend_factor[i] = factor ? factor[i] : 1.0f;
}

void Context::RSSetState(ID3D11RasterizerState *s) {
    hook_enter("RSSetState");
    if (hook_recording()) hook_record("RSSetState");
    hold(st.raster, static_cast<RasterizerState *>(s));
}

void Context::RSSetViewports(UINT n, const D3D11_VIEWPORT *vp) {
    hook_enter("RSSetViewports");
    if (hook_recording()) hook_record("RSSetViewports %u", n);
    st.has_viewport = n > 0 && vp;
    if (st.has_viewport) st.viewport = vp[0];
}

void Context::ClearRenderTargetView(ID3D11RenderTargetView *view, const FLOAT rgba[4]) {
    hook_enter("ClearRenderTargetView");
    if (hook_recording()) hook_record("ClearRenderTargetView");
    if (!view || !rgba) return;
    if (device->cpu) return cpu_clear(static_cast<RenderTargetView *>(view)->texture, rgba);
    VkcCore *vk = &device->vk;
    VkcImage *img = &static_cast<RenderTargetView *>(view)->texture->image;
    vkc_image_use(vk, img, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
    VkCommandBuffer cmd = vkc_cmd(vk);
    if (vk->lost) return;
    VkClearColorValue c;
    memcpy(c.float32, rgba, sizeof c.float32);
    VkImageSubresourceRange range = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    vkCmdClearColorImage(cmd, img->img, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &c, 1, &range);
}

void Context::ClearDepthStencilView(ID3D11DepthStencilView *view, UINT flags, FLOAT depth, UINT8) {
    hook_enter("ClearDepthStencilView");
    if (hook_recording()) hook_record("ClearDepthStencilView %u", flags);
    if (!view || !(flags & D3D11_CLEAR_DEPTH)) return; // no stencil bits to clear
    // Direct3D clamps the value to 0..1; NaN is taken as 0.
    float d = depth >= 0.0f ? (depth <= 1.0f ? depth : 1.0f) : 0.0f;
    if (device->cpu) return sw_clear_depth(&static_cast<DepthStencilView *>(view)->texture->cpu, d);
    VkcCore *vk = &device->vk;
    VkcImage *img = &static_cast<DepthStencilView *>(view)->texture->image;
    vkc_image_use(vk, img, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
    VkCommandBuffer cmd = vkc_cmd(vk);
    if (vk->lost) return;
    VkClearDepthStencilValue v = {d, 0};
    VkImageSubresourceRange range = {VK_IMAGE_ASPECT_DEPTH_BIT, 0, 1, 0, 1};
    vkCmdClearDepthStencilImage(cmd, img->img, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &v, 1, &range);
}

static void copy_texture(VkcCore *vk, Texture *dst, Texture *src) {
    const D3D11_TEXTURE2D_DESC &d = dst->desc, &s = src->desc;
    // Direct3D leaves mismatched copies undefined; doing nothing is the safe reading.
    if (d.Width != s.Width || d.Height != s.Height || d.Format != s.Format) return;
    bool dst_staging = d.Usage == D3D11_USAGE_STAGING, src_staging = s.Usage == D3D11_USAGE_STAGING;
    VkBufferImageCopy region{};
    region.imageSubresource = {dst_staging ? src->image.aspect : dst->image.aspect, 0, 0, 1};
    region.imageExtent = {d.Width, d.Height, 1};
    if (!dst_staging && !src_staging && dst->back_buffer) {
        // A frame's image on its way to the window: Present copies the
        // source into the swap-chain image itself, so it is copied once.
        vkc_copy_image_later(vk, &src->image, &dst->image);
        return;
    }
    if (!dst_staging && !src_staging) {
        vkc_copy_image(vk, &src->image, &dst->image);
        vkc_memory_barrier(vk);
        return;
    }
    if (!src_staging) vkc_image_use(vk, &src->image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL);
    if (!dst_staging) vkc_image_use(vk, &dst->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
    vkc_end_rendering(vk);
    VkCommandBuffer cmd = vkc_cmd(vk);
    if (vk->lost) return;
    if (dst_staging && !src_staging) {
        region.bufferRowLength = dst->row_pitch / 4;
        vkCmdCopyImageToBuffer(cmd, src->image.img, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, dst->staging.buf, 1, &region);
    } else if (src_staging && !dst_staging) {
        region.bufferRowLength = src->row_pitch / 4;
        vkCmdCopyBufferToImage(cmd, src->staging.buf, dst->image.img, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
    } else {
        VkBufferCopy c = {0, 0, src->staging.size};
        vkCmdCopyBuffer(cmd, src->staging.buf, dst->staging.buf, 1, &c);
    }
    if (dst_staging) dst->staging_seq = vk->next_seq;
    if (src_staging) src->staging_seq = vk->next_seq;
    vkc_memory_barrier(vk); // later draws, copies and CPU reads see the result
}

static void copy_buffer(VkcCore *vk, Buffer *dst, Buffer *src) {
    if (dst->desc.ByteWidth != src->desc.ByteWidth || dst->desc.Usage == D3D11_USAGE_IMMUTABLE) return;
    VkcSlice *s = vkc_ring_current(&src->ring), *d = vkc_ring_current(&dst->ring);
    vkc_end_rendering(vk);
    VkCommandBuffer cmd = vkc_cmd(vk);
    if (vk->lost) return;
    VkBufferCopy c = {s->offset, d->offset, src->desc.ByteWidth};
    vkCmdCopyBuffer(cmd, s->buf, d->buf, 1, &c);
    vkc_ring_use(vk, &src->ring);
    vkc_ring_use(vk, &dst->ring);
    vkc_memory_barrier(vk);
}

void Context::CopyResource(ID3D11Resource *dst, ID3D11Resource *src) {
    hook_enter("CopyResource");
    if (hook_recording()) hook_record("CopyResource");
    if (!dst || !src || dst == src) return;
    if (Texture *d = as_texture(dst)) {
        Texture *s = as_texture(src);
        if (s && device->cpu) cpu_copy_texture(d, s);
        else if (s) copy_texture(&device->vk, d, s);
    } else if (Buffer *d = as_buffer(dst)) {
        Buffer *s = as_buffer(src);
        if (s && device->cpu) {
            if (d->desc.ByteWidth == s->desc.ByteWidth && d->desc.Usage != D3D11_USAGE_IMMUTABLE)
                memcpy(d->cpu.data(), s->cpu.data(), d->cpu.size());
        } else if (s) {
            copy_buffer(&device->vk, d, s);
        }
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

// D3D11_MAP_FLAG_DO_NOT_WAIT: S_OK only when the resource's last use (a
// submission number) has finished. Work still being recorded is submitted, so
// a host that polls gets there.
static HRESULT still_drawing(VkcCore *vk, uint64_t use) {
    if (use <= vk->completed_seq) return S_OK;
    if (use >= vk->next_seq) {
        VkResult r = vkc_submit(vk, VK_NULL_HANDLE, 0, VK_NULL_HANDLE);
        return r == VK_SUCCESS ? DXGI_ERROR_WAS_STILL_DRAWING : hr_from_vk(r);
    }
    vkc_poll(vk);
    if (vk->lost) return DXGI_ERROR_DEVICE_REMOVED;
    return use <= vk->completed_seq ? S_OK : DXGI_ERROR_WAS_STILL_DRAWING;
}

HRESULT Context::Map(ID3D11Resource *res, UINT sub, D3D11_MAP type, UINT flags, D3D11_MAPPED_SUBRESOURCE *out) {
    HRESULT hr = hook_enter("Map");
    if (hook_recording()) hook_record("Map %d", (int)type);
    if (out) *out = D3D11_MAPPED_SUBRESOURCE{};
    if (FAILED(hr)) return hr;
    if (!res || !out || sub != 0 || (flags & ~(UINT)D3D11_MAP_FLAG_DO_NOT_WAIT)) return E_INVALIDARG;
    if (device->cpu) { // every draw and copy has finished: the memory is the resource
        if (Buffer *b = as_buffer(res)) {
            if (!map_allowed(b->desc.Usage, b->desc.CPUAccessFlags, type)) return E_INVALIDARG;
            out->pData = b->cpu.data();
            out->RowPitch = out->DepthPitch = b->desc.ByteWidth;
            return S_OK;
        }
        Texture *t = as_texture(res);
        if (!t || !map_allowed(t->desc.Usage, t->desc.CPUAccessFlags, type)) return E_INVALIDARG;
        out->pData = t->cpu.bytes.data();
        out->RowPitch = t->row_pitch;
        out->DepthPitch = t->row_pitch * t->desc.Height;
        return S_OK;
    }
    VkcCore *vk = &device->vk;
    if (vk->lost) return DXGI_ERROR_DEVICE_REMOVED;
    if (Buffer *b = as_buffer(res)) {
        if (!map_allowed(b->desc.Usage, b->desc.CPUAccessFlags, type)) return E_INVALIDARG;
        VkResult r = VK_SUCCESS;
        if (type == D3D11_MAP_WRITE_DISCARD) {
            r = vkc_ring_discard(vk, &b->ring); // renames: never waits for the GPU
        } else if (b->desc.Usage == D3D11_USAGE_STAGING) {
            if (flags & D3D11_MAP_FLAG_DO_NOT_WAIT) {
                if ((hr = still_drawing(vk, vkc_ring_current(&b->ring)->seq)) != S_OK) return hr;
            } else {
                r = vkc_finish(vk);
            }
        }
        if (r != VK_SUCCESS) return hr_from_vk(r);
        out->pData = vkc_ring_current(&b->ring)->map;
        out->RowPitch = out->DepthPitch = b->desc.ByteWidth;
        return S_OK;
    }
    Texture *t = as_texture(res);
    if (!t || !map_allowed(t->desc.Usage, t->desc.CPUAccessFlags, type)) return E_INVALIDARG;
    if (flags & D3D11_MAP_FLAG_DO_NOT_WAIT) {
        if ((hr = still_drawing(vk, t->staging_seq)) != S_OK) return hr;
    } else {
        // The copies in and out of it are all the CPU has to wait for: frames
        // recorded after the last one stay in flight.
        VkResult r = vkc_wait(vk, t->staging_seq);
        if (r != VK_SUCCESS) return hr_from_vk(r);
    }
    out->pData = t->staging.map;
    out->RowPitch = t->row_pitch;
    out->DepthPitch = t->row_pitch * t->desc.Height;
    return S_OK;
}

void Context::Unmap(ID3D11Resource *, UINT) {
    hook_enter("Unmap");
    if (hook_recording()) hook_record("Unmap");
    // Coherent memory: nothing to flush.
}

void Context::Flush() {
    hook_enter("Flush");
    if (hook_recording()) hook_record("Flush");
    if (device->cpu) return; // nothing is ever queued
    vkc_submit(&device->vk, VK_NULL_HANDLE, 0, VK_NULL_HANDLE);
}

void Context::Draw(UINT count, UINT start) {
    hook_enter("Draw");
    if (hook_recording()) hook_record("Draw %u %u", count, start);
    draw(count, 1, start, 0);
}

void Context::DrawInstanced(UINT count, UINT instances, UINT start, UINT start_instance) {
    hook_enter("DrawInstanced");
    if (hook_recording()) hook_record("DrawInstanced %u %u %u %u", count, instances, start, start_instance);
    draw(count, instances, start, start_instance);
}

static VkBlendFactor blend_factor(D3D11_BLEND b) {
    static const VkBlendFactor map[] = {
        VK_BLEND_FACTOR_ZERO, // unused 0
        VK_BLEND_FACTOR_ZERO, VK_BLEND_FACTOR_ONE, VK_BLEND_FACTOR_SRC_COLOR, VK_BLEND_FACTOR_ONE_MINUS_SRC_COLOR,
        VK_BLEND_FACTOR_SRC_ALPHA, VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA, VK_BLEND_FACTOR_DST_ALPHA,
        VK_BLEND_FACTOR_ONE_MINUS_DST_ALPHA, VK_BLEND_FACTOR_DST_COLOR, VK_BLEND_FACTOR_ONE_MINUS_DST_COLOR,
        VK_BLEND_FACTOR_SRC_ALPHA_SATURATE, VK_BLEND_FACTOR_ZERO, VK_BLEND_FACTOR_ZERO, // 12, 13 unused
        VK_BLEND_FACTOR_CONSTANT_COLOR, VK_BLEND_FACTOR_ONE_MINUS_CONSTANT_COLOR, VK_BLEND_FACTOR_SRC1_COLOR,
        VK_BLEND_FACTOR_ONE_MINUS_SRC1_COLOR, VK_BLEND_FACTOR_SRC1_ALPHA, VK_BLEND_FACTOR_ONE_MINUS_SRC1_ALPHA};
    return map[b];
}

static VkPipelineColorBlendAttachmentState blend_attachment(const BlendState *s) {
    VkPipelineColorBlendAttachmentState a{};
    a.colorWriteMask = 0xf;
    if (!s) return a;
    const D3D11_RENDER_TARGET_BLEND_DESC &rt = s->desc.RenderTarget[0];
    a.colorWriteMask = rt.RenderTargetWriteMask & 0xf; // same bit order in both APIs
    a.blendEnable = rt.BlendEnable ? VK_TRUE : VK_FALSE;
    if (!rt.BlendEnable) return a;
    a.srcColorBlendFactor = blend_factor(rt.SrcBlend);
    a.dstColorBlendFactor = blend_factor(rt.DestBlend);
    a.colorBlendOp = (VkBlendOp)(rt.BlendOp - 1);
    a.srcAlphaBlendFactor = blend_factor(rt.SrcBlendAlpha);
    a.dstAlphaBlendFactor = blend_factor(rt.DestBlendAlpha);
    a.alphaBlendOp = (VkBlendOp)(rt.BlendOpAlpha - 1);
    return a;
}

// The defaults Direct3D uses while no depth-stencil state is set.
static const D3D11_DEPTH_STENCIL_DESC k_default_depth = {TRUE, D3D11_DEPTH_WRITE_MASK_ALL, D3D11_COMPARISON_LESS, FALSE, 0xff, 0xff,
                                                         {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_COMPARISON_ALWAYS},
                                                         {D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_STENCIL_OP_KEEP, D3D11_COMPARISON_ALWAYS}};

// Everything the pipeline depends on, from the bound state.
void Context::pipeline_desc(VkcImage *target, VkcImage *depth, VkcPipelineDesc *d) const {
    memset(d, 0, sizeof *d);
    VkcPipelineKey &k = d->key;
    k.vs_id = st.vs->prog.id;
    k.ps_id = st.ps->prog.id;
    k.layout_id = st.layout ? st.layout->id : 0;
    k.blend_id = st.blend ? st.blend->id : 0;
    k.raster_id = st.raster ? st.raster->id : 0;
    k.topology = (uint32_t)st.topology - 1; // D3D list/strip order is Vulkan's, shifted by one
    k.color_format = target->format;
    if (st.layout) {
        const uint32_t slots = st.layout->slot_mask;
        for (const LayoutElement &e : st.layout->elements)
            k.attrs[k.nattrs++] = {e.location, e.slot, e.format, e.offset};
        for (uint32_t s = 0; s < D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT && k.nbindings < 16; s++)
            if (slots & (1u << s))
                k.bindings[k.nbindings++] = {s, st.vb[s].stride, (st.layout->instance_mask >> s) & 1u, 0};
    }
    // Without a depth view there is no depth test, whatever the state says.
    if (depth) {
        const D3D11_DEPTH_STENCIL_DESC &ds = st.depth ? st.depth->desc : k_default_depth;
        k.depth_format = depth->format;
        if (ds.DepthEnable) {
            k.depth_test = 1;
            k.depth_write = ds.DepthWriteMask == D3D11_DEPTH_WRITE_MASK_ALL;
            k.depth_compare = (uint32_t)ds.DepthFunc - 1; // Vulkan's order, from NEVER = 0
        }
    }
    d->vs = st.vs->prog.module;
    d->ps = st.ps->prog.module;
    d->vs_entry = st.vs->prog.entry.c_str();
    d->ps_entry = st.ps->prog.entry.c_str();
    d->blend = blend_attachment(st.blend);
    // No state object means the Direct3D defaults: solid, back faces culled, clockwise front.
    D3D11_CULL_MODE cull = st.raster ? st.raster->desc.CullMode : D3D11_CULL_BACK;
    d->cull = cull == D3D11_CULL_NONE ? VK_CULL_MODE_NONE : cull == D3D11_CULL_FRONT ? VK_CULL_MODE_FRONT_BIT : VK_CULL_MODE_BACK_BIT;
    d->front = st.raster && st.raster->desc.FrontCounterClockwise ? VK_FRONT_FACE_COUNTER_CLOCKWISE : VK_FRONT_FACE_CLOCKWISE;
    d->fill = VK_POLYGON_MODE_FILL;
}

// Every binding is written each draw; unbound slots read the zero buffer.
void Context::push_constant_buffers(VkCommandBuffer cmd) {
    VkcCore *vk = &device->vk;
    VkDescriptorBufferInfo infos[VKC_UNIFORM_BINDINGS];
    for (uint32_t i = 0; i < VKC_UNIFORM_BINDINGS; i++) {
        Buffer *b = i < SHADER_PS_CBUFFER_BINDING_BASE ? st.vs_cb[i] : st.ps_cb[i - SHADER_PS_CBUFFER_BINDING_BASE];
        if (b) {
            VkcSlice *s = vkc_ring_current(&b->ring);
            vkc_ring_use(vk, &b->ring);
            infos[i] = {s->buf, s->offset, b->desc.ByteWidth};
        } else {
            infos[i] = {vk->zero.buf, 0, VKC_ZERO_BYTES};
        }
    }
    VkWriteDescriptorSet writes[2];
    for (int i = 0; i < 2; i++) {
        writes[i] = {VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET};
        writes[i].dstBinding = i * SHADER_PS_CBUFFER_BINDING_BASE;
        writes[i].descriptorCount = SHADER_PS_CBUFFER_BINDING_BASE;
        writes[i].descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
        writes[i].pBufferInfo = infos + i * SHADER_PS_CBUFFER_BINDING_BASE;
    }
    vk->push_descriptors(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, vk->pipeline_layout, 0, 2, writes);
}

// SV_InstanceID must not include StartInstanceLocation, Vulkan's
// InstanceIndex would: start the per-instance streams later instead.
void Context::bind_vertex_streams(VkCommandBuffer cmd, UINT first_instance) {
    VkcCore *vk = &device->vk;
    const uint32_t slots = st.layout ? st.layout->slot_mask : 0;
    for (uint32_t s = 0; s < D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT; s++) {
        if (!(slots & (1u << s))) continue;
        const VertexBinding &vb = st.vb[s];
        VkBuffer buf = vk->zero.buf;
        VkDeviceSize offset = 0, size = VKC_ZERO_BYTES;
        if (vb.buffer) {
            VkcSlice *sl = vkc_ring_current(&vb.buffer->ring);
            vkc_ring_use(vk, &vb.buffer->ring);
            buf = sl->buf;
            offset = sl->offset + vb.offset;
            if ((st.layout->instance_mask >> s) & 1u) offset += (VkDeviceSize)first_instance * vb.stride;
            // The binding ends where the Direct3D buffer ends, not where its
            // slice does; fetches past it read zero (robust_zero).
            const VkDeviceSize end = sl->offset + vb.buffer->desc.ByteWidth;
            if (offset >= end) buf = vk->zero.buf, offset = 0; // wholly past the end reads zero
            else size = end - offset;
        }
        vkCmdBindVertexBuffers2(cmd, s, 1, &buf, &offset, &size, nullptr);
    }
}

void Context::draw(UINT vertices, UINT instances, UINT first_vertex, UINT first_instance) {
    VkcCore *vk = &device->vk;
    // Direct3D draws nothing without these; neither do we.
    if (!vertices || !instances || !st.vs || !st.ps || !st.rtv || !st.has_viewport || vk->lost) return;
    if (st.topology < D3D11_PRIMITIVE_TOPOLOGY_POINTLIST || st.topology > D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP) return;
    if (!st.layout && !st.vs->prog.inputs.empty()) return;
    if (st.viewport.Width <= 0 || st.viewport.Height <= 0) return;
    // Targets of different sizes are an invalid binding; draw nothing rather
    // than let one pass run past the smaller one.
    const D3D11_TEXTURE2D_DESC &td = st.rtv->texture->desc;
    if (st.dsv && (st.dsv->texture->desc.Width != td.Width || st.dsv->texture->desc.Height != td.Height)) return;
    if (device->cpu) return cpu_draw(this, vertices, instances, first_vertex, first_instance);
    VkcImage *target = &st.rtv->texture->image;
    VkcImage *depth = st.dsv ? &st.dsv->texture->image : nullptr;
    if (vk->commands >= VKC_AUTO_SUBMIT_COMMANDS) vkc_submit(vk, VK_NULL_HANDLE, 0, VK_NULL_HANDLE);

    VkcPipelineDesc d;
    pipeline_desc(target, depth, &d);
    VkPipeline pipeline = vkc_pipeline_get(vk, &d);
    if (!pipeline) return;
    vkc_begin_rendering(vk, target, depth);
    VkCommandBuffer cmd = vkc_cmd(vk);
    if (vk->lost) return;
    if (pipeline != vk->bound_pipeline) {
        vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
        vk->bound_pipeline = pipeline;
    }
    // Negative height flips Vulkan's y-down clip space to Direct3D's y-up.
    const D3D11_VIEWPORT &v = st.viewport;
    VkViewport vp = {v.TopLeftX, v.TopLeftY + v.Height, v.Width, -v.Height, v.MinDepth, v.MaxDepth};
    vkCmdSetViewport(cmd, 0, 1, &vp);
    VkRect2D scissor = {{0, 0}, {target->width, target->height}};
    vkCmdSetScissor(cmd, 0, 1, &scissor);
    vkCmdSetBlendConstants(cmd, st.blend_factor);
    push_constant_buffers(cmd);
    bind_vertex_streams(cmd, first_instance);
    vkCmdDraw(cmd, vertices, instances, first_vertex, 0);
}
