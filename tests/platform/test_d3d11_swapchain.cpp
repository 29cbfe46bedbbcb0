// DXGI swap chain on an X11 window (skipped without a display).
#include "test_d3d11_fixture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <stdlib.h>
#include <unistd.h>

namespace {

struct SwapChainTest : D3D11Test {
    Display *x = nullptr;
    Window win = 0;
    IDXGIFactory2 *factory = nullptr;
    IDXGISwapChain1 *sc = nullptr;
    static constexpr UINT W = 64, H = 48;

    void SetUp() override {
        if (!getenv("DISPLAY") || !(x = XOpenDisplay(nullptr))) GTEST_SKIP() << "no X display";
        win = XCreateSimpleWindow(x, DefaultRootWindow(x), 0, 0, W, H, 0, 0, 0);
        XMapWindow(x, win);
        XSync(x, False);
        D3D11Test::SetUp();
        // The engine's path from the device to the factory.
        IDXGIDevice1 *dxgi = nullptr;
        IDXGIAdapter *adapter = nullptr;
        ASSERT_EQ(S_OK, dev->QueryInterface(IID_IDXGIDevice1, (void **)&dxgi));
        ASSERT_EQ(S_OK, dxgi->GetAdapter(&adapter));
        ASSERT_EQ(S_OK, adapter->GetParent(IID_IDXGIFactory2, (void **)&factory));
        adapter->Release();
        dxgi->Release();
        DXGI_SWAP_CHAIN_DESC1 d = desc();
        ASSERT_EQ(S_OK, factory->CreateSwapChainForHwnd(dev, hwnd(win), &d, nullptr, nullptr, &sc));
    }
    void TearDown() override {
        if (!x) return;
        release(sc);
        release(factory);
        D3D11Test::TearDown();
        XDestroyWindow(x, win);
        XCloseDisplay(x);
    }

    static HWND hwnd(Window w) { return (HWND)(uintptr_t)w; }
    static DXGI_SWAP_CHAIN_DESC1 desc() {
        return {W, H, DXGI_FORMAT_R8G8B8A8_UNORM, FALSE, {1, 0}, DXGI_USAGE_RENDER_TARGET_OUTPUT, 2,
                DXGI_SCALING_STRETCH, DXGI_SWAP_EFFECT_FLIP_DISCARD, DXGI_ALPHA_MODE_UNSPECIFIED, 0};
    }
    ID3D11Texture2D *back_buffer() {
        ID3D11Texture2D *t = nullptr;
        EXPECT_EQ(S_OK, sc->GetBuffer(0, IID_ID3D11Texture2D, (void **)&t));
        return t;
    }
    // Clears the back buffer through a view and presents it.
    HRESULT present(const float (&c)[4], UINT sync) {
        ID3D11Texture2D *bb = back_buffer();
        ID3D11RenderTargetView *rtv = nullptr;
        EXPECT_EQ(S_OK, dev->CreateRenderTargetView(bb, nullptr, &rtv));
        ctx->ClearRenderTargetView(rtv, c);
        rtv->Release();
        bb->Release();
        return sc->Present(sync, 0);
    }
    // A window pixel (the centre by default) as 0xRRGGBB, once the X server has it.
    unsigned long window_pixel(unsigned long want, int px = W / 2, int py = H / 2) {
        unsigned long got = 0;
        for (int i = 0; i < 500 && got != want; i++) { // presentation is asynchronous; the machine may be busy
            XImage *img = XGetImage(x, win, px, py, 1, 1, AllPlanes, ZPixmap);
            if (img) {
                got = XGetPixel(img, 0, 0) & 0xffffff;
                XDestroyImage(img);
            }
            if (got != want) usleep(10000);
        }
        return got;
    }
};

TEST_F(SwapChainTest, BadWindowsAndDescriptionsFailWithoutCrashing) {
    struct Case {
        HWND window;
        UINT buffers;
        DXGI_SWAP_EFFECT effect;
        HRESULT want;
    } cases[] = {
        {nullptr, 2, DXGI_SWAP_EFFECT_FLIP_DISCARD, DXGI_ERROR_INVALID_CALL},
        {hwnd(0x7ffffff0), 2, DXGI_SWAP_EFFECT_FLIP_DISCARD, DXGI_ERROR_INVALID_CALL}, // no such window
        {hwnd(win), 1, DXGI_SWAP_EFFECT_FLIP_DISCARD, DXGI_ERROR_INVALID_CALL},
        {hwnd(win), 2, DXGI_SWAP_EFFECT_DISCARD, DXGI_ERROR_INVALID_CALL}, // blt model is not offered
    };
    for (const Case &c : cases) {
        DXGI_SWAP_CHAIN_DESC1 d = desc();
        d.BufferCount = c.buffers;
        d.SwapEffect = c.effect;
        IDXGISwapChain1 *s = (IDXGISwapChain1 *)&d;
        EXPECT_EQ(c.want, factory->CreateSwapChainForHwnd(dev, c.window, &d, nullptr, nullptr, &s));
        EXPECT_EQ(nullptr, s);
    }
}

TEST_F(SwapChainTest, PresentShowsTheBackBufferInTheWindow) {
    ID3D11Texture2D *bb = back_buffer();
    D3D11_TEXTURE2D_DESC d;
    bb->GetDesc(&d);
    EXPECT_EQ(W, d.Width);
    EXPECT_EQ(H, d.Height);
    EXPECT_EQ(DXGI_FORMAT_R8G8B8A8_UNORM, d.Format);
    bb->Release();
    const float red[4] = {1, 0, 0, 1}, blue[4] = {0, 0, 1, 1};
    // RGBA back buffer into a BGRA window: a swapped channel shows up here.
    EXPECT_EQ(S_OK, present(red, 1));
    EXPECT_EQ(0xff0000ul, window_pixel(0xff0000));
    EXPECT_EQ(S_OK, present(blue, 0)); // and without vsync
    EXPECT_EQ(0x0000fful, window_pixel(0x0000ff));
}

TEST_F(SwapChainTest, CopyResourceIntoTheBackBuffer) {
    ID3D11Texture2D *scene = texture(W, H, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
    ID3D11RenderTargetView *rtv = nullptr;
    ASSERT_EQ(S_OK, dev->CreateRenderTargetView(scene, nullptr, &rtv));
    const float green[4] = {0, 1, 0, 1};
    for (int frame = 0; frame < 5; frame++) {
        ctx->ClearRenderTargetView(rtv, green);
        ID3D11Texture2D *bb = back_buffer();
        ctx->CopyResource(bb, scene);
        bb->Release();
        ASSERT_EQ(S_OK, sc->Present(1, 0));
    }
    EXPECT_EQ(0x00ff00ul, window_pixel(0x00ff00));
    rtv->Release();
    scene->Release();
}

TEST_F(SwapChainTest, ResizeNeedsEveryBackBufferReferenceGone) {
    ID3D11Texture2D *bb = back_buffer();
    EXPECT_EQ(DXGI_ERROR_INVALID_CALL, sc->ResizeBuffers(0, 32, 16, DXGI_FORMAT_UNKNOWN, 0));
    ID3D11RenderTargetView *rtv = nullptr;
    ASSERT_EQ(S_OK, dev->CreateRenderTargetView(bb, nullptr, &rtv));
    bb->Release();
    EXPECT_EQ(DXGI_ERROR_INVALID_CALL, sc->ResizeBuffers(0, 32, 16, DXGI_FORMAT_UNKNOWN, 0)); // the view holds it
    ctx->OMSetRenderTargets(1, &rtv, nullptr);
    rtv->Release();
    EXPECT_EQ(DXGI_ERROR_INVALID_CALL, sc->ResizeBuffers(0, 32, 16, DXGI_FORMAT_UNKNOWN, 0)); // still bound
    ctx->OMSetRenderTargets(0, nullptr, nullptr);

    plat_record_begin();
    ASSERT_EQ(S_OK, sc->ResizeBuffers(0, 32, 16, DXGI_FORMAT_UNKNOWN, 0));
    plat_record_end();
    ASSERT_EQ(1, plat_record_count());
    EXPECT_STREQ("ResizeBuffers 0 32 16", plat_record_line(0));
    DXGI_SWAP_CHAIN_DESC1 d;
    sc->GetDesc1(&d);
    EXPECT_EQ(32u, d.Width);
    EXPECT_EQ(16u, d.Height);
    EXPECT_EQ(2u, d.BufferCount);
    bb = back_buffer();
    D3D11_TEXTURE2D_DESC td;
    bb->GetDesc(&td);
    EXPECT_EQ(32u, td.Width);
    bb->Release();
    const float white[4] = {1, 1, 1, 1};
    EXPECT_EQ(S_OK, present(white, 1)); // stretched into the 64x48 window
    EXPECT_EQ(0xfffffful, window_pixel(0xffffff));

    ASSERT_EQ(S_OK, sc->ResizeBuffers(0, 0, 0, DXGI_FORMAT_UNKNOWN, 0)); // zero: the window's size
    sc->GetDesc1(&d);
    EXPECT_EQ(W, d.Width);
    EXPECT_EQ(H, d.Height);
}

TEST_F(SwapChainTest, WindowResizeRebuildsThePresentation) {
    const float red[4] = {1, 0, 0, 1}, green[4] = {0, 1, 0, 1};
    EXPECT_EQ(S_OK, present(red, 1));
    XResizeWindow(x, win, 2 * W, 2 * H);
    XSync(x, False);
    // The stale swapchain is rebuilt at the new size (its frame may be
    // dropped); the back buffers keep theirs and are stretched.
    for (int i = 0; i < 3; i++) EXPECT_EQ(S_OK, present(green, 1));
    EXPECT_EQ(0x00ff00ul, window_pixel(0x00ff00, 2 * W - 4, 2 * H - 4));
}

TEST_F(SwapChainTest, FaultsAndRecordLines) {
    plat_fail_call("Present", 1, DXGI_ERROR_DEVICE_REMOVED);
    plat_fail_call("GetBuffer", 1, E_OUTOFMEMORY);
    plat_fail_call("ResizeBuffers", 1, E_OUTOFMEMORY);
    EXPECT_EQ(DXGI_ERROR_DEVICE_REMOVED, sc->Present(1, 0));
    ID3D11Texture2D *t = (ID3D11Texture2D *)&t;
    EXPECT_EQ(E_OUTOFMEMORY, sc->GetBuffer(0, IID_ID3D11Texture2D, (void **)&t));
    EXPECT_EQ(nullptr, t);
    EXPECT_EQ(E_OUTOFMEMORY, sc->ResizeBuffers(0, 16, 16, DXGI_FORMAT_UNKNOWN, 0));
    EXPECT_EQ(3, plat_fail_fired());
    DXGI_SWAP_CHAIN_DESC1 d;
    sc->GetDesc1(&d);
    EXPECT_EQ(W, d.Width); // the failed resize changed nothing

    plat_fail_call("CreateSwapChainForHwnd", 1, E_OUTOFMEMORY);
    IDXGISwapChain1 *other = nullptr;
    d = desc();
    int live = plat_live_objects();
    EXPECT_EQ(E_OUTOFMEMORY, factory->CreateSwapChainForHwnd(dev, hwnd(win), &d, nullptr, nullptr, &other));
    EXPECT_EQ(live, plat_live_objects());

    // The layer's own QueryInterface of the device is no call position of the caller.
    release(sc);
    plat_fail_clear();
    plat_fail_call("QueryInterface", 1, E_NOINTERFACE);
    ASSERT_EQ(S_OK, factory->CreateSwapChainForHwnd(dev, hwnd(win), &d, nullptr, nullptr, &sc));
    EXPECT_EQ(0, plat_fail_fired());
    plat_fail_clear();

    plat_record_begin();
    t = back_buffer();
    t->Release();
    sc->Present(1, 0);
    plat_record_end();
    ASSERT_EQ(2, plat_record_count());
    EXPECT_STREQ("GetBuffer 0", plat_record_line(0));
    EXPECT_STREQ("Present 1 0", plat_record_line(1));
}

} // namespace
