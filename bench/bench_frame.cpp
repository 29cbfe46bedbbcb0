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
// usage: bench_frame [min samples = 15] [min ms per case = 1500] [max quality = 2]
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <vector>

#include "capture/capture.h"
#include "content/content.h"
#include "frame/frame.h"

static double now_ms(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

static int readback(Engine *e) {
    const unsigned char *px;
    int w, h, stride;
    return engine_readback(e, &px, &w, &h, &stride);
}

static Engine g_bench;

int main(int argc, char **argv) {
    int min_samples = argc > 1 ? atoi(argv[1]) : 15;
    double min_ms = argc > 2 ? atof(argv[2]) : 1500.0; // per case, after warm-up
    int max_q = argc > 3 ? atoi(argv[3]) : 2;
    Engine *e = &g_bench;
    if (engine_create_offscreen(e, 1280, 720) != 0) {
        fprintf(stderr, "engine_create_offscreen: %s\n", galaxy_error_get());
        return 1;
    }
    printf("%-2s %-4s %9s %9s %9s %9s %9s %9s %7s  %s\n", "q", "mode", "total", "frame", "cpu", "proc",
           "readback", "gpu~", "samples", "content");
    for (int q = 0; q <= max_q; q++) {
        engine_set_quality(e, q);
        for (int mode = 0; mode < 4; mode++) {
            engine_set_mode(e, mode);
            for (int i = 0; i < 3; i++) { // warm-up: pipelines, buffer renames, caches
                engine_frame(e);
                if (readback(e) != 0) {
                    fprintf(stderr, "engine_readback: %s\n", galaxy_error_get());
                    return 1;
                }
            }
            std::vector<double> total, frame, cpu, proc, rb;
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
            double mt = median(total), mr = median(rb);
            printf("%-2d %-4d %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f %7zu  stars %d belt %d galaxy %d disk %d rocks %d\n",
                   q, mode, mt, median(frame), median(cpu), median(proc), mr, mt - mr, total.size(), e->star_count,
                   e->belt_count, e->galaxy_count, e->disk_count, e->rock_count);
            fflush(stdout);
        }
    }
    printf("times in ms, medians\n");
    engine_destroy(e);
    return 0;
}
