#include "sw/sw_simd.h"

#include <atomic>
#include <stdlib.h>

namespace {

bool cpu_has_avx2() {
#if SW_SIMD_X86_64
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool choose_wide() {
    const char *v = getenv("HALVENOR_SW_SIMD");
    const bool generic = v && strcmp(v, "generic") == 0;
    return cpu_has_avx2() && !generic;
}

// Set before main, so programs run without a device take the same build.
std::atomic<bool> g_wide{choose_wide()};

} // namespace

void sw_simd_choose() { g_wide.store(choose_wide(), std::memory_order_relaxed); }

bool sw_simd_wide() { return g_wide.load(std::memory_order_relaxed); }

const char *sw_simd_name() { return sw_simd_wide() ? "avx2" : "generic"; }

#if SW_SIMD_X86_64
SwFpMode sw_fp_mode_get() { return _mm_getcsr(); }
void sw_fp_mode_set(SwFpMode mode) { _mm_setcsr((unsigned int)mode); }
void sw_flush_denormals() { _mm_setcsr(_mm_getcsr() | 0x8040); } // FTZ | DAZ
#elif defined(__aarch64__)
SwFpMode sw_fp_mode_get() {
    uint64_t fpcr;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
    return fpcr;
}
void sw_fp_mode_set(SwFpMode mode) { __asm__ __volatile__("msr fpcr, %0" : : "r"(mode)); }
void sw_flush_denormals() { sw_fp_mode_set(sw_fp_mode_get() | (1u << 24)); } // FZ
#else
SwFpMode sw_fp_mode_get() { return 0; }
void sw_fp_mode_set(SwFpMode) {}
void sw_flush_denormals() {}
#endif
