// Buffer creation, dynamic uploads and the two instanced billboard draws.
#include <string.h>

#include "gpu/gpu.h"

const float k_glow[4] = {0.0f, 0.0f, 0.0f, 0.0f};
const float k_dot[4] = {1.0f, 0.0f, 0.0f, 0.0f};
const float k_planet[4] = {2.0f, 0.0f, 0.0f, 0.0f};
const float k_ring[4] = {3.0f, 0.0f, 0.0f, 0.0f};
const float blendFA[4] = {1.0f, 1.0f, 1.0f, 1.0f};

HRESULT make_buffer_dyn(ID3D11Device *device, int size, UINT bind, ID3D11Buffer **out) {
    D3D11_BUFFER_DESC d;
    memset(&d, 0, sizeof d);
    d.ByteWidth = (UINT)size;
    d.Usage = D3D11_USAGE_DYNAMIC;
    d.BindFlags = bind;
    d.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    HRESULT hr = device->CreateBuffer(&d, nullptr, out);
    if (FAILED(hr)) set_error("CreateDynBuffer(%d) failed: 0x%08lX", size, hr_code(hr));
    return hr;
}

HRESULT make_buffer_init(ID3D11Device *device, int size, const void *data, ID3D11Buffer **out) {
    D3D11_BUFFER_DESC d;
    memset(&d, 0, sizeof d);
    d.ByteWidth = (UINT)size;
    d.Usage = D3D11_USAGE_DEFAULT;
    d.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    D3D11_SUBRESOURCE_DATA init;
    memset(&init, 0, sizeof init);
    init.pSysMem = data;
    HRESULT hr = device->CreateBuffer(&d, &init, out);
    if (FAILED(hr)) set_error("CreateBuffer(%d) failed: 0x%08lX", size, hr_code(hr));
    return hr;
}

void upload(ID3D11DeviceContext *context, ID3D11Buffer *buffer, const void *data, int size) {
    // Discard: the platform hands out fresh memory, so draws already issued
    // keep what they saw and nothing waits for the GPU.
    D3D11_MAPPED_SUBRESOURCE m;
    if (FAILED(context->Map(buffer, 0, D3D11_MAP_WRITE_DISCARD, 0, &m))) return;
    memcpy(m.pData, data, (size_t)size);
    context->Unmap(buffer, 0);
}

// Four strip vertices per instance, corners from the vertex index; slot 0
// stays empty and the instances come from slot 1.
static void draw_instanced_quads(Engine *e, ID3D11Buffer *instances, int count, ID3D11VertexShader *vs,
                                 ID3D11PixelShader *ps, ID3D11InputLayout *layout, const float params[4],
                                 UINT ps_slot) {
    if (!instances || count == 0) return;
    upload(e->context, e->cb_params, params, 16);
    e->context->VSSetShader(vs, nullptr, 0);
    e->context->PSSetShader(ps, nullptr, 0);
    e->context->IASetInputLayout(layout);
    ID3D11Buffer *vbs[2] = {nullptr, instances};
    UINT strides[2] = {0, 32};
    UINT offsets[2] = {0, 0};
    e->context->IASetVertexBuffers(0, 2, vbs, strides, offsets);
    ID3D11Buffer *vs_cbs[2] = {e->cb_globals, e->cb_params};
    e->context->VSSetConstantBuffers(0, 2, vs_cbs);
    e->context->PSSetConstantBuffers(ps_slot, 1, &e->cb_params);
    e->context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    e->context->DrawInstanced(4, (UINT)count, 0, 0);
}

void draw_quads(Engine *e, ID3D11Buffer *instances, int count, ID3D11VertexShader *vs, ID3D11PixelShader *ps,
                ID3D11InputLayout *layout, const float kind[4]) {
    draw_instanced_quads(e, instances, count, vs, ps, layout, kind, 0); // ps_quad reads KindP at b0
}

void draw_par_quads(Engine *e, ID3D11Buffer *instances, int count, ID3D11VertexShader *vs, ID3D11PixelShader *ps,
                    const float params[4]) {
    draw_instanced_quads(e, instances, count, vs, ps, e->il_par, params, 1); // ps_disk reads DiskP at b1
}
