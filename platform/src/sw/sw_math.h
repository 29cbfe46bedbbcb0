// Branch-free single-precision transcendentals for the CPU executor. Each is a
// plain function of one lane, written so that a loop over lanes vectorizes:
// no calls, no tables, selects instead of branches. Accuracy is a few units
// in the last place over the ranges shaders use, well inside what Direct3D 11
// allows (exp2 relative 2^-21, sin/cos absolute 2^-11 on [-100pi, 100pi]).
#pragma once
#include <stdint.h>
#include <string.h>

static inline float sw_bits_float(uint32_t u) { return __builtin_bit_cast(float, u); }
static inline uint32_t sw_float_bits(float f) { return __builtin_bit_cast(uint32_t, f); }

// Nearest integer of x (|x| < 2^22) as a float, by the 1.5 * 2^23 trick.
static inline float sw_round_small(float x) {
    const float magic = 12582912.0f;
    float t = x + magic;
    return t - magic;
}

static inline float sw_exp2(float x) {
    float xc = x < -126.0f ? -126.0f : x;
    xc = xc > 127.0f ? 127.0f : xc;
    float j = sw_round_small(xc);
    float f = xc - j; // [-0.5, 0.5]
    // Taylor series of e^(f ln 2); the seventh term is below 2^-23.
    float p = 1.5403530e-4f;
    p = p * f + 1.3333558e-3f;
    p = p * f + 9.6181291e-3f;
    p = p * f + 5.5504109e-2f;
    p = p * f + 2.4022651e-1f;
    p = p * f + 6.9314718e-1f;
    p = p * f + 1.0f;
    float scale = sw_bits_float((uint32_t)((int32_t)j + 127) << 23);
    float r = p * scale;
    r = x < -126.0f ? 0.0f : r;                       // denormal results flush to zero
    r = x >= 128.0f ? sw_bits_float(0x7f800000u) : r; // overflow
    r = x != x ? x : r;                               // NaN stays NaN
    return r;
}

static inline float sw_exp(float x) { return sw_exp2(x * 1.44269504f); }

// Shared by sin and cos: reduces x by multiples of pi/2 (three-part
// Cody-Waite constant) and evaluates both polynomials on [-pi/4, pi/4].
static inline void sw_sincos_reduced(float x, float *s, float *c, int32_t *quadrant) {
    // Past 2^22 quarter turns nothing is left to reduce; NaN reduces as 0.
    float t = x * 0.63661977f;
    t = t == t ? t : 0.0f;
    t = t < 4194304.0f ? t : 4194304.0f;
    t = t > -4194304.0f ? t : -4194304.0f;
    float j = sw_round_small(t);
    float r = x - j * 1.5703125f;
    r = r - j * 4.8375129699707031e-4f;
    r = r - j * 7.5497899548918822e-8f;
    float r2 = r * r;
    float ps = -1.9515295891e-4f;
    ps = ps * r2 + 8.3321608736e-3f;
    ps = ps * r2 - 1.6666654611e-1f;
    *s = r + r * r2 * ps;
    float pc = 2.443315711809948e-5f;
    pc = pc * r2 - 1.388731625493765e-3f;
    pc = pc * r2 + 4.166664568298827e-2f;
    *c = 1.0f - 0.5f * r2 + r2 * r2 * pc;
    *quadrant = (int32_t)j & 3;
}

// Picks a (pick_b 0) or b (pick_b 1) and flips the sign when negate is 2,
// with bit operations only, so the vectorizer keeps the loop straight.
static inline float sw_pick_sign(float a, float b, int32_t pick_b, int32_t negate) {
    uint32_t ua = sw_float_bits(a), ub = sw_float_bits(b);
    uint32_t mask = 0u - (uint32_t)pick_b;
    uint32_t v = ua ^ ((ua ^ ub) & mask);
    return sw_bits_float(v ^ ((uint32_t)negate << 30));
}

static inline float sw_sin(float x) {
    float s, c;
    int32_t q;
    sw_sincos_reduced(x, &s, &c, &q);
    return sw_pick_sign(s, c, q & 1, q & 2);
}

static inline float sw_cos(float x) {
    float s, c;
    int32_t q;
    sw_sincos_reduced(x, &s, &c, &q);
    return sw_pick_sign(c, s, q & 1, (q + 1) & 2);
}

// x - floor(x) without a floor instruction: truncate, then step down for
// negative non-integers. |x| >= 2^23 is integral already. Masks instead of
// branches, for the vectorizer.
static inline float sw_frac(float x) {
    float ax = sw_bits_float(sw_float_bits(x) & 0x7fffffffu);
    uint32_t small = 0u - (uint32_t)(ax < 8388608.0f);
    float xs = sw_bits_float(sw_float_bits(x) & small);
    float t = (float)(int32_t)xs;
    t = t - (float)(t > xs);
    float f = sw_bits_float(sw_float_bits(xs - t) & small);
    // Rounding can give exactly 1 for tiny negative x; the result stays below 1.
    return f < 0.99999994f ? f : 0.99999994f;
}
