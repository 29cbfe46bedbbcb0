// PNG encoding of 1280x720 frames: stb_image_write's own deflate (the Windows
// DLL's), libdeflate at levels 1-9 (10-12 cost ten times more for 5%) and
// zlib at levels 1, 6 and 9, all behind the same stb PNG writer, so every one
// compresses the same filtered rows, taken in turns.
// Then the engine's whole screenshot (copy, map, encode, write). Medians.
//   bench_png [repeats = 7]
#include <algorithm>
#include <chrono>
#include <libdeflate.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>
#include <zlib.h>

#include "capture/capture.h"
#include "content/content.h"
#include "frame/frame.h"

// The compressor under test, chosen before each encode.
enum Kind { LIBDEFLATE, ZLIB };
static Kind g_kind;
static int g_level;

static unsigned char *bench_deflate(unsigned char *data, int len, int *out_len, int) {
    if (g_kind == ZLIB) {
        uLongf n = compressBound((uLong)len);
        unsigned char *out = (unsigned char *)malloc(n);
        if (compress2(out, &n, data, (uLong)len, g_level) != Z_OK) return free(out), nullptr;
        *out_len = (int)n;
        return out;
    }
    libdeflate_compressor *c = libdeflate_alloc_compressor(g_level);
    size_t bound = libdeflate_zlib_compress_bound(c, (size_t)len);
    unsigned char *out = (unsigned char *)malloc(bound);
    *out_len = (int)libdeflate_zlib_compress(c, data, (size_t)len, out, bound);
    libdeflate_free_compressor(c);
    return out;
}

#define STBIW_ZLIB_COMPRESS bench_deflate
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_image_write.h>
#include "bench_time.h"

unsigned char *png_with_stb_deflate(const unsigned char *rgba, int w, int h, int *len);


struct Method {
    const char *name;
    int kind; // -1: stb's own
    int level;
};

static Engine g_bench;

int main(int argc, char **argv) {
    const int repeats = argc > 1 ? atoi(argv[1]) : 7;
    const int W = 1280, H = 720;
    Engine *e = &g_bench;
    if (engine_create_offscreen(e, W, H) != 0) return fprintf(stderr, "%s\n", galaxy_error_get()), 1;

    std::vector<Method> methods = {{"stb's own deflate", -1, 0}};
    for (int l : {1, 6, 9}) methods.push_back({"zlib", ZLIB, l});
    for (int l = 1; l <= 9; l++) methods.push_back({"libdeflate", LIBDEFLATE, l});

    printf("PNG encode of a %dx%d frame, median of %d (ms, bytes)\n", W, H, repeats);
    printf("%-20s %5s", "", "level");
    const char *scenes[4] = {"solar", "galaxy", "blackhole", "asteroids"};
    for (const char *s : scenes) printf(" %10s %9s", s, "bytes");
    printf("\n");
    std::vector<std::vector<unsigned char>> frames;
    for (int m = 0; m < 4; m++) {
        engine_set_mode(e, m);
        engine_frame(e);
        const unsigned char *px;
        int w, h, s;
        if (engine_readback(e, &px, &w, &h, &s) != 0) return fprintf(stderr, "%s\n", galaxy_error_get()), 1;
        frames.emplace_back(px, px + (size_t)s * h);
    }
    // Round robin: every method meets the same load on a shared machine.
    std::vector<std::vector<double>> times(methods.size() * frames.size());
    std::vector<int> sizes(times.size());
    for (int r = 0; r < repeats; r++)
        for (size_t i = 0; i < methods.size(); i++)
            for (size_t f = 0; f < frames.size(); f++) {
                const Method &m = methods[i];
                g_kind = (Kind)m.kind;
                g_level = m.level;
                int len = 0;
                auto t0 = Clock::now();
                unsigned char *png = m.kind < 0 ? png_with_stb_deflate(frames[f].data(), W, H, &len)
                                                : stbi_write_png_to_mem(frames[f].data(), W * 4, W, H, 4, &len);
                times[i * frames.size() + f].push_back(ms_since(t0));
                sizes[i * frames.size() + f] = len;
                free(png);
            }
    for (size_t i = 0; i < methods.size(); i++) {
        printf("%-20s %5d", methods[i].name, methods[i].level);
        for (size_t f = 0; f < frames.size(); f++)
            printf(" %10.1f %9d", median(times[i * frames.size() + f]), sizes[i * frames.size() + f]);
        printf("\n");
    }

    // The engine's screenshot as a host sees it, every scene.
    const char *path = "/tmp/bench_png_shot.png";
    printf("%-26s", "galaxy_screenshot (ms)");
    for (int m = 0; m < 4; m++) {
        engine_set_mode(e, m);
        engine_frame(e);
        std::vector<double> t;
        for (int r = 0; r < repeats; r++) {
            auto t0 = Clock::now();
            if (engine_screenshot(e, path) != 0) return fprintf(stderr, "%s\n", galaxy_error_get()), 1;
            t.push_back(ms_since(t0));
        }
        printf(" %10.1f %9s", median(t), "");
    }
    printf("\n");
    remove(path);
    engine_destroy(e);
    return 0;
}
