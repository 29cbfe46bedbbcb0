// The Vulkan executor: buffers as renamable rings, textures as images (or,
// for staging, linear buffers), programs as shader modules, finished draws
// as pipelines from a cache plus dynamic state, and presentation through a
// Vulkan swapchain.
#include "vk/vk_executor.h"

#include "common/shader_blob.h"
#include "hlsl/spirv_reflect.h"
#include "vk/vk_swapchain.h"

#include <stdio.h>
#include <string.h>
#include <string>

namespace {

struct VkxBuffer : ExecBuffer {
    VkcRing ring; // one slice unless DYNAMIC
    UINT bytes = 0;
    D3D11_USAGE usage = D3D11_USAGE_DEFAULT;
};

struct VkxImage : ExecImage {
    VkcImage image;           // DEFAULT textures
    VkcBuffer staging;        // STAGING textures: linear rows of row_pitch bytes
    uint64_t staging_seq = 0; // the last submission that copies into or out of it
    UINT row_pitch = 0;
    bool is_staging = false;
    bool back_buffer = false; // of a swap chain: copies into it wait for Present
    uint32_t width = 0, height = 0;
};

struct VkxProgram : ExecProgram {
    VkShaderModule module = VK_NULL_HANDLE;
    std::string entry;
    uint64_t id = 0; // tells pipelines apart
};

struct VkxPresenter : ExecPresenter {
    VkcSwapchain sc;
};

VkxBuffer *vkx(ExecBuffer *b) { return static_cast<VkxBuffer *>(b); }
VkxImage *vkx(ExecImage *i) { return static_cast<VkxImage *>(i); }
const VkxProgram *vkx(const ExecProgram *p) { return static_cast<const VkxProgram *>(p); }
VkxPresenter *vkx(ExecPresenter *p) { return static_cast<VkxPresenter *>(p); }

// Vulkan result of a creation call as the HRESULT Direct3D would return.
HRESULT hr_from_vk(VkResult r) {
    switch (r) {
    case VK_SUCCESS: return S_OK;
    case VK_ERROR_OUT_OF_HOST_MEMORY:
    case VK_ERROR_OUT_OF_DEVICE_MEMORY:
    case VK_ERROR_TOO_MANY_OBJECTS: return E_OUTOFMEMORY;
    case VK_ERROR_DEVICE_LOST: return DXGI_ERROR_DEVICE_REMOVED;
    case VK_ERROR_INCOMPATIBLE_DRIVER:
    case VK_ERROR_INITIALIZATION_FAILED:
    case VK_ERROR_LAYER_NOT_PRESENT:
    case VK_ERROR_EXTENSION_NOT_PRESENT:
    case VK_ERROR_FEATURE_NOT_PRESENT: return DXGI_ERROR_UNSUPPORTED;
    default: return E_FAIL;
    }
}

HRESULT hr_from_present(VkResult r) {
    if (r == VK_SUCCESS || r == VK_SUBOPTIMAL_KHR) return S_OK;
    if (r == VK_ERROR_DEVICE_LOST) return DXGI_ERROR_DEVICE_REMOVED;
    return hr_from_vk(r) == E_OUTOFMEMORY ? E_OUTOFMEMORY : E_FAIL;
}

VkBlendFactor blend_factor(uint8_t b) {
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

VkPipelineColorBlendAttachmentState blend_attachment(const ExecBlend &b) {
    VkPipelineColorBlendAttachmentState a{};
    a.colorWriteMask = b.write_mask & 0xf; // same bit order in both APIs
    a.blendEnable = b.enable ? VK_TRUE : VK_FALSE;
    if (!b.enable) return a;
    a.srcColorBlendFactor = blend_factor(b.src);
    a.dstColorBlendFactor = blend_factor(b.dst);
    a.colorBlendOp = (VkBlendOp)(b.op - 1);
    a.srcAlphaBlendFactor = blend_factor(b.src_alpha);
    a.dstAlphaBlendFactor = blend_factor(b.dst_alpha);
    a.alphaBlendOp = (VkBlendOp)(b.op_alpha - 1);
    return a;
}

// D3D list/strip order is Vulkan's, shifted by one; so is the comparison order
// (Vulkan's starts at NEVER = 0).
VkPrimitiveTopology vk_topology(D3D11_PRIMITIVE_TOPOLOGY t) { return (VkPrimitiveTopology)(t - 1); }
VkCompareOp vk_compare(uint8_t func) { return (VkCompareOp)(func - 1); }

// The cache key of the pipeline d needs. Fixed-size copies of values the
// front resolved at state creation, no walk over the layout's elements.
void pipeline_key(const ExecDraw &d, const VkxImage *target, const VkxImage *depth, VkcPipelineKey *k) {
    memset(k, 0, sizeof *k);
    k->vs_id = vkx(d.vs)->id;
    k->ps_id = vkx(d.ps)->id;
    k->layout_id = d.layout.id;
    memcpy(&k->blend, &d.blend, sizeof d.blend);
    k->raster = d.raster.fill | d.raster.cull << 8 | d.raster.front_ccw << 16 | (uint32_t)!d.raster.depth_clip << 24;
    k->topology = (uint32_t)vk_topology(d.topology);
    k->color_format = (uint32_t)target->image.format;
    if (depth) {
        k->depth_format = (uint32_t)depth->image.format;
        if (d.depth.test) k->depth = 1u | (uint32_t)d.depth.write << 1 | (uint32_t)vk_compare(d.depth.func) << 2;
    }
    for (uint32_t s = 0; s < EXEC_VERTEX_SLOTS; s++)
        if (d.layout.slot_mask & (1u << s)) k->strides[s] = d.streams[s].stride;
}

static_assert(sizeof(ExecBlend) == sizeof(uint64_t), "the blend state is one key word");
static_assert(sizeof(VkcPipelineKey::strides) / sizeof(uint32_t) >= EXEC_VERTEX_SLOTS, "a stride per slot");

// Everything else the pipeline is built from: made only for a new key.
void pipeline_desc(const ExecDraw &d, const VkcPipelineKey &k, VkcPipelineDesc *p) {
    memset(p, 0, sizeof *p);
    p->vs = vkx(d.vs)->module;
    p->ps = vkx(d.ps)->module;
    p->vs_entry = vkx(d.vs)->entry.c_str();
    p->ps_entry = vkx(d.ps)->entry.c_str();
    p->topology = (VkPrimitiveTopology)k.topology;
    p->color_format = (VkFormat)k.color_format;
    p->depth_format = (VkFormat)k.depth_format;
    p->depth_test = k.depth & 1u;
    p->depth_write = (k.depth >> 1) & 1u;
    p->depth_compare = (VkCompareOp)(k.depth >> 2);
    p->blend = blend_attachment(d.blend);
    p->cull = d.raster.cull == D3D11_CULL_NONE    ? VK_CULL_MODE_NONE
              : d.raster.cull == D3D11_CULL_FRONT ? VK_CULL_MODE_FRONT_BIT
                                                  : VK_CULL_MODE_BACK_BIT;
    p->front = d.raster.front_ccw ? VK_FRONT_FACE_COUNTER_CLOCKWISE : VK_FRONT_FACE_CLOCKWISE;
    p->fill = VK_POLYGON_MODE_FILL;
    p->depth_clamp = (k.raster >> 24) & 1u;
    for (uint32_t i = 0; i < d.layout.count && i < 16; i++) {
        const ExecInputElement &e = d.layout.elements[i];
        p->attrs[p->nattrs++] = {e.location, e.slot, vkc_format_from_dxgi(e.dxgi_format), e.offset};
    }
    for (uint32_t s = 0; s < EXEC_VERTEX_SLOTS; s++)
        if (d.layout.slot_mask & (1u << s))
            p->bindings[p->nbindings++] = {s, k.strides[s],
                                           (d.layout.instance_mask >> s) & 1u ? VK_VERTEX_INPUT_RATE_INSTANCE
                                                                              : VK_VERTEX_INPUT_RATE_VERTEX};
}

struct VkExecutor final : Executor {
    VkcCore vk;
    uint64_t next_program_id = 1;

    ~VkExecutor() override { vkc_shutdown(&vk); }

    bool lost() override { return vk.lost; }

    HRESULT create_buffer(const D3D11_BUFFER_DESC &desc, const void *init, ExecBuffer **out) override {
        VkBufferUsageFlags usage = 0;
        if (desc.BindFlags & D3D11_BIND_VERTEX_BUFFER) usage |= VK_BUFFER_USAGE_VERTEX_BUFFER_BIT;
        if (desc.BindFlags & D3D11_BIND_INDEX_BUFFER) usage |= VK_BUFFER_USAGE_INDEX_BUFFER_BIT;
        if (desc.BindFlags & D3D11_BIND_CONSTANT_BUFFER) usage |= VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT;
        const VkcMemoryUse use = desc.Usage == D3D11_USAGE_DYNAMIC   ? VKC_MEMORY_UPLOAD
                                 : desc.Usage == D3D11_USAGE_STAGING ? VKC_MEMORY_READBACK
                                                                     : VKC_MEMORY_STATIC;
        VkxBuffer *b = new VkxBuffer;
        b->bytes = desc.ByteWidth;
        b->usage = desc.Usage;
        VkResult r = vkc_ring_init(&vk, &b->ring, desc.ByteWidth, usage, use);
        // Without initial data the contents start as zero, not as whatever
        // the allocation held: runs stay reproducible.
        VkcSlice *slice = r == VK_SUCCESS ? vkc_ring_current(&b->ring) : nullptr;
        if (slice && slice->map) {
            if (init) memcpy(slice->map, init, desc.ByteWidth);
            else memset(slice->map, 0, desc.ByteWidth);
        } else if (slice) {
            r = vkc_buffer_upload(&vk, slice->buf, slice->offset, init, desc.ByteWidth); // video memory
        }
        if (r != VK_SUCCESS) {
            destroy_buffer(b);
            *out = nullptr;
            return hr_from_vk(r);
        }
        *out = b;
        return S_OK;
    }

    void destroy_buffer(ExecBuffer *b) override {
        vkc_ring_destroy(&vk, &vkx(b)->ring);
        delete vkx(b);
    }

    // Initial contents of a DEFAULT texture go through a staging buffer.
    HRESULT upload(VkxImage *t, const D3D11_SUBRESOURCE_DATA &init) {
        const uint32_t w = t->width, h = t->height;
        if (vk.lost) return DXGI_ERROR_DEVICE_REMOVED;
        VkcBuffer tmp;
        VkResult r = vkc_buffer_create(&vk, (VkDeviceSize)w * h * 4, 0, VKC_MEMORY_UPLOAD, &tmp);
        if (r != VK_SUCCESS) return hr_from_vk(r);
        for (uint32_t y = 0; y < h; y++)
            memcpy(tmp.map + (size_t)y * w * 4, (const uint8_t *)init.pSysMem + (size_t)y * init.SysMemPitch, w * 4);
        vkc_image_use(&vk, &t->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
        VkCommandBuffer cmd = vkc_cmd(&vk);
        if (!vk.lost) {
            VkBufferImageCopy region{};
            region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
            region.imageExtent = {w, h, 1};
            vkCmdCopyBufferToImage(cmd, tmp.buf, t->image.img, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
        }
        vkc_buffer_destroy(&vk, &tmp);
        return vk.lost ? DXGI_ERROR_DEVICE_REMOVED : S_OK;
    }

    HRESULT create_image(const D3D11_TEXTURE2D_DESC &desc, const D3D11_SUBRESOURCE_DATA *init, bool back_buffer,
                         ExecImage **out) override {
        VkxImage *t = new VkxImage;
        t->width = desc.Width;
        t->height = desc.Height;
        t->is_staging = desc.Usage == D3D11_USAGE_STAGING;
        t->back_buffer = back_buffer;
        VkResult r;
        if (t->is_staging) {
            // Rows padded to 256 bytes, as real drivers lay out readback memory.
            t->row_pitch = (desc.Width * 4 + 255) & ~255u;
            r = vkc_buffer_create(&vk, (VkDeviceSize)t->row_pitch * desc.Height, 0, VKC_MEMORY_READBACK, &t->staging);
        } else {
            VkImageUsageFlags usage = VK_IMAGE_USAGE_TRANSFER_SRC_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT;
            if (desc.BindFlags & D3D11_BIND_RENDER_TARGET) usage |= VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
            if (desc.BindFlags & D3D11_BIND_SHADER_RESOURCE) usage |= VK_IMAGE_USAGE_SAMPLED_BIT;
            if (desc.BindFlags & D3D11_BIND_DEPTH_STENCIL) usage |= VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT;
            r = vkc_image_create(&vk, desc.Width, desc.Height, vkc_format_from_dxgi(desc.Format), usage, &t->image);
        }
        HRESULT hr = hr_from_vk(r);
        if (SUCCEEDED(hr) && init && t->is_staging) {
            for (UINT y = 0; y < desc.Height; y++)
                memcpy(t->staging.map + (size_t)y * t->row_pitch,
                       (const uint8_t *)init->pSysMem + (size_t)y * init->SysMemPitch, desc.Width * 4);
        } else if (SUCCEEDED(hr) && init) {
            hr = upload(t, *init);
        }
        if (FAILED(hr)) {
            destroy_image(t);
            *out = nullptr;
            return hr;
        }
        *out = t;
        return S_OK;
    }

    void destroy_image(ExecImage *img) override {
        VkxImage *t = vkx(img);
        vkc_image_destroy(&vk, &t->image);
        vkc_buffer_destroy(&vk, &t->staging);
        delete t;
    }

    HRESULT create_program(ExecStage stage, const uint32_t *spirv, uint32_t words, const char *entry,
                           ExecProgram **out) override {
        // A driver trusts its modules; one from a damaged or foreign blob is
        // refused here rather than handed over.
        std::string why;
        if (!spirv_check(spirv, words, &why)) {
            fprintf(stderr, "halvenor: the Vulkan executor refuses this %s program: %s\n",
                    stage == EXEC_STAGE_VERTEX ? "vertex" : "pixel", why.c_str());
            *out = nullptr;
            return E_INVALIDARG;
        }
        VkxProgram *p = new VkxProgram;
        p->entry = entry;
        p->id = next_program_id++;
        HRESULT hr = hr_from_vk(vkc_shader_create(&vk, spirv, words, &p->module));
        if (FAILED(hr)) {
            delete p;
            p = nullptr;
        }
        *out = p;
        return hr;
    }

    void destroy_program(ExecProgram *p) override {
        VkxProgram *x = static_cast<VkxProgram *>(p);
        vkc_shader_destroy(&vk, x->module);
        delete x;
    }

    // Every binding is written each draw; unbound slots read the zero buffer.
    void push_constant_buffers(VkCommandBuffer cmd, const ExecDraw &d) {
        VkDescriptorBufferInfo infos[VKC_UNIFORM_BINDINGS];
        for (uint32_t i = 0; i < VKC_UNIFORM_BINDINGS; i++) {
            ExecBuffer *e = i < SHADER_PS_CBUFFER_BINDING_BASE ? d.vs_cb[i] : d.ps_cb[i - SHADER_PS_CBUFFER_BINDING_BASE];
            if (e) {
                VkxBuffer *b = vkx(e);
                VkcSlice *s = vkc_ring_current(&b->ring);
                vkc_ring_use(&vk, &b->ring);
                infos[i] = {s->buf, s->offset, b->bytes};
            } else {
                infos[i] = {vk.zero.buf, 0, VKC_ZERO_BYTES};
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
        vk.push_descriptors(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, vk.pipeline_layout, 0, 2, writes);
    }

    // SV_InstanceID must not include StartInstanceLocation, Vulkan's
    // InstanceIndex would: start the per-instance streams later instead.
    void bind_vertex_streams(VkCommandBuffer cmd, const ExecDraw &d) {
        for (uint32_t s = 0; s < EXEC_VERTEX_SLOTS; s++) {
            if (!(d.layout.slot_mask & (1u << s))) continue;
            const ExecStream &vb = d.streams[s];
            VkBuffer buf = vk.zero.buf;
            VkDeviceSize offset = 0, size = VKC_ZERO_BYTES;
            if (vb.buffer) {
                VkxBuffer *b = vkx(vb.buffer);
                VkcSlice *sl = vkc_ring_current(&b->ring);
                vkc_ring_use(&vk, &b->ring);
                buf = sl->buf;
                offset = sl->offset + vb.offset;
                if ((d.layout.instance_mask >> s) & 1u) offset += (VkDeviceSize)d.first_instance * vb.stride;
                // The binding ends where the Direct3D buffer ends, not where
                // its slice does; fetches past it read zero (robust_zero).
                const VkDeviceSize end = sl->offset + b->bytes;
                if (offset >= end) buf = vk.zero.buf, offset = 0; // wholly past the end reads zero
                else size = end - offset;
            }
            vkCmdBindVertexBuffers2(cmd, s, 1, &buf, &offset, &size, nullptr);
        }
    }

    void draw(const ExecDraw &d) override {
        VkxImage *target = vkx(d.target);
        VkxImage *depth = d.depth_target ? vkx(d.depth_target) : nullptr;
        if (vk.commands >= VKC_AUTO_SUBMIT_COMMANDS) vkc_submit(&vk, VK_NULL_HANDLE, 0, VK_NULL_HANDLE);

        VkcPipelineKey key;
        pipeline_key(d, target, depth, &key);
        VkPipeline pipeline = vkc_pipeline_find(&vk, key);
        if (!pipeline) {
            VkcPipelineDesc desc;
            pipeline_desc(d, key, &desc);
            pipeline = vkc_pipeline_add(&vk, key, desc);
        }
        if (!pipeline) return;
        vkc_begin_rendering(&vk, &target->image, depth ? &depth->image : nullptr);
        VkCommandBuffer cmd = vkc_cmd(&vk);
        if (vk.lost) return;
        if (pipeline != vk.bound_pipeline) {
            vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
            vk.bound_pipeline = pipeline;
        }
        // Negative height flips Vulkan's y-down clip space to Direct3D's y-up.
        const ExecViewport &v = d.viewport;
        VkViewport vp = {v.x, v.y + v.height, v.width, -v.height, v.min_depth, v.max_depth};
        vkCmdSetViewport(cmd, 0, 1, &vp);
        VkRect2D scissor = {{0, 0}, {target->image.width, target->image.height}};
        vkCmdSetScissor(cmd, 0, 1, &scissor);
        vkCmdSetBlendConstants(cmd, d.blend_factor);
        push_constant_buffers(cmd, d);
        bind_vertex_streams(cmd, d);
        vkCmdDraw(cmd, d.vertex_count, d.instance_count, d.first_vertex, 0);
    }

    void clear_color(ExecImage *target, const float rgba[4]) override {
        VkcImage *img = &vkx(target)->image;
        vkc_image_use(&vk, img, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
        VkCommandBuffer cmd = vkc_cmd(&vk);
        if (vk.lost) return;
        VkClearColorValue c;
        memcpy(c.float32, rgba, sizeof c.float32);
        VkImageSubresourceRange range = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
        vkCmdClearColorImage(cmd, img->img, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &c, 1, &range);
    }

    void clear_depth(ExecImage *depth, float value) override {
        VkcImage *img = &vkx(depth)->image;
        vkc_image_use(&vk, img, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
        VkCommandBuffer cmd = vkc_cmd(&vk);
        if (vk.lost) return;
        VkClearDepthStencilValue v = {value, 0};
        VkImageSubresourceRange range = {VK_IMAGE_ASPECT_DEPTH_BIT, 0, 1, 0, 1};
        vkCmdClearDepthStencilImage(cmd, img->img, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, &v, 1, &range);
    }

    void copy_image(ExecImage *dst_img, ExecImage *src_img) override {
        VkxImage *dst = vkx(dst_img), *src = vkx(src_img);
        const bool dst_staging = dst->is_staging, src_staging = src->is_staging;
        VkBufferImageCopy region{};
        region.imageSubresource = {dst_staging ? src->image.aspect : dst->image.aspect, 0, 0, 1};
        region.imageExtent = {dst->width, dst->height, 1};
        if (!dst_staging && !src_staging && dst->back_buffer) {
            // A frame's image on its way to the window: Present copies the
            // source into the swap-chain image itself, so it is copied once.
            vkc_copy_image_later(&vk, &src->image, &dst->image);
            return;
        }
        if (!dst_staging && !src_staging) {
            vkc_copy_image(&vk, &src->image, &dst->image);
            vkc_memory_barrier(&vk);
            return;
        }
        if (!src_staging) vkc_image_use(&vk, &src->image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL);
        if (!dst_staging) vkc_image_use(&vk, &dst->image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
        vkc_end_rendering(&vk);
        VkCommandBuffer cmd = vkc_cmd(&vk);
        if (vk.lost) return;
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
        if (dst_staging) dst->staging_seq = vk.next_seq;
        if (src_staging) src->staging_seq = vk.next_seq;
        vkc_memory_barrier(&vk); // later draws, copies and CPU reads see the result
    }

    void copy_buffer(ExecBuffer *dst_buf, ExecBuffer *src_buf) override {
        VkxBuffer *dst = vkx(dst_buf), *src = vkx(src_buf);
        VkcSlice *s = vkc_ring_current(&src->ring), *d = vkc_ring_current(&dst->ring);
        vkc_end_rendering(&vk);
        VkCommandBuffer cmd = vkc_cmd(&vk);
        if (vk.lost) return;
        VkBufferCopy c = {s->offset, d->offset, src->bytes};
        vkCmdCopyBuffer(cmd, s->buf, d->buf, 1, &c);
        vkc_ring_use(&vk, &src->ring);
        vkc_ring_use(&vk, &dst->ring);
        vkc_memory_barrier(&vk);
    }

    // The pass opens again at the next draw, on whatever is bound then.
    void targets_changed() override { vkc_end_rendering(&vk); }

    // D3D11_MAP_FLAG_DO_NOT_WAIT: S_OK only when the resource's last use (a
    // submission number) has finished. Work still being recorded is
    // submitted, so a host that polls gets there.
    HRESULT still_drawing(uint64_t use) {
        if (use <= vk.completed_seq) return S_OK;
        if (use >= vk.next_seq) {
            VkResult r = vkc_submit(&vk, VK_NULL_HANDLE, 0, VK_NULL_HANDLE);
            return r == VK_SUCCESS ? DXGI_ERROR_WAS_STILL_DRAWING : hr_from_vk(r);
        }
        vkc_poll(&vk);
        if (vk.lost) return DXGI_ERROR_DEVICE_REMOVED;
        return use <= vk.completed_seq ? S_OK : DXGI_ERROR_WAS_STILL_DRAWING;
    }

    HRESULT map_buffer(ExecBuffer *buf, D3D11_MAP type, bool dont_wait, void **data) override {
        VkxBuffer *b = vkx(buf);
        VkResult r = VK_SUCCESS;
        if (type == D3D11_MAP_WRITE_DISCARD) {
            r = vkc_ring_discard(&vk, &b->ring); // renames: never waits for the GPU
        } else if (b->usage == D3D11_USAGE_STAGING) {
            if (dont_wait) {
                HRESULT hr = still_drawing(vkc_ring_current(&b->ring)->seq);
                if (hr != S_OK) return hr;
            } else {
                r = vkc_finish(&vk);
            }
        }
        if (r != VK_SUCCESS) return hr_from_vk(r);
        *data = vkc_ring_current(&b->ring)->map;
        return S_OK;
    }

    HRESULT map_image(ExecImage *img, bool dont_wait, void **data, UINT *row_pitch) override {
        VkxImage *t = vkx(img);
        if (dont_wait) {
            HRESULT hr = still_drawing(t->staging_seq);
            if (hr != S_OK) return hr;
        } else {
            // The copies in and out of it are all the CPU has to wait for:
            // frames recorded after the last one stay in flight.
            VkResult r = vkc_wait(&vk, t->staging_seq);
            if (r != VK_SUCCESS) return hr_from_vk(r);
        }
        *data = t->staging.map;
        *row_pitch = t->row_pitch;
        return S_OK;
    }

    void flush() override { vkc_submit(&vk, VK_NULL_HANDLE, 0, VK_NULL_HANDLE); }

    HRESULT create_presenter(unsigned long window, ExecPresenter **out, uint32_t *w, uint32_t *h) override {
        VkxPresenter *p = new VkxPresenter;
        VkResult r = vkc_swapchain_create(&vk, window, true, &p->sc);
        HRESULT hr = S_OK;
        if (r == VK_ERROR_SURFACE_LOST_KHR) hr = DXGI_ERROR_INVALID_CALL; // no display or no such window
        else if (r != VK_SUCCESS) hr = hr_from_vk(r) == E_OUTOFMEMORY ? E_OUTOFMEMORY : E_FAIL;
        if (FAILED(hr)) {
            destroy_presenter(p); // takes apart what was made
            p = nullptr;
        } else {
            vkc_window_size(&p->sc, w, h);
        }
        *out = p;
        return hr;
    }

    void destroy_presenter(ExecPresenter *p) override {
        vkc_swapchain_destroy(&vk, &vkx(p)->sc);
        delete vkx(p);
    }

    void presenter_resized(ExecPresenter *p, uint32_t *w, uint32_t *h) override {
        vkx(p)->sc.stale = true; // the host's new size is the window's: rebuild and present at it
        vkc_window_size(&vkx(p)->sc, w, h);
    }

    HRESULT present(ExecPresenter *p, ExecImage *back, bool vsync) override {
        return hr_from_present(vkc_swapchain_present(&vk, &vkx(p)->sc, &vkx(back)->image, vsync));
    }
};

} // namespace

HRESULT vk_executor_create(bool gpu, Executor **out) {
    VkExecutor *e = new VkExecutor;
    VkResult r = vkc_init(&e->vk, gpu ? VKC_DEVICE_GPU : VKC_DEVICE_CPU);
    if (r != VK_SUCCESS) {
        delete e;
        *out = nullptr;
        return hr_from_vk(r);
    }
    *out = e;
    return S_OK;
}

VkcCore *vk_executor_core(Executor *e) {
    VkExecutor *v = dynamic_cast<VkExecutor *>(e);
    return v ? &v->vk : nullptr;
}

VkcRing *vk_executor_ring(ExecBuffer *b) { return &vkx(b)->ring; }
