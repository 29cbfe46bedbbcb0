// Direct3D 11 / DXGI front end: COM objects, argument validation and state
// tracking. Execution is left to the device's executor (common/executor.h),
// of which the objects here hold only opaque handles.
#pragma once
#include "d3d11.h"
#include "dxgi1_2.h"

#include "common/executor.h"
#include "common/hooks.h"
#include "common/shader_blob.h"

#include <vector>

struct Device;
struct Context;

// Shared part of every platform object. Public references (AddRef/Release)
// of a device child keep its device alive, as in Direct3D; private ones
// (context bindings, a view's hold on its resource) keep only the object, so
// state left bound never keeps a released device alive.
//
// Single-threaded by design, counts included: a device, its children and
// its DXGI objects are used from one thread at a time (the library's
// interface is single-threaded, and the executors behind them take no
// locks). Plain counters say so; atomic ones would promise a safety that
// release's check of both counts and the core do not give. Blobs, which
// D3DCompile hands out on any thread, count atomically.
struct Object {
    ULONG refs = 1;
    ULONG priv = 0;
    Device *device; // null for objects that are not device children

    // hold_device false: the object lives inside the device (its context).
    explicit Object(Device *d, bool hold_device = true);
    virtual ~Object();
    ULONG add_ref();
    ULONG release();
    void add_private() { priv++; }
    void release_private();
};

#define HG_IUNKNOWN_REFS                                         \
    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); } \
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

#define HG_DEVICE_CHILD HG_IUNKNOWN_REFS \
    void STDMETHODCALLTYPE GetDevice(ID3D11Device **ppDevice) override;

// Private reference to a bound object, swapped in one call.
template <class T> void hold(T *&slot, T *obj) {
    if (slot == obj) return;
    if (obj) obj->add_private();
    if (slot) slot->release_private();
    slot = obj;
}

// QueryInterface of a plain device child: *ppv = self when riid is one of ids.
HRESULT query(IUnknown *self, Object *obj, REFIID riid, void **ppv, const IID *const *ids, int n);

struct Buffer final : ID3D11Buffer, Object {
    D3D11_BUFFER_DESC desc;
    ExecBuffer *exec = nullptr;
    explicit Buffer(Device *d) : Object(d) {}
    ~Buffer() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
    void STDMETHODCALLTYPE GetType(D3D11_RESOURCE_DIMENSION *d) override { *d = D3D11_RESOURCE_DIMENSION_BUFFER; }
    void STDMETHODCALLTYPE GetDesc(D3D11_BUFFER_DESC *pDesc) override { *pDesc = desc; }
};

struct Texture final : ID3D11Texture2D, Object {
    D3D11_TEXTURE2D_DESC desc;
    // A swap chain's back buffers trade images at each Present; the texture
    // objects, and views on them, stay.
    ExecImage *image = nullptr;
    explicit Texture(Device *d) : Object(d) {}
    ~Texture() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
    void STDMETHODCALLTYPE GetType(D3D11_RESOURCE_DIMENSION *d) override { *d = D3D11_RESOURCE_DIMENSION_TEXTURE2D; }
    void STDMETHODCALLTYPE GetDesc(D3D11_TEXTURE2D_DESC *pDesc) override { *pDesc = desc; }
};

struct RenderTargetView final : ID3D11RenderTargetView, Object {
    Texture *texture = nullptr; // private reference
    explicit RenderTargetView(Device *d) : Object(d) {}
    ~RenderTargetView() override { hold(texture, (Texture *)nullptr); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
    void STDMETHODCALLTYPE GetResource(ID3D11Resource **ppResource) override;
};

struct DepthStencilView final : ID3D11DepthStencilView, Object {
    Texture *texture = nullptr; // private reference
    explicit DepthStencilView(Device *d) : Object(d) {}
    ~DepthStencilView() override { hold(texture, (Texture *)nullptr); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
    void STDMETHODCALLTYPE GetResource(ID3D11Resource **ppResource) override;
};

struct Program {
    ExecProgram *exec = nullptr;
    std::vector<ShaderBlobInput> inputs;
};

struct VertexShader final : ID3D11VertexShader, Object {
    Program prog;
    explicit VertexShader(Device *d) : Object(d) {}
    ~VertexShader() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
};

struct PixelShader final : ID3D11PixelShader, Object {
    Program prog;
    explicit PixelShader(Device *d) : Object(d) {}
    ~PixelShader() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
};

struct InputLayout final : ID3D11InputLayout, Object {
    std::vector<ExecInputElement> elements; // only those the vertex program reads
    uint32_t slot_mask = 0;              // vertex-buffer slots the layout reads
    uint32_t instance_mask = 0;          // of those, the per-instance ones
    uint64_t id = 0;
    explicit InputLayout(Device *d) : Object(d) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
};

struct BlendState final : ID3D11BlendState, Object {
    D3D11_BLEND_DESC desc;
    ExecBlend exec; // render target 0's, as draws use it
    explicit BlendState(Device *d) : Object(d) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
};

struct RasterizerState final : ID3D11RasterizerState, Object {
    D3D11_RASTERIZER_DESC desc;
    ExecRaster exec;
    explicit RasterizerState(Device *d) : Object(d) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
};

struct DepthStencilState final : ID3D11DepthStencilState, Object {
    D3D11_DEPTH_STENCIL_DESC desc;
    ExecDepth exec; // with a depth target bound
    explicit DepthStencilState(Device *d) : Object(d) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
};

struct VertexBinding {
    Buffer *buffer = nullptr;
    UINT stride = 0, offset = 0;
};

struct ContextState {
    VertexShader *vs = nullptr;
    PixelShader *ps = nullptr;
    InputLayout *layout = nullptr;
    BlendState *blend = nullptr;
    RasterizerState *raster = nullptr;
    RenderTargetView *rtv = nullptr;
    DepthStencilView *dsv = nullptr;
    DepthStencilState *depth = nullptr; // null: the defaults, depth test LESS with writes
    D3D11_PRIMITIVE_TOPOLOGY topology = D3D11_PRIMITIVE_TOPOLOGY_UNDEFINED;
    VertexBinding vb[D3D11_IA_VERTEX_INPUT_RESOURCE_SLOT_COUNT];
    Buffer *vs_cb[D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT] = {};
    Buffer *ps_cb[D3D11_COMMONSHADER_CONSTANT_BUFFER_API_SLOT_COUNT] = {};
    D3D11_VIEWPORT viewport = {};
    bool has_viewport = false;
    FLOAT blend_factor[4] = {1, 1, 1, 1};
};

struct Context final : ID3D11DeviceContext, Object {
    ContextState st;
    explicit Context(Device *d);
    ~Context() override;
    void clear_state();
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_DEVICE_CHILD
    void STDMETHODCALLTYPE VSSetConstantBuffers(UINT StartSlot, UINT NumBuffers, ID3D11Buffer *const *ppConstantBuffers) override;
    void STDMETHODCALLTYPE PSSetShader(ID3D11PixelShader *pPixelShader, ID3D11ClassInstance *const *ppClassInstances,
                                       UINT NumClassInstances) override;
    void STDMETHODCALLTYPE VSSetShader(ID3D11VertexShader *pVertexShader, ID3D11ClassInstance *const *ppClassInstances,
                                       UINT NumClassInstances) override;
    void STDMETHODCALLTYPE Draw(UINT VertexCount, UINT StartVertexLocation) override;
    HRESULT STDMETHODCALLTYPE Map(ID3D11Resource *pResource, UINT Subresource, D3D11_MAP MapType, UINT MapFlags,
                                  D3D11_MAPPED_SUBRESOURCE *pMappedResource) override;
    void STDMETHODCALLTYPE Unmap(ID3D11Resource *pResource, UINT Subresource) override;
    void STDMETHODCALLTYPE PSSetConstantBuffers(UINT StartSlot, UINT NumBuffers, ID3D11Buffer *const *ppConstantBuffers) override;
    void STDMETHODCALLTYPE IASetInputLayout(ID3D11InputLayout *pInputLayout) override;
    void STDMETHODCALLTYPE IASetVertexBuffers(UINT StartSlot, UINT NumBuffers, ID3D11Buffer *const *ppVertexBuffers,
                                              const UINT *pStrides, const UINT *pOffsets) override;
    void STDMETHODCALLTYPE DrawInstanced(UINT VertexCountPerInstance, UINT InstanceCount, UINT StartVertexLocation,
                                         UINT StartInstanceLocation) override;
    void STDMETHODCALLTYPE IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY Topology) override;
    void STDMETHODCALLTYPE OMSetRenderTargets(UINT NumViews, ID3D11RenderTargetView *const *ppRenderTargetViews,
                                              ID3D11DepthStencilView *pDepthStencilView) override;
    void STDMETHODCALLTYPE OMSetBlendState(ID3D11BlendState *pBlendState, const FLOAT BlendFactor[4],
                                           UINT SampleMask) override;
    void STDMETHODCALLTYPE RSSetState(ID3D11RasterizerState *pRasterizerState) override;
    void STDMETHODCALLTYPE RSSetViewports(UINT NumViewports, const D3D11_VIEWPORT *pViewports) override;
    void STDMETHODCALLTYPE CopyResource(ID3D11Resource *pDstResource, ID3D11Resource *pSrcResource) override;
    void STDMETHODCALLTYPE ClearRenderTargetView(ID3D11RenderTargetView *pRenderTargetView,
                                                 const FLOAT ColorRGBA[4]) override;
    void STDMETHODCALLTYPE Flush() override;
    void STDMETHODCALLTYPE OMSetDepthStencilState(ID3D11DepthStencilState *pDepthStencilState, UINT StencilRef) override;
    void STDMETHODCALLTYPE ClearDepthStencilView(ID3D11DepthStencilView *pDepthStencilView, UINT ClearFlags, FLOAT Depth,
                                                 UINT8 Stencil) override;

  private:
    void draw(UINT vertices, UINT instances, UINT first_vertex, UINT first_instance);
    bool drawable() const;
    void finish_draw(ExecDraw *d) const;
    void set_constant_buffers(Buffer **slots, UINT start, UINT n, ID3D11Buffer *const *buffers);
};

struct Device final : ID3D11Device, IDXGIDevice1, Object {
    Executor *exec = nullptr; // chosen at creation, for the device's lifetime
    Context *ctx = nullptr;
    uint64_t next_id = 1;

    Device();
    ~Device() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_IUNKNOWN_REFS
    HRESULT STDMETHODCALLTYPE CreateBuffer(const D3D11_BUFFER_DESC *pDesc, const D3D11_SUBRESOURCE_DATA *pInitialData,
                                           ID3D11Buffer **ppBuffer) override;
    HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC *pDesc,
                                              const D3D11_SUBRESOURCE_DATA *pInitialData,
                                              ID3D11Texture2D **ppTexture2D) override;
    HRESULT STDMETHODCALLTYPE CreateRenderTargetView(ID3D11Resource *pResource, const D3D11_RENDER_TARGET_VIEW_DESC *pDesc,
                                                     ID3D11RenderTargetView **ppRTView) override;
    HRESULT STDMETHODCALLTYPE CreateInputLayout(const D3D11_INPUT_ELEMENT_DESC *pInputElementDescs, UINT NumElements,
                                                const void *pShaderBytecodeWithInputSignature, SIZE_T BytecodeLength,
                                                ID3D11InputLayout **ppInputLayout) override;
    HRESULT STDMETHODCALLTYPE CreateVertexShader(const void *pShaderBytecode, SIZE_T BytecodeLength,
                                                 ID3D11ClassLinkage *pClassLinkage,
                                                 ID3D11VertexShader **ppVertexShader) override;
    HRESULT STDMETHODCALLTYPE CreatePixelShader(const void *pShaderBytecode, SIZE_T BytecodeLength,
                                                ID3D11ClassLinkage *pClassLinkage,
                                                ID3D11PixelShader **ppPixelShader) override;
    HRESULT STDMETHODCALLTYPE CreateBlendState(const D3D11_BLEND_DESC *pBlendStateDesc,
                                               ID3D11BlendState **ppBlendState) override;
    HRESULT STDMETHODCALLTYPE CreateRasterizerState(const D3D11_RASTERIZER_DESC *pRasterizerDesc,
                                                    ID3D11RasterizerState **ppRasterizerState) override;
    HRESULT STDMETHODCALLTYPE GetDeviceRemovedReason() override;
    void STDMETHODCALLTYPE GetImmediateContext(ID3D11DeviceContext **ppImmediateContext) override;
    HRESULT STDMETHODCALLTYPE CreateDepthStencilView(ID3D11Resource *pResource, const D3D11_DEPTH_STENCIL_VIEW_DESC *pDesc,
                                                     ID3D11DepthStencilView **ppDepthStencilView) override;
    HRESULT STDMETHODCALLTYPE CreateDepthStencilState(const D3D11_DEPTH_STENCIL_DESC *pDepthStencilDesc,
                                                      ID3D11DepthStencilState **ppDepthStencilState) override;
    // IDXGIObject / IDXGIDevice
    HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void **ppParent) override;
    HRESULT STDMETHODCALLTYPE GetAdapter(IDXGIAdapter **pAdapter) override;

    // A texture from a validated desc, holding init when given.
    HRESULT create_texture(const D3D11_TEXTURE2D_DESC &desc, const D3D11_SUBRESOURCE_DATA *init, bool back_buffer,
                           Texture **out);
};

// The front-end object behind an interface pointer, or null when it is not ours.
Buffer *as_buffer(ID3D11Resource *r);
Texture *as_texture(ID3D11Resource *r);
