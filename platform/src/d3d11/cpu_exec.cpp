// The front's hand-over to the CPU executor: the bound Direct3D state read
// into one SwDraw, and the few resource operations that touch pixels.
#include "d3d11/objects.h"

#include <halvenor/platform_test.h>

#include <atomic>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

bool cpu_executor_wanted(void) {
    const char *e = getenv("HALVENOR_EXECUTOR");
    return !e || strcmp(e, "vulkan") != 0;
}

int cpu_executor_threads(void) {
    const char *e = getenv("HALVENOR_THREADS");
    int n = e ? atoi(e) : 0;
    return n >= 1 && n <= 64 ? n : 0;
}

namespace {
std::atomic<unsigned long long> g_fragments{0}, g_vertex_ns{0};
}

void plat_cpu_executor_work(unsigned long long *fragments, unsigned long long *vertex_ns) {
    *fragments = g_fragments.load();
    *vertex_ns = g_vertex_ns.load();
}

void cpu_clear(Texture *t, const FLOAT rgba[4]) { sw_clear_color(&t->cpu, rgba); }

void cpu_copy_texture(Texture *dst, Texture *src) {
    const D3D11_TEXTURE2D_DESC &d = dst->desc, &s = src->desc;
    // Direct3D leaves mismatched copies undefined; doing nothing is the safe reading.
    if (d.Width != s.Width || d.Height != s.Height || d.Format != s.Format) return;
    for (UINT y = 0; y < d.Height; y++) memcpy(dst->cpu.row(y), src->cpu.row(y), (size_t)d.Width * 4);
}

namespace {

// What the executor's output merger does: replace, or ONE/ONE addition on
// colour and alpha. False for anything else.
bool blend_mode(const BlendState *b, SwBlend *out) {
    *out = SW_BLEND_REPLACE;
    if (!b) return true;
    const D3D11_RENDER_TARGET_BLEND_DESC &rt = b->desc.RenderTarget[0];
    if ((rt.RenderTargetWriteMask & 0xf) != D3D11_COLOR_WRITE_ENABLE_ALL) return false;
    if (!rt.BlendEnable) return true;
    if (rt.SrcBlend != D3D11_BLEND_ONE || rt.DestBlend != D3D11_BLEND_ONE || rt.BlendOp != D3D11_BLEND_OP_ADD ||
        rt.SrcBlendAlpha != D3D11_BLEND_ONE || rt.DestBlendAlpha != D3D11_BLEND_ONE || rt.BlendOpAlpha != D3D11_BLEND_OP_ADD)
        return false;
    *out = SW_BLEND_ADD;
    return true;
}

void say_once(bool *said, const char *what) {
    if (*said) return;
    *said = true;
    fprintf(stderr, "halvenor: the CPU executor skips draws with %s\n", what);
}

} // namespace

void cpu_draw(Context *c, UINT vertices, UINT instances, UINT first_vertex, UINT first_instance) {
    static bool said_blend = false, said_topology = false, said_fill = false;
    const ContextState &st = c->st;
    SwDraw d;
    switch (st.topology) {
    case D3D11_PRIMITIVE_TOPOLOGY_LINELIST: d.topology = SW_LINE_LIST; break;
    case D3D11_PRIMITIVE_TOPOLOGY_LINESTRIP: d.topology = SW_LINE_STRIP; break;
    case D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST: d.topology = SW_TRIANGLE_LIST; break;
    case D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP: d.topology = SW_TRIANGLE_STRIP; break;
    default: return say_once(&said_topology, "point lists");
    }
    if (!blend_mode(st.blend, &d.blend)) return say_once(&said_blend, "blending other than ONE/ONE addition");
    if (st.raster && st.raster->desc.FillMode != D3D11_FILL_SOLID) return say_once(&said_fill, "wireframe fill");
    d.vs = &st.vs->prog.cpu;
    d.ps = &st.ps->prog.cpu;
    SwVertexElement elements[16];
    if (st.layout) {
        for (const LayoutElement &e : st.layout->elements)
            elements[d.element_count++] = {e.location, e.slot, e.dxgi_format, e.offset, e.per_instance != 0};
        for (uint32_t s = 0; s < 16; s++) {
            const VertexBinding &vb = st.vb[s];
            if (!vb.buffer) continue;
            d.streams[s] = {vb.buffer->cpu.data(), vb.buffer->desc.ByteWidth, vb.stride, vb.offset};
        }
    }
    d.elements = elements;
    for (uint32_t i = 0; i < SW_CBUFFER_SLOTS; i++) {
        if (const Buffer *b = st.vs_cb[i]) d.vs_cb[i] = b->cpu.data(), d.vs_cb_size[i] = b->desc.ByteWidth;
        if (const Buffer *b = st.ps_cb[i]) d.ps_cb[i] = b->cpu.data(), d.ps_cb_size[i] = b->desc.ByteWidth;
    }
    const D3D11_VIEWPORT &v = st.viewport;
    d.viewport = {v.TopLeftX, v.TopLeftY, v.Width, v.Height, v.MinDepth, v.MaxDepth};
    // No state object means the Direct3D defaults: back faces culled, clockwise front, depth clip on.
    D3D11_CULL_MODE cull = st.raster ? st.raster->desc.CullMode : D3D11_CULL_BACK;
    d.cull = cull == D3D11_CULL_NONE ? SW_CULL_NONE : cull == D3D11_CULL_FRONT ? SW_CULL_FRONT : SW_CULL_BACK;
    d.front_ccw = st.raster && st.raster->desc.FrontCounterClockwise;
    d.depth_clip = !st.raster || st.raster->desc.DepthClipEnable;
    d.target = &st.rtv->texture->cpu;
    // Without a depth view there is no depth test, whatever the state says;
    // without a state, Direct3D's defaults: LESS, with writes.
    if (st.dsv) {
        d.depth = &st.dsv->texture->cpu;
        d.depth_test = !st.depth || st.depth->desc.DepthEnable;
        d.depth_write = d.depth_test && (!st.depth || st.depth->desc.DepthWriteMask == D3D11_DEPTH_WRITE_MASK_ALL);
        d.depth_func = st.depth ? (uint32_t)st.depth->desc.DepthFunc : (uint32_t)D3D11_COMPARISON_LESS;
    }
    d.vertex_count = vertices;
    d.instance_count = instances;
    d.first_vertex = first_vertex;
    d.first_instance = first_instance;
    SwStats before = sw_device_stats(c->device->cpu);
    sw_draw(c->device->cpu, &d);
    SwStats after = sw_device_stats(c->device->cpu);
    g_fragments += after.fragments - before.fragments;
    g_vertex_ns += after.vertex_ns - before.vertex_ns;
}
