// The render texture every frame is drawn into, its view, the staging copy
// used for capture, resize, and the present step of a windowed engine.
#include <string.h>

#include "engine/engine.h"

static void texture_desc(D3D11_TEXTURE2D_DESC *d, int width, int height) {
    memset(d, 0, sizeof *d);
    d->Width = (UINT)width;
    d->Height = (UINT)height;
    d->MipLevels = 1;
    d->ArraySize = 1;
    d->Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    d->SampleDesc.Count = 1;
    d->SampleDesc.Quality = 0;
}

int build_render_target(Engine *e, int width, int height) {
    D3D11_TEXTURE2D_DESC d;
    texture_desc(&d, width, height);
    d.Usage = D3D11_USAGE_DEFAULT;
    d.BindFlags = D3D11_BIND_RENDER_TARGET;
    if (FAILED(e->device->CreateTexture2D(&d, nullptr, &e->render_tex))) {
        set_error("CreateTexture2D(render) failed");
        return -1;
    }
    if (FAILED(e->device->CreateRenderTargetView(e->render_tex, nullptr, &e->rtv))) {
        set_error("CreateRenderTargetView(render) failed");
        return -1;
    }
    // Only the rocks test depth: a solid mesh must hide its own far side
    // and the rocks behind it. Every other draw is ordered by the frame.
    texture_desc(&d, width, height);
    d.Format = DXGI_FORMAT_D32_FLOAT;
    d.Usage = D3D11_USAGE_DEFAULT;
    d.BindFlags = D3D11_BIND_DEPTH_STENCIL;
    if (FAILED(e->device->CreateTexture2D(&d, nullptr, &e->depth_tex))) {
        set_error("CreateTexture2D(depth) failed");
        return -1;
    }
    if (FAILED(e->device->CreateDepthStencilView(e->depth_tex, nullptr, &e->dsv))) {
        set_error("CreateDepthStencilView(depth) failed");
        return -1;
    }
    texture_desc(&d, width, height);
    d.Usage = D3D11_USAGE_STAGING;
    d.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    if (FAILED(e->device->CreateTexture2D(&d, nullptr, &e->staging_tex))) {
        set_error("CreateTexture2D(staging) failed");
        return -1;
    }
    return 0;
}

void engine_resize(Engine *e, int width, int height) {
    if (!e->created || width < 2 || height < 2) return;
    e->width = width;
    e->height = height;
    safe_release(e->rtv);
    safe_release(e->dsv);
    safe_release(e->depth_tex);
    safe_release(e->staging_tex);
    safe_release(e->render_tex);
    // A failure leaves its message and the missing objects null; the engine
    // stays created and capture reports the gap.
    build_render_target(e, width, height);
    if (e->swap_chain)
        e->swap_chain->ResizeBuffers(0, (UINT)width, (UINT)height, DXGI_FORMAT_R8G8B8A8_UNORM, 0);
}

static bool same_size(ID3D11Texture2D *a, ID3D11Texture2D *b) {
    D3D11_TEXTURE2D_DESC da, db;
    a->GetDesc(&da);
    b->GetDesc(&db);
    return da.Width == db.Width && da.Height == db.Height;
}

void engine_present(Engine *e) {
    if (!e->swap_chain) {
        // An offscreen frame goes to the device at its end, as Present sends
        // a windowed one: frames never pile up behind a later readback, and
        // the device draws while the host prepares the next one.
        e->context->Flush();
        return;
    }
    ID3D11Texture2D *back = nullptr;
    if (SUCCEEDED(e->swap_chain->GetBuffer(0, IID_ID3D11Texture2D, (void **)&back)) && back) {
        // After a failed resize the render texture may be missing, or the back
        // buffers may have kept their old size; a whole-resource copy needs
        // both to exist and agree, so such a frame presents the old image.
        if (e->render_tex && same_size(back, e->render_tex)) e->context->CopyResource(back, e->render_tex);
        back->Release();
    }
    e->swap_chain->Present(1, 0);
}
