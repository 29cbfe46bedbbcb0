// The xorshift64 source every generator draws from.
#include "content/content.h"

uint64_t rng_seed = 0x9e3779b97f4a7c15ull;

uint64_t rng_next(void) {
    uint64_t s = rng_seed;
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    rng_seed = s;
    return s;
}

// Bits 11..62 of the new state. The rounding conversion can reach exactly
// 1.0 (v >= 2^52 - 2^27); every caller accepts the closed interval.
float rng_float(void) {
    uint64_t v = (rng_next() >> 11) & 0xfffffffffffffull;
    float f = (float)(int64_t)v; // v < 2^52: the signed conversion rounds the same and is one instruction
    return f * 0x1p-52f;
}

float rng_range(float lo, float hi) {
    float span = hi - lo;
    return rng_float() * span + lo;
}
