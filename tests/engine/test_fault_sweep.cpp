// Fault sweep: every call position of every failable platform operation in
// creation (offscreen and windowed), quality change, resize, frame and
// capture fails once in turn. Each outcome must be the documented one, the
// engine whole or fully released, nothing left alive after destroy, and the
// next engine must work. Heap failures of the engine's own arrays follow.
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>
#include <X11/Xlib.h>
#include <stdint.h>
#include <string.h>
#include <string>
#include <vector>

#include "scratch.h"
#include "alloc_fail.h"
#include "exports.h"
#include "halvenor_galaxy.h"

namespace {

const HRESULT k_hr = E_OUTOFMEMORY;
const char *const k_code = "0x8007000E";

// Every platform operation that can be made to fail.
const char *const k_ops[] = {"D3D11CreateDevice", "GetImmediateContext", "D3DCompile",    "CreateVertexShader",
                             "CreatePixelShader", "CreateInputLayout",   "CreateBlendState", "CreateRasterizerState",
                             "CreateBuffer",      "CreateTexture2D",     "CreateRenderTargetView", "CreateDepthStencilView",
                             "CreateDepthStencilState", "QueryInterface",
                             "GetAdapter",        "GetParent",           "CreateSwapChainForHwnd", "GetBuffer",
                             "ResizeBuffers",     "Present",             "Map"};

int g_faults; // injected so far, reported at the end

struct Position {
    const char *op;
    int nth;
    int count; // calls of op in the scenario
};

std::string where(const Position &p) { return std::string(p.op) + " #" + std::to_string(p.nth); }

// Runs the scenario once with counting on, then once per call position with
// that call failing; judge() checks each outcome. setup() builds the state the
// action starts from and must succeed every time, which also shows that the
// previous fault left nothing behind that spoils the next engine.
template <typename Setup, typename Action, typename Judge>
void sweep(Setup setup, Action action, Judge judge) {
    setup();
    plat_call_count_reset();
    action();
    std::vector<Position> positions;
    for (const char *op : k_ops)
        for (int n = 1, count = plat_call_count(op); n <= count; n++) positions.push_back({op, n, count});
    galaxy_destroy();
    ASSERT_FALSE(positions.empty());
    for (const Position &p : positions) {
        SCOPED_TRACE(where(p));
        setup();
        set_error("previous"); // shows whether the fault wrote a message
        plat_fail_clear();
        plat_fail_call(p.op, p.nth, k_hr);
        action();
        ASSERT_EQ(plat_fail_fired(), 1);
        plat_fail_clear();
        g_faults++;
        judge(p);
        galaxy_destroy();
        ASSERT_EQ(plat_live_objects(), 0);
        EXPECT_EQ(plat_validation_messages(), 0);
    }
}

// Every object a created engine must hold.
void expect_whole() {
    const Engine &e = g_eng;
    ASSERT_EQ(g_ready, 1);
    ASSERT_EQ(e.created, 1);
    const void *whole[] = {e.device,  e.context, e.vs_quad,    e.vs_par,     e.vs_disk,   e.vs_rock,  e.vs_line,
                           e.ps_quad, e.ps_par,  e.ps_disk,    e.ps_flat,    e.il_quad,   e.il_par,   e.il_rock,
                           e.il_line, e.blend_add, e.raster,   e.depth_less, e.cb_globals, e.cb_params, e.render_tex, e.rtv,
                           e.depth_tex, e.dsv, e.staging_tex, e.bodies, e.bodies_vb, e.glows,    e.glow_vb,   e.rings,    e.ring_vb};
    for (size_t i = 0; i < sizeof whole / sizeof whole[0]; i++) EXPECT_NE(whole[i], nullptr) << "object " << i;
}

void expect_released() {
    const Engine &e = g_eng;
    EXPECT_EQ(g_ready, 0);
    EXPECT_EQ(e.created, 0);
    const void *ptrs[] = {e.device,  e.context, e.swap_chain, e.render_tex, e.staging_tex, e.rtv,     e.depth_tex,
                          e.dsv,     e.depth_less, e.vs_quad,
                          e.vs_par,  e.vs_disk, e.vs_rock,    e.vs_line,    e.ps_quad,     e.ps_par,  e.ps_disk,
                          e.ps_flat, e.il_quad, e.il_par,     e.il_rock,    e.il_line,     e.blend_add, e.raster,
                          e.cb_globals, e.cb_params, e.stars_vb, e.belt_vb, e.bodies_vb,  e.glow_vb, e.ring_vb,
                          e.galaxy_vb, e.disk_vb, e.rock_mesh_vb, e.rock_inst_vb, e.lines_vb, e.stars, e.belt,
                          e.bodies,  e.glows,   e.rings,      e.rocks};
    for (size_t i = 0; i < sizeof ptrs / sizeof ptrs[0]; i++) EXPECT_EQ(ptrs[i], nullptr) << "field " << i;
    EXPECT_EQ(plat_live_objects(), 0);
}

// The content sets whose buffer is missing.
std::vector<std::string> empty_sets() {
    const Engine &e = g_eng;
    const struct { const char *name; const void *vb; } sets[] = {
        {"stars", e.stars_vb},    {"belt", e.belt_vb},          {"galaxy", e.galaxy_vb}, {"disk", e.disk_vb},
        {"rock mesh", e.rock_mesh_vb}, {"rocks", e.rock_inst_vb}, {"lines", e.lines_vb}};
    std::vector<std::string> out;
    for (auto s : sets)
        if (!s.vb) out.push_back(s.name);
    return out;
}

// A frame, then a readback of the engine's size: the engine still renders.
// Every scene lights part of even the smallest frame (its centre body, glow
// or disc, and the stars), so a frame that comes back black means a fault
// left the engine drawing nothing.
void expect_renders() {
    galaxy_frame();
    const unsigned char *px = nullptr;
    int w = 0, h = 0, s = 0;
    ASSERT_EQ(galaxy_readback(&px, &w, &h, &s), 0) << galaxy_get_error();
    EXPECT_EQ(w, g_eng.width);
    EXPECT_EQ(h, g_eng.height);
    int lit = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const unsigned char *p = px + (size_t)y * s + (size_t)x * 4;
            lit += (p[0] | p[1] | p[2]) != 0;
        }
    EXPECT_GT(lit, 0) << "a black frame";
}

// What a failed creation step reports; null: no message (the text keeps its
// previous content). Creation calls D3DCompile for the nine programs (no
// diagnostics on an injected failure), then once per input layout.
std::string creation_message(const Position &p, bool windowed) {
    const std::string op = p.op;
    const std::string code = k_code;
    if (op == "D3D11CreateDevice") return windowed ? "D3D11CreateDevice failed: " + code : "D3D11CreateDevice(WARP) failed: " + code;
    if (op == "GetImmediateContext") return "GetImmediateContext returned no context";
    // The nine programs in creation order, vertex and pixel alternating.
    static const char *const programs[] = {"vs quad", "ps quad", "vs par",  "ps par", "vs disk",
                                           "ps disk", "vs rock", "ps flat", "vs line"};
    if (op == "D3DCompile") {
        static const char *const layouts[] = {"quad", "par", "rock", "line"};
        return p.nth <= 9 ? std::string("D3DCompile(") + programs[p.nth - 1] + ") failed: " + code
                          : std::string("D3DCompile(") + layouts[p.nth - 10] + " layout) failed";
    }
    if (op == "CreateVertexShader") return op + " " + (programs[2 * (p.nth - 1)] + 3) + " failed: " + code;
    if (op == "CreatePixelShader") return op + " " + (programs[2 * p.nth - 1] + 3) + " failed: " + code;
    if (op == "CreateInputLayout") {
        static const char *const names[] = {"quad", "par", "rock", "line"};
        return "CreateInputLayout(" + std::string(names[p.nth - 1]) + ") failed: " + code;
    }
    if (op == "CreateBlendState" || op == "CreateRasterizerState") return op + " failed";
    if (op == "CreateBuffer") {
        static const int sizes[] = {256, 16, 320, 320, 128}; // constants, bodies, glows, rings
        return "CreateDynBuffer(" + std::to_string(sizes[p.nth - 1]) + ") failed: " + code;
    }
    if (op == "CreateTexture2D") {
        static const char *const textures[] = {"render", "depth", "staging"};
        return std::string("CreateTexture2D(") + textures[p.nth - 1] + ") failed";
    }
    if (op == "CreateRenderTargetView") return "CreateRenderTargetView(render) failed";
    if (op == "CreateDepthStencilView") return "CreateDepthStencilView(depth) failed";
    if (op == "CreateDepthStencilState") return "CreateDepthStencilState failed";
    // The DXGI chain: a missing device or adapter is reported as E_FAIL.
    if (op == "QueryInterface" || op == "GetAdapter") return "CreateSwapChainForHwnd failed: 0x80004005";
    if (op == "GetParent" || op == "CreateSwapChainForHwnd") return "CreateSwapChainForHwnd failed: " + code;
    return "unexpected operation " + op;
}

int g_create_rc;

void judge_creation(const Position &p, bool windowed) {
    const std::string op = p.op;
    // Only the content buffers (after the five dynamic ones), the uploads and
    // the wait of the pipeline warm-up (every Map) and, for a window, the
    // first (hardware) device attempt, after which the reference device
    // follows whether or not there is a GPU, may fail without failing
    // creation.
    bool content = op == "CreateBuffer" && p.nth > 5;
    bool warm_up = op == "Map";
    bool fallback = windowed && op == "D3D11CreateDevice" && p.nth == 1;
    if (content || warm_up || fallback) {
        ASSERT_EQ(g_create_rc, 0) << galaxy_get_error();
        expect_whole();
        EXPECT_EQ(g_eng.swap_chain != nullptr, windowed);
        EXPECT_STREQ(galaxy_get_error(), "no error");
        EXPECT_EQ(empty_sets().size(), content ? 1u : 0u);
        expect_renders();
        return;
    }
    EXPECT_EQ(g_create_rc, -1);
    EXPECT_EQ(galaxy_get_error(), creation_message(p, windowed));
    expect_released();
    galaxy_frame(); // not ready: nothing happens
    galaxy_resize(8, 8);
    ASSERT_EQ(galaxy_create_offscreen(8, 8), 0) << galaxy_get_error(); // the next engine works
    galaxy_destroy();
}

struct FaultSweep : testing::Test {
    void SetUp() override {
        galaxy_destroy();
        plat_fail_clear();
        alloc_fail_clear();
    }
    void TearDown() override {
        galaxy_destroy();
        plat_fail_clear();
        alloc_fail_clear();
        EXPECT_EQ(plat_live_objects(), 0);
    }
    static void TearDownTestSuite() { printf("fault sweep: %d faults injected\n", g_faults); }
};

// A mapped X window for the windowed scenarios; skips without a display.
struct XWindow {
    Display *dpy = nullptr;
    Window win = 0;
    XWindow() {
        dpy = XOpenDisplay(nullptr);
        if (!dpy) return;
        win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 16, 16, 0, 0, 0);
        XMapWindow(dpy, win);
        XSync(dpy, False);
    }
    ~XWindow() {
        galaxy_destroy();
        if (!dpy) return;
        XDestroyWindow(dpy, win);
        XCloseDisplay(dpy);
    }
    galaxy_window handle() const { return (galaxy_window)(uintptr_t)win; }
};

TEST_F(FaultSweep, OffscreenCreation) {
    sweep([] {}, [] { g_create_rc = galaxy_create_offscreen(16, 16); },
          [](const Position &p) { judge_creation(p, false); });
}

TEST_F(FaultSweep, WindowedCreation) {
    XWindow x;
    if (!x.dpy) GTEST_SKIP() << "no X display";
    galaxy_window win = x.handle();
    sweep([] {}, [win] { g_create_rc = galaxy_create(win, 16, 16); },
          [](const Position &p) { judge_creation(p, true); });
}

// The quality change rebuilds five sets, one buffer each; a failed buffer
// leaves only its own set empty, reported with its byte size.
TEST_F(FaultSweep, QualityChange) {
    sweep([] { ASSERT_EQ(galaxy_create_offscreen(16, 16), 0); }, [] { galaxy_set_quality(0); },
          [](const Position &p) {
              ASSERT_STREQ(p.op, "CreateBuffer");
              static const struct { const char *set; int bytes; } sets[] = {
                  {"stars", 3200000}, {"belt", 800000}, {"galaxy", 3200000}, {"disk", 256000}, {"rocks", 9600}};
              ASSERT_LE(p.nth, 5);
              expect_whole();
              EXPECT_EQ(g_eng.quality, 0);
              EXPECT_EQ(empty_sets(), std::vector<std::string>{sets[p.nth - 1].set});
              EXPECT_EQ(galaxy_get_error(),
                        "CreateBuffer(" + std::to_string(sets[p.nth - 1].bytes) + ") failed: " + k_code);
              expect_renders();
          });
}

// A failed resize keeps the engine created without the missing objects;
// capture names the gap, and the next resize repairs it.
TEST_F(FaultSweep, OffscreenResize) {
    sweep([] { ASSERT_EQ(galaxy_create_offscreen(16, 16), 0); }, [] { galaxy_resize(24, 20); },
          [](const Position &p) {
              static const struct { const char *op; int nth; const char *message, *shot; } k[] = {
                  {"CreateTexture2D", 1, "CreateTexture2D(render) failed", "screenshot: not created"},
                  {"CreateRenderTargetView", 1, "CreateRenderTargetView(render) failed", "screenshot: no staging texture"},
                  {"CreateTexture2D", 2, "CreateTexture2D(depth) failed", "screenshot: no staging texture"},
                  {"CreateDepthStencilView", 1, "CreateDepthStencilView(depth) failed", "screenshot: no staging texture"},
                  {"CreateTexture2D", 3, "CreateTexture2D(staging) failed", "screenshot: no staging texture"}};
              const auto *end = k + sizeof k / sizeof k[0];
              const auto *c = &k[0];
              while (c != end && !(strcmp(c->op, p.op) == 0 && c->nth == p.nth)) c++;
              ASSERT_NE(c, end) << "unexpected operation in resize";
              EXPECT_STREQ(galaxy_get_error(), c->message);
              EXPECT_EQ(g_ready, 1);
              EXPECT_EQ(g_eng.width, 24);
              EXPECT_EQ(g_eng.height, 20);
              EXPECT_EQ(g_eng.staging_tex, nullptr);
              galaxy_frame(); // draws if it can, never into a missing target
              const unsigned char *px = (const unsigned char *)&px;
              int w = -1, h = -1, s = -1;
              EXPECT_EQ(galaxy_readback(&px, &w, &h, &s), -1);
              EXPECT_STREQ(galaxy_get_error(), "readback: not created");
              EXPECT_EQ(w, -1);
              EXPECT_EQ(galaxy_screenshot(scratch_path("sweep.png").c_str()), -1);
              EXPECT_STREQ(galaxy_get_error(), c->shot);
              galaxy_resize(30, 18);
              expect_whole();
              expect_renders();
          });
}

// Frames report nothing: a failed upload or present only costs that frame.
TEST_F(FaultSweep, OffscreenFrameInEveryMode) {
    for (int mode = 0; mode < 4; mode++) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        sweep(
            [mode] {
                ASSERT_EQ(galaxy_create_offscreen(16, 16), 0);
                galaxy_set_quality(0);
                galaxy_set_mode(mode);
            },
            [] { galaxy_frame(); },
            [](const Position &p) {
                EXPECT_STREQ(p.op, "Map"); // uploads: constants and per-frame instances
                EXPECT_STREQ(galaxy_get_error(), "previous");
                expect_whole();
                expect_renders();
            });
    }
}

TEST_F(FaultSweep, WindowedResizeAndFrame) {
    XWindow x;
    if (!x.dpy) GTEST_SKIP() << "no X display";
    galaxy_window win = x.handle();
    auto setup = [win] {
        ASSERT_EQ(galaxy_create(win, 16, 16), 0) << galaxy_get_error();
        galaxy_set_quality(0);
    };
    // Resize: a failed ResizeBuffers is reported; the next frame resizes the
    // back buffers again and presents at the new size.
    sweep(setup, [] { galaxy_resize(20, 12); },
          [](const Position &p) {
              EXPECT_EQ(g_ready, 1);
              if (strcmp(p.op, "ResizeBuffers") != 0) return; // the render target: as offscreen
              EXPECT_EQ(galaxy_get_error(), std::string("ResizeBuffers failed: ") + k_code);
              expect_whole();
              plat_call_count_reset();
              expect_renders();
              EXPECT_EQ(plat_call_count("ResizeBuffers"), 1);
              EXPECT_EQ(plat_call_count("Present"), 1);
              ID3D11Texture2D *back = nullptr;
              ASSERT_EQ(g_eng.swap_chain->GetBuffer(0, IID_ID3D11Texture2D, (void **)&back), S_OK);
              D3D11_TEXTURE2D_DESC d;
              back->GetDesc(&d);
              back->Release();
              EXPECT_EQ(d.Width, 20u);
              EXPECT_EQ(d.Height, 12u);
          });
    // Frame: a failed upload costs that draw; a failed GetBuffer or Present
    // is reported, and the frame still presents.
    static int presents;
    sweep(setup,
          [] {
              plat_call_count_reset();
              galaxy_frame();
              presents = plat_call_count("Present");
          },
          [](const Position &p) {
              const std::string op = p.op;
              EXPECT_TRUE(op == "Map" || op == "GetBuffer" || op == "Present")
                  << "unexpected operation in a windowed frame";
              EXPECT_EQ(presents, 1);
              EXPECT_EQ(galaxy_get_error(), op == "Map" ? std::string("previous") : op + " failed: " + k_code);
              expect_whole();
              expect_renders();
          });
}

// A failed Map in a capture: -1 with the removal reason (none here), outputs
// untouched, and the engine captures again afterwards.
TEST_F(FaultSweep, Capture) {
    auto setup = [] {
        ASSERT_EQ(galaxy_create_offscreen(16, 16), 0);
        galaxy_set_quality(0);
        galaxy_frame();
    };
    sweep(setup,
          [] {
              const unsigned char *px = (const unsigned char *)&px;
              int w = -1, h = -1, s = -1;
              int rc = galaxy_readback(&px, &w, &h, &s);
              if (rc == -1) {
                  EXPECT_TRUE(px == (const unsigned char *)&px && w == -1 && h == -1 && s == -1);
              }
          },
          [](const Position &p) {
              EXPECT_STREQ(p.op, "Map");
              EXPECT_STREQ(galaxy_get_error(), "readback: Map failed deviceremoved=0x00000000");
              expect_renders();
          });
    static int rc;
    sweep(setup, [] { rc = galaxy_screenshot(scratch_path("sweep.png").c_str()); },
          [](const Position &p) {
              EXPECT_STREQ(p.op, "Map");
              EXPECT_EQ(rc, -1);
              EXPECT_EQ(galaxy_get_error(), std::string("screenshot: Map failed ") + k_code + " deviceremoved=0x00000000");
              expect_renders();
          });
}

// The engine's own heap arrays. Each size is the only allocation of that size
// on the way (stars and galaxy share theirs: the stars fail first).
TEST_F(FaultSweep, ContentAllocationAtCreationLeavesOnlyThatSetEmpty) {
    const struct { size_t bytes; const char *set; } cases[] = {
        {16000000, "stars"}, {4800000, "belt"},  {768000, "disk"},
        {28800, "rocks"},    {28 * 240, "rock mesh"}, {28 * 1288, "lines"}};
    for (auto c : cases) {
        SCOPED_TRACE(c.set);
        alloc_fail_size(c.bytes);
        ASSERT_EQ(galaxy_create_offscreen(16, 16), 0) << galaxy_get_error();
        EXPECT_EQ(alloc_fail_fired(), 1);
        alloc_fail_clear();
        g_faults++;
        expect_whole();
        EXPECT_STREQ(galaxy_get_error(), "no error");
        EXPECT_EQ(empty_sets(), std::vector<std::string>{c.set});
        galaxy_set_quality(0);
        expect_renders();
        galaxy_destroy();
        EXPECT_EQ(plat_live_objects(), 0);
    }
}

// At a quality change an allocation failure keeps the old set, still drawn.
TEST_F(FaultSweep, ContentAllocationAtQualityChangeKeepsTheOldSet) {
    const struct { size_t bytes; const char *set; int Engine::*count; int before; } cases[] = {
        {3200000, "stars", &Engine::star_count, 500000}, {800000, "belt", &Engine::belt_count, 150000},
        {256000, "disk", &Engine::disk_count, 24000},    {9600, "rocks", &Engine::rock_count, 900}};
    for (auto c : cases) {
        SCOPED_TRACE(c.set);
        ASSERT_EQ(galaxy_create_offscreen(16, 16), 0);
        alloc_fail_size(c.bytes);
        galaxy_set_quality(0);
        EXPECT_EQ(alloc_fail_fired(), 1);
        alloc_fail_clear();
        g_faults++;
        EXPECT_EQ(galaxy_get_error(), std::string("out of memory (") + c.set + ")");
        EXPECT_EQ(g_eng.*c.count, c.before);
        EXPECT_TRUE(empty_sets().empty());
        expect_whole();
        expect_renders();
        galaxy_destroy();
    }
}

// Capture buffers: a failed readback buffer keeps the host's last one; both
// failures say so.
TEST_F(FaultSweep, CaptureAllocation) {
    ASSERT_EQ(galaxy_create_offscreen(18, 14), 0);
    galaxy_set_quality(0);
    galaxy_frame();
    const unsigned char *first = nullptr;
    int w, h, s;
    ASSERT_EQ(galaxy_readback(&first, &w, &h, &s), 0);
    galaxy_resize(14, 18); // same byte count: the buffer is reused
    galaxy_resize(20, 10);
    galaxy_frame();
    alloc_fail_size(20 * 10 * 4);
    const unsigned char *px = nullptr;
    EXPECT_EQ(galaxy_readback(&px, &w, &h, &s), -1);
    EXPECT_EQ(alloc_fail_fired(), 1);
    EXPECT_STREQ(galaxy_get_error(), "out of memory (readback)");
    EXPECT_EQ(px, nullptr);
    EXPECT_EQ(g_eng.readback_buf, first); // still the host's
    volatile unsigned char last = first[18 * 14 * 4 - 1]; // and readable (ASan)
    (void)last;

    set_error("previous");
    alloc_fail_clear();
    alloc_fail_size(20 * 10 * 4);
    EXPECT_EQ(galaxy_screenshot(scratch_path("sweep.png").c_str()), -1);
    EXPECT_EQ(alloc_fail_fired(), 1);
    EXPECT_STREQ(galaxy_get_error(), "out of memory (screenshot)");
    alloc_fail_clear();
    g_faults += 2;
    expect_renders();
}

} // namespace
