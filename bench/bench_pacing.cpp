// Paced frames on an offscreen engine: what a frame costs when the host reads
// back after every frame (each frame waits for the device) and when it reads
// back once at the end (the device draws one frame while the host prepares
// the next), each with and without host work between frames (a busy loop as
// long as one frame, standing for a host's own simulation). Also the longest
// single engine_frame call of each run: none waits for more than the frames
// in flight. The cases take turns in every repeat; medians.
//   bench_pacing [frames = 30] [repeats = 3] [width = 1280] [height = 720]
#include <algorithm>
#include <chrono>
#include <stdio.h>
#include <stdlib.h>
#include <vector>

#include "capture/capture.h"
#include "content/content.h"
#include "frame/frame.h"
#include "bench_time.h"

static void busy(double ms) {
    auto t0 = Clock::now();
    while (ms_since(t0) < ms) {
    }
}
static Engine g_bench;

struct Run {
    double per_frame, longest_call;
};

// frames frames of the current mode; per-frame readback or one at the end.
static Run run(Engine *e, int frames, bool readback_each, double host_ms) {
    Run r = {0, 0};
    auto t0 = Clock::now();
    for (int i = 0; i < frames; i++) {
        busy(host_ms);
        auto c0 = Clock::now();
        engine_frame(e);
        r.longest_call = std::max(r.longest_call, ms_since(c0));
        if (readback_each) readback(e);
    }
    if (!readback_each) readback(e);
    r.per_frame = ms_since(t0) / frames;
    return r;
}

int main(int argc, char **argv) {
    const int frames = argc > 1 ? atoi(argv[1]) : 30;
    const int repeats = argc > 2 ? atoi(argv[2]) : 3;
    const int W = argc > 3 ? atoi(argv[3]) : 1280, H = argc > 4 ? atoi(argv[4]) : 720;
    Engine *e = &g_bench;
    if (engine_create_offscreen(e, W, H) != 0) return fprintf(stderr, "%s\n", galaxy_error_get()), 1;
    printf("offscreen %dx%d, quality 1, %d frames per run, median of %d (ms)\n", W, H, frames, repeats);
    printf("%-10s %9s | %-24s %-24s | %-24s %-24s\n", "", "", "no host work", "", "host work = one frame", "");
    printf("%-10s %9s | %11s %12s %11s %12s | %11s %12s %11s %12s\n", "mode", "host ms", "rb each", "longest",
           "rb at end", "longest", "rb each", "longest", "rb at end", "longest");
    const int modes[] = {2, 3, 0, 1};
    const char *names[] = {"solar", "galaxy", "blackhole", "asteroids"};
    for (int mode : modes) {
        engine_set_mode(e, mode);
        run(e, 3, true, 0); // warm
        double host_ms = run(e, 5, true, 0).per_frame;
        std::vector<double> t[8];
        for (int r = 0; r < repeats; r++)
            for (int c = 0; c < 4; c++) {
                Run x = run(e, frames, c % 2 == 0, c < 2 ? 0.0 : host_ms);
                t[2 * c].push_back(x.per_frame);
                t[2 * c + 1].push_back(x.longest_call);
            }
        printf("%-10s %9.1f |", names[mode], host_ms);
        for (int i = 0; i < 8; i++) printf(" %11.1f", median(t[i]));
        printf("\n");
        fflush(stdout);
    }
    engine_destroy(e);
    return 0;
}
