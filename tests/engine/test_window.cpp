// The windowed path against a real X11 window (Xvfb in the test command):
// device fallback, swap chain, present, resize and swap-chain failures.
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <string.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "executor.h"
#include "capture/capture.h"
#include "exports.h"
#include "frame/frame.h"
#include "halvenor_galaxy.h"

namespace {

struct Window_ : testing::Test {
    Display *dpy = nullptr;
    Window win = 0;

    void SetUp() override {
        galaxy_destroy();
        plat_fail_clear();
        dpy = XOpenDisplay(nullptr);
        if (!dpy) GTEST_SKIP() << "no X display";
        // Away from the screen's top-left corner: a black patch the server
        // sometimes shows there would spoil the pixel comparisons.
        win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 200, 200, 96, 64, 0, 0, 0);
        XMapWindow(dpy, win);
        XSync(dpy, False);
    }
    void TearDown() override {
        galaxy_destroy();
        plat_fail_clear();
        if (dpy) {
            XDestroyWindow(dpy, win);
            XCloseDisplay(dpy);
        }
        EXPECT_EQ(plat_live_objects(), 0);
    }
    galaxy_window handle() const { return (galaxy_window)(uintptr_t)win; }

    // Pixels of the window's top-left w x h that differ from the last frame's
    // readback, once the X server has shown it (the presentation engine
    // updates the window on its own time).
    int window_mismatches(int w, int h) {
        const unsigned char *px;
        int rw, rh, s;
        if (galaxy_readback(&px, &rw, &rh, &s) != 0 || !px || rw != w || rh != h || s != w * 4) return -1;
        int mismatched = -1;
        for (int attempt = 0; attempt < 500 && mismatched != 0; attempt++) { // a busy machine shows it late
            if (attempt) usleep(10000);
            XImage *img = XGetImage(dpy, win, 0, 0, (unsigned)w, (unsigned)h, AllPlanes, ZPixmap);
            if (!img) continue;
            mismatched = 0;
            for (int y = 0; y < h; y++)
                for (int x = 0; x < w; x++) {
                    unsigned long p = XGetPixel(img, x, y);
                    const unsigned char *q = px + y * s + x * 4;
                    int r = (int)((p >> 16) & 255), g = (int)((p >> 8) & 255), b = (int)(p & 255);
                    mismatched += abs(r - q[0]) > 1 || abs(g - q[1]) > 1 || abs(b - q[2]) > 1;
                }
            XDestroyImage(img);
        }
        return mismatched;
    }
};

TEST_F(Window_, HardwareOrReferenceDevicePresents) {
    plat_call_count_reset();
    ASSERT_EQ(galaxy_create(handle(), 96, 64), 0) << galaxy_get_error();
    // A GPU serves the first (hardware) attempt; without one (and under
    // CTest, which limits Vulkan to lavapipe) the reference device follows.
    int attempts = plat_call_count("D3D11CreateDevice");
    EXPECT_TRUE(attempts == 1 || attempts == 2) << attempts;
    EXPECT_STREQ(galaxy_get_error(), "no error");
    EXPECT_EQ(g_eng.offscreen, 0);
    ASSERT_NE(g_eng.swap_chain, nullptr);
    DXGI_SWAP_CHAIN_DESC1 d;
    ASSERT_EQ(g_eng.swap_chain->GetDesc1(&d), S_OK);
    EXPECT_EQ(d.BufferCount, 2u);
    EXPECT_EQ(d.Width, 96u);
    EXPECT_EQ(d.Height, 64u);
    EXPECT_EQ(d.Format, DXGI_FORMAT_R8G8B8A8_UNORM);

    plat_record_begin();
    plat_call_count_reset();
    galaxy_frame();
    plat_record_end();
    if (!cpu_executor()) { // a CPU-executor device presents without Vulkan
        EXPECT_EQ(plat_call_count("CopyImage"), 1) << "the frame goes into the window in one copy";
        EXPECT_EQ(plat_call_count("QueueSubmit"), 1);
    }
    std::vector<std::string> tail;
    for (int i = 0; i < plat_record_count(); i++) {
        std::string l = plat_record_line(i);
        if (l.rfind("GetBuffer", 0) == 0 || l.rfind("CopyResource", 0) == 0 || l.rfind("Present", 0) == 0)
            tail.push_back(l);
    }
    ASSERT_EQ(tail.size(), 3u);
    EXPECT_EQ(tail[0].rfind("GetBuffer 0", 0), 0u);
    EXPECT_EQ(tail[1].rfind("CopyResource", 0), 0u);
    EXPECT_EQ(tail[2], "Present 1 0");

    // What the window shows is what the engine rendered.
    EXPECT_EQ(window_mismatches(96, 64), 0);
    const unsigned char *px;
    int w, h, s;
    ASSERT_EQ(galaxy_readback(&px, &w, &h, &s), 0);
    ASSERT_NE(px, nullptr); // guards for the reads below
    ASSERT_EQ(w, 96);
    ASSERT_EQ(h, 64);
    ASSERT_EQ(s, 96 * 4);
    int lit = 0;
    for (int i = 0; i < w * h; i++) lit += px[i * 4] > 40;
    EXPECT_GT(lit, 0); // the sun is in the middle of the default view
}

TEST_F(Window_, ResizeResizesTheBackBuffers) {
    ASSERT_EQ(galaxy_create(handle(), 96, 64), 0) << galaxy_get_error();
    plat_record_begin();
    galaxy_resize(48, 40);
    plat_record_end();
    bool resized = false;
    for (int i = 0; i < plat_record_count(); i++) resized |= std::string(plat_record_line(i)) == "ResizeBuffers 0 48 40";
    EXPECT_TRUE(resized);
    DXGI_SWAP_CHAIN_DESC1 d;
    g_eng.swap_chain->GetDesc1(&d);
    EXPECT_EQ(d.Width, 48u);
    EXPECT_EQ(d.Height, 40u);
    galaxy_frame();

    // A host resizes its window and then the engine: the window shows
    // exactly the frame at the new size.
    XResizeWindow(dpy, win, 120, 72);
    XSync(dpy, False);
    galaxy_resize(120, 72);
    galaxy_frame();
    EXPECT_EQ(window_mismatches(120, 72), 0);
}

TEST_F(Window_, SwapChainFailures) {
    const struct {
        const char *op; // null: a window id that does not exist
        HRESULT hr;
        const char *message; // null: any "CreateSwapChainForHwnd failed: 0x..."
    } cases[] = {
        {nullptr, 0, nullptr},
        {"QueryInterface", E_NOINTERFACE, "CreateSwapChainForHwnd failed: 0x80004005"},
        {"GetAdapter", E_FAIL, "CreateSwapChainForHwnd failed: 0x80004005"},
        {"GetParent", E_NOINTERFACE, "CreateSwapChainForHwnd failed: 0x80004002"},
        {"CreateSwapChainForHwnd", E_OUTOFMEMORY, "CreateSwapChainForHwnd failed: 0x8007000E"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.op ? c.op : "bad window");
        plat_fail_clear();
        galaxy_window wnd = handle();
        if (c.op) plat_fail_call(c.op, 1, c.hr);
        else wnd = (galaxy_window)(uintptr_t)0x7ffffff0; // not a window
        EXPECT_EQ(galaxy_create(wnd, 96, 64), -1);
        if (c.message) EXPECT_STREQ(galaxy_get_error(), c.message);
        else EXPECT_EQ(strncmp(galaxy_get_error(), "CreateSwapChainForHwnd failed: 0x", 33), 0) << galaxy_get_error();
        EXPECT_EQ(g_ready, 0);
        EXPECT_EQ(g_eng.swap_chain, nullptr);
        EXPECT_EQ(g_eng.device, nullptr);
        EXPECT_EQ(plat_live_objects(), 0);
    }
    plat_fail_clear();
    EXPECT_EQ(galaxy_create(nullptr, 96, 64), -1); // a null window
    EXPECT_EQ(plat_live_objects(), 0);
}

TEST_F(Window_, BothDevicesFailing) {
    plat_fail_call("D3D11CreateDevice", 1, (HRESULT)0x887A0004);
    plat_fail_call("D3D11CreateDevice", 2, E_OUTOFMEMORY);
    EXPECT_EQ(galaxy_create(handle(), 96, 64), -1);
    EXPECT_STREQ(galaxy_get_error(), "D3D11CreateDevice failed: 0x8007000E");
    EXPECT_EQ(plat_live_objects(), 0);
}

} // namespace
