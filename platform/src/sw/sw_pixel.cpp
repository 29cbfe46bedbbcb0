// The pixel stage: a worker's batch of fragments through the pixel
// program, then the output merger: colours to 8-bit UNORM, the depth test,
// and replace or ONE/ONE addition, lane by lane in order. Built per
// instruction set (see SW_BOTH_BUILDS): on AVX2 its loops convert and blend
// 8 lanes at once.
#include "sw/sw_stages.h"

namespace sw {

namespace {

// Direct3D's comparison functions, 1 (never) to 8 (always), of the
// fragment's depth against the stored one, chosen once per batch: merge()
// is handed the comparison as a function object, so its loop has none of
// this switch.
template <class Merge> SW_BOTH_BUILDS void with_depth_func(uint32_t func, Merge merge) {
    switch (func) {
    case 1: return merge([](float, float) { return false; });
    case 2: return merge([](float z, float stored) { return z < stored; });
    case 3: return merge([](float z, float stored) { return z == stored; });
    case 4: return merge([](float z, float stored) { return z <= stored; });
    case 5: return merge([](float z, float stored) { return z > stored; });
    case 6: return merge([](float z, float stored) { return z != stored; });
    case 7: return merge([](float z, float stored) { return z >= stored; });
    default: return merge([](float, float) { return true; });
    }
}

// sw_unorm8 of 8 lanes at once, in the same arithmetic, with the clamps
// written as masks: the compiler turns the scalar form's selects into a
// dozen instructions per vector, this into seven.
SW_BOTH_BUILDS void unorm8_lanes(const float *src, Int8 *out) {
    Float8 v;
    memcpy(&v, src, sizeof v);
    v = (Float8)((Int8)v & (Int8)(v > 0.0f)); // NaN and below 0 give 0
    const Int8 below = (Int8)(v < 1.0f);
    const Float8 one = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    v = (Float8)(((Int8)v & below) | ((Int8)one & ~below));
    *out = __builtin_convertvector(v * 255.0f + 0.5f, Int8);
}

// Runs the pixel program on the batch and merges its colours into the
// target, lane by lane in order (two lanes may hold the same pixel).
SW_BOTH_BUILDS void shade_batch_body(SwDevice *dev, Worker &wk) {
    const SwDraw *d = dev->ds.d;
    const SwProgram *ps = d->ps;
    const uint32_t n = wk.n;
    if (n == 0) return;
    wk.fragments += n;
    wk.n = 0;
    if (ps->frag_coord.components) {
        const int32_t *fc = ps->frag_coord.slot;
        for (uint32_t l = 0; l < n; l++) {
            float v[4] = {(float)wk.fx[l] + 0.5f, (float)wk.fy[l] + 0.5f, wk.fz[l], wk.fw[l]};
            for (int k = 0; k < 4; k++)
                if (fc[k] >= 0) wk.ps.slot((uint32_t)fc[k])[l].f = v[k];
        }
    }
    sw_program_run(ps, &wk.ps, n);
    const SwLane *done = wk.ps.slot(ps->done_slot);
    // One pass over whole groups of 8 lanes (the registers run SW_LANES
    // long); a component the program leaves out reads a row of zeros.
    static const SwLane zeros[SW_LANES] = {};
    const SwLane *col[4];
    for (int k = 0; k < 4; k++) { // in the target's byte order
        int c = d->target->format == SW_FORMAT_BGRA8 && k != 1 && k != 3 ? 2 - k : k;
        col[k] = ps->outputs[0].slot[c] >= 0 ? wk.ps.slot((uint32_t)ps->outputs[0].slot[c]) : zeros;
    }
    // Each lane's colour, zero where the program discarded (which every
    // merge below relies on), and the byte offset of its pixel: targets are
    // at most 16384 x 16384 x 4 bytes, so 32 bits hold it.
    uint32_t packed[SW_LANES], offset[SW_LANES];
    const int32_t pitch32 = (int32_t)d->target->pitch;
    for (uint32_t l = 0; l < n; l += 8) {
        Int8 c[4], mask, x, y;
        for (int k = 0; k < 4; k++) unorm8_lanes(&col[k][l].f, &c[k]);
        memcpy(&mask, &done[l], sizeof mask);
        const UInt8 p = ((UInt8)c[0] | (UInt8)c[1] << 8 | (UInt8)c[2] << 16 | (UInt8)c[3] << 24) & (UInt8)mask;
        memcpy(&packed[l], &p, sizeof p);
        memcpy(&x, &wk.fx[l], sizeof x);
        memcpy(&y, &wk.fy[l], sizeof y);
        const Int8 o = y * pitch32 + x * 4;
        memcpy(&offset[l], &o, sizeof o);
    }
    SwImage *target = d->target;
    uint8_t *const bytes = target->bytes.data();
    if (d->depth && d->depth_test) {
        // Each lane's depth clamped to [0, 1] and the byte offset of its
        // stored depth, 8 lanes at once; then lane by lane in order, with
        // selects rather than branches, as below.
        float zc[SW_LANES];
        uint32_t zoffset[SW_LANES];
        const int32_t zpitch32 = (int32_t)d->depth->pitch;
        const Float8 zero = {}, one = zero + 1.0f;
        for (uint32_t l = 0; l < n; l += 8) {
            Float8 z;
            Int8 x, y;
            memcpy(&z, &wk.fz[l], sizeof z);
            memcpy(&x, &wk.fx[l], sizeof x);
            memcpy(&y, &wk.fy[l], sizeof y);
            z = z < zero ? zero : (z > one ? one : z);
            const Int8 o = y * zpitch32 + x * 4;
            memcpy(&zc[l], &z, sizeof z);
            memcpy(&zoffset[l], &o, sizeof o);
        }
        uint8_t *const zbytes = d->depth->bytes.data();
        const bool write = d->depth_write, add = d->blend == SW_BLEND_ADD;
        with_depth_func(d->depth_func, [&](auto passes) {
            for (uint32_t l = 0; l < n; l++) {
                float *dz = (float *)(zbytes + zoffset[l]);
                const bool pass = done[l].u && passes(zc[l], *dz);
                *dz = pass && write ? zc[l] : *dz;
                uint32_t *px = (uint32_t *)(bytes + offset[l]);
                const uint32_t c = add ? sw_add_saturate_bytes(*px, packed[l]) : packed[l];
                *px = pass ? c : *px;
            }
        });
        return;
    }
    // Masks rather than branches: discarded lanes follow no pattern the
    // branch predictor could learn, and adding zero changes nothing.
    if (d->blend == SW_BLEND_ADD) {
        // Pixel by pixel, even where four lanes are neighbours: a 16-byte
        // load that spans the 4-byte stores of a batch just blended cannot
        // take its data from them, and waits for them to reach the cache
        // (measured 8 % slower on the galaxy).
        for (uint32_t l = 0; l < n; l++) {
            uint32_t *px = (uint32_t *)(bytes + offset[l]);
            *px = sw_add_saturate_bytes(*px, packed[l]);
        }
    } else {
        for (uint32_t l = 0; l < n; l++) {
            uint32_t *px = (uint32_t *)(bytes + offset[l]);
            *px = packed[l] | (*px & ~done[l].u);
        }
    }
}

} // namespace

SW_SIMD_BUILDS(void, shade_batch, (SwDevice *dev, Worker &wk), (dev, wk))

} // namespace sw
