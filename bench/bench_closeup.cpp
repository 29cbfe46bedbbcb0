// Frame cost as the camera comes close, on an offscreen engine (1280x720):
// every mode at its preset camera and at distances 60, 20 and 4 (yaw 0.3,
// pitch 0.5), lavapipe beside the CPU executor on one and on two workers,
// case by case in one run.
//
// Each sample is engine_frame followed by engine_readback (the readback
// waits for the frame's work). Reported per case: the median of those, in
// ms; for the CPU executor, fragments shaded per frame, ns per fragment per
// worker (median time x workers / fragments) and the most memory one draw
// held at once in binned primitives (bin MB; the executor caps it at 64 MiB).
//
// One line per case starting "case" is for scripts/plot_closeup.py.
//
// usage: bench_closeup [min samples = 3] [min ms per case = 1000] [quality = 1] [one mode: 0-3, -1: all]
//                      [size = 1280x720] [cpu: the CPU executor alone]
// e.g. the biggest binning case: bench_closeup 1 0 2 1 1920x1080 cpu
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <vector>

#include <halvenor/platform_test.h>

#include "capture/capture.h"
#include "content/content.h"
#include "frame/frame.h"
#include "bench_time.h"

struct Result {
    double ms, fragments;
    unsigned long long bin_peak;
};

static int measure(Engine *e, int min_samples, double min_ms, Result *out) {
    engine_frame(e); // warm-up: pipelines, buffers
    if (readback(e) != 0) {
        fprintf(stderr, "engine_readback: %s\n", galaxy_error_get());
        return -1;
    }
    plat_cpu_executor_bin_peak(1);
    std::vector<double> t;
    unsigned long long f0, f1, v;
    plat_cpu_executor_work(&f0, &v);
    const double start = now_ms();
    while ((int)t.size() < min_samples || now_ms() - start < min_ms) {
        const double t0 = now_ms();
        engine_frame(e);
        readback(e);
        t.push_back(now_ms() - t0);
        if (t.size() >= 200) break;
    }
    plat_cpu_executor_work(&f1, &v);
    out->ms = median_mean(t);
    out->fragments = (double)(f1 - f0) / (double)t.size();
    out->bin_peak = plat_cpu_executor_bin_peak(0);
    return 0;
}

int main(int argc, char **argv) {
    const int min_samples = argc > 1 ? atoi(argv[1]) : 3;
    const double min_ms = argc > 2 ? atof(argv[2]) : 1000.0;
    const int q = argc > 3 ? atoi(argv[3]) : 1;
    const int only_mode = argc > 4 ? atoi(argv[4]) : -1;
    int width = 1280, height = 720;
    if (argc > 5 && (sscanf(argv[5], "%dx%d", &width, &height) != 2 || width < 1 || height < 1)) {
        fprintf(stderr, "size: WxH, e.g. 1920x1080\n");
        return 1;
    }
    const int first = argc > 6 && strcmp(argv[6], "cpu") == 0 ? 1 : 0; // 1: without lavapipe
    // lavapipe, the CPU executor on 1 worker, on 2.
    const char *const names[3] = {"lavapipe", "cpu-1", "cpu-2"};
    const char *const executor[3] = {"vulkan", "cpu", "cpu"};
    const char *const threads[3] = {"2", "1", "2"};
    const int workers[3] = {0, 1, 2};
    static Engine engines[3];
    for (int k = first; k < 3; k++) { // the executor and its workers are chosen when the device is made
        setenv("HALVENOR_EXECUTOR", executor[k], 1);
        setenv("HALVENOR_THREADS", threads[k], 1);
        if (engine_create_offscreen(&engines[k], width, height) != 0) {
            fprintf(stderr, "engine_create_offscreen (%s): %s\n", names[k], galaxy_error_get());
            return 1;
        }
        engine_set_quality(&engines[k], q);
    }
    unsetenv("HALVENOR_EXECUTOR");
    unsetenv("HALVENOR_THREADS");
    const float distances[4] = {0.0f, 60.0f, 20.0f, 4.0f}; // 0: the preset
    printf("quality %d, %dx%d, frame + readback, medians\n", q, width, height);
    printf("%-4s %-8s %10s %10s %10s %8s %8s %12s %11s %9s\n", "mode", "distance", "lavapipe", "cpu-1", "cpu-2",
           "vs lvp", "2 / 1", "Mfrag/frame", "ns/frag/thr", "bin MB");
    for (int mode = 0; mode < 4; mode++) {
        if (only_mode >= 0 && mode != only_mode) continue;
        for (float dist : distances) {
            Result r[3] = {};
            for (int k = first; k < 3; k++) {
                Engine *e = &engines[k];
                engine_set_mode(e, mode); // the preset
                if (dist > 0.0f) engine_set_camera(e, 0.3f, 0.5f, dist);
                e->time_scale = 0.0f;
                e->sim_time = 2.5f;
                if (measure(e, min_samples, min_ms, &r[k]) != 0) return 1;
            }
            const double ns = r[2].ms * 1e6 * workers[2] / std::max(r[2].fragments, 1.0);
            printf("%-4d %-8s %10.1f %10.1f %10.1f %7.2fx %7.2fx %12.2f %11.2f %9.1f\n", mode,
                   dist > 0.0f ? (dist == 60.0f ? "60" : dist == 20.0f ? "20" : "4") : "preset", r[0].ms, r[1].ms,
                   r[2].ms, r[0].ms / r[2].ms, r[1].ms / r[2].ms, r[2].fragments * 1e-6, ns,
                   (double)r[2].bin_peak / (1 << 20));
            for (int k = first; k < 3; k++)
                printf("case mode=%d dist=%g executor=%s ms=%.3f fragments=%.0f bin_bytes=%llu\n", mode, dist,
                       names[k], r[k].ms, r[k].fragments, r[k].bin_peak);
            fflush(stdout);
        }
    }
    printf("vs lvp: lavapipe / cpu-2; 2 / 1: cpu-1 / cpu-2; Mfrag/frame, ns/frag/thr and bin MB of cpu-2\n");
    for (int k = first; k < 3; k++) engine_destroy(&engines[k]);
    return 0;
}
