#include "d3d11/objects.h"

Object::Object(Device *d, bool hold_device) : device(d) {
    hook_live_add(1);
    if (device && hold_device) device->add_ref();
}

Object::~Object() { hook_live_add(-1); }

ULONG Object::add_ref() {
    ULONG r = ++refs;
    if (r == 1 && device) device->add_ref(); // revived from private-only
    return r;
}

ULONG Object::release() {
    ULONG r = --refs;
    if (r != 0) return r;
    Device *d = device;
    if (priv == 0) delete this; // before the device: its executor frees what the object holds
    if (d) d->release();
    return 0;
}

void Object::release_private() {
    if (--priv == 0 && refs == 0) delete this;
}

HRESULT query(IUnknown *self, Object *obj, REFIID riid, void **ppv, const IID *const *ids, int n) {
    HRESULT hr = hook_call("QueryInterface");
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (FAILED(hr)) return hr;
    bool match = riid == IID_IUnknown;
    for (int i = 0; i < n && !match; i++) match = riid == *ids[i];
    if (!match) return E_NOINTERFACE;
    obj->add_ref();
    *ppv = self;
    return S_OK;
}

Buffer *as_buffer(ID3D11Resource *r) {
    if (!r) return nullptr;
    D3D11_RESOURCE_DIMENSION d;
    r->GetType(&d);
    return d == D3D11_RESOURCE_DIMENSION_BUFFER ? static_cast<Buffer *>(static_cast<ID3D11Buffer *>(r)) : nullptr;
}

Texture *as_texture(ID3D11Resource *r) {
    if (!r) return nullptr;
    D3D11_RESOURCE_DIMENSION d;
    r->GetType(&d);
    return d == D3D11_RESOURCE_DIMENSION_TEXTURE2D ? static_cast<Texture *>(static_cast<ID3D11Texture2D *>(r))
                                                    : nullptr;
}

static void get_device(Device *d, ID3D11Device **pp) {
    if (!pp) return;
    d->add_ref();
    *pp = d;
}

#define HG_CHILD_METHODS(T, ...)                                          \
    void T::GetDevice(ID3D11Device **pp) { get_device(device, pp); }      \
    HRESULT T::QueryInterface(REFIID riid, void **ppv) {                  \
        static const IID *const ids[] = {&IID_ID3D11DeviceChild, __VA_ARGS__}; \
        return query(this, this, riid, ppv, ids, sizeof ids / sizeof *ids); \
    }

HG_CHILD_METHODS(Buffer, &IID_ID3D11Resource, &IID_ID3D11Buffer)
HG_CHILD_METHODS(Texture, &IID_ID3D11Resource, &IID_ID3D11Texture2D)
HG_CHILD_METHODS(RenderTargetView, &IID_ID3D11View, &IID_ID3D11RenderTargetView)
HG_CHILD_METHODS(DepthStencilView, &IID_ID3D11View, &IID_ID3D11DepthStencilView)
HG_CHILD_METHODS(DepthStencilState, &IID_ID3D11DepthStencilState)
HG_CHILD_METHODS(VertexShader, &IID_ID3D11VertexShader)
HG_CHILD_METHODS(PixelShader, &IID_ID3D11PixelShader)
HG_CHILD_METHODS(InputLayout, &IID_ID3D11InputLayout)
HG_CHILD_METHODS(BlendState, &IID_ID3D11BlendState)
HG_CHILD_METHODS(RasterizerState, &IID_ID3D11RasterizerState)
HG_CHILD_METHODS(Context, &IID_ID3D11DeviceContext)

void RenderTargetView::GetResource(ID3D11Resource **pp) {
    if (!pp) return;
    texture->add_ref();
    *pp = texture;
}

void DepthStencilView::GetResource(ID3D11Resource **pp) {
    if (!pp) return;
    texture->add_ref();
    *pp = texture;
}

// Handles are null when creation failed part way.
Buffer::~Buffer() {
    if (exec) device->exec->destroy_buffer(exec);
}

Texture::~Texture() {
    if (image) device->exec->destroy_image(image);
}

VertexShader::~VertexShader() {
    if (prog.exec) device->exec->destroy_program(prog.exec);
}

PixelShader::~PixelShader() {
    if (prog.exec) device->exec->destroy_program(prog.exec);
}
