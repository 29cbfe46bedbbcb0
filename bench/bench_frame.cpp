// Frame cost per mode and quality on an offscreen 1280x720 engine.
//
// Each sample is engine_frame followed by engine_readback, so the GPU work of
// the frame is included (the readback's Map waits for it). Reported medians:
//   total     wall time of frame + readback
//   frame     wall time of engine_frame alone (what the caller waits for)
//   cpu       CPU time of the calling thread inside engine_frame: engine plus
//             platform layer plus the driver's command recording on this
//             thread; the rasterizer's own threads are not counted
//   proc      CPU time of the whole process over frame + readback: adds the
//             driver's queue and rasterizer threads, i.e. the CPU cost of the
//             "GPU" work on a software device
//   readback  wall time of a readback with no new frame (copy + sync floor)
//   gpu~      total - readback: an estimate of the frame's GPU work
// The platform records Vulkan commands as each call arrives and submits them
// at the frame's end, so "cpu" holds all command translation and "total" the
// rasterizer's work. bench_pacing shows frames without a readback each.
//
// Both executors of the Linux build run side by side: lavapipe (Vulkan) and
// the CPU executor, each on its own engine, case by case in one run. For the
// CPU executor two more figures: fragments shaded per second of process CPU
// time (per core), and the wall time of its vertex stage per frame.
//
// usage: bench_frame [min samples = 15] [min ms per case = 1500] [max quality = 2]
//                    [executors: both | cpu | vulkan] [one mode: 0-3]
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

struct Case {
    double total, frame, cpu, proc, readback;
    size_t samples;
    double fragments, vertex_ms; // per frame, CPU executor only
};

// Medians of frame + readback for the engine's current mode and quality.
static int measure(Engine *e, int min_samples, double min_ms, Case *out) {
    for (int i = 0; i < 3; i++) { // warm-up: pipelines, buffer renames, caches
        engine_frame(e);
        if (readback(e) != 0) {
            fprintf(stderr, "engine_readback: %s\n", galaxy_error_get());
            return -1;
        }
    }
    std::vector<double> total, frame, cpu, proc, rb;
    unsigned long long f0, v0, f1, v1;
    plat_cpu_executor_work(&f0, &v0);
    double start = now_ms(CLOCK_MONOTONIC);
    while ((int)total.size() < min_samples || now_ms(CLOCK_MONOTONIC) - start < min_ms) {
        double p0 = now_ms(CLOCK_PROCESS_CPUTIME_ID);
        double t0 = now_ms(CLOCK_MONOTONIC), c0 = now_ms(CLOCK_THREAD_CPUTIME_ID);
        engine_frame(e);
        double c1 = now_ms(CLOCK_THREAD_CPUTIME_ID), t1 = now_ms(CLOCK_MONOTONIC);
        readback(e);
        double t2 = now_ms(CLOCK_MONOTONIC), p2 = now_ms(CLOCK_PROCESS_CPUTIME_ID);
        readback(e); // nothing new drawn: the cost of the capture itself
        double t3 = now_ms(CLOCK_MONOTONIC);
        total.push_back(t2 - t0);
        frame.push_back(t1 - t0);
        cpu.push_back(c1 - c0);
        proc.push_back(p2 - p0);
        rb.push_back(t3 - t2);
        if (total.size() >= 400) break;
    }
    plat_cpu_executor_work(&f1, &v1);
    out->total = median_mean(total);
    out->frame = median_mean(frame);
    out->cpu = median_mean(cpu);
    out->proc = median_mean(proc);
    out->readback = median_mean(rb);
    out->samples = total.size();
    out->fragments = (double)(f1 - f0) / (double)total.size();
    out->vertex_ms = (double)(v1 - v0) * 1e-6 / (double)total.size();
    return 0;
}

static Engine g_engines[2]; // lavapipe, CPU executor
static const char *const k_names[2] = {"lavapipe", "cpu"};

int main(int argc, char **argv) {
    int min_samples = argc > 1 ? atoi(argv[1]) : 15;
    double min_ms = argc > 2 ? atof(argv[2]) : 1500.0; // per case, after warm-up
    int max_q = argc > 3 ? atoi(argv[3]) : 2;
    const char *which = argc > 4 ? argv[4] : "both";
    int only_mode = argc > 5 ? atoi(argv[5]) : -1;
    bool run[2] = {strcmp(which, "cpu") != 0, strcmp(which, "vulkan") != 0};
    const char *executor[2] = {"vulkan", "cpu"};
    for (int k = 0; k < 2; k++) { // the executor is chosen when the device is made
        if (!run[k]) continue;
        setenv("HALVENOR_EXECUTOR", executor[k], 1);
        if (engine_create_offscreen(&g_engines[k], 1280, 720) != 0) {
            fprintf(stderr, "engine_create_offscreen (%s): %s\n", k_names[k], galaxy_error_get());
            return 1;
        }
    }
    unsetenv("HALVENOR_EXECUTOR");
    printf("%-2s %-4s %-8s %9s %9s %9s %9s %9s %9s %7s %8s %11s %9s\n", "q", "mode", "executor", "total", "frame",
           "cpu", "proc", "readback", "gpu~", "samples", "speedup", "Mfrag/s/cpu", "vertex");
    for (int q = 0; q <= max_q; q++) {
        for (int mode = 0; mode < 4; mode++) {
            if (only_mode >= 0 && mode != only_mode) continue;
            Case c[2] = {};
            for (int k = 0; k < 2; k++) {
                if (!run[k]) continue;
                engine_set_quality(&g_engines[k], q);
                engine_set_mode(&g_engines[k], mode);
                if (measure(&g_engines[k], min_samples, min_ms, &c[k]) != 0) return 1;
            }
            for (int k = 0; k < 2; k++) {
                if (!run[k]) continue;
                printf("%-2d %-4d %-8s %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f %7zu", q, mode, k_names[k], c[k].total,
                       c[k].frame, c[k].cpu, c[k].proc, c[k].readback, c[k].total - c[k].readback, c[k].samples);
                if (k == 1) // the speedup needs both executors' runs
                    printf(" %7.2fx %11.1f %9.3f", run[0] ? c[0].total / c[1].total : 0.0,
                           c[1].fragments / (c[1].proc * 1e3), c[1].vertex_ms);
                printf("\n");
            }
            const Engine *e = &g_engines[run[1] ? 1 : 0];
            printf("   content: stars %d belt %d galaxy %d disk %d rocks %d, %.2f M fragments\n", e->star_count,
                   e->belt_count, e->galaxy_count, e->disk_count, e->rock_count, c[1].fragments * 1e-6);
            fflush(stdout);
        }
    }
    printf("times in ms, medians; speedup: lavapipe total / cpu total; Mfrag/s/cpu: fragments per second\n"
           "of process CPU time; vertex: the CPU executor's vertex stage per frame (wall)\n");
    for (Engine &e : g_engines) engine_destroy(&e);
    return 0;
}
