#include "hlsl/blob.h"

#include "common/hooks.h"

#include <atomic>
#include <new>
#include <stdlib.h>
#include <string.h>

namespace {

// One allocation: the object, then the bytes. Counted atomically: a blob
// depends on nothing else and may be passed between threads.
struct Blob final : ID3D10Blob {
    std::atomic<ULONG> refs{1};
    size_t size = 0;

    unsigned char *bytes() { return reinterpret_cast<unsigned char *>(this + 1); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ID3D10Blob) {
            AddRef();
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = --refs;
        if (n == 0) {
            this->~Blob();
            free(this);
            hook_live_add(-1);
        }
        return n;
    }
    LPVOID STDMETHODCALLTYPE GetBufferPointer() override { return bytes(); }
    SIZE_T STDMETHODCALLTYPE GetBufferSize() override { return size; }
};

} // namespace

ID3DBlob *hlsl_blob_create(const void *data, size_t size) {
    void *mem = malloc(sizeof(Blob) + size);
    if (!mem) return nullptr;
    Blob *b = new (mem) Blob;
    b->size = size;
    if (data) memcpy(b->bytes(), data, size);
    else memset(b->bytes(), 0, size);
    hook_live_add(1);
    return b;
}

void hlsl_blob_messages(ID3DBlob **pp, const std::string &text) {
    if (!pp || text.empty()) return;
    *pp = hlsl_blob_create(text.c_str(), text.size() + 1); // NUL included, as fxc does
}

HRESULT hlsl_compile_begin(LPCVOID src, const std::string &name, LPCSTR entry, LPCSTR target, ID3DBlob **code,
                           ID3DBlob **messages) {
    if (code) *code = nullptr;
    if (messages) *messages = nullptr;
    HRESULT hr = hook_enter("D3DCompile");
    if (FAILED(hr)) return hr;
    if (!src || !entry || !target || !code) {
        hlsl_blob_messages(messages, name + ": error: missing source, entry point, target or output\n");
        return E_INVALIDARG;
    }
    return S_OK;
}
