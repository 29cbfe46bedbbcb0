// Creation, failure at every creation step, release and destroy, the error
// text, and the exports' behaviour around them.
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>
#include <string.h>
#include <string>
#include <vector>

#include "executor.h"
#include "scratch.h"
#include "exports.h"
#include "gpu/gpu.h"
#include "halvenor_galaxy.h"
#include "alloc_fail.h"

namespace {

struct Lifecycle : testing::Test {
    void SetUp() override {
        galaxy_destroy();
        plat_fail_clear();
        alloc_fail_clear();
    }
    void TearDown() override {
        galaxy_destroy();
        plat_fail_clear();
        alloc_fail_clear();
        EXPECT_EQ(plat_live_objects(), 0) << "platform objects outlived destroy";
    }
};

// Every interface pointer of a released engine is null.
void expect_released(const Engine &e) {
    const void *ptrs[] = {e.device,    e.context,   e.swap_chain, e.render_tex, e.staging_tex, e.rtv, e.depth_tex, e.dsv, e.depth_less,
                          e.vs_quad,   e.vs_par,    e.vs_disk,    e.vs_rock,    e.vs_line,     e.ps_quad,
                          e.ps_par,    e.ps_disk,   e.ps_flat,    e.il_quad,    e.il_par,      e.il_rock,
                          e.il_line,   e.blend_add, e.raster,     e.cb_globals, e.cb_params,   e.stars_vb,
                          e.belt_vb,   e.bodies_vb, e.glow_vb,    e.ring_vb,    e.galaxy_vb,   e.disk_vb,
                          e.rock_mesh_vb, e.rock_inst_vb, e.lines_vb, e.stars, e.belt, e.bodies, e.glows,
                          e.rings, e.rocks};
    for (size_t i = 0; i < sizeof ptrs / sizeof ptrs[0]; i++) EXPECT_EQ(ptrs[i], nullptr) << "field " << i;
    EXPECT_EQ(e.created, 0);
}

TEST_F(Lifecycle, ExportsBeforeCreationDoNothing) {
    EXPECT_STREQ(galaxy_get_error(), "no error");
    galaxy_frame();
    galaxy_resize(100, 100);
    const unsigned char *px = (const unsigned char *)&px;
    int w = -7, h = -7, s = -7;
    EXPECT_EQ(galaxy_readback(&px, &w, &h, &s), -1);
    EXPECT_EQ(px, (const unsigned char *)&px);
    EXPECT_EQ(w, -7);
    EXPECT_EQ(galaxy_screenshot(scratch_path("never.png").c_str()), -1);
    EXPECT_STREQ(galaxy_get_error(), "no error"); // not-ready refusals are silent
    galaxy_destroy();
    EXPECT_EQ(g_ready, 0);
}

TEST_F(Lifecycle, VersionIsConstant) {
    const char *v = galaxy_version();
    EXPECT_STREQ(v, "1.0.0");
    ASSERT_EQ(galaxy_create_offscreen(16, 16), 0);
    EXPECT_EQ(galaxy_version(), v);
}

TEST_F(Lifecycle, DefaultsAfterCreation) {
    galaxy_set_mode(2); // lost: creation resets the record
    galaxy_set_quality(2);
    galaxy_set_camera(1, 1, 1);
    galaxy_set_time_scale(7);
    ASSERT_EQ(galaxy_create_offscreen(32, 24), 0) << galaxy_get_error();
    EXPECT_EQ(g_ready, 1);
    const Engine &e = g_eng;
    EXPECT_EQ(e.created, 1);
    EXPECT_EQ(e.mode, 0);
    EXPECT_EQ(e.quality, 1);
    EXPECT_EQ(e.time_scale, 1.0f);
    EXPECT_EQ(e.sim_time, 0.0f);
    EXPECT_EQ(e.cam_yaw, 0.5f);
    EXPECT_EQ(e.cam_pitch, 0.42f);
    EXPECT_EQ(e.cam_dist, 300.0f);
    EXPECT_EQ(e.body_count, 10);
    EXPECT_EQ(e.glow_count, 10);
    EXPECT_EQ(e.ring_count, 4);
    EXPECT_EQ(e.width, 32);
    EXPECT_EQ(e.height, 24);
    EXPECT_EQ(e.offscreen, 1);
    EXPECT_EQ(e.swap_chain, nullptr);
    EXPECT_STREQ(galaxy_get_error(), "no error");
}

TEST_F(Lifecycle, SettingsSurviveDestroyUntilNextCreation) {
    ASSERT_EQ(galaxy_create_offscreen(16, 16), 0);
    galaxy_set_mode(3);
    galaxy_set_quality(0);
    galaxy_set_time_scale(2.5f);
    galaxy_destroy();
    galaxy_destroy(); // repeatable
    expect_released(g_eng);
    EXPECT_EQ(g_eng.mode, 3);
    EXPECT_EQ(g_eng.quality, 0);
    EXPECT_EQ(g_eng.time_scale, 2.5f);
    EXPECT_EQ(g_eng.cam_dist, 90.0f);
    EXPECT_STREQ(galaxy_get_error(), "no error");
    // After destroy, frame and resize do nothing and the captures refuse
    // silently, as before any creation.
    galaxy_resize(20, 20);
    galaxy_frame();
    const unsigned char *px;
    int w, h, s;
    EXPECT_EQ(galaxy_readback(&px, &w, &h, &s), -1);
    EXPECT_EQ(galaxy_screenshot(scratch_path("after-destroy.png").c_str()), -1);
    EXPECT_STREQ(galaxy_get_error(), "no error");
    ASSERT_EQ(galaxy_create_offscreen(16, 16), 0);
    EXPECT_EQ(g_eng.mode, 0);
    EXPECT_EQ(g_eng.quality, 1);
    EXPECT_EQ(g_eng.time_scale, 1.0f);
}

TEST_F(Lifecycle, TimeScaleIsClamped) {
    const struct { float in, stored; } cases[] = {{-5, 0}, {250, 100}, {100, 100}, {0, 0}, {2.5f, 2.5f}};
    for (auto c : cases) {
        galaxy_set_time_scale(c.in);
        EXPECT_EQ(g_eng.time_scale, c.stored) << c.in;
    }
}

TEST_F(Lifecycle, ErrorTextIsCutAt1023) {
    std::string longer(2000, 'x');
    set_error("%s", longer.c_str());
    EXPECT_EQ(strlen(galaxy_get_error()), 1023u);
    clear_error();
    EXPECT_STREQ(galaxy_get_error(), "no error");
}

TEST_F(Lifecycle, ReleaseAllOnZeroedRecordIsHarmless) {
    Engine e;
    memset(&e, 0, sizeof e);
    release_all(&e);
    release_all(&e);
    expect_released(e);
}

// One fault per creation step: the step's own message, result -1, nothing
// left alive, and the next creation works.
struct StepFault {
    const char *op;
    int nth;
    HRESULT hr;
    const char *message;
};

const StepFault k_step_faults[] = {
    {"D3D11CreateDevice", 1, (HRESULT)0x887A0004, "D3D11CreateDevice(WARP) failed: 0x887A0004"},
    {"GetImmediateContext", 1, E_FAIL, "GetImmediateContext returned no context"},
    {"D3DCompile", 1, E_FAIL, "D3DCompile(vs quad) failed: 0x80004005"}, // no diagnostics: the code
    {"D3DCompile", 8, E_OUTOFMEMORY, "D3DCompile(ps flat) failed: 0x8007000E"},
    {"CreateVertexShader", 1, E_INVALIDARG, "CreateVertexShader quad failed: 0x80070057"},
    {"CreatePixelShader", 1, E_OUTOFMEMORY, "CreatePixelShader quad failed: 0x8007000E"},
    {"CreateVertexShader", 3, E_OUTOFMEMORY, "CreateVertexShader disk failed: 0x8007000E"}, // the fifth program
    {"CreatePixelShader", 4, E_OUTOFMEMORY, "CreatePixelShader flat failed: 0x8007000E"},
    {"D3DCompile", 10, E_FAIL, "D3DCompile(quad layout) failed"},
    {"D3DCompile", 13, E_FAIL, "D3DCompile(line layout) failed"},
    {"CreateInputLayout", 1, E_INVALIDARG, "CreateInputLayout(quad) failed: 0x80070057"},
    {"CreateInputLayout", 2, E_INVALIDARG, "CreateInputLayout(par) failed: 0x80070057"},
    {"CreateInputLayout", 3, E_OUTOFMEMORY, "CreateInputLayout(rock) failed: 0x8007000E"},
    {"CreateInputLayout", 4, E_OUTOFMEMORY, "CreateInputLayout(line) failed: 0x8007000E"},
    {"CreateBlendState", 1, E_OUTOFMEMORY, "CreateBlendState failed"},
    {"CreateRasterizerState", 1, E_OUTOFMEMORY, "CreateRasterizerState failed"},
    {"CreateDepthStencilState", 1, E_OUTOFMEMORY, "CreateDepthStencilState failed"},
    {"CreateBuffer", 1, E_OUTOFMEMORY, "CreateDynBuffer(256) failed: 0x8007000E"},
    {"CreateBuffer", 2, E_OUTOFMEMORY, "CreateDynBuffer(16) failed: 0x8007000E"},
    {"CreateTexture2D", 1, E_OUTOFMEMORY, "CreateTexture2D(render) failed"},
    {"CreateRenderTargetView", 1, E_OUTOFMEMORY, "CreateRenderTargetView(render) failed"},
    {"CreateTexture2D", 2, E_OUTOFMEMORY, "CreateTexture2D(depth) failed"},
    {"CreateDepthStencilView", 1, E_OUTOFMEMORY, "CreateDepthStencilView(depth) failed"},
    {"CreateTexture2D", 3, E_OUTOFMEMORY, "CreateTexture2D(staging) failed"},
    {"CreateBuffer", 3, E_OUTOFMEMORY, "CreateDynBuffer(320) failed: 0x8007000E"},
    {"CreateBuffer", 4, E_OUTOFMEMORY, "CreateDynBuffer(320) failed: 0x8007000E"},
    {"CreateBuffer", 5, E_OUTOFMEMORY, "CreateDynBuffer(128) failed: 0x8007000E"},
};

TEST_F(Lifecycle, FailureAtEachCreationStep) {
    for (const StepFault &f : k_step_faults) {
        SCOPED_TRACE(std::string(f.op) + " #" + std::to_string(f.nth));
        set_error("previous");
        plat_fail_clear();
        plat_fail_call(f.op, f.nth, f.hr);
        EXPECT_EQ(galaxy_create_offscreen(16, 16), -1);
        EXPECT_EQ(plat_fail_fired(), 1);
        EXPECT_EQ(g_ready, 0);
        EXPECT_STREQ(galaxy_get_error(), f.message);
        expect_released(g_eng);
        EXPECT_EQ(plat_live_objects(), 0);
        galaxy_frame(); // not ready: nothing happens
        plat_fail_clear();
        ASSERT_EQ(galaxy_create_offscreen(16, 16), 0) << galaxy_get_error();
        EXPECT_STREQ(galaxy_get_error(), "no error");
        galaxy_destroy();
    }
}

TEST_F(Lifecycle, CompilerDiagnosticsReachTheErrorText) {
    Engine e;
    memset(&e, 0, sizeof e);
    ASSERT_EQ(engine_create_offscreen(&e, 8, 8), 0) << galaxy_error_get();
    ID3D11VertexShader *vs = nullptr;
    EXPECT_NE(make_vs(&e, "float4 main( : SV_POSITION { return 0; }", "broken", &vs), 0);
    EXPECT_EQ(vs, nullptr);
    EXPECT_EQ(strncmp(galaxy_error_get(), "HLSL vs broken: ", 16), 0) << galaxy_error_get();
    EXPECT_NE(strstr(galaxy_error_get(), "galaxy.hlsl"), nullptr) << galaxy_error_get();
    ID3D11PixelShader *ps = nullptr;
    EXPECT_NE(make_ps(&e, "float4 main() : SV_Target { return undefined_name; }", "unknown", &ps), 0);
    EXPECT_EQ(strncmp(galaxy_error_get(), "HLSL ps unknown: ", 17), 0) << galaxy_error_get();
    release_all(&e);
}

TEST_F(Lifecycle, InstanceArrayAllocationFailureFailsCreation) {
    // Every frame writes these arrays; creation reports the gap instead of
    // leaving a null array for the frame to write through.
    const struct { size_t bytes; const char *message; } cases[] = {
        {320, "out of memory (bodies)"}, {128, "out of memory (rings)"}};
    for (auto c : cases) {
        alloc_fail_size(c.bytes);
        EXPECT_EQ(galaxy_create_offscreen(16, 16), -1);
        EXPECT_EQ(alloc_fail_fired(), 1);
        alloc_fail_clear();
        EXPECT_STREQ(galaxy_get_error(), c.message);
        expect_released(g_eng);
        EXPECT_EQ(plat_live_objects(), 0);
    }
}

TEST_F(Lifecycle, BadSizesFailAtTheRenderTexture) {
    const struct { int w, h; } sizes[] = {{0, 0}, {20000, 64}, {64, 16385}, {-4, 4}};
    for (auto s : sizes) {
        EXPECT_EQ(galaxy_create_offscreen(s.w, s.h), -1) << s.w << "x" << s.h;
        EXPECT_STREQ(galaxy_get_error(), "CreateTexture2D(render) failed");
        EXPECT_EQ(plat_live_objects(), 0);
    }
    EXPECT_EQ(galaxy_create_offscreen(16384, 1), 0) << galaxy_get_error();
}

TEST_F(Lifecycle, CreatingOverALiveEngineReleasesItFirst) {
    ASSERT_EQ(galaxy_create_offscreen(16, 16), 0);
    const int live = plat_live_objects();
    const unsigned char *px;
    int w, h, s;
    galaxy_frame();
    ASSERT_EQ(galaxy_readback(&px, &w, &h, &s), 0);
    ASSERT_EQ(galaxy_create_offscreen(16, 16), 0);
    EXPECT_EQ(plat_live_objects(), live);
    EXPECT_EQ(g_eng.readback_buf, nullptr); // each engine starts without one
}

TEST_F(Lifecycle, ReadbackBufferOutlivesDestroy) {
    ASSERT_EQ(galaxy_create_offscreen(4, 4), 0);
    galaxy_frame();
    const unsigned char *px;
    int w, h, s;
    ASSERT_EQ(galaxy_readback(&px, &w, &h, &s), 0);
    unsigned char first = px[0];
    galaxy_destroy();
    EXPECT_EQ(px[0], first); // still the host's to read
    EXPECT_EQ(g_eng.readback_buf, px);
}

// The CPU executor out of memory at each allocation a first frame makes, in
// every mode: the host survives, the readback names the removed device with
// the out-of-memory reason, nothing outlives destroy, and the next engine
// renders the same picture as one that never failed.
TEST_F(Lifecycle, CpuExecutorOutOfMemoryRemovesTheDevice) {
    if (!cpu_executor()) GTEST_SKIP() << "the CPU executor's own allocations";
    auto render = [](int mode, std::vector<unsigned char> *out) {
        ASSERT_EQ(galaxy_create_offscreen(32, 32), 0) << galaxy_get_error();
        galaxy_set_quality(0);
        galaxy_set_mode(mode);
        galaxy_set_time_scale(0.0f);
        galaxy_frame();
        const unsigned char *px = nullptr;
        int w, h, s;
        ASSERT_EQ(galaxy_readback(&px, &w, &h, &s), 0) << galaxy_get_error();
        out->assign(px, px + (size_t)s * h);
        galaxy_destroy();
    };
    for (int mode = 0; mode < 4; mode++) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        std::vector<unsigned char> clean;
        render(mode, &clean);
        int failed = 0;
        for (int n = 1;; n++) {
            SCOPED_TRACE("allocation " + std::to_string(n));
            ASSERT_EQ(galaxy_create_offscreen(32, 32), 0) << galaxy_get_error();
            galaxy_set_quality(0);
            galaxy_set_mode(mode);
            galaxy_set_time_scale(0.0f);
            plat_fail_clear();
            plat_fail_call("SwAlloc", n, E_OUTOFMEMORY);
            galaxy_frame();
            const bool fired = plat_fail_fired() == 1;
            plat_fail_clear();
            const unsigned char *px = nullptr;
            int w, h, s;
            if (!fired) { // past the frame's last allocation: the engine made after every fault renders
                ASSERT_EQ(galaxy_readback(&px, &w, &h, &s), 0) << galaxy_get_error();
                EXPECT_EQ(std::vector<unsigned char>(px, px + (size_t)s * h), clean);
                galaxy_destroy();
                break;
            }
            failed++;
            EXPECT_EQ(galaxy_readback(&px, &w, &h, &s), -1);
            EXPECT_STREQ(galaxy_get_error(), "readback: Map failed deviceremoved=0x8007000E");
            galaxy_destroy();
            ASSERT_EQ(plat_live_objects(), 0);
        }
        EXPECT_GT(failed, 0) << "the frame allocated nothing to fail";
    }
}

// The CPU executor out of memory at each allocation of creation: while it
// translates a program (creation fails and names the program, nothing is
// left alive) or while it builds a pipeline for the warm-up draws (the
// device is removed, and the first readback says so). The host survives
// every one, and the next engine works.
TEST_F(Lifecycle, CpuExecutorOutOfMemoryDuringCreation) {
    if (!cpu_executor()) GTEST_SKIP() << "the CPU executor's own allocations";
    int refused = 0, removed = 0;
    for (int n = 1;; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        plat_fail_clear();
        plat_fail_call("SwAlloc", n, E_OUTOFMEMORY);
        const int rc = galaxy_create_offscreen(32, 32);
        const bool fired = plat_fail_fired() == 1;
        plat_fail_clear();
        if (rc != 0) {
            ASSERT_TRUE(fired) << galaxy_get_error();
            const std::string error = galaxy_get_error();
            EXPECT_TRUE((error.rfind("CreateVertexShader ", 0) == 0 || error.rfind("CreatePixelShader ", 0) == 0) &&
                        error.find(" failed: 0x8007000E") != std::string::npos)
                << error;
            EXPECT_EQ(plat_live_objects(), 0);
            refused++;
            continue;
        }
        galaxy_set_quality(0);
        galaxy_frame();
        const unsigned char *px = nullptr;
        int w, h, s;
        const int read = galaxy_readback(&px, &w, &h, &s);
        const std::string error = galaxy_get_error();
        galaxy_destroy();
        ASSERT_EQ(plat_live_objects(), 0);
        if (!fired) {
            EXPECT_EQ(read, 0) << error;
            break;
        }
        EXPECT_EQ(read, -1);
        EXPECT_EQ(error, "readback: Map failed deviceremoved=0x8007000E");
        removed++;
    }
    EXPECT_GT(refused, 0) << "no program translation failed";
    EXPECT_GT(removed, 0) << "no draw of creation failed";
}

// A device lost in the middle of a run: every later failure says so with
// the removal code, nothing crashes, destroy releases everything and the
// next engine works.
TEST_F(Lifecycle, LostDeviceIsReportedByEachCall) {
    if (cpu_executor()) GTEST_SKIP() << "Vulkan queue and fences; the CPU executor has no device to lose";
    for (const char *op : {"vkQueueSubmit", "vkWaitForFences"}) {
        SCOPED_TRACE(op);
        ASSERT_EQ(galaxy_create_offscreen(8, 8), 0) << galaxy_get_error();
        galaxy_set_quality(0);
        galaxy_frame();
        plat_fail_call(op, 1, E_FAIL);
        galaxy_frame();
        const unsigned char *px = nullptr;
        int w = -1, h = -1, s = -1;
        EXPECT_EQ(galaxy_readback(&px, &w, &h, &s), -1);
        EXPECT_EQ(plat_fail_fired(), 1);
        EXPECT_STREQ(galaxy_get_error(), "readback: Map failed deviceremoved=0x887A0005");
        EXPECT_EQ(px, nullptr);
        EXPECT_EQ(galaxy_screenshot("/tmp/halvenor-lost.png"), -1);
        EXPECT_STREQ(galaxy_get_error(), "screenshot: Map failed 0x887A0005 deviceremoved=0x887A0005");
        galaxy_set_quality(1); // content buffers cannot be made: the sets are empty, not stale
        EXPECT_STREQ(galaxy_get_error(), "CreateBuffer(28800) failed: 0x887A0005"); // rocks, the last set
        EXPECT_EQ(g_eng.star_count, 0);
        EXPECT_EQ(g_eng.rock_count, 0);
        galaxy_frame();
        galaxy_resize(10, 6);
        EXPECT_STREQ(galaxy_get_error(), "CreateTexture2D(render) failed");
        galaxy_destroy();
        plat_fail_clear();
        EXPECT_EQ(plat_live_objects(), 0);
    }
    ASSERT_EQ(galaxy_create_offscreen(8, 8), 0);
    galaxy_set_quality(0);
    galaxy_frame();
    const unsigned char *px;
    int w, h, s;
    EXPECT_EQ(galaxy_readback(&px, &w, &h, &s), 0) << galaxy_get_error();
}

} // namespace
