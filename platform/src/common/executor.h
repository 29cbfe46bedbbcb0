// The boundary between the Direct3D 11 front (d3d11/: COM objects, argument
// validation, bound state, failure codes) and what executes the work: the
// Vulkan core (vk/) or the CPU rasterizer (sw/). A device picks its executor
// once, when it is created; the front then holds only the opaque handles
// below and hands each draw over finished, as one record of resolved state.
//
// An abstract struct rather than a table of function pointers: each executor
// keeps its own state in the object that implements it, without casts from
// void pointers. Handles are empty bases; each executor derives its own
// record from them and is the only one that looks inside.
#pragma once
#include "d3d11.h"

#include "common/hooks.h"

#include <stdint.h>

// Every handle counts itself among the live platform objects, so a front
// object released without its executor resource shows as a leak in the
// tests of either executor.
struct ExecHandle {
    ExecHandle() { hook_live_add(1); }
    ExecHandle(const ExecHandle &) = delete;
    ExecHandle &operator=(const ExecHandle &) = delete;
    ~ExecHandle() { hook_live_add(-1); }
};
struct ExecBuffer : ExecHandle {};
struct ExecImage : ExecHandle {};
struct ExecProgram : ExecHandle {};
struct ExecPresenter : ExecHandle {};

enum { EXEC_VERTEX_SLOTS = D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT,
       EXEC_CBUFFER_SLOTS = D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT,
       EXEC_MAX_ELEMENTS = 16 };

// One vertex attribute the vertex program reads.
struct ExecInputElement {
    uint32_t location, slot, dxgi_format, offset, per_instance;
};

// An input layout: its elements, the slots they read, and an id that is the
// same for the same layout object, for executors that cache by layout.
struct ExecInputLayout {
    const ExecInputElement *elements = nullptr;
    uint32_t count = 0;
    uint32_t slot_mask = 0, instance_mask = 0;
    uint64_t id = 0; // 0: no layout
};

// A bound vertex buffer; a null buffer reads zero.
struct ExecStream {
    ExecBuffer *buffer = nullptr;
    uint32_t stride = 0, offset = 0;
};

// Fixed-function state as plain Direct3D 11 values, small enough to be part
// of a cache key as they are. The defaults are Direct3D's while no state
// object is bound.
struct ExecBlend {
    uint8_t enable = 0;
    uint8_t src = D3D11_BLEND_ONE, dst = D3D11_BLEND_ZERO, op = D3D11_BLEND_OP_ADD;
    uint8_t src_alpha = D3D11_BLEND_ONE, dst_alpha = D3D11_BLEND_ZERO, op_alpha = D3D11_BLEND_OP_ADD;
    uint8_t write_mask = D3D11_COLOR_WRITE_ENABLE_ALL;
};

struct ExecRaster {
    uint8_t fill = D3D11_FILL_SOLID;
    uint8_t cull = D3D11_CULL_BACK;
    uint8_t front_ccw = 0;
    uint8_t depth_clip = 1;
};

// The depth test as it applies to this draw: all off without a depth target.
struct ExecDepth {
    uint8_t test = 0, write = 0;
    uint8_t func = D3D11_COMPARISON_LESS;
    uint8_t pad = 0;
};

struct ExecViewport {
    float x, y, width, height, min_depth, max_depth;
};

// A draw the front has checked: programs, target and a viewport with area
// are present, the topology is a list or strip, every input the vertex
// program reads has a layout element, and the depth target (when there is
// one) has the size of the colour target.
struct ExecDraw {
    const ExecProgram *vs = nullptr, *ps = nullptr;
    ExecInputLayout layout;
    ExecStream streams[EXEC_VERTEX_SLOTS];
    ExecBuffer *vs_cb[EXEC_CBUFFER_SLOTS] = {}; // null: unbound, reads zero
    ExecBuffer *ps_cb[EXEC_CBUFFER_SLOTS] = {};
    D3D11_PRIMITIVE_TOPOLOGY topology = D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST;
    ExecViewport viewport = {};
    ExecRaster raster;
    ExecBlend blend;
    float blend_factor[4] = {1, 1, 1, 1};
    ExecDepth depth;
    ExecImage *target = nullptr;
    ExecImage *depth_target = nullptr;
    uint32_t vertex_count = 0, instance_count = 1, first_vertex = 0, first_instance = 0;
};

enum ExecStage { EXEC_STAGE_VERTEX, EXEC_STAGE_PIXEL };

// Every call that can fail returns the HRESULT Direct3D would give and
// creates nothing on failure. Arguments have been validated by the front.
struct Executor {
    virtual ~Executor() = default;

    // A lost device: every later use fails as a removed device.
    virtual bool lost() = 0;
    // Why it was lost, for GetDeviceRemovedReason: E_OUTOFMEMORY when the
    // executor could not get the memory a draw needed.
    virtual HRESULT lost_reason() { return DXGI_ERROR_DEVICE_REMOVED; }

    // A buffer of desc.ByteWidth bytes holding init (zeros when null).
    virtual HRESULT create_buffer(const D3D11_BUFFER_DESC &desc, const void *init, ExecBuffer **out) = 0;
    virtual void destroy_buffer(ExecBuffer *b) = 0;
    // A texture (DEFAULT: a target or depth image; STAGING: CPU-visible
    // rows) holding init when given. Back buffers are the swap chain's.
    virtual HRESULT create_image(const D3D11_TEXTURE2D_DESC &desc, const D3D11_SUBRESOURCE_DATA *init,
                                 bool back_buffer, ExecImage **out) = 0;
    virtual void destroy_image(ExecImage *img) = 0;
    // A program from the SPIR-V our D3DCompile wrote; entry names its entry point.
    virtual HRESULT create_program(ExecStage stage, const uint32_t *spirv, uint32_t words, const char *entry,
                                   ExecProgram **out) = 0;
    virtual void destroy_program(ExecProgram *p) = 0;

    virtual void draw(const ExecDraw &d) = 0;
    virtual void clear_color(ExecImage *target, const float rgba[4]) = 0;
    virtual void clear_depth(ExecImage *depth, float value) = 0; // value already clamped to 0..1
    // Same size and format, checked by the front; either side may be staging.
    virtual void copy_image(ExecImage *dst, ExecImage *src) = 0;
    virtual void copy_buffer(ExecBuffer *dst, ExecBuffer *src) = 0; // same size
    // The bound render targets changed: work recorded against the old ones can close.
    virtual void targets_changed() = 0;
    // CPU access to a buffer or staging texture; the front has checked that
    // the resource's usage admits type. dont_wait: D3D11_MAP_FLAG_DO_NOT_WAIT.
    virtual HRESULT map_buffer(ExecBuffer *b, D3D11_MAP type, bool dont_wait, void **data) = 0;
    virtual HRESULT map_image(ExecImage *img, bool dont_wait, void **data, UINT *row_pitch) = 0;
    virtual void flush() = 0;

    // Window presentation. DXGI_ERROR_INVALID_CALL: no display or no such window.
    virtual HRESULT create_presenter(unsigned long window, ExecPresenter **out, uint32_t *win_w, uint32_t *win_h) = 0;
    virtual void destroy_presenter(ExecPresenter *p) = 0;
    // The host resized the back buffers: present at the window's size from
    // now on. *w and *h get the window's size (0 when unknown).
    virtual void presenter_resized(ExecPresenter *p, uint32_t *w, uint32_t *h) = 0;
    virtual HRESULT present(ExecPresenter *p, ExecImage *back, bool vsync) = 0;
};

// The executors (vk/vk_executor.cpp, sw/sw_executor.cpp). gpu: a hardware
// device; otherwise lavapipe. threads: the CPU executor's workers, 0 for one
// per core.
HRESULT vk_executor_create(bool gpu, Executor **out);
HRESULT sw_executor_create(int threads, Executor **out);
