// Clock and frame helpers the benchmark programs share.
#pragma once
#include <time.h>
#include <algorithm>
#include <chrono>
#include <vector>

#include "capture/capture.h"

using Clock = std::chrono::steady_clock;

static inline double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The median of the samples (the upper one of an even count).
static inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The median of the samples (the mean of the two middle ones of an even count).
static inline double median_mean(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Milliseconds on a clock: CLOCK_MONOTONIC for wall time, or the CPU time of
// this thread or process.
static inline double now_ms(clockid_t clock = CLOCK_MONOTONIC) {
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

// Reads the last frame back, pixels unused: waits until the device has drawn it.
static inline int readback(Engine *e) {
    const unsigned char *px;
    int w, h, stride;
    return engine_readback(e, &px, &w, &h, &stride);
}
