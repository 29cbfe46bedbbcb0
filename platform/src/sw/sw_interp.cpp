// The CPU executor's interpreter: runs translated programs over batches of
// lanes.
#include "sw/sw_ops.h"

#include "sw/sw_math.h"
#include "sw/sw_simd.h"

#include <string.h>

void sw_registers_bind(SwRegisters *r, const SwProgram *p) {
    r->serial = p->serial;
    r->active_lanes = UINT32_MAX;
    r->lanes.assign((size_t)p->slot_count * SW_LANES, SwLane{0});
    for (const auto &c : p->constants) {
        SwLane *s = r->slot(c.first);
        for (int l = 0; l < SW_LANES; l++) s[l].u = c.second;
    }
}

namespace {

// Rounds toward minus infinity, exactly: below 2^23 through the integer
// conversion, from there on as it is (every such float is whole, infinities
// too, and NaN stays NaN). The sign of x is kept, so -0 stays -0.
inline float floor_exact(float x) {
    const uint32_t bits = sw_float_bits(x);
    const uint32_t small = 0u - (uint32_t)(sw_bits_float(bits & 0x7fffffffu) < 8388608.0f);
    const float xs = sw_bits_float(bits & small);
    float t = (float)(int32_t)xs;
    t = t - (float)(t > xs);
    const uint32_t whole = (sw_float_bits(t) & small) | (bits & ~small);
    return sw_bits_float(whole | (bits & 0x80000000u));
}

// A sum of products (OP_DOT2..4): s = a * b, then s = x * y + s for each
// further pair of sources in order, rounded as the multiplication and the
// multiply-adds it stands for.
template <int Terms>
__attribute__((always_inline)) inline void run_dot(const SwOp &o, const SwLane *R, SwLane *d, int L) {
    const SwLane *x[Terms], *y[Terms];
    for (int t = 0; t < Terms; t++) {
        x[t] = R + (size_t)operand_of(o, 2 * t) * SW_LANES;
        y[t] = R + (size_t)operand_of(o, 2 * t + 1) * SW_LANES;
    }
    for (int l = 0; l < L; l++) {
        float s = x[0][l].f * y[0][l].f;
        for (int t = 1; t < Terms; t++) s = x[t][l].f * y[t][l].f + s;
        d[l].f = s;
    }
}

// One operation over lanes 0 .. L - 1 (a multiple of 8: the lanes of a
// batch, rounded up to whole vectors; what lies past them is not read).
// Slots never overlap partially: a slot is either the destination or a
// source (the translator never writes in place).
__attribute__((always_inline)) inline void run_op(const SwOp &o, SwLane *R, size_t *pc, int L) {
    if (L % 8 != 0) __builtin_unreachable();
    SwLane *d = R + (size_t)o.dst * SW_LANES;
    const SwLane *a = R + (size_t)o.a * SW_LANES;
    const SwLane *b = R + (size_t)o.b * SW_LANES;
    // The third source only where it is one (c is otherwise a jump target):
    // worked out ahead of the switch it costs every operation.
#define THIRD const SwLane *c = R + (size_t)o.c * SW_LANES
#define LANES(expr) for (int l = 0; l < L; l++) expr; break
    switch (o.code) {
    case OP_MOV: LANES(d[l].u = a[l].u);
    case OP_SEL: { THIRD; LANES(d[l].u = (a[l].u & b[l].u) | (~a[l].u & c[l].u)); }
    case OP_AND: LANES(d[l].u = a[l].u & b[l].u);
    case OP_OR: LANES(d[l].u = a[l].u | b[l].u);
    case OP_XOR: LANES(d[l].u = a[l].u ^ b[l].u);
    case OP_ANDN: LANES(d[l].u = a[l].u & ~b[l].u);
    case OP_NOT: LANES(d[l].u = ~a[l].u);
    case OP_FADD: LANES(d[l].f = a[l].f + b[l].f);
    case OP_FSUB: LANES(d[l].f = a[l].f - b[l].f);
    case OP_FMUL: LANES(d[l].f = a[l].f * b[l].f);
    case OP_FDIV: LANES(d[l].f = a[l].f / b[l].f);
    case OP_FNEG: LANES(d[l].u = a[l].u ^ 0x80000000u);
    case OP_MAD: { THIRD; LANES(d[l].f = a[l].f * b[l].f + c[l].f); }
    // With one NaN operand, the other one (as Direct3D has it): a NaN first
    // operand gives way to the second, and a NaN second one loses the
    // comparison.
    case OP_FMIN: LANES(d[l].f = a[l].f == a[l].f ? (b[l].f < a[l].f ? b[l].f : a[l].f) : b[l].f);
    case OP_FMAX: LANES(d[l].f = a[l].f == a[l].f ? (a[l].f < b[l].f ? b[l].f : a[l].f) : b[l].f);
    case OP_FABS: LANES(d[l].u = a[l].u & 0x7fffffffu);
    case OP_FRACT: LANES(d[l].f = sw_frac(a[l].f));
    case OP_FLOOR: LANES(d[l].f = floor_exact(a[l].f));
    case OP_SQRT: LANES(d[l].f = __builtin_sqrtf(a[l].f));
    case OP_RSQ: LANES(d[l].f = 1.0f / __builtin_sqrtf(a[l].f));
    case OP_EXP: LANES(d[l].f = sw_exp(a[l].f));
    case OP_EXP2: LANES(d[l].f = sw_exp2(a[l].f));
    case OP_SIN: LANES(d[l].f = sw_sin(a[l].f));
    case OP_COS: LANES(d[l].f = sw_cos(a[l].f));
    case OP_IADD: LANES(d[l].u = a[l].u + b[l].u);
    case OP_ISUB: LANES(d[l].u = a[l].u - b[l].u);
    case OP_IMUL: LANES(d[l].u = a[l].u * b[l].u);
    case OP_SHL: LANES(d[l].u = a[l].u << (b[l].u & 31));
    case OP_SHRL: LANES(d[l].u = a[l].u >> (b[l].u & 31));
    case OP_SHRA: LANES(d[l].i = a[l].i >> (b[l].u & 31));
    case OP_UDIV: LANES(d[l].u = b[l].u ? a[l].u / b[l].u : 0xffffffffu);
    case OP_UMOD: LANES(d[l].u = b[l].u ? a[l].u % b[l].u : 0xffffffffu);
    case OP_S2F: LANES(d[l].f = (float)a[l].i);
    case OP_U2F: LANES(d[l].f = (float)a[l].u);
    case OP_F2S: { // NaN gives 0, out of range saturates
        for (int l = 0; l < L; l++) {
            float x = a[l].f != a[l].f ? 0.0f : a[l].f;
            x = x < -2147483648.0f ? -2147483648.0f : x;
            x = x > 2147483520.0f ? 2147483520.0f : x;
            int32_t v = (int32_t)x;
            d[l].i = a[l].f >= 2147483648.0f ? 0x7fffffff : v;
        }
        break;
    }
    case OP_F2U: {
        for (int l = 0; l < L; l++) {
            float x = a[l].f != a[l].f ? 0.0f : a[l].f;
            x = x < 0.0f ? 0.0f : x;
            x = x > 4294967040.0f ? 4294967040.0f : x;
            uint32_t v = (uint32_t)x;
            d[l].u = a[l].f >= 4294967296.0f ? 0xffffffffu : v;
        }
        break;
    }
    case OP_FLT: LANES(d[l].u = a[l].f < b[l].f ? 0xffffffffu : 0u);
    case OP_FLE: LANES(d[l].u = a[l].f <= b[l].f ? 0xffffffffu : 0u);
    case OP_FEQ: LANES(d[l].u = a[l].f == b[l].f ? 0xffffffffu : 0u);
    case OP_FNE: LANES(d[l].u = (a[l].f < b[l].f || a[l].f > b[l].f) ? 0xffffffffu : 0u);
    case OP_IEQ: LANES(d[l].u = a[l].u == b[l].u ? 0xffffffffu : 0u);
    case OP_ULT: LANES(d[l].u = a[l].u < b[l].u ? 0xffffffffu : 0u);
    case OP_ULE: LANES(d[l].u = a[l].u <= b[l].u ? 0xffffffffu : 0u);
    case OP_SLT: LANES(d[l].u = a[l].i < b[l].i ? 0xffffffffu : 0u);
    case OP_SLE: LANES(d[l].u = a[l].i <= b[l].i ? 0xffffffffu : 0u);
    case OP_DOT2: run_dot<2>(o, R, d, L); break;
    case OP_DOT3: run_dot<3>(o, R, d, L); break;
    case OP_DOT4: run_dot<4>(o, R, d, L); break;
    case OP_SKIP: {
        uint32_t any = 0;
        for (int l = 0; l < L; l++) any |= a[l].u;
        if (!any) *pc = o.c - 1;
        break;
    }
    default: break;
    }
#undef LANES
#undef THIRD
}

} // namespace

void sw_program_prepare(const SwProgram *p, SwRegisters *r, const void *const *cb, const uint32_t *cb_size) {
    SwLane *R = r->lanes.data();
    for (size_t pc = 0; pc < p->prologue.size(); pc++) {
        const SwOp &o = p->prologue[pc];
        if (o.code == OP_CBLOAD) {
            uint32_t bits = 0;
            if (cb[o.a] && o.c + 4 <= cb_size[o.a]) memcpy(&bits, (const uint8_t *)cb[o.a] + o.c, 4);
            SwLane *d = R + (size_t)o.dst * SW_LANES;
            for (int l = 0; l < SW_LANES; l++) d[l].u = bits;
        } else {
            run_op(o, R, &pc, SW_LANES); // constants: every lane
        }
    }
}

namespace {

// Lanes 0 .. n - 1 active (unless they already are: no operation writes the
// active slot), then the operations.
inline __attribute__((always_inline)) void run_body(const SwOp *ops, size_t count, SwLane *R, SwLane *active,
                                                     uint32_t n, uint32_t *active_lanes) {
    if (*active_lanes != n) {
        for (uint32_t l = 0; l < SW_LANES; l++) active[l].u = l < n ? 0xffffffffu : 0u;
        *active_lanes = n;
    }
    // A batch short of SW_LANES (the last of a tile, or of a set's
    // instances) runs only its own lanes.
    const int L = (int)((n + 7) & ~7u);
    for (size_t pc = 0; pc < count; pc++) run_op(ops[pc], R, &pc, L);
}

// The interpreter is most of the pixel cost: built for AVX2 too, for
// machines that have it (the same operations, so the same results, wider).
SW_SIMD_BUILDS(void, run, (const SwOp *ops, size_t count, SwLane *R, SwLane *active, uint32_t n, uint32_t *active_lanes),
               (ops, count, R, active, n, active_lanes))

} // namespace

void sw_program_run_ops(const SwProgram *p, SwRegisters *r, const SwOp *ops, size_t count, uint32_t n) {
    SwLane *active = r->slot(p->active_slot);
    run(ops, count, r->lanes.data(), active, n, &r->active_lanes);
}

void sw_program_run(const SwProgram *p, SwRegisters *r, uint32_t n) {
    sw_program_run_ops(p, r, p->body.data(), p->body.size(), n);
}
