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
    HRESULT hr = hook_enter("GetParent");
    if (hook_recording()) hook_record("GetParent");
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
    hook_enter("GetParent");
    if (hook_recording()) hook_record("GetParent");
    if (pp) *pp = nullptr;
    return E_NOINTERFACE; // a factory has no parent
}

HRESULT create_adapter(Device *, IDXGIAdapter **out) {
    *out = new Adapter;
    return S_OK;
}

HRESULT create_swap_chain(Device *d, HWND hwnd, const DXGI_SWAP_CHAIN_DESC1 &desc, IDXGISwapChain1 **out);
HRESULT create_swap_chain(Device *, HWND, const DXGI_SWAP_CHAIN_DESC1 &, IDXGISwapChain1 **) { return E_NOTIMPL; }

HRESULT Factory::CreateSwapChainForHwnd(IUnknown *device, HWND hwnd, const DXGI_SWAP_CHAIN_DESC1 *desc,
                                        const DXGI_SWAP_CHAIN_FULLSCREEN_DESC *, IDXGIOutput *,
                                        IDXGISwapChain1 **pp) {
    HRESULT hr = hook_enter("CreateSwapChainForHwnd");
    if (hook_recording()) hook_record("CreateSwapChainForHwnd %u %u", desc ? desc->Width : 0, desc ? desc->Height : 0);
    if (pp) *pp = nullptr;
    if (FAILED(hr)) return hr;
    if (!device || !desc || !pp) return DXGI_ERROR_INVALID_CALL;
    // The device comes in as IUnknown; only ours are accepted.
    ID3D11Device *d3d = nullptr;
    if (FAILED(device->QueryInterface(IID_ID3D11Device, (void **)&d3d))) return E_INVALIDARG;
    Device *d = static_cast<Device *>(d3d);
    hr = create_swap_chain(d, hwnd, *desc, pp);
    d3d->Release();
    return hr;
}
