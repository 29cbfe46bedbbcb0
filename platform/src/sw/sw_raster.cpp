// Rasterization, per screen tile: each primitive binned there walked over
// the tile's pixels, its fragments filling a worker's batch of SW_LANES
// lanes (positions, depth and the pixel program's inputs, written straight
// into its registers), shaded whenever it is full (sw_pixel.cpp). Built per
// instruction set (see SW_BOTH_BUILDS): on AVX2 its loops fill 8 lanes at
// once.
#include "sw/sw_stages.h"

#include <algorithm>
#include <math.h>

namespace sw {

namespace {

// A run of fragments going into the batch: `count` lanes from lane `l`,
// filled in `groups` whole groups of 8 (fixed-length loops with no
// remainder; the lanes past count, in rows kPad long, are overwritten by
// the next fragments).
struct LaneRun {
    uint32_t l, count, groups;
};

// Eight lanes of a row, in place, as one vector. The fills below are
// written with them rather than as loops of 8: Clang (WebAssembly)
// vectorizes such a loop nest across the groups instead, a gather and a
// scatter per vector. Rows are only 4-byte aligned, and a run can start
// mid-group, so the type says so. It is reached through a pointer: Clang
// drops a typedef's lowered alignment on a reference and emits aligned
// moves, which fault on x86.
typedef float Lanes8 __attribute__((vector_size(32), aligned(4), may_alias));
SW_BOTH_BUILDS Lanes8 *lanes8(float *p) { return (Lanes8 *)p; }
SW_BOTH_BUILDS const Lanes8 *lanes8(const float *p) { return (const Lanes8 *)p; }

SW_BOTH_BUILDS LaneRun begin_run(const Worker &wk, uint32_t left) {
    const uint32_t room = SW_LANES - wk.n, count = left < room ? left : room;
    return {wk.n, count, (count + 7) / 8};
}

// Takes the run's lanes into the batch, shading it once full.
SW_BOTH_BUILDS void end_run(SwDevice *dev, Worker &wk, uint32_t count) {
    wk.n += count;
    if (wk.n == SW_LANES) shade_batch(dev, wk);
}

// One fragment of a triangle or line with weights b0..b2 of its vertices:
// inputs interpolated perspective-correct from its attribute block.
SW_BOTH_BUILDS void emit_weighted(SwDevice *dev, Worker &wk, const float *g, int32_t x, int32_t y, float b0, float b1, float b2) {
    const uint32_t l = wk.n;
    float q0 = b0 * g[3], q1 = b1 * g[4], q2 = b2 * g[5];
    const float rw = q0 + q1 + q2;
    float w = 1.0f / rw;
    q0 = q0 * w;
    q1 = q1 * w;
    q2 = q2 * w;
    const float *a = g + kWeightedHeader;
    for (uint32_t i = 0; i < dev->ds.read_count; i++, a += 3) wk.in[i][l] = q0 * a[0] + q1 * a[1] + q2 * a[2];
    wk.fx[l] = x;
    wk.fy[l] = y;
    wk.fz[l] = b0 * g[0] + b1 * g[1] + b2 * g[2];
    wk.fw[l] = rw;
    if (++wk.n == SW_LANES) shade_batch(dev, wk);
}

// Rectangles are affine (one w): each input is a0 + bx (a1 - a0) + by (a2 - a0),
// with bx, by the pixel centre's place along the two sides. A row's pixels
// fill lanes in one vectorizable loop per input.
SW_BOTH_BUILDS void raster_rect(SwDevice *dev, Worker &wk, const Prim &p, const float *g, int32_t tx0, int32_t ty0, int32_t tx1,
                 int32_t ty1) {
    int32_t x0 = std::max(p.x0, tx0), x1 = std::min(p.x1, tx1), y0 = std::max(p.y0, ty0), y1 = std::min(p.y1, ty1);
    const float lx = g[0], ly = g[1], rwidth = g[2], rheight = g[3];
    const float *a = g + rect_header(dev->ds.need_z);
    const uint32_t reads = dev->ds.read_count;
    const SwImage *target = dev->ds.d->target;
    if (x1 - x0 < 8) { // narrow (a star, a galaxy particle): several rows per group of lanes
        if (all_white(dev->ds, wk, target, x0, y0, x1, y1)) return;
        // Pixel i of the rectangle, row by row, is (x0 + i % w, y0 + i / w).
        // The division is a multiplication by 1 / w that vectorizes, and it
        // cannot round across an integer: (i + 0.5) / w is at least 1/16 from
        // one, and with i under 600 (a tile's 64 rows) the float error is
        // below 1e-4.
        const int32_t w = x1 - x0 + 1;
        const float rw = 1.0f / (float)w;
        const uint32_t total = (uint32_t)w * (uint32_t)(y1 - y0 + 1);
        for (uint32_t done = 0; done < total;) {
            const auto [l, count, groups] = begin_run(wk, total - done);
            float bx[kPad], by[kPad];
            // Written with vector types: the loop form builds its starting
            // lane numbers one insert at a time, a fixed cost per run. They
            // step as unsigned lanes: GCC 12 drops the step of a signed
            // 8-lane vector carried around a loop when it checks signed
            // overflow (the sanitizer build) without AVX, and every group of
            // the portable build then took the first group's pixels.
            UInt8 step = UInt8{0, 1, 2, 3, 4, 5, 6, 7} + done;
            for (uint32_t j = 0; j < groups; j++, step += 8u) {
                const Int8 i = (Int8)step;
                const Int8 row = __builtin_convertvector((__builtin_convertvector(i, Float8) + 0.5f) * rw, Int8);
                const Int8 x = x0 + (i - row * w), y = y0 + row;
                const Float8 fbx = (__builtin_convertvector(x, Float8) + 0.5f - lx) * rwidth;
                const Float8 fby = (__builtin_convertvector(y, Float8) + 0.5f - ly) * rheight;
                memcpy(wk.fx + l + 8 * j, &x, sizeof x);
                memcpy(wk.fy + l + 8 * j, &y, sizeof y);
                memcpy(bx + 8 * j, &fbx, sizeof fbx);
                memcpy(by + 8 * j, &fby, sizeof fby);
            }
            for (uint32_t i = 0; i < reads; i++) {
                const float a0 = a[3 * i], along = a[3 * i + 1], down = a[3 * i + 2];
                float *__restrict dst = wk.in[i] + l;
                for (uint32_t k = 0; k < groups * 8; k += 8)
                    *lanes8(dst + k) = (a0 + *lanes8(by + k) * down) + *lanes8(bx + k) * along;
            }
            if (dev->ds.need_z) {
                float *__restrict fz = wk.fz + l, *__restrict fw = wk.fw + l;
                const float z0 = g[4], zx = g[5], zy = g[6], rw = g[7];
                for (uint32_t k = 0; k < groups * 8; k += 8) {
                    *lanes8(fz + k) = (z0 + *lanes8(by + k) * zy) + *lanes8(bx + k) * zx;
                    *lanes8(fw + k) = Lanes8{rw, rw, rw, rw, rw, rw, rw, rw};
                }
            }
            done += count;
            end_run(dev, wk, count);
        }
        return;
    }
    for (int32_t y = y0; y <= y1; y++) {
        const uint8_t *row = target->bytes.data() + (size_t)y * target->pitch;
        if (white_span(dev->ds, wk, row, y, x0, x1)) continue;
        const float by = ((float)y + 0.5f - ly) * rheight;
        // The pixels are read when the batch is shaded: fetch them meanwhile.
        for (int32_t x = x0; x <= x1; x += 16) __builtin_prefetch(row + (size_t)x * 4, 1);
        for (int32_t x = x0; x <= x1;) {
            const uint32_t live = live_run(dev->ds, wk, y, &x, x1);
            if (!live) break;
            const auto [l, count, groups] = begin_run(wk, live);
            float bx[kPad];
            UInt8 step = UInt8{0, 1, 2, 3, 4, 5, 6, 7} + (uint32_t)x; // as for narrow ones
            const Int8 py = Int8{} + y;
            for (uint32_t j = 0; j < groups; j++, step += 8u) {
                const Int8 px = (Int8)step;
                const Float8 fbx = (__builtin_convertvector(px, Float8) + 0.5f - lx) * rwidth;
                memcpy(wk.fx + l + 8 * j, &px, sizeof px);
                memcpy(wk.fy + l + 8 * j, &py, sizeof py);
                memcpy(bx + 8 * j, &fbx, sizeof fbx);
            }
            for (uint32_t i = 0; i < reads; i++) {
                const float base = a[3 * i] + by * a[3 * i + 2], along = a[3 * i + 1];
                float *__restrict dst = wk.in[i] + l;
                for (uint32_t k = 0; k < groups * 8; k += 8) *lanes8(dst + k) = base + *lanes8(bx + k) * along;
            }
            if (dev->ds.need_z) {
                const float zbase = g[4] + by * g[6], zx = g[5], rw = g[7];
                float *__restrict fz = wk.fz + l, *__restrict fw = wk.fw + l;
                for (uint32_t k = 0; k < groups * 8; k += 8) {
                    *lanes8(fz + k) = zbase + *lanes8(bx + k) * zx;
                    *lanes8(fw + k) = Lanes8{rw, rw, rw, rw, rw, rw, rw, rw};
                }
            }
            x += (int32_t)count;
            end_run(dev, wk, count);
        }
    }
}

// A triangle row by row: the span of pixels inside all three edges comes
// from the edge functions exactly (integer arithmetic, the same pixels as
// testing each one), then the span fills lanes in groups of 8 like a
// rectangle's row, its weights stepped in float along x.
SW_BOTH_BUILDS void raster_triangle(SwDevice *dev, Worker &wk, const BinSet *owner, const Prim &p, const float *g,
                                    int32_t tx0, int32_t ty0, int32_t tx1, int32_t ty1) {
    int32_t x0 = std::max(p.x0, tx0), x1 = std::min(p.x1, tx1), y0 = std::max(p.y0, ty0), y1 = std::min(p.y1, ty1);
    const Edges &ed = owner->edges[p.shape];
    const float *a = g + kWeightedHeader;
    const uint32_t reads = dev->ds.read_count;
    const SwImage *target = dev->ds.d->target;
    for (int32_t y = y0; y <= y1; y++) {
        int64_t lo = x0, hi = x1;
        int64_t e[3];
        for (int k = 0; k < 3; k++) {
            e[k] = ed.e[k] + ed.ex[k] * (x0 - p.x0) + ed.ey[k] * (y - p.y0); // at x0
            if (ed.ex[k] > 0 && e[k] < 0) lo = std::max(lo, x0 + (-e[k] + ed.ex[k] - 1) / ed.ex[k]);
            else if (ed.ex[k] < 0) hi = e[k] < 0 ? lo - 1 : std::min(hi, x0 + e[k] / -ed.ex[k]);
            else if (ed.ex[k] == 0 && e[k] < 0) hi = lo - 1;
        }
        if (lo > hi) continue;
        const uint8_t *row = target->bytes.data() + (size_t)y * target->pitch;
        if (white_span(dev->ds, wk, row, y, (int32_t)lo, (int32_t)hi)) continue;
        for (int64_t x = lo; x <= hi; x += 16) __builtin_prefetch(row + (size_t)x * 4, 1);
        float bs[3], db[3]; // weights at the span's start, and their step
        for (int k = 0; k < 3; k++) {
            bs[k] = (float)(e[k] + ed.ex[k] * (lo - x0)) * ed.inv_area;
            db[k] = (float)ed.ex[k] * ed.inv_area;
        }
        for (int32_t x = (int32_t)lo; x <= (int32_t)hi;) {
            const uint32_t live = live_run(dev->ds, wk, y, &x, (int32_t)hi);
            if (!live) break;
            const auto [l, count, groups] = begin_run(wk, live);
            float q0[kPad], q1[kPad], q2[kPad];
            // Locals and restrict: otherwise Clang cannot tell the rows from
            // the block and leaves the loop scalar.
            int32_t *__restrict fx = wk.fx + l, *__restrict fy = wk.fy + l;
            float *__restrict fz = wk.fz + l, *__restrict fw = wk.fw + l;
            const float z0 = g[0], z1 = g[1], z2 = g[2], w0 = g[3], w1 = g[4], w2 = g[5];
            for (uint32_t k = 0; k < groups * 8; k++) {
                const float t = (float)(x - (int32_t)lo + (int32_t)k);
                const float b0 = bs[0] + t * db[0], b1 = bs[1] + t * db[1], b2 = bs[2] + t * db[2];
                float r0 = b0 * w0, r1 = b1 * w1, r2 = b2 * w2;
                const float rw = r0 + r1 + r2;
                const float w = 1.0f / rw;
                q0[k] = r0 * w;
                q1[k] = r1 * w;
                q2[k] = r2 * w;
                fx[k] = x + (int32_t)k;
                fy[k] = y;
                fz[k] = b0 * z0 + b1 * z1 + b2 * z2;
                fw[k] = rw;
            }
            for (uint32_t i = 0; i < reads; i++) {
                const float a0 = a[3 * i], a1 = a[3 * i + 1], a2 = a[3 * i + 2];
                float *__restrict dst = wk.in[i] + l;
                for (uint32_t k = 0; k < groups * 8; k += 8)
                    *lanes8(dst + k) = *lanes8(q0 + k) * a0 + *lanes8(q1 + k) * a1 + *lanes8(q2 + k) * a2;
            }
            x += (int32_t)count;
            end_run(dev, wk, count);
        }
    }
}

SW_BOTH_BUILDS void raster_line(SwDevice *dev, Worker &wk, const BinSet *owner, const Prim &p, const float *g,
                 int32_t tx0, int32_t ty0, int32_t tx1, int32_t ty1) {
    int32_t x0 = std::max(p.x0, tx0), x1 = std::min(p.x1, tx1), y0 = std::max(p.y0, ty0), y1 = std::min(p.y1, ty1);
    const LineSetup &ls = owner->lines[p.shape];
    int32_t m0 = ls.x_major ? x0 : y0, m1 = ls.x_major ? x1 : y1;
    float lo = ls.x_major ? std::min(ls.lx, ls.lx + ls.ldx) : std::min(ls.ly, ls.ly + ls.ldy);
    float hi = ls.x_major ? std::max(ls.lx, ls.lx + ls.ldx) : std::max(ls.ly, ls.ly + ls.ldy);
    int32_t start_major = ls.x_major ? ls.sx : ls.sy;
    for (int32_t m = m0; m <= m1; m++) {
        float c = (float)m + 0.5f;
        bool crossed = c >= lo && c <= hi;
        if (!crossed && !(ls.start_lit && m == start_major)) continue;
        float t = ls.x_major ? (c - ls.lx) / ls.ldx : (c - ls.ly) / ls.ldy;
        int32_t x, y;
        if (crossed) {
            float minor = ls.x_major ? ls.ly + t * ls.ldy : ls.lx + t * ls.ldx;
            int32_t n = (int32_t)floorf(minor);
            x = ls.x_major ? m : n;
            y = ls.x_major ? n : m;
        } else { // the start lies in a diamond short of its centre line
            x = ls.sx;
            y = ls.sy;
            t = 0.0f;
        }
        if (ls.end_skip && x == ls.ex && y == ls.ey) continue;
        if (crossed && ls.start_lit && m == start_major && (x != ls.sx || y != ls.sy)) {
            // The centre crossing of the start column lies in another row: both are lit.
            if (ls.sx >= x0 && ls.sx <= x1 && ls.sy >= y0 && ls.sy <= y1 &&
                !(ls.end_skip && ls.sx == ls.ex && ls.sy == ls.ey))
                emit_weighted(dev, wk, g, ls.sx, ls.sy, 1.0f, 0.0f, 0.0f);
        }
        if (x < x0 || x > x1 || y < y0 || y > y1) continue;
        t = t < 0.0f ? 0.0f : (t > 1.0f ? 1.0f : t);
        emit_weighted(dev, wk, g, x, y, 1.0f - t, t, 0.0f);
    }
}

// Task: band task % bands of tile task / bands.
SW_BOTH_BUILDS void rasterize_tile_body(SwDevice *dev, Worker &wk, uint32_t task) {
    const uint32_t bands = dev->ds.bands, tile = task / bands, rows = kTile / bands;
    int32_t tx0 = (int32_t)(tile % dev->tiles_x) * kTile;
    int32_t ty0 = (int32_t)(tile / dev->tiles_x) * kTile + (int32_t)(task % bands * rows);
    int32_t tx1 = tx0 + kTile - 1, ty1 = ty0 + (int32_t)rows - 1;
    for (uint32_t set = 0; set < dev->ds.live_sets; set++) {
        const BinSet &owner = dev->sets[set];
        const TileStream &stream = owner.bins[tile];
        for (const float *at = stream.data.data(), *end = at + stream.used; at < end;) {
            StoredPrim sp;
            memcpy(&sp, at, sizeof sp);
            const float *g = at + kPrimWords;
            at = sp.kind == PRIM_REF ? g : g + sp.words; // the next entry
            if (sp.y1 < ty0 || sp.y0 > ty1) continue; // in the tile, not in the band
            // Rows of the tile already white: a big primitive over a white
            // core costs this test, nothing more.
            if (wk.white_rows && white_rows(wk, std::max<int32_t>(sp.y0, ty0), std::min<int32_t>(sp.y1, ty1))) continue;
            if (sp.kind == PRIM_REF) { // the primitive is in the store
                const float *stored = owner.store.data.data() + sp.shape;
                memcpy(&sp, stored, sizeof sp);
                g = stored + kPrimWords;
            }
            const Prim p = {sp.x0, sp.y0, sp.x1, sp.y1, sp.kind, sp.shape, sp.words};
            if (p.kind == PRIM_RECT) raster_rect(dev, wk, p, g, tx0, ty0, tx1, ty1);
            else if (p.kind == PRIM_LINE) raster_line(dev, wk, &owner, p, g, tx0, ty0, tx1, ty1);
            else raster_triangle(dev, wk, &owner, p, g, tx0, ty0, tx1, ty1);
        }
    }
}

SW_SIMD_BUILDS(void, rasterize_tile, (SwDevice *dev, Worker &wk, uint32_t task), (dev, wk, task))

} // namespace

void tile_task(void *ctx, uint32_t task, uint32_t worker) {
    SwDevice *dev = (SwDevice *)ctx;
    const SwDraw *d = dev->ds.d;
    Worker &wk = dev->w[worker];
    if (wk.ps_serial != dev->serial) {
        sw_program_prepare(d->ps, &wk.ps, d->ps_cb, d->ps_cb_size);
        wk.ps_serial = dev->serial;
        for (uint32_t loc = dev->ds.varyings; loc < kInputLocations; loc++)
            for (uint32_t c = 0; c < d->ps->inputs[loc].components && c < 4; c++)
                if (d->ps->inputs[loc].slot[c] >= 0) {
                    SwLane *s = wk.ps.slot((uint32_t)d->ps->inputs[loc].slot[c]);
                    for (int l = 0; l < SW_LANES; l++) s[l].f = 0.0f;
                }
        for (uint32_t i = 0; i < dev->ds.read_count; i++) wk.in[i] = &wk.ps.slot(dev->ds.read_slot[i])->f;
    }
    wk.n = 0;
    wk.tile_x0 = (int32_t)(task / dev->ds.bands % dev->tiles_x) * kTile;
    wk.tile_y0 = (int32_t)(task / dev->ds.bands / dev->tiles_x) * kTile;
    memset(wk.white, 0, sizeof wk.white);
    wk.row_pixels = pixel_bits(0, std::min<int32_t>(kTile, (int32_t)d->target->width - wk.tile_x0) - 1);
    wk.white_rows = 0;
    rasterize_tile(dev, wk, task);
    shade_batch(dev, wk);
}

} // namespace sw
