// Everything in the CPU executor that depends on the processor, in one place.
//
// The loops that run over every lane are written once, in portable C++ (GCC
// and Clang vector extensions, or loops the compiler vectorizes). On x86-64
// they are built twice, for the baseline instruction set and for AVX2, and
// the AVX2 build runs where the processor has it; elsewhere (aarch64,
// wasm32 with SIMD) the one portable build is the executor. Both builds run
// the same operations in the same order, so they give the same bytes.
//
// HALVENOR_SW_SIMD=generic keeps an x86-64 machine on the baseline build, to
// measure what a processor without AVX2 costs and to compare the two.
#pragma once
#include <stdint.h>
#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#define SW_SIMD_X86_64 1
#else
#define SW_SIMD_X86_64 0
#endif

// For what the two builds share: inlined into each, so each gets its own
// instructions.
#define SW_INLINE inline __attribute__((always_inline))

// Decides, from the processor and HALVENOR_SW_SIMD, which build the draws
// that follow run; called when a device is created.
void sw_simd_choose();
// True when the AVX2 builds run.
bool sw_simd_wide();
// The name of the build in use, for benchmarks: "avx2" or "generic".
const char *sw_simd_name();

// SW_SIMD_BUILDS(ret, name, (params), (args)) defines `ret name(params)`
// running `name##_body(args)` (an SW_INLINE function) in the build chosen.
#if SW_SIMD_X86_64
// Picked by a plain test rather than an ifunc, which sanitizers cannot run.
#define SW_SIMD_BUILDS(ret, name, params, args)                                                                       \
    ret name##_generic params { return name##_body args; }                                                           \
    __attribute__((target("avx2"))) ret name##_avx2 params { return name##_body args; }                              \
    ret name params { return sw_simd_wide() ? name##_avx2 args : name##_generic args; }
#else
#define SW_SIMD_BUILDS(ret, name, params, args)                                                                       \
    ret name params { return name##_body args; }
#endif

// a + b in each of the four bytes, saturating at 255, written portably.
SW_INLINE uint32_t sw_add_saturate_bytes_portable(uint32_t a, uint32_t b) {
    typedef uint8_t Bytes __attribute__((vector_size(16)));
    Bytes x = {}, y = {};
    memcpy(&x, &a, 4);
    memcpy(&y, &b, 4);
    const Bytes room = ~x; // 255 - x: what x can still take
    const Bytes s = x + (y < room ? y : room);
    uint32_t r;
    memcpy(&r, &s, 4);
    return r;
}

// The same, as the one x86-64 instruction that does it (GCC does not find
// it in the portable form; Clang does).
SW_INLINE uint32_t sw_add_saturate_bytes(uint32_t a, uint32_t b) {
#if SW_SIMD_X86_64
    return (uint32_t)_mm_cvtsi128_si32(_mm_adds_epu8(_mm_cvtsi32_si128((int)a), _mm_cvtsi32_si128((int)b)));
#else
    return sw_add_saturate_bytes_portable(a, b);
#endif
}

// Four rows of four floats in, their four columns out: out[k][j] = in[j][k].
// Rows and columns may be unaligned; a null column is not written.
SW_INLINE void sw_transpose4(const float *const in[4], float *const out[4]) {
    typedef float F4 __attribute__((vector_size(16)));
    F4 r[4];
    for (int j = 0; j < 4; j++) memcpy(&r[j], in[j], sizeof r[j]);
    const F4 t0 = __builtin_shufflevector(r[0], r[1], 0, 4, 1, 5);
    const F4 t1 = __builtin_shufflevector(r[0], r[1], 2, 6, 3, 7);
    const F4 t2 = __builtin_shufflevector(r[2], r[3], 0, 4, 1, 5);
    const F4 t3 = __builtin_shufflevector(r[2], r[3], 2, 6, 3, 7);
    const F4 c[4] = {__builtin_shufflevector(t0, t2, 0, 1, 4, 5), __builtin_shufflevector(t0, t2, 2, 3, 6, 7),
                     __builtin_shufflevector(t1, t3, 0, 1, 4, 5), __builtin_shufflevector(t1, t3, 2, 3, 6, 7)};
    for (int k = 0; k < 4; k++)
        if (out[k]) memcpy(out[k], &c[k], sizeof c[k]);
}

// Denormal floats flushed to zero, in and out, on the calling thread, as
// Direct3D 11 allows for 32-bit floats; it also keeps slow microcode paths
// out of the inner loops. Where the processor has no such mode (wasm32)
// denormals stay: only values below 1.2e-38 can differ.
typedef uint64_t SwFpMode;
SwFpMode sw_fp_mode_get();
void sw_fp_mode_set(SwFpMode mode);
void sw_flush_denormals();
