// libFuzzer harness: each input is a program of calls to the fourteen exports
// with hostile arguments. Besides the sanitizers it checks, after every call,
// that the engine is either fully created or fully released, that a failed
// creation or a destroy leaves no platform object alive, that refusals leave
// outputs untouched and that the last readback buffer stays readable.
//
// One engine lives across inputs: creation (device, programs, content) costs
// as much as thousands of the other calls, so an input gets a new engine only
// when it asks for one. Each input starts from the same state all the same:
// an offscreen engine of BASE_SIZE at level 0 with default settings, made
// anew when the previous input destroyed it, left it windowed, or had a
// platform call fail under it (its content may be partial then).
//
// Input: one opcode byte per call (weighted towards the cheap calls), then
// that call's argument bytes; two more opcodes have the host destroy its
// window or arm a platform-call failure. Expensive calls are paid for with
// credit the input's cheap calls earn, and skipped when it falls short (see
// START_CREDIT). Renders stay tiny unless the size
// edge cases are being hit; those are only created, resized and destroyed,
// never drawn (a 16384 x 16384 frame would take minutes).
#include <X11/Xlib.h>
#include <assert.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <halvenor/platform_test.h>

#include "exports.h"
#include "halvenor_galaxy.h"

#define CHECK(cond)                                                                        \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            fprintf(stderr, "fuzz_exports: %s:%d: %s (error text: %s)\n", __FILE__, __LINE__, \
                    #cond, galaxy_get_error());                                            \
            abort();                                                                       \
        }                                                                                  \
    } while (0)

void at_exit(); // destroys the engine, reports, removes the scratch directory

namespace {

enum {
    MAX_CALLS = 2048,
    MAX_DRAWN_PIXELS = 64 * 64, // frames and captures only below this
    BASE_SIZE = 16,
    // Expensive calls are paid for with credit that the input's cheap calls
    // earn, one unit each: a unit is about what 1/2000 s of an ASan build on
    // lavapipe buys, so however an input is shaped, most of the run goes to
    // calls and the rate of calls stays high. An input starts with enough for
    // a frame and a capture.
    START_CREDIT = 240,
    COST_CREATE = 600,
    COST_FRAME = 160,   // at level 0; four times that per level above
    COST_CAPTURE = 80,  // readback or screenshot of a drawable size
    COST_LEVEL_0 = 80,  // regeneration at each level
    COST_LEVEL_1 = 240,
    COST_LEVEL_2 = 1000,
    COST_LARGE_TARGET = 40, // render targets past the drawable size
};

struct Reader {
    const uint8_t *p;
    size_t n;
    uint8_t byte() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) v |= (uint32_t)byte() << (8 * i);
        return v;
    }
};

int size_arg(Reader &r) {
    static const int edges[] = {0, -1, 1, 2, 3, 16, 16384, 16385, -16384, INT32_MIN, INT32_MAX, 100000, 65536};
    uint8_t b = r.byte();
    if (b < 128) return 2 + b % 48; // most renders: small and cheap
    if (b < 128 + 13 * 9) return edges[(b - 128) % 13];
    return (int)r.u32();
}

float float_arg(Reader &r) {
    static const float edges[] = {NAN,      INFINITY, -INFINITY, 0.0f,    -0.0f,   1.0f,   -1.0f,  0.5f,
                                  -5.0f,    250.0f,   100.0f,    1e-40f,  1e38f,   -1e38f, 3.4028235e38f,
                                  6.2831853f, 1.5707964f, 90.0f,  40000.0f, 0.1f};
    uint8_t b = r.byte();
    if (b < 200) return edges[b % (sizeof edges / sizeof edges[0])];
    uint32_t bits = r.u32();
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

int int_arg(Reader &r) {
    static const int edges[] = {0, 1, 2, 3, 4, -1, 5, INT32_MIN, INT32_MAX, 255, -2};
    uint8_t b = r.byte();
    if (b < 220) return edges[b % (sizeof edges / sizeof edges[0])];
    return (int)r.u32();
}

char g_dir[64];         // a writable scratch directory
char g_long_path[8192]; // longer than PATH_MAX
Display *g_display;
Window g_window;

const char *path_arg(Reader &r) {
    static char shot[128];
    snprintf(shot, sizeof shot, "%s/shot.png", g_dir);
    switch (r.byte() % 8) {
    case 0: return shot;
    case 1: return nullptr;
    case 2: return "/nonexistent-halvenor-dir/shot.png";
    case 3: return "/proc/shot.png"; // not writable
    case 4: return "";
    case 5: return g_dir;            // a directory
    case 6: return g_long_path;
    default: return shot;
    }
}

galaxy_window window_arg(Reader &r) {
    switch (r.byte() % 4) {
    case 0: return g_window ? (galaxy_window)(uintptr_t)g_window : nullptr;
    case 1: return nullptr;
    case 2: return (galaxy_window)(uintptr_t)0x7fffff01; // no such window
    default: return g_window ? (galaxy_window)(uintptr_t)g_window : (galaxy_window)(uintptr_t)1;
    }
}

void arm_fault(Reader &r) {
    static const char *const ops[] = {
        "D3D11CreateDevice", "GetImmediateContext", "D3DCompile",  "CreateVertexShader", "CreatePixelShader",
        "CreateInputLayout", "CreateBlendState",    "CreateRasterizerState", "CreateBuffer", "CreateTexture2D",
        "CreateRenderTargetView", "QueryInterface", "GetAdapter",  "GetParent",  "CreateSwapChainForHwnd",
        "GetBuffer",         "ResizeBuffers",       "Present",     "Map",
        // Vulkan calls whose failure loses the device.
        "vkBeginCommandBuffer", "vkQueueSubmit", "vkWaitForFences"};
    static const HRESULT codes[] = {E_OUTOFMEMORY, E_FAIL, E_INVALIDARG, (HRESULT)0x887A0005 /* device removed */};
    const char *op = ops[r.byte() % (sizeof ops / sizeof ops[0])];
    int nth = 1 + r.byte() % 16;
    plat_fail_call(op, nth, codes[r.byte() % 4]);
}

void replace_window() {
    if (!g_display) return;
    XDestroyWindow(g_display, g_window);
    g_window = XCreateSimpleWindow(g_display, DefaultRootWindow(g_display), 0, 0, 32, 32, 0, 0, 0);
    XMapWindow(g_display, g_window);
    XSync(g_display, False);
}

bool drawable() {
    const Engine &e = g_eng;
    return e.width > 0 && e.height > 0 && (int64_t)e.width * e.height <= MAX_DRAWN_PIXELS;
}

// Engine and export state agree, and the engine is whole or empty.
void check_state() {
    const char *err = galaxy_get_error();
    CHECK(err && strlen(err) < 1024);
    const Engine &e = g_eng;
    CHECK(g_ready == e.created);
    if (e.created) {
        const void *whole[] = {e.device,  e.context, e.vs_quad,   e.vs_par,     e.vs_disk,   e.vs_rock,
                               e.vs_line, e.ps_quad, e.ps_par,    e.ps_disk,    e.ps_flat,   e.il_quad,
                               e.il_par,  e.il_rock, e.il_line,   e.blend_add,  e.raster,    e.cb_globals,
                               e.cb_params, e.bodies, e.bodies_vb, e.glows,     e.glow_vb,   e.rings,
                               e.ring_vb};
        for (const void *p : whole) CHECK(p != nullptr);
    } else {
        CHECK(e.device == nullptr && e.context == nullptr && e.swap_chain == nullptr);
        CHECK(e.render_tex == nullptr && e.stars == nullptr && e.stars_vb == nullptr);
        CHECK(plat_live_objects() == 0);
    }
}

// The pointer the host last received: valid until a readback of another size
// or the next creation.
long long g_calls;  // export calls the inputs made, reported at exit
long long g_inputs; // inputs run

const unsigned char *g_pixels;
size_t g_pixel_bytes;

void touch_pixels() {
    if (!g_pixels) return;
    volatile unsigned char sink = g_pixels[0];
    sink = g_pixels[g_pixel_bytes - 1];
    (void)sink;
}

void do_readback(Reader &r) {
    const unsigned char *px = (const unsigned char *)&px;
    int w = -7, h = -7, s = -7;
    uint8_t nulls = r.byte() % 6; // 0..3: one output null; else all valid
    const unsigned char **ppx = nulls == 0 ? nullptr : &px;
    int *pw = nulls == 1 ? nullptr : &w, *ph = nulls == 2 ? nullptr : &h, *ps = nulls == 3 ? nullptr : &s;
    bool ready = g_ready;
    char before[1024];
    snprintf(before, sizeof before, "%s", galaxy_get_error());
    int rc = galaxy_readback(ppx, pw, ph, ps);
    if (rc != 0) {
        CHECK(rc == -1);
        CHECK(px == (const unsigned char *)&px && w == -7 && h == -7 && s == -7);
        if (!ready) CHECK(strcmp(before, galaxy_get_error()) == 0); // silent refusal
        return;
    }
    CHECK(ready && nulls > 3);
    CHECK(w == g_eng.width && h == g_eng.height && s == w * 4 && px);
    g_pixels = px;
    g_pixel_bytes = (size_t)s * h;
    touch_pixels();
}

void do_screenshot(Reader &r) {
    bool ready = g_ready;
    char before[1024];
    snprintf(before, sizeof before, "%s", galaxy_get_error());
    const char *path = path_arg(r);
    int rc = galaxy_screenshot(path);
    CHECK(rc == 0 || rc == -1);
    if (!ready) CHECK(rc == -1 && strcmp(before, galaxy_get_error()) == 0);
    if (rc == 0) CHECK(path && path[0]);
}

void after_creation(Reader &r, int rc) {
    g_pixels = nullptr; // the reset step frees the previous readback buffer
    CHECK(rc == 0 || rc == -1);
    CHECK(g_ready == (rc == 0));
    if (rc == 0) CHECK(strcmp(galaxy_get_error(), "no error") == 0);
    // Most inputs drop to level 0 at once: frames cost a quarter as much.
    if (r.byte() % 8 != 0) galaxy_set_quality(0);
}

enum Op {
    OP_CREATE_OFFSCREEN, OP_CREATE_WINDOWED, OP_FRAME, OP_RESIZE, OP_MODE, OP_TIME_SCALE, OP_QUALITY,
    OP_CAMERA, OP_ADJUST, OP_READBACK, OP_SCREENSHOT, OP_ERROR, OP_VERSION, OP_DESTROY,
    OP_REPLACE_WINDOW, // not an export: the host destroys its window under a live engine
    OP_ARM_FAULT,      // nor this: a platform call a few calls ahead will fail
};

// Opcode byte -> call: the setters and queries cost microseconds and take
// most of the table; creation, destroy and faults stay rarer, so an input
// exercises a live engine for many calls.
const uint8_t k_ops[64] = {
    OP_CREATE_OFFSCREEN, OP_CREATE_OFFSCREEN, OP_CREATE_WINDOWED, OP_DESTROY, OP_DESTROY,
    OP_REPLACE_WINDOW, OP_ARM_FAULT, OP_ARM_FAULT, OP_ARM_FAULT,
    OP_FRAME, OP_FRAME, OP_FRAME, OP_FRAME,
    OP_RESIZE, OP_RESIZE, OP_RESIZE, OP_RESIZE,
    OP_QUALITY, OP_QUALITY, OP_QUALITY,
    OP_READBACK, OP_READBACK, OP_READBACK, OP_SCREENSHOT, OP_SCREENSHOT,
    OP_MODE, OP_MODE, OP_MODE, OP_MODE, OP_MODE, OP_MODE, OP_MODE,
    OP_TIME_SCALE, OP_TIME_SCALE, OP_TIME_SCALE, OP_TIME_SCALE, OP_TIME_SCALE, OP_TIME_SCALE, OP_TIME_SCALE,
    OP_CAMERA, OP_CAMERA, OP_CAMERA, OP_CAMERA, OP_CAMERA, OP_CAMERA, OP_CAMERA,
    OP_ADJUST, OP_ADJUST, OP_ADJUST, OP_ADJUST, OP_ADJUST, OP_ADJUST, OP_ADJUST,
    OP_ERROR, OP_ERROR, OP_ERROR, OP_ERROR, OP_ERROR,
    OP_VERSION, OP_VERSION, OP_VERSION, OP_VERSION, OP_VERSION, OP_VERSION,
};

// The state every input starts from (see the top of the file). These calls
// are the harness's, not the input's, and are not counted.
void begin_input() {
    if (g_ready && g_eng.swap_chain) galaxy_destroy();
    if (!g_ready) {
        g_pixels = nullptr;
        CHECK(galaxy_create_offscreen(BASE_SIZE, BASE_SIZE) == 0);
        static bool exit_registered = false;
        if (!exit_registered) {
            // After the first creation: exit handlers run in reverse order,
            // so the engine is destroyed before the Vulkan layers it loaded
            // tear down their globals.
            atexit(at_exit);
            exit_registered = true;
        }
    } else if (g_eng.width != BASE_SIZE || g_eng.height != BASE_SIZE || !g_eng.render_tex) {
        galaxy_resize(BASE_SIZE, BASE_SIZE + 1); // a different size forces the rebuild
        galaxy_resize(BASE_SIZE, BASE_SIZE);
    }
    galaxy_set_quality(0);
    galaxy_set_mode(0);
    galaxy_set_time_scale(1.0f);
    check_state();
}

// Pays cost from the input's credit; false (the call is skipped) when short.
bool spend(int *credit, int cost) {
    if (cost > *credit) return false;
    *credit -= cost;
    return true;
}

int level_cost(int quality) { return quality == 0 ? COST_LEVEL_0 : quality == 1 ? COST_LEVEL_1 : COST_LEVEL_2; }

bool large(int w, int h) { return (int64_t)w * h > MAX_DRAWN_PIXELS || w < 0 || h < 0; }

void run(Reader &r) {
    begin_input();
    int credit = START_CREDIT;
    for (int call = 0; call < MAX_CALLS && r.n; call++) {
        bool made = true; // false: the harness skipped the call to stay fast
        credit++;
        switch (k_ops[r.byte() % 64]) {
        case OP_CREATE_OFFSCREEN: {
            int w = size_arg(r), h = size_arg(r);
            if ((made = spend(&credit, COST_CREATE + (large(w, h) ? COST_LARGE_TARGET : 0))))
                after_creation(r, galaxy_create_offscreen(w, h));
            break;
        }
        case OP_CREATE_WINDOWED: {
            galaxy_window win = window_arg(r);
            int w = size_arg(r), h = size_arg(r);
            if ((made = spend(&credit, COST_CREATE + (large(w, h) ? COST_LARGE_TARGET : 0))))
                after_creation(r, galaxy_create(win, w, h));
            break;
        }
        case OP_FRAME:
            if ((made = drawable() && spend(&credit, COST_FRAME << (2 * g_eng.quality)))) galaxy_frame();
            break;
        case OP_RESIZE: {
            int w = size_arg(r), h = size_arg(r);
            if ((made = !g_ready || !large(w, h) || spend(&credit, COST_LARGE_TARGET))) galaxy_resize(w, h);
            break;
        }
        case OP_MODE: galaxy_set_mode(int_arg(r)); break;
        case OP_TIME_SCALE: galaxy_set_time_scale(float_arg(r)); break;
        case OP_QUALITY: {
            int q = int_arg(r);
            // Only a change of a live engine's level regenerates content.
            bool regenerates = g_ready && q >= 0 && q <= 2 && q != g_eng.quality;
            if ((made = !regenerates || spend(&credit, level_cost(q)))) galaxy_set_quality(q);
            break;
        }
        case OP_CAMERA: {
            float a = float_arg(r), b = float_arg(r), c = float_arg(r);
            galaxy_set_camera(a, b, c);
            break;
        }
        case OP_ADJUST: {
            float a = float_arg(r), b = float_arg(r), c = float_arg(r);
            galaxy_adjust_camera(a, b, c);
            break;
        }
        case OP_READBACK:
            if ((made = !g_ready || (drawable() && spend(&credit, COST_CAPTURE)))) do_readback(r);
            break;
        case OP_SCREENSHOT:
            if ((made = !g_ready || (drawable() && spend(&credit, COST_CAPTURE)))) do_screenshot(r);
            break;
        case OP_ERROR: CHECK(galaxy_get_error() != nullptr); break;
        case OP_VERSION: CHECK(strcmp(galaxy_version(), "1.0.0") == 0); break;
        case OP_DESTROY:
            galaxy_destroy();
            CHECK(strcmp(galaxy_get_error(), "no error") == 0);
            break;
        case OP_REPLACE_WINDOW:
            made = false;
            replace_window();
            break;
        default:
            made = false;
            arm_fault(r);
            break;
        }
        g_calls += made;
        check_state();
        touch_pixels();
    }
    // A fired fault may have left the engine partial (a set without its
    // buffer, a missing render target): the next input gets a new one.
    bool faulted = plat_fail_fired() > 0;
    plat_fail_clear();
    if (faulted || !g_ready) {
        galaxy_destroy();
        check_state();
        CHECK(plat_live_objects() == 0);
    }
    // With HALVENOR_VK_VALIDATION=1 no argument may lead to Vulkan misuse.
    CHECK(plat_validation_messages() == 0);
    touch_pixels(); // survives the destroy
}

} // namespace

void at_exit() {
    galaxy_destroy();
    if (plat_live_objects() != 0) fprintf(stderr, "fuzz_exports: %d platform objects alive at exit\n", plat_live_objects());
    fprintf(stderr, "fuzz_exports: %lld export calls in %lld inputs\n", g_calls, g_inputs);
    char shot[128];
    snprintf(shot, sizeof shot, "%s/shot.png", g_dir);
    unlink(shot);
    rmdir(g_dir);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    snprintf(g_dir, sizeof g_dir, "/tmp/halvenor-fuzz-XXXXXX");
    if (!mkdtemp(g_dir)) abort();
    memset(g_long_path, 'a', sizeof g_long_path - 1);
    memcpy(g_long_path, g_dir, strlen(g_dir));
    g_long_path[strlen(g_dir)] = '/';
    // A real window for the windowed path when an X server is around.
    if (getenv("DISPLAY") && (g_display = XOpenDisplay(nullptr))) {
        g_window = XCreateSimpleWindow(g_display, DefaultRootWindow(g_display), 0, 0, 32, 32, 0, 0, 0);
        XMapWindow(g_display, g_window);
        XSync(g_display, False);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader r = {data, size};
    g_inputs++;
    run(r);
    return 0;
}
