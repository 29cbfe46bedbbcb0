// Wall-clock helpers the benchmark programs share.
#pragma once
#include <algorithm>
#include <chrono>
#include <vector>

using Clock = std::chrono::steady_clock;

static inline double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The median of the samples (the upper one of an even count).
static inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
