// Pipeline figures: offscreen engine creation split into its phases, then the
// first frame of each mode, readback and screenshot at 1280x720. Every repeat
// creates the engine twice, in turns: as creation does now (the pipelines of
// every mode built by a warm-up), and the old way without it, where each
// mode's first frame builds them. Prints medians over repeated runs.
//   bench_pipeline [repeats = 5] [width = 1280] [height = 720]
#include <algorithm>
#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <vector>

#include "capture/capture.h"
#include "content/content.h"
#include "frame/frame.h"
#include "gpu/gpu.h"
#include "bench_time.h"


int main(int argc, char **argv) {
    const int repeats = argc > 1 ? atoi(argv[1]) : 5;
    const int W = argc > 2 ? atoi(argv[2]) : 1280, H = argc > 3 ? atoi(argv[3]) : 720;
    enum { DEVICE, PROGRAMS, LAYOUTS_STATES, TARGETS_BUFFERS, CONTENT, WARM, FIRST_FRAME, COLD_FIRST_FRAME, SECOND_FRAME, PHASES };
    const char *names[PHASES] = {"device + context",        "compile 9 programs",
                                 "layouts + states",        "render target + buffers",
                                 "content (quality 1)",     "pipelines of every mode",
                                 "first frame of each mode", "... without the warm-up",
                                 "second frame of each mode"};
    std::vector<double> t[PHASES];

    static Engine e;
    for (int run = 0; run < 2 * repeats; run++) {
        const bool warm = run % 2 == 0;
        // The same steps as offscreen creation, timed one by one.
        engine_init_defaults(&e);
        e.width = W;
        e.height = H;
        e.offscreen = 1;
        static const D3D_FEATURE_LEVEL lvls[2] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
        auto t0 = Clock::now();
        if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, lvls, 2, D3D11_SDK_VERSION,
                                     &e.device, nullptr, nullptr))) {
            fprintf(stderr, "no device\n");
            return 1;
        }
        e.device->GetImmediateContext(&e.context);
        t[DEVICE].push_back(ms_since(t0));
        t0 = Clock::now();
        if (create_programs(&e) != 0) return fprintf(stderr, "%s\n", galaxy_error_get()), 1;
        t[PROGRAMS].push_back(ms_since(t0));
        t0 = Clock::now();
        if (create_layouts(&e) != 0 || create_states(&e) != 0) return fprintf(stderr, "%s\n", galaxy_error_get()), 1;
        t[LAYOUTS_STATES].push_back(ms_since(t0));
        t0 = Clock::now();
        make_buffer_dyn(e.device, 256, D3D11_BIND_CONSTANT_BUFFER, &e.cb_globals);
        make_buffer_dyn(e.device, 16, D3D11_BIND_CONSTANT_BUFFER, &e.cb_params);
        build_render_target(&e, W, H);
        e.body_count = 10;
        e.bodies = (QuadInstance *)calloc(10, 32);
        make_buffer_dyn(e.device, 320, D3D11_BIND_VERTEX_BUFFER, &e.bodies_vb);
        e.glow_count = 10;
        e.glows = (QuadInstance *)calloc(10, 32);
        make_buffer_dyn(e.device, 320, D3D11_BIND_VERTEX_BUFFER, &e.glow_vb);
        e.ring_count = 4;
        e.rings = (QuadInstance *)calloc(4, 32);
        make_buffer_dyn(e.device, 128, D3D11_BIND_VERTEX_BUFFER, &e.ring_vb);
        t[TARGETS_BUFFERS].push_back(ms_since(t0));
        t0 = Clock::now();
        engine_rebuild_stars(&e);
        engine_rebuild_belt(&e);
        engine_rebuild_galaxy(&e);
        engine_rebuild_disk(&e);
        engine_rebuild_rocks(&e);
        engine_build_orbit_lines(&e);
        t[CONTENT].push_back(ms_since(t0));
        e.created = 1;
        t0 = Clock::now();
        if (warm) engine_warm_pipelines(&e);
        if (warm) t[WARM].push_back(ms_since(t0));
        // One frame of every mode, each closed by a readback so the GPU work
        // (and the pipeline builds it triggers) is inside the measurement.
        t0 = Clock::now();
        const unsigned char *px;
        int w, h, s;
        for (int m = 0; m < 4; m++) {
            engine_set_mode(&e, m);
            engine_frame(&e);
            engine_readback(&e, &px, &w, &h, &s);
        }
        t[warm ? FIRST_FRAME : COLD_FIRST_FRAME].push_back(ms_since(t0));
        // The same again: what a frame costs once nothing is built any more.
        t0 = Clock::now();
        for (int m = 0; m < 4; m++) {
            engine_set_mode(&e, m);
            engine_frame(&e);
            engine_readback(&e, &px, &w, &h, &s);
        }
        t[SECOND_FRAME].push_back(ms_since(t0));
        if (run + 1 < 2 * repeats) release_all(&e);
    }

    printf("engine creation, offscreen %dx%d (median of %d)\n", W, H, repeats);
    for (int p = 0; p < PHASES; p++) printf("  %-28s %9.2f ms\n", names[p], median(t[p]));
    double total = 0;
    for (int p = DEVICE; p <= WARM; p++) total += median(t[p]);
    printf("  %-28s %9.2f ms\n", "creation (sum)", total);

    // Capture: the frame is rendered once; each capture copies, maps and packs.
    std::vector<double> rb, shot, frame_only;
    const unsigned char *px;
    int w, h, s;
    engine_set_mode(&e, 0);
    for (int i = 0; i < 10; i++) {
        auto t0 = Clock::now();
        engine_readback(&e, &px, &w, &h, &s);
        rb.push_back(ms_since(t0));
    }
    char path[] = "/tmp/bench_pipeline_XXXXXX.png"; // unique, removed below
    int fd = mkstemps(path, 4);
    if (fd < 0) {
        perror("bench_pipeline: scratch file");
        return 1;
    }
    close(fd);
    for (int i = 0; i < 5; i++) {
        auto t0 = Clock::now();
        if (engine_screenshot(&e, path) != 0) fprintf(stderr, "%s\n", galaxy_error_get());
        shot.push_back(ms_since(t0));
    }
    remove(path);
    printf("capture %dx%d (median)\n", W, H);
    printf("  %-28s %9.2f ms\n", "readback", median(rb));
    printf("  %-28s %9.2f ms\n", "screenshot (PNG encode)", median(shot));
    release_all(&e);
    free(e.readback_buf);
    return 0;
}
