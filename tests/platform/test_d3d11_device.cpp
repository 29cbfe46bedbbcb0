// Device creation, object lifetime, validation codes and the test hooks.
#include "capture_stderr.h"
#include "test_d3d11_fixture.h"

#include <algorithm>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

TEST(D3D11CreateDevice, DriverTypesAndArguments) {
    struct Case {
        D3D_DRIVER_TYPE type;
        UINT sdk;
        HRESULT want;
    } cases[] = {
        {D3D_DRIVER_TYPE_WARP, D3D11_SDK_VERSION, S_OK},
        {D3D_DRIVER_TYPE_REFERENCE, D3D11_SDK_VERSION, S_OK},
        // A GPU, or DXGI_ERROR_UNSUPPORTED where lavapipe is the only device
        // (as under CTest, which limits the loader to it): see below.
        {D3D_DRIVER_TYPE_HARDWARE, D3D11_SDK_VERSION, S_OK},
        {D3D_DRIVER_TYPE_UNKNOWN, D3D11_SDK_VERSION, E_INVALIDARG},            // needs an adapter
        {D3D_DRIVER_TYPE_WARP, 5, E_INVALIDARG},
    };
    for (const Case &c : cases) {
        ID3D11Device *dev = nullptr;
        ID3D11DeviceContext *ctx = nullptr;
        D3D_FEATURE_LEVEL fl = (D3D_FEATURE_LEVEL)0;
        HRESULT hr = D3D11CreateDevice(nullptr, c.type, nullptr, 0, nullptr, 0, c.sdk, &dev, &fl, &ctx);
        if (c.type == D3D_DRIVER_TYPE_HARDWARE && hr == DXGI_ERROR_UNSUPPORTED) {
            EXPECT_EQ(nullptr, dev);
            EXPECT_EQ(nullptr, ctx);
            continue;
        }
        EXPECT_EQ(c.want, hr) << "driver type " << c.type;
        EXPECT_EQ(c.want == S_OK, dev != nullptr);
        EXPECT_EQ(c.want == S_OK, ctx != nullptr);
        if (dev) {
            EXPECT_EQ(D3D_FEATURE_LEVEL_11_0, fl);
        }
        release(ctx);
        release(dev);
    }
    EXPECT_EQ(0, plat_live_objects());
}

TEST(D3D11CreateDevice, FeatureLevelIsFirstSupportedOfList) {
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_12_0, D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    D3D_FEATURE_LEVEL fl;
    EXPECT_EQ(S_FALSE, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, levels, 3, D3D11_SDK_VERSION,
                                         nullptr, &fl, nullptr)); // validation only
    EXPECT_EQ(D3D_FEATURE_LEVEL_11_1, fl);
    EXPECT_EQ(0, plat_live_objects());
}

TEST(D3D11CreateDevice, NoVulkanDriverFailsCleanly) {
    if (cpu_executor()) GTEST_SKIP() << "a WARP device needs no Vulkan driver here";
    // Both names of the loader's driver list: the newer one wins when set.
    const char *const vars[] = {"VK_DRIVER_FILES", "VK_ICD_FILENAMES"};
    std::string saved[2];
    bool had[2];
    for (int i = 0; i < 2; i++) {
        const char *v = getenv(vars[i]);
        had[i] = v != nullptr;
        saved[i] = v ? v : "";
        setenv(vars[i], "/nonexistent/icd.json", 1);
    }
    ID3D11Device *dev = nullptr;
    CaptureStderr complaint; // the loader says it found no driver: expected here
    HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &dev,
                                   nullptr, nullptr);
    complaint.text();
    for (int i = 0; i < 2; i++) {
        if (had[i]) setenv(vars[i], saved[i].c_str(), 1);
        else unsetenv(vars[i]);
    }
    plat_validation_reset(); // the loader's own "no drivers" complaint is the point here
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(nullptr, dev);
    EXPECT_EQ(0, plat_live_objects());
}

using DeviceTest = D3D11Test;

TEST_F(DeviceTest, DxgiDeviceSharesIdentityAndLifetime) {
    IDXGIDevice1 *dxgi = nullptr;
    ASSERT_EQ(S_OK, dev->QueryInterface(IID_IDXGIDevice1, (void **)&dxgi));
    IUnknown *a = nullptr, *b = nullptr;
    dev->QueryInterface(IID_IUnknown, (void **)&a);
    dxgi->QueryInterface(IID_IUnknown, (void **)&b);
    EXPECT_EQ(a, b);
    a->Release();
    b->Release();
    // The DXGI interface alone keeps the device alive.
    ID3D11Device *d = dev;
    dev->AddRef();
    release(ctx);
    release(dev);
    EXPECT_EQ(1u, d->Release());
    ID3D11Texture2D *unused = nullptr;
    EXPECT_EQ(E_NOINTERFACE, dxgi->QueryInterface(IID_ID3D11Texture2D, (void **)&unused));

    IDXGIAdapter *adapter = nullptr;
    ASSERT_EQ(S_OK, dxgi->GetAdapter(&adapter));
    IDXGIFactory2 *factory = nullptr;
    ASSERT_EQ(S_OK, adapter->GetParent(IID_IDXGIFactory2, (void **)&factory));
    factory->Release();
    adapter->Release();
    EXPECT_EQ(0u, dxgi->Release());
}

TEST_F(DeviceTest, ChildrenKeepDeviceAlive) {
    ID3D11Texture2D *t = texture(4, 4, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
    ID3D11RenderTargetView *rtv = nullptr;
    ASSERT_EQ(S_OK, dev->CreateRenderTargetView(t, nullptr, &rtv));
    ctx->OMSetRenderTargets(1, &rtv, nullptr);
    release(t); // the view holds its texture
    release(ctx);
    release(dev);
    EXPECT_GT(plat_live_objects(), live_before);
    ID3D11Device *d = nullptr;
    rtv->GetDevice(&d);
    ASSERT_NE(nullptr, d);
    ID3D11DeviceContext *c = nullptr;
    d->GetImmediateContext(&c);
    const float red[4] = {1, 0, 0, 1};
    c->ClearRenderTargetView(rtv, red);
    c->Release();
    d->Release();
    rtv->Release(); // still bound: the context's hold dies with the device
    EXPECT_EQ(live_before, plat_live_objects());
}

TEST_F(DeviceTest, BufferValidation) {
    const UINT W = D3D11_CPU_ACCESS_WRITE, R = D3D11_CPU_ACCESS_READ;
    const UINT VB = D3D11_BIND_VERTEX_BUFFER, CB = D3D11_BIND_CONSTANT_BUFFER;
    struct Case {
        UINT bytes;
        D3D11_USAGE usage;
        UINT bind, cpu;
        bool init;
        HRESULT want;
    } cases[] = {
        {64, D3D11_USAGE_DYNAMIC, CB, W, false, S_OK},
        {0, D3D11_USAGE_DYNAMIC, VB, W, false, E_INVALIDARG},
        {24, D3D11_USAGE_DYNAMIC, CB, W, false, E_INVALIDARG},    // not a multiple of 16
        {65552, D3D11_USAGE_DYNAMIC, CB, W, false, E_INVALIDARG}, // above 64 KiB
        {65536, D3D11_USAGE_DYNAMIC, CB, W, false, S_OK},
        {64, D3D11_USAGE_DYNAMIC, VB, W | R, false, E_INVALIDARG},
        {64, D3D11_USAGE_DYNAMIC, VB, 0, false, E_INVALIDARG},
        {64, D3D11_USAGE_DEFAULT, VB, W, false, E_INVALIDARG},
        {64, D3D11_USAGE_DEFAULT, VB, 0, true, S_OK},
        {64, D3D11_USAGE_IMMUTABLE, VB, 0, false, E_INVALIDARG}, // needs initial data
        {64, D3D11_USAGE_IMMUTABLE, VB, 0, true, S_OK},
        {64, D3D11_USAGE_STAGING, VB, R, false, E_INVALIDARG},
        {64, D3D11_USAGE_STAGING, 0, R, false, S_OK},
        {64, D3D11_USAGE_DYNAMIC, CB | VB, W, false, E_INVALIDARG},
    };
    uint8_t data[65536] = {};
    for (const Case &c : cases) {
        D3D11_BUFFER_DESC d = {c.bytes, c.usage, c.bind, c.cpu, 0, 0};
        D3D11_SUBRESOURCE_DATA init = {data, 0, 0};
        ID3D11Buffer *b = (ID3D11Buffer *)&data; // must be cleared on failure
        EXPECT_EQ(c.want, dev->CreateBuffer(&d, c.init ? &init : nullptr, &b))
            << c.bytes << " bytes, usage " << c.usage << " bind " << c.bind << " cpu " << c.cpu;
        EXPECT_EQ(c.want == S_OK, b != nullptr);
        release(b);
    }
    D3D11_BUFFER_DESC ok = {64, D3D11_USAGE_DYNAMIC, CB, W, 0, 0};
    EXPECT_EQ(S_FALSE, dev->CreateBuffer(&ok, nullptr, nullptr)); // validation only
    EXPECT_EQ(E_INVALIDARG, dev->CreateBuffer(nullptr, nullptr, nullptr));
}

// A buffer reads back as it was created at every size: small ones live on
// the heap, large ones in mappings of their own whose last page is only
// partly used. Without initial data a buffer reads as zeros.
TEST_F(DeviceTest, BufferContentsAtEverySize) {
    const UINT huge = 2u << 20, sizes[] = {48, huge - 16, huge, 2 * huge + 3 * 4096 + 36};
    std::vector<uint8_t> data(sizes[3]);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i % 251 + 1); // no zero byte, no page alike
    for (UINT bytes : sizes) {
        for (bool with_data : {true, false}) {
            D3D11_BUFFER_DESC d = {bytes, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
            D3D11_BUFFER_DESC sd = {bytes, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, 0, 0};
            D3D11_SUBRESOURCE_DATA init = {data.data(), 0, 0};
            ID3D11Buffer *vb = nullptr, *back = nullptr;
            ASSERT_EQ(S_OK, dev->CreateBuffer(&d, with_data ? &init : nullptr, &vb));
            ASSERT_EQ(S_OK, dev->CreateBuffer(&sd, nullptr, &back));
            ctx->CopyResource(back, vb);
            D3D11_MAPPED_SUBRESOURCE m;
            ASSERT_EQ(S_OK, ctx->Map(back, 0, D3D11_MAP_READ, 0, &m));
            const uint8_t *got = (const uint8_t *)m.pData;
            size_t wrong = 0, first_wrong = bytes;
            for (size_t i = 0; i < bytes; i++)
                if (got[i] != (with_data ? data[i] : 0)) wrong++, first_wrong = std::min(first_wrong, i);
            EXPECT_EQ(0u, wrong) << bytes << " bytes, " << (with_data ? "with" : "without")
                                 << " data: first wrong byte " << first_wrong;
            ctx->Unmap(back, 0);
            release(back);
            release(vb);
        }
    }
}

// CopyResource copies only between buffers of one size into one that may
// change: an immutable target, or one of another size, keeps its bytes.
TEST_F(DeviceTest, BufferCopiesNeedOneSizeAndAChangeableTarget) {
    uint8_t a[64], b[64];
    memset(a, 0xaa, sizeof a);
    memset(b, 0xbb, sizeof b);
    auto make = [&](UINT bytes, D3D11_USAGE usage, const void *data) {
        D3D11_BUFFER_DESC d = {bytes, usage, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA init = {data, 0, 0};
        ID3D11Buffer *buf = nullptr;
        EXPECT_EQ(S_OK, dev->CreateBuffer(&d, &init, &buf));
        return buf;
    };
    auto first_byte = [&](ID3D11Buffer *src, UINT bytes) {
        D3D11_BUFFER_DESC sd = {bytes, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, 0, 0};
        ID3D11Buffer *back = nullptr;
        EXPECT_EQ(S_OK, dev->CreateBuffer(&sd, nullptr, &back));
        ctx->CopyResource(back, src);
        D3D11_MAPPED_SUBRESOURCE m;
        int v = -1;
        if (SUCCEEDED(ctx->Map(back, 0, D3D11_MAP_READ, 0, &m))) {
            v = ((const uint8_t *)m.pData)[0];
            ctx->Unmap(back, 0);
        }
        release(back);
        return v;
    };
    ID3D11Buffer *immutable = make(64, D3D11_USAGE_IMMUTABLE, a), *def = make(64, D3D11_USAGE_DEFAULT, a);
    ID3D11Buffer *src = make(64, D3D11_USAGE_DEFAULT, b), *small = make(32, D3D11_USAGE_DEFAULT, b);
    ctx->CopyResource(immutable, src);
    EXPECT_EQ(0xaa, first_byte(immutable, 64)) << "immutable target";
    ctx->CopyResource(def, small);
    EXPECT_EQ(0xaa, first_byte(def, 64)) << "smaller source";
    ctx->CopyResource(def, src);
    EXPECT_EQ(0xbb, first_byte(def, 64)) << "a valid copy";
    release(small);
    release(src);
    release(def);
    release(immutable);
}

TEST_F(DeviceTest, TextureValidation) {
    const UINT RT = D3D11_BIND_RENDER_TARGET, R = D3D11_CPU_ACCESS_READ;
    struct Case {
        UINT w, h;
        D3D11_USAGE usage;
        UINT bind, cpu;
        HRESULT want;
    } cases[] = {
        {64, 32, D3D11_USAGE_DEFAULT, RT, 0, S_OK},
        {0, 0, D3D11_USAGE_DEFAULT, RT, 0, E_INVALIDARG},
        {20000, 64, D3D11_USAGE_DEFAULT, RT, 0, E_INVALIDARG},
        {16384, 1, D3D11_USAGE_DEFAULT, RT, 0, S_OK},
        {64, 32, D3D11_USAGE_DEFAULT, RT, R, E_INVALIDARG},
        {64, 32, D3D11_USAGE_STAGING, 0, R, S_OK},
        {64, 32, D3D11_USAGE_STAGING, RT, R, E_INVALIDARG},
        {64, 32, D3D11_USAGE_STAGING, 0, 0, E_INVALIDARG},
    };
    for (const Case &c : cases) {
        D3D11_TEXTURE2D_DESC d = {c.w, c.h, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, c.usage, c.bind, c.cpu, 0};
        ID3D11Texture2D *t = nullptr;
        EXPECT_EQ(c.want, dev->CreateTexture2D(&d, nullptr, &t)) << c.w << "x" << c.h << " usage " << c.usage;
        if (t) {
            D3D11_TEXTURE2D_DESC got;
            t->GetDesc(&got);
            EXPECT_EQ(0, memcmp(&d, &got, sizeof d));
        }
        release(t);
    }
    D3D11_TEXTURE2D_DESC multi = {8, 8, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {4, 0}, D3D11_USAGE_DEFAULT, RT, 0, 0};
    ID3D11Texture2D *t = nullptr;
    EXPECT_EQ(E_INVALIDARG, dev->CreateTexture2D(&multi, nullptr, &t));
    // Initial data needs whole rows: a pitch short of width * 4 bytes would
    // be read past the caller's end.
    static uint32_t pixels[8 * 8];
    const struct {
        const void *data;
        UINT pitch;
        HRESULT want;
    } inits[] = {{pixels, 32, S_OK}, {pixels, 40, S_OK}, {pixels, 31, E_INVALIDARG}, {pixels, 8, E_INVALIDARG},
                 {nullptr, 32, E_INVALIDARG}};
    for (const auto &c : inits) {
        D3D11_TEXTURE2D_DESC d = {8, 4, 1, 1, DXGI_FORMAT_R8G8B8A8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT, RT, 0, 0};
        D3D11_SUBRESOURCE_DATA init = {c.data, c.pitch, 0};
        EXPECT_EQ(c.want, dev->CreateTexture2D(&d, &init, &t)) << "pitch " << c.pitch;
        release(t);
        t = nullptr;
    }
    ID3D11RenderTargetView *rtv = nullptr;
    ID3D11Texture2D *staging = texture(8, 8, D3D11_USAGE_STAGING, 0, R);
    EXPECT_EQ(E_INVALIDARG, dev->CreateRenderTargetView(staging, nullptr, &rtv)); // no RENDER_TARGET bind
    release(staging);
}

TEST_F(DeviceTest, ClearCopyAndReadBackWithPaddedRows) {
    // 13 pixels = 52 bytes a row: the staging copy pads rows to 256.
    ID3D11Texture2D *t = texture(13, 5, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
    ID3D11Texture2D *t2 = texture(13, 5, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
    ID3D11Texture2D *st = texture(13, 5, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
    ID3D11RenderTargetView *rtv = nullptr;
    ASSERT_EQ(S_OK, dev->CreateRenderTargetView(t, nullptr, &rtv));
    const float c[4] = {1.0f, 0.5f, 0.0f, 0.25f};
    ctx->ClearRenderTargetView(rtv, c);
    ctx->CopyResource(t2, t);
    ctx->CopyResource(st, t2);
    D3D11_MAPPED_SUBRESOURCE m;
    ASSERT_EQ(S_OK, ctx->Map(st, 0, D3D11_MAP_READ, 0, &m));
    EXPECT_EQ(256u, m.RowPitch);
    EXPECT_EQ(256u * 5, m.DepthPitch);
    for (int y = 0; y < 5; y++)
        for (int x = 0; x < 13; x++)
            ASSERT_EQ(rgba(255, 128, 0, 64), ((uint32_t *)((uint8_t *)m.pData + y * m.RowPitch))[x]) << x << "," << y;
    ctx->Unmap(st, 0);
    // A mismatched copy is undefined in Direct3D; here it leaves the target alone.
    ID3D11Texture2D *small = texture(4, 4, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
    ID3D11Texture2D *small_st = texture(4, 4, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
    ID3D11RenderTargetView *small_rtv = nullptr;
    ASSERT_EQ(S_OK, dev->CreateRenderTargetView(small, nullptr, &small_rtv));
    const float blue[4] = {0.0f, 0.0f, 1.0f, 1.0f};
    ctx->ClearRenderTargetView(small_rtv, blue);
    ctx->CopyResource(small, t);
    ctx->CopyResource(small_st, small);
    ASSERT_EQ(S_OK, ctx->Map(small_st, 0, D3D11_MAP_READ, 0, &m));
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 4; x++)
            ASSERT_EQ(rgba(0, 0, 255, 255), ((uint32_t *)((uint8_t *)m.pData + y * m.RowPitch))[x]) << x << "," << y;
    ctx->Unmap(small_st, 0);
    release(small_rtv);
    release(small_st);
    release(small);
    release(rtv);
    release(st);
    release(t2);
    release(t);
}

TEST_F(DeviceTest, MapRules) {
    ID3D11Buffer *dyn = nullptr, *def = nullptr, *stage_w = nullptr;
    D3D11_BUFFER_DESC d = {256, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
    ASSERT_EQ(S_OK, dev->CreateBuffer(&d, nullptr, &dyn));
    d = {256, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
    ASSERT_EQ(S_OK, dev->CreateBuffer(&d, nullptr, &def));
    d = {256, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_WRITE, 0, 0};
    ASSERT_EQ(S_OK, dev->CreateBuffer(&d, nullptr, &stage_w));
    ID3D11Texture2D *rt = texture(4, 4, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
    struct Case {
        ID3D11Resource *res;
        D3D11_MAP type;
        HRESULT want;
    } cases[] = {
        {dyn, D3D11_MAP_WRITE_DISCARD, S_OK},  {dyn, D3D11_MAP_WRITE_NO_OVERWRITE, S_OK},
        {dyn, D3D11_MAP_WRITE, E_INVALIDARG},  {dyn, D3D11_MAP_READ, E_INVALIDARG},
        {def, D3D11_MAP_WRITE, E_INVALIDARG},  {rt, D3D11_MAP_READ, E_INVALIDARG},
        {stage_w, D3D11_MAP_WRITE, S_OK},      {stage_w, D3D11_MAP_READ, E_INVALIDARG},
        {stage_w, D3D11_MAP_READ_WRITE, E_INVALIDARG},
    };
    for (const Case &c : cases) {
        D3D11_MAPPED_SUBRESOURCE m = {(void *)1, 1, 1};
        EXPECT_EQ(c.want, ctx->Map(c.res, 0, c.type, 0, &m)) << "map type " << c.type;
        EXPECT_EQ(c.want == S_OK, m.pData != nullptr);
        if (c.want == S_OK) ctx->Unmap(c.res, 0);
    }
    release(rt);
    release(stage_w);
    release(def);
    release(dyn);
}

TEST_F(DeviceTest, DiscardMapRenamesWhileKeepingData) {
    D3D11_BUFFER_DESC d = {64, D3D11_USAGE_DYNAMIC, D3D11_BIND_VERTEX_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
    ID3D11Buffer *b = nullptr;
    ASSERT_EQ(S_OK, dev->CreateBuffer(&d, nullptr, &b));
    D3D11_MAPPED_SUBRESOURCE m;
    ASSERT_EQ(S_OK, ctx->Map(b, 0, D3D11_MAP_WRITE_DISCARD, 0, &m));
    ASSERT_NE(nullptr, m.pData);
    void *first = m.pData;
    memset(first, 7, 64);
    ctx->Unmap(b, 0);
    // NO_OVERWRITE keeps the same memory; DISCARD never hands out memory that
    // recorded or submitted work still reads.
    ASSERT_EQ(S_OK, ctx->Map(b, 0, D3D11_MAP_WRITE_NO_OVERWRITE, 0, &m));
    EXPECT_EQ(first, m.pData);
    EXPECT_EQ(7, ((uint8_t *)m.pData)[63]);
    ctx->Unmap(b, 0);

    // A recorded copy still reads the sevens: the next DISCARD must rename,
    // and the copy must see the data as it was when it was recorded.
    D3D11_BUFFER_DESC dd = {64, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
    D3D11_BUFFER_DESC sd = {64, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, 0, 0};
    ID3D11Buffer *copy = nullptr, *back = nullptr;
    ASSERT_EQ(S_OK, dev->CreateBuffer(&dd, nullptr, &copy));
    ASSERT_EQ(S_OK, dev->CreateBuffer(&sd, nullptr, &back));
    ctx->CopyResource(copy, b);
    ASSERT_EQ(S_OK, ctx->Map(b, 0, D3D11_MAP_WRITE_DISCARD, 0, &m));
    ASSERT_NE(nullptr, m.pData);
    // The CPU executor has done the copy already: nothing reads the old
    // memory, and handing it out again is safe.
    if (!cpu_executor()) {
        EXPECT_NE(first, m.pData) << "DISCARD handed out memory a recorded copy still reads";
    }
    void *second = m.pData;
    memset(second, 9, 64);
    ctx->Unmap(b, 0);
    ASSERT_EQ(S_OK, ctx->Map(b, 0, D3D11_MAP_WRITE_NO_OVERWRITE, 0, &m));
    EXPECT_EQ(second, m.pData);
    ctx->Unmap(b, 0);
    ctx->CopyResource(back, copy);
    ASSERT_EQ(S_OK, ctx->Map(back, 0, D3D11_MAP_READ, 0, &m));
    ASSERT_NE(nullptr, m.pData);
    for (int i = 0; i < 64; i++) EXPECT_EQ(7, ((uint8_t *)m.pData)[i]) << i;
    ctx->Unmap(back, 0);
    release(back);
    release(copy);
    release(b);
}

TEST_F(DeviceTest, FaultInjectionFailsTheNthCallAndCreatesNothing) {
    D3D11_BUFFER_DESC d = {64, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
    plat_call_count_reset();
    plat_fail_call("CreateBuffer", 2, E_OUTOFMEMORY);
    ID3D11Buffer *a = nullptr, *b = nullptr, *c = nullptr;
    EXPECT_EQ(S_OK, dev->CreateBuffer(&d, nullptr, &a));
    int live = plat_live_objects();
    EXPECT_EQ(E_OUTOFMEMORY, dev->CreateBuffer(&d, nullptr, &b));
    EXPECT_EQ(nullptr, b);
    EXPECT_EQ(live, plat_live_objects());
    EXPECT_EQ(S_OK, dev->CreateBuffer(&d, nullptr, &c)); // each fault fires once
    EXPECT_EQ(1, plat_fail_fired());
    EXPECT_EQ(3, plat_call_count("CreateBuffer"));

    plat_fail_call("GetImmediateContext", 1, E_FAIL);
    ID3D11DeviceContext *got = (ID3D11DeviceContext *)&d;
    dev->GetImmediateContext(&got);
    EXPECT_EQ(nullptr, got);

    plat_fail_call("QueryInterface", 1, E_NOINTERFACE);
    IDXGIDevice1 *dxgi = nullptr;
    EXPECT_EQ(E_NOINTERFACE, dev->QueryInterface(IID_IDXGIDevice1, (void **)&dxgi));
    EXPECT_EQ(nullptr, dxgi);

    plat_fail_call("Map", 1, DXGI_ERROR_DEVICE_REMOVED);
    D3D11_MAPPED_SUBRESOURCE m;
    EXPECT_EQ(DXGI_ERROR_DEVICE_REMOVED, ctx->Map(a, 0, D3D11_MAP_WRITE_DISCARD, 0, &m));
    EXPECT_EQ(nullptr, m.pData);
    EXPECT_EQ(4, plat_fail_fired());
    release(a);
    release(c);
}

TEST_F(DeviceTest, RecordsOneLinePerCall) {
    D3D11_BUFFER_DESC d = {48, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE, 0, 0};
    ID3D11Buffer *b = nullptr;
    plat_record_begin();
    dev->CreateBuffer(&d, nullptr, &b);
    ctx->PSSetConstantBuffers(1, 1, &b);
    ctx->VSSetConstantBuffers(0, 0, nullptr);
    ctx->OMSetBlendState(nullptr, nullptr, 0xffffffff);
    ctx->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
    ctx->DrawInstanced(4, 1000, 0, 0);
    ctx->Draw(161, 322);
    D3D11_MAPPED_SUBRESOURCE m;
    ctx->Map(b, 0, D3D11_MAP_WRITE_DISCARD, 0, &m);
    ctx->Unmap(b, 0);
    plat_record_end();
    ctx->Flush(); // not recorded
    const char *want[] = {"CreateBuffer 48",  "PSSetConstantBuffers 1 1", "VSSetConstantBuffers 0 0",
                          "OMSetBlendState null", "IASetPrimitiveTopology 5", "DrawInstanced 4 1000 0 0",
                          "Draw 161 322", "Map 4", "Unmap"};
    ASSERT_EQ((int)(sizeof want / sizeof *want), plat_record_count());
    for (int i = 0; i < plat_record_count(); i++) EXPECT_STREQ(want[i], plat_record_line(i));
    release(b);
}

TEST(PerformanceCounter, FakeValuesOverrideTheClock) {
    LARGE_INTEGER a, b, f;
    QueryPerformanceCounter(&a);
    QueryPerformanceCounter(&b);
    EXPECT_LE(a.QuadPart, b.QuadPart);
    QueryPerformanceFrequency(&f);
    EXPECT_EQ(1000000000LL, f.QuadPart);
    plat_set_fake_counter(12345);
    plat_set_fake_frequency(1000);
    QueryPerformanceCounter(&a);
    QueryPerformanceFrequency(&f);
    EXPECT_EQ(12345, a.QuadPart);
    EXPECT_EQ(1000, f.QuadPart);
    plat_set_fake_counter(0);
    plat_set_fake_frequency(0);
    QueryPerformanceCounter(&a);
    EXPECT_GE(a.QuadPart, b.QuadPart);
}

// A device that is lost (or can no longer record or submit) is no finished
// device: Map fails with DXGI_ERROR_DEVICE_REMOVED instead of handing out
// stale data, and so does everything after it, as in Direct3D.
TEST_F(DeviceTest, LostDeviceIsReportedNotTakenForCompletion) {
    if (cpu_executor()) GTEST_SKIP() << "Vulkan queue and fences; the CPU executor has no device to lose";
    for (const char *op : {"vkBeginCommandBuffer", "vkQueueSubmit", "vkWaitForFences"}) {
        SCOPED_TRACE(op);
        release(ctx);
        release(dev);
        ASSERT_EQ(S_OK, D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                          &dev, nullptr, &ctx));
        ID3D11Texture2D *t = texture(4, 4, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
        ID3D11Texture2D *st = texture(4, 4, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
        ID3D11RenderTargetView *rtv = nullptr;
        ASSERT_EQ(S_OK, dev->CreateRenderTargetView(t, nullptr, &rtv));
        ctx->Flush(); // nothing recorded: the fault meets the work below
        EXPECT_EQ(S_OK, dev->GetDeviceRemovedReason());
        plat_fail_call(op, 1, E_FAIL);
        const float c[4] = {1, 0, 0, 1};
        ctx->ClearRenderTargetView(rtv, c);
        ctx->CopyResource(st, t);
        D3D11_MAPPED_SUBRESOURCE m = {(void *)1, 1, 1};
        EXPECT_EQ(DXGI_ERROR_DEVICE_REMOVED, ctx->Map(st, 0, D3D11_MAP_READ, 0, &m));
        EXPECT_EQ(nullptr, m.pData);
        EXPECT_EQ(1, plat_fail_fired());
        EXPECT_EQ(DXGI_ERROR_DEVICE_REMOVED, dev->GetDeviceRemovedReason());
        EXPECT_EQ(DXGI_ERROR_DEVICE_REMOVED, ctx->Map(st, 0, D3D11_MAP_READ, 0, &m));
        ctx->ClearRenderTargetView(rtv, c); // records nothing, fails nothing
        ctx->Flush();
        D3D11_BUFFER_DESC bd = {64, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
        ID3D11Buffer *b = nullptr;
        EXPECT_EQ(DXGI_ERROR_DEVICE_REMOVED, dev->CreateBuffer(&bd, nullptr, &b));
        EXPECT_EQ(nullptr, b);
        plat_fail_clear();
        release(rtv);
        release(st);
        release(t);
    }
}

// D3D11_MAP_FLAG_DO_NOT_WAIT: while a copy into a staging resource has not
// finished, Map says so instead of waiting; polling gets the data.
TEST_F(DeviceTest, DoNotWaitMapReportsStillDrawing) {
    if (cpu_executor()) GTEST_SKIP() << "the CPU executor finishes every draw before it returns";
    ID3D11Texture2D *t = texture(4, 4, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
    ID3D11Texture2D *st = texture(4, 4, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
    ID3D11RenderTargetView *rtv = nullptr;
    ASSERT_EQ(S_OK, dev->CreateRenderTargetView(t, nullptr, &rtv));
    D3D11_MAPPED_SUBRESOURCE m;
    EXPECT_EQ(S_OK, ctx->Map(st, 0, D3D11_MAP_READ, D3D11_MAP_FLAG_DO_NOT_WAIT, &m)); // never used: ready
    ctx->Unmap(st, 0);
    const float c[4] = {0, 1, 0, 1};
    ctx->ClearRenderTargetView(rtv, c);
    ctx->CopyResource(st, t);
    // The copy is only recorded: certainly not finished.
    EXPECT_EQ(DXGI_ERROR_WAS_STILL_DRAWING, ctx->Map(st, 0, D3D11_MAP_READ, D3D11_MAP_FLAG_DO_NOT_WAIT, &m));
    HRESULT hr = DXGI_ERROR_WAS_STILL_DRAWING;
    for (int i = 0; i < 5000 && hr == DXGI_ERROR_WAS_STILL_DRAWING; i++) {
        hr = ctx->Map(st, 0, D3D11_MAP_READ, D3D11_MAP_FLAG_DO_NOT_WAIT, &m);
        if (hr == DXGI_ERROR_WAS_STILL_DRAWING) usleep(1000);
    }
    ASSERT_EQ(S_OK, hr);
    EXPECT_EQ(rgba(0, 255, 0, 255), ((const uint32_t *)m.pData)[1]);
    ctx->Unmap(st, 0);
    // Waiting maps are unchanged.
    ctx->CopyResource(st, t);
    EXPECT_EQ(S_OK, ctx->Map(st, 0, D3D11_MAP_READ, 0, &m));
    ctx->Unmap(st, 0);
    release(rtv);
    release(st);
    release(t);
}
