// Engine creation, release and destroy.
#include <stdlib.h>
#include <string.h>

#include "engine/engine.h"
#include "content/content.h"
#include "frame/frame.h"
#include "gpu/gpu.h"

void engine_init_defaults(Engine *e) {
    // A host that creates over a live engine would otherwise leak every
    // object it holds; release it first. The surviving readback buffer of a
    // destroyed engine is freed here too, so each engine starts without one.
    release_all(e);
    free(e->readback_buf);
    memset(e, 0, sizeof *e);
    e->quality = 1;
    e->time_scale = 1.0f;
    e->cam_yaw = 0.5f;
    e->cam_pitch = 0.42f;
    e->cam_dist = 300.0f;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    e->last_counter = now.QuadPart;
}

static HRESULT create_device(Engine *e, D3D_DRIVER_TYPE type) {
    static const D3D_FEATURE_LEVEL lvls[2] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    return D3D11CreateDevice(nullptr, type, nullptr, 0, lvls, 2, D3D11_SDK_VERSION, &e->device,
                             nullptr, nullptr);
}

// A zero-filled CPU array of n quad records and its dynamic vertex buffer.
static int make_instance_set(Engine *e, int n, const char *what, QuadInstance **array,
                             ID3D11Buffer **vb) {
    *array = (QuadInstance *)calloc((size_t)n, sizeof(QuadInstance));
    if (!*array) {
        // Every frame writes these arrays; an engine without them cannot run.
        set_error("out of memory (%s)", what);
        return -1;
    }
    return make_buffer_dyn(e->device, n * (int)sizeof(QuadInstance), D3D11_BIND_VERTEX_BUFFER, vb) == 0 ? 0 : -1;
}

static int create_pipeline(Engine *e) {
    if (create_programs(e) != 0) return -1;
    if (create_layouts(e) != 0) return -1;
    if (create_states(e) != 0) return -1;
    if (make_buffer_dyn(e->device, 256, D3D11_BIND_CONSTANT_BUFFER, &e->cb_globals) != 0) return -1;
    if (make_buffer_dyn(e->device, 16, D3D11_BIND_CONSTANT_BUFFER, &e->cb_params) != 0) return -1;
    if (build_render_target(e, e->width, e->height) != 0) return -1;
    e->body_count = 10;
    if (make_instance_set(e, 10, "bodies", &e->bodies, &e->bodies_vb) != 0) return -1;
    e->glow_count = 10;
    if (make_instance_set(e, 10, "glows", &e->glows, &e->glow_vb) != 0) return -1;
    e->ring_count = 4;
    if (make_instance_set(e, 4, "rings", &e->rings, &e->ring_vb) != 0) return -1;
    return 0;
}

int create_common(Engine *e, int offscreen) {
    if (offscreen) {
        HRESULT hr = create_device(e, D3D_DRIVER_TYPE_WARP);
        if (FAILED(hr)) {
            set_error("D3D11CreateDevice(WARP) failed: 0x%08lX", hr_code(hr));
            return -1;
        }
    } else {
        HRESULT hr = create_device(e, D3D_DRIVER_TYPE_HARDWARE);
        if (FAILED(hr)) hr = create_device(e, D3D_DRIVER_TYPE_REFERENCE);
        if (FAILED(hr)) {
            set_error("D3D11CreateDevice failed: 0x%08lX", hr_code(hr));
            return -1;
        }
    }
    e->device->GetImmediateContext(&e->context);
    if (!e->context) {
        release_all(e);
        return -1;
    }
    if (create_pipeline(e) != 0) {
        release_all(e);
        return -1;
    }
    engine_rebuild_stars(e);
    engine_rebuild_belt(e);
    engine_rebuild_galaxy(e);
    engine_rebuild_disk(e);
    engine_rebuild_rocks(e);
    engine_build_orbit_lines(e);
    engine_warm_pipelines(e);
    return 0;
}

int engine_create_offscreen(Engine *e, int width, int height) {
    engine_init_defaults(e);
    e->width = width;
    e->height = height;
    e->offscreen = 1;
    if (create_common(e, 1) != 0) return -1;
    clear_error();
    e->created = 1;
    return 0;
}

// The swap chain for the host's window, through the device's DXGI factory.
static HRESULT create_swap_chain(Engine *e, HWND window) {
    IDXGIDevice1 *dxgi_device = nullptr;
    IDXGIAdapter *adapter = nullptr;
    IDXGIFactory2 *factory = nullptr;
    HRESULT hr = E_FAIL;
    if (SUCCEEDED(e->device->QueryInterface(IID_IDXGIDevice1, (void **)&dxgi_device)) &&
        SUCCEEDED(dxgi_device->GetAdapter(&adapter))) {
        hr = adapter->GetParent(IID_IDXGIFactory2, (void **)&factory);
    }
    if (SUCCEEDED(hr) && factory) {
        DXGI_SWAP_CHAIN_DESC1 desc;
        memset(&desc, 0, sizeof desc);
        desc.Width = (UINT)e->width;
        desc.Height = (UINT)e->height;
        desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM; // the render texture's, for whole-resource copies
        desc.Stereo = FALSE;
        desc.SampleDesc.Count = 1;
        desc.SampleDesc.Quality = 0;
        desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
        desc.BufferCount = 2;
        desc.Scaling = DXGI_SCALING_STRETCH;
        desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
        desc.AlphaMode = DXGI_ALPHA_MODE_UNSPECIFIED;
        desc.Flags = 0;
        hr = factory->CreateSwapChainForHwnd(e->device, window, &desc, nullptr, nullptr, &e->swap_chain);
    }
    safe_release(factory);
    safe_release(adapter);
    safe_release(dxgi_device);
    return hr;
}

int engine_create(Engine *e, HWND window, int width, int height) {
    engine_init_defaults(e);
    e->width = width;
    e->height = height;
    e->offscreen = 0;
    if (create_common(e, 0) != 0) return -1;
    HRESULT hr = create_swap_chain(e, window);
    if (FAILED(hr) || !e->swap_chain) {
        release_all(e);
        set_error("CreateSwapChainForHwnd failed: 0x%08lX", hr_code(hr));
        return -1;
    }
    clear_error();
    e->created = 1;
    return 0;
}

void release_all(Engine *e) {
    safe_release(e->stars_vb);
    free(e->stars);
    e->stars = nullptr;
    safe_release(e->belt_vb);
    free(e->belt);
    e->belt = nullptr;
    safe_release(e->bodies_vb);
    free(e->bodies);
    e->bodies = nullptr;
    safe_release(e->glow_vb);
    free(e->glows);
    e->glows = nullptr;
    safe_release(e->ring_vb);
    free(e->rings);
    e->rings = nullptr;
    safe_release(e->galaxy_vb);
    safe_release(e->disk_vb);
    safe_release(e->rock_mesh_vb);
    safe_release(e->rock_inst_vb);
    free(e->rocks);
    e->rocks = nullptr;
    safe_release(e->lines_vb);

    e->disk_count = 0;
    e->galaxy_count = 0;
    e->belt_count = 0;
    e->star_count = 0;
    e->line_vertex_count = 0;
    e->rock_count = 0;

    safe_release(e->cb_globals);
    safe_release(e->cb_params);

    safe_release(e->vs_quad);
    safe_release(e->vs_par);
    safe_release(e->vs_disk);
    safe_release(e->vs_rock);
    safe_release(e->vs_line);
    safe_release(e->ps_quad);
    safe_release(e->ps_par);
    safe_release(e->ps_disk);
    safe_release(e->ps_flat);
    safe_release(e->il_quad);
    safe_release(e->il_par);
    safe_release(e->il_rock);
    safe_release(e->il_line);
    safe_release(e->blend_add);
    safe_release(e->raster);
    safe_release(e->depth_less);

    safe_release(e->rtv);
    safe_release(e->dsv);
    safe_release(e->depth_tex);
    safe_release(e->staging_tex);
    safe_release(e->render_tex);
    safe_release(e->swap_chain);

    safe_release(e->context);
    safe_release(e->device);
    e->created = 0;
}

void engine_destroy(Engine *e) {
    release_all(e);
    clear_error();
}
