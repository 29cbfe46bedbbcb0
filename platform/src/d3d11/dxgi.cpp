// DXGI objects: adapter, factory and the window swap chain.
#include "d3d11/objects.h"

struct Factory;

struct Adapter final : IDXGIAdapter, Object {
    Factory *factory;
    Adapter();
    ~Adapter() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_IUNKNOWN_REFS
    HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void **ppParent) override;
};

struct Factory final : IDXGIFactory2, Object {
    Factory() : Object(nullptr) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_IUNKNOWN_REFS
    HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void **ppParent) override;
    HRESULT STDMETHODCALLTYPE CreateSwapChainForHwnd(IUnknown *pDevice, HWND hWnd, const DXGI_SWAP_CHAIN_DESC1 *pDesc,
                                                     const DXGI_SWAP_CHAIN_FULLSCREEN_DESC *pFullscreenDesc,
                                                     IDXGIOutput *pRestrictToOutput,
                                                     IDXGISwapChain1 **ppSwapChain) override;
};

// QueryInterface for the DXGI objects, which are no device children.
static HRESULT dxgi_query(IUnknown *self, Object *obj, REFIID riid, void **ppv, const IID *const *ids, int n) {
    return query(self, obj, riid, ppv, ids, n);
}

Adapter::Adapter() : Object(nullptr), factory(new Factory) {}
Adapter::~Adapter() { factory->release(); }

HRESULT Adapter::QueryInterface(REFIID riid, void **ppv) {
    static const IID *const ids[] = {&IID_IDXGIObject, &IID_IDXGIAdapter};
    return dxgi_query(this, this, riid, ppv, ids, 2);
}

HRESULT Adapter::GetParent(REFIID riid, void **pp) {
    HRESULT hr = hook_call("GetParent");
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    if (FAILED(hr)) return hr;
    if (riid != IID_IUnknown && riid != IID_IDXGIObject && riid != IID_IDXGIFactory && riid != IID_IDXGIFactory1 &&
        riid != IID_IDXGIFactory2)
        return E_NOINTERFACE;
    factory->add_ref();
    *pp = static_cast<IDXGIFactory2 *>(factory);
    return S_OK;
}

HRESULT Factory::QueryInterface(REFIID riid, void **ppv) {
    static const IID *const ids[] = {&IID_IDXGIObject, &IID_IDXGIFactory, &IID_IDXGIFactory1, &IID_IDXGIFactory2};
    return dxgi_query(this, this, riid, ppv, ids, 4);
}

HRESULT Factory::GetParent(REFIID, void **pp) {
    hook_call("GetParent");
    if (pp) *pp = nullptr;
    return E_NOINTERFACE; // a factory has no parent
}

HRESULT create_adapter(Device *, IDXGIAdapter **out) {
    *out = new Adapter;
    return S_OK;
}

HRESULT create_swap_chain(Device *d, HWND hwnd, const DXGI_SWAP_CHAIN_DESC1 &desc, IDXGISwapChain1 **out);

HRESULT Factory::CreateSwapChainForHwnd(IUnknown *device, HWND hwnd, const DXGI_SWAP_CHAIN_DESC1 *desc,
                                        const DXGI_SWAP_CHAIN_FULLSCREEN_DESC *, IDXGIOutput *,
                                        IDXGISwapChain1 **pp) {
    HRESULT hr = hook_call("CreateSwapChainForHwnd", "%u %u", desc ? desc->Width : 0, desc ? desc->Height : 0);
    if (pp) *pp = nullptr;
    if (FAILED(hr)) return hr;
    if (!device || !desc || !pp) return DXGI_ERROR_INVALID_CALL;
    // The device comes in as IUnknown; only ours are accepted.
    ID3D11Device *d3d = nullptr;
    {
        HookSilence quiet;
        if (FAILED(device->QueryInterface(IID_ID3D11Device, (void **)&d3d))) return E_INVALIDARG;
    }
    Device *d = static_cast<Device *>(d3d);
    hr = create_swap_chain(d, hwnd, *desc, pp);
    d3d->Release();
    return hr;
}

struct SwapChain final : IDXGISwapChain1, Object {
    DXGI_SWAP_CHAIN_DESC1 desc;
    std::vector<Texture *> buffers; // buffers[0] is always the one to draw into
    ExecPresenter *presenter = nullptr;
    explicit SwapChain(Device *d) : Object(d) {}
    ~SwapChain() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    HG_IUNKNOWN_REFS
    HRESULT STDMETHODCALLTYPE GetParent(REFIID riid, void **ppParent) override;
    HRESULT STDMETHODCALLTYPE Present(UINT SyncInterval, UINT Flags) override;
    HRESULT STDMETHODCALLTYPE GetBuffer(UINT Buffer, REFIID riid, void **ppSurface) override;
    HRESULT STDMETHODCALLTYPE ResizeBuffers(UINT BufferCount, UINT Width, UINT Height, DXGI_FORMAT NewFormat,
                                            UINT SwapChainFlags) override;
    HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_SWAP_CHAIN_DESC1 *pDesc) override;

    HRESULT make_buffers(UINT count, UINT w, UINT h, DXGI_FORMAT format);
    void release_buffers();
};

SwapChain::~SwapChain() {
    if (presenter) device->exec->destroy_presenter(presenter);
    release_buffers();
}

void SwapChain::release_buffers() {
    for (Texture *t : buffers) t->release();
    buffers.clear();
}

HRESULT SwapChain::make_buffers(UINT count, UINT w, UINT h, DXGI_FORMAT format) {
    D3D11_TEXTURE2D_DESC td = {w, h, 1, 1, format, {1, 0}, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0, 0};
    std::vector<Texture *> fresh;
    for (UINT i = 0; i < count; i++) {
        Texture *t;
        HRESULT hr = device->create_texture(td, nullptr, true, &t);
        if (FAILED(hr)) {
            for (Texture *f : fresh) f->release();
            return hr;
        }
        fresh.push_back(t);
    }
    release_buffers();
    buffers = std::move(fresh);
    return S_OK;
}

HRESULT SwapChain::QueryInterface(REFIID riid, void **ppv) {
    static const IID *const ids[] = {&IID_IDXGIObject, &IID_IDXGIDeviceSubObject, &IID_IDXGISwapChain,
                                     &IID_IDXGISwapChain1};
    return dxgi_query(this, this, riid, ppv, ids, 4);
}

HRESULT SwapChain::GetParent(REFIID riid, void **pp) {
    HRESULT hr = hook_call("GetParent");
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    if (FAILED(hr)) return hr;
    Factory *f = new Factory;
    HookSilence quiet;
    hr = f->QueryInterface(riid, pp);
    f->release();
    return hr;
}

static bool back_buffer_format(DXGI_FORMAT f) {
    return f == DXGI_FORMAT_R8G8B8A8_UNORM || f == DXGI_FORMAT_B8G8R8A8_UNORM;
}

HRESULT SwapChain::Present(UINT sync, UINT flags) {
    HRESULT hr = hook_call("Present", "%u %u", sync, flags);
    if (FAILED(hr)) return hr;
    if (sync > 4) return DXGI_ERROR_INVALID_CALL;
    if (device->exec->lost()) return DXGI_ERROR_DEVICE_REMOVED;
    const UINT DXGI_PRESENT_TEST = 1;
    if (flags & DXGI_PRESENT_TEST) return S_OK;
    hr = device->exec->present(presenter, buffers[0]->image, sync > 0);
    // Flip model: the next buffer becomes buffers[0]. The texture objects stay
    // put (views on them follow), their images rotate.
    ExecImage *first = buffers[0]->image;
    for (size_t i = 0; i + 1 < buffers.size(); i++) buffers[i]->image = buffers[i + 1]->image;
    buffers.back()->image = first;
    return hr;
}

HRESULT SwapChain::GetBuffer(UINT index, REFIID riid, void **pp) {
    HRESULT hr = hook_call("GetBuffer", "%u", index);
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    if (FAILED(hr)) return hr;
    if (index >= buffers.size()) return DXGI_ERROR_INVALID_CALL;
    if (riid != IID_IUnknown && riid != IID_ID3D11Texture2D && riid != IID_ID3D11Resource) return E_NOINTERFACE;
    buffers[index]->add_ref();
    *pp = static_cast<ID3D11Texture2D *>(buffers[index]);
    return S_OK;
}

HRESULT SwapChain::ResizeBuffers(UINT count, UINT w, UINT h, DXGI_FORMAT format, UINT flags) {
    HRESULT hr = hook_call("ResizeBuffers", "%u %u %u", count, w, h);
    if (FAILED(hr)) return hr;
    (void)flags;
    // Every outside reference (the buffer itself or a view on it) must be gone.
    for (Texture *t : buffers)
        if (t->refs > 1 || t->priv > 0) return DXGI_ERROR_INVALID_CALL;
    if (count == 0) count = desc.BufferCount;
    if (format == DXGI_FORMAT_UNKNOWN) format = desc.Format;
    if (count < 2 || count > 16 || !back_buffer_format(format)) return DXGI_ERROR_INVALID_CALL;
    // The window's size: zero takes it, and presentation follows it from now on.
    uint32_t ww = 0, wh = 0;
    device->exec->presenter_resized(presenter, &ww, &wh);
    if (w == 0) w = ww;
    if (h == 0) h = wh;
    if (w == 0 || h == 0 || w > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION || h > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION)
        return E_INVALIDARG;
    if (FAILED(hr = make_buffers(count, w, h, format))) return hr;
    desc.BufferCount = count;
    desc.Width = w;
    desc.Height = h;
    desc.Format = format;
    return S_OK;
}

HRESULT SwapChain::GetDesc1(DXGI_SWAP_CHAIN_DESC1 *out) {
    hook_call("GetDesc1");
    if (!out) return E_INVALIDARG;
    *out = desc;
    return S_OK;
}

HRESULT create_swap_chain(Device *d, HWND hwnd, const DXGI_SWAP_CHAIN_DESC1 &in, IDXGISwapChain1 **out) {
    const unsigned long window = (unsigned long)(uintptr_t)hwnd;
    DXGI_SWAP_CHAIN_DESC1 desc = in;
    bool flip = desc.SwapEffect == DXGI_SWAP_EFFECT_FLIP_DISCARD || desc.SwapEffect == DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL;
    if (!window || !flip || desc.BufferCount < 2 || desc.BufferCount > 16 || desc.SampleDesc.Count != 1 ||
        desc.SampleDesc.Quality != 0 || desc.Stereo || !back_buffer_format(desc.Format))
        return DXGI_ERROR_INVALID_CALL;

    SwapChain *sc = new SwapChain(d);
    uint32_t ww = 0, wh = 0;
    HRESULT hr = d->exec->create_presenter(window, &sc->presenter, &ww, &wh);
    if (desc.Width == 0) desc.Width = ww;
    if (desc.Height == 0) desc.Height = wh;
    if (SUCCEEDED(hr) && (desc.Width == 0 || desc.Height == 0 || desc.Width > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION ||
                          desc.Height > D3D11_REQ_TEXTURE2D_U_OR_V_DIMENSION))
        hr = E_INVALIDARG;
    sc->desc = desc;
    if (SUCCEEDED(hr)) hr = sc->make_buffers(desc.BufferCount, desc.Width, desc.Height, desc.Format);
    if (FAILED(hr)) {
        sc->release();
        return hr;
    }
    *out = sc;
    return S_OK;
}
