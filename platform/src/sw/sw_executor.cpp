// The CPU executor behind the front's executor interface: buffers and images
// are plain memory, programs are translated once at creation, each finished
// draw becomes one SwDraw and runs to completion before draw returns, and
// windows are shown through XCB (sw_present). Nothing is ever queued, so
// maps never wait; the device is lost only when a draw runs out of memory.
#include "common/executor.h"
#include "common/host_memory.h"
#include "sw/sw_device.h"
#include "sw/sw_present.h"

#include <halvenor/platform_test.h>

#include <atomic>
#include <memory>
#include <new>

#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

// Work done by every CPU executor in the process, for the benchmarks.
std::atomic<unsigned long long> g_fragments{0}, g_vertex_ns{0}, g_bin_peak{0}, g_bin_cap{0};

struct SwxBuffer : ExecBuffer {
    HostBytes bytes; // draws finish before they return: one copy serves every discard
};

struct SwxImage : ExecImage {
    SwImage img;       // pixels; rows of row_pitch bytes when STAGING
    UINT row_pitch = 0; // STAGING only
};

struct SwxProgram : ExecProgram {
    SwProgram prog;
};

struct SwxPresenter : ExecPresenter {
    SwPresenter p;
};

SwxBuffer *swx(ExecBuffer *b) { return static_cast<SwxBuffer *>(b); }
SwxImage *swx(ExecImage *i) { return static_cast<SwxImage *>(i); }
const SwxProgram *swx(const ExecProgram *p) { return static_cast<const SwxProgram *>(p); }
SwxPresenter *swx(ExecPresenter *p) { return static_cast<SwxPresenter *>(p); }

// Draws on several devices may come from several threads.
void say_once(std::atomic<bool> *said, const char *what) {
    if (said->exchange(true)) return;
    fprintf(stderr, "halvenor: the CPU executor skips draws with %s\n", what);
}

// What the output merger does: replace, or ONE/ONE addition on colour and
// alpha. False for anything else.
bool sw_blend(const ExecBlend &b, SwBlend *out) {
    *out = SW_BLEND_REPLACE;
    if ((b.write_mask & 0xf) != D3D11_COLOR_WRITE_ENABLE_ALL) return false;
    if (!b.enable) return true;
    if (b.src != D3D11_BLEND_ONE || b.dst != D3D11_BLEND_ONE || b.op != D3D11_BLEND_OP_ADD ||
        b.src_alpha != D3D11_BLEND_ONE || b.dst_alpha != D3D11_BLEND_ONE || b.op_alpha != D3D11_BLEND_OP_ADD)
        return false;
    *out = SW_BLEND_ADD;
    return true;
}

bool sw_topology(D3D11_PRIMITIVE_TOPOLOGY t, SwTopology *out) {
    switch (t) {
    case D3D11_PRIMITIVE_TOPOLOGY_LINELIST: *out = SW_LINE_LIST; return true;
    case D3D11_PRIMITIVE_TOPOLOGY_LINESTRIP: *out = SW_LINE_STRIP; return true;
    case D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST: *out = SW_TRIANGLE_LIST; return true;
    case D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP: *out = SW_TRIANGLE_STRIP; return true;
    default: return false;
    }
}

// The finished draw as the rasterizer takes it, field by field: fields SwDraw
// gains keep their defaults until they are set here. elements holds the
// layout's elements (EXEC_MAX_ELEMENTS). False, with a note on stderr once,
// for what the rasterizer does not do.
bool to_sw_draw(const ExecDraw &d, SwVertexElement *elements, SwDraw *out) {
    static std::atomic<bool> said_blend{false}, said_topology{false}, said_fill{false};
    SwDraw &s = *out;
    if (!sw_topology(d.topology, &s.topology)) return say_once(&said_topology, "point lists"), false;
    if (!sw_blend(d.blend, &s.blend)) return say_once(&said_blend, "blending other than ONE/ONE addition"), false;
    if (d.raster.fill != D3D11_FILL_SOLID) return say_once(&said_fill, "wireframe fill"), false;
    s.vs = &swx(d.vs)->prog;
    s.ps = &swx(d.ps)->prog;
    // An element past the slots or past the program's input locations
    // feeds nothing the program reads: left out.
    static_assert(SW_VERTEX_SLOTS >= EXEC_VERTEX_SLOTS, "every slot the front takes");
    const uint32_t locations = sizeof s.vs->inputs / sizeof s.vs->inputs[0];
    for (uint32_t i = 0; i < d.layout.count && i < EXEC_MAX_ELEMENTS; i++) {
        const ExecInputElement &e = d.layout.elements[i];
        if (e.slot >= SW_VERTEX_SLOTS || e.location >= locations) continue;
        elements[s.element_count++] = {e.location, e.slot, e.dxgi_format, e.offset, e.per_instance != 0};
    }
    s.elements = elements;
    for (uint32_t slot = 0; slot < EXEC_VERTEX_SLOTS; slot++) {
        const ExecStream &vb = d.streams[slot];
        if (!(d.layout.slot_mask & (1u << slot)) || !vb.buffer) continue;
        const HostBytes &bytes = swx(vb.buffer)->bytes;
        s.streams[slot] = {bytes.data(), (uint32_t)bytes.size(), vb.stride, vb.offset};
    }
    for (uint32_t i = 0; i < SW_CBUFFER_SLOTS; i++) {
        if (ExecBuffer *b = d.vs_cb[i]) s.vs_cb[i] = swx(b)->bytes.data(), s.vs_cb_size[i] = (uint32_t)swx(b)->bytes.size();
        if (ExecBuffer *b = d.ps_cb[i]) s.ps_cb[i] = swx(b)->bytes.data(), s.ps_cb_size[i] = (uint32_t)swx(b)->bytes.size();
    }
    const ExecViewport &v = d.viewport;
    s.viewport = {v.x, v.y, v.width, v.height, v.min_depth, v.max_depth};
    s.cull = d.raster.cull == D3D11_CULL_NONE ? SW_CULL_NONE : d.raster.cull == D3D11_CULL_FRONT ? SW_CULL_FRONT : SW_CULL_BACK;
    s.front_ccw = d.raster.front_ccw != 0;
    s.depth_clip = d.raster.depth_clip != 0;
    s.target = &swx(d.target)->img;
    if (d.depth_target) {
        s.depth = &swx(d.depth_target)->img;
        s.depth_test = d.depth.test != 0;
        s.depth_write = d.depth.write != 0;
        s.depth_func = d.depth.func;
    }
    s.vertex_count = d.vertex_count;
    s.instance_count = d.instance_count;
    s.first_vertex = d.first_vertex;
    s.first_instance = d.first_instance;
    return true;
}

struct SwExecutor final : Executor {
    SwDevice *dev = nullptr;

    ~SwExecutor() override {
        if (dev) sw_device_destroy(dev);
    }

    // Set by a draw that ran out of memory: its picture is incomplete, so
    // the device is as good as removed, as a GPU's would be.
    bool out_of_memory = false;

    bool lost() override { return out_of_memory; }
    HRESULT lost_reason() override { return out_of_memory ? E_OUTOFMEMORY : DXGI_ERROR_DEVICE_REMOVED; }

    HRESULT create_buffer(const D3D11_BUFFER_DESC &desc, const void *init, ExecBuffer **out) override {
        SwxBuffer *b = new SwxBuffer;
        if (!host_bytes_alloc(&b->bytes, desc.ByteWidth, init)) {
            delete b;
            *out = nullptr;
            return E_OUTOFMEMORY;
        }
        *out = b;
        return S_OK;
    }

    void destroy_buffer(ExecBuffer *b) override { delete swx(b); }

    HRESULT create_image(const D3D11_TEXTURE2D_DESC &desc, const D3D11_SUBRESOURCE_DATA *init, bool,
                         ExecImage **out) override {
        SwFormat f = desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM ? SW_FORMAT_BGRA8
                     : desc.Format == DXGI_FORMAT_D32_FLOAT     ? SW_FORMAT_D32
                                                                : SW_FORMAT_RGBA8;
        SwxImage *t = new SwxImage;
        if (!sw_image_init(&t->img, desc.Width, desc.Height, f)) {
            delete t;
            *out = nullptr;
            return E_OUTOFMEMORY;
        }
        if (desc.Usage == D3D11_USAGE_STAGING) {
            // Rows padded to 256 bytes, as real drivers lay out readback memory.
            t->row_pitch = (desc.Width * 4 + 255) & ~255u;
            t->img.pitch = t->row_pitch;
            if (!host_bytes_alloc(&t->img.bytes, (size_t)t->row_pitch * desc.Height, nullptr)) {
                delete t;
                *out = nullptr;
                return E_OUTOFMEMORY;
            }
        }
        if (init)
            for (UINT y = 0; y < desc.Height; y++)
                memcpy(t->img.row(y), (const uint8_t *)init->pSysMem + (size_t)y * init->SysMemPitch, desc.Width * 4);
        *out = t;
        return S_OK;
    }

    void destroy_image(ExecImage *img) override { delete swx(img); }

    HRESULT create_program(ExecStage stage, const uint32_t *spirv, uint32_t words, const char *,
                           ExecProgram **out) override {
        *out = nullptr;
        const char *kind = stage == EXEC_STAGE_VERTEX ? "vertex" : "pixel";
        std::unique_ptr<SwxProgram> p;
        std::string why;
        bool translated;
        try {
            p.reset(new SwxProgram);
            translated = sw_program_translate(spirv, words, stage == EXEC_STAGE_VERTEX ? SW_STAGE_VERTEX : SW_STAGE_PIXEL,
                                              &p->prog, &why);
        } catch (const std::bad_alloc &) {
            fprintf(stderr, "halvenor: out of memory translating a %s program for the CPU executor\n", kind);
            return E_OUTOFMEMORY;
        }
        if (translated) {
            *out = p.release();
            return S_OK;
        }
        // No message channel but the debug output: say why on stderr.
        fprintf(stderr, "halvenor: the CPU executor cannot run this %s program: %s\n", kind, why.c_str());
        return E_INVALIDARG;
    }

    void destroy_program(ExecProgram *p) override { delete static_cast<SwxProgram *>(p); }

    void draw(const ExecDraw &d) override {
        SwDraw s;
        SwVertexElement elements[EXEC_MAX_ELEMENTS];
        if (!to_sw_draw(d, elements, &s)) return;
        SwStats before = sw_device_stats(dev);
        if (out_of_memory) return;
        sw_device_set_bin_cap(dev, g_bin_cap.load());
        if (!sw_draw(dev, &s)) out_of_memory = true;
        SwStats after = sw_device_stats(dev);
        g_fragments += after.fragments - before.fragments;
        g_vertex_ns += after.vertex_ns - before.vertex_ns;
        for (unsigned long long was = g_bin_peak.load(); after.bin_bytes > was;)
            if (g_bin_peak.compare_exchange_weak(was, after.bin_bytes)) break;
    }

    void clear_color(ExecImage *target, const float rgba[4]) override { sw_clear_color(dev, &swx(target)->img, rgba); }
    void clear_depth(ExecImage *depth, float value) override { sw_clear_depth(dev, &swx(depth)->img, value); }

    void copy_image(ExecImage *dst, ExecImage *src) override {
        sw_copy_image(dev, &swx(dst)->img, &swx(src)->img);
    }

    void copy_buffer(ExecBuffer *dst, ExecBuffer *src) override {
        memcpy(swx(dst)->bytes.data(), swx(src)->bytes.data(), swx(dst)->bytes.size());
    }

    void targets_changed() override {} // nothing is recorded against them

    // Every draw and copy has finished: the memory is the resource.
    HRESULT map_buffer(ExecBuffer *b, D3D11_MAP, bool, void **data) override {
        *data = swx(b)->bytes.data();
        return S_OK;
    }

    HRESULT map_image(ExecImage *img, bool, void **data, UINT *row_pitch) override {
        *data = swx(img)->img.bytes.data();
        *row_pitch = swx(img)->row_pitch;
        return S_OK;
    }

    void flush() override {} // nothing is ever queued

    HRESULT create_presenter(unsigned long window, ExecPresenter **out, uint32_t *w, uint32_t *h) override {
        SwxPresenter *p = new SwxPresenter;
        if (!sw_present_init(&p->p, window)) { // no display or no such window
            destroy_presenter(p);
            *out = nullptr;
            return DXGI_ERROR_INVALID_CALL;
        }
        *w = p->p.win_width;
        *h = p->p.win_height;
        *out = p;
        return S_OK;
    }

    void destroy_presenter(ExecPresenter *p) override {
        sw_present_release(&swx(p)->p);
        delete swx(p);
    }

    void presenter_resized(ExecPresenter *p, uint32_t *w, uint32_t *h) override {
        sw_present_window_size(&swx(p)->p, w, h);
    }

    HRESULT present(ExecPresenter *p, ExecImage *back, bool vsync) override {
        return sw_present(&swx(p)->p, &swx(back)->img, vsync) ? S_OK : E_FAIL;
    }
};

} // namespace

HRESULT sw_executor_create(int threads, Executor **out) {
    SwExecutor *e = new SwExecutor;
    e->dev = sw_device_create(threads);
    if (!e->dev) {
        delete e;
        *out = nullptr;
        return E_OUTOFMEMORY;
    }
    *out = e;
    return S_OK;
}

void plat_cpu_executor_work(unsigned long long *fragments, unsigned long long *vertex_ns) {
    *fragments = g_fragments.load();
    *vertex_ns = g_vertex_ns.load();
}

unsigned long long plat_cpu_executor_bin_peak(int reset) { return reset ? g_bin_peak.exchange(0) : g_bin_peak.load(); }

void plat_cpu_executor_bin_cap(unsigned long long bytes) { g_bin_cap.store(bytes); }
