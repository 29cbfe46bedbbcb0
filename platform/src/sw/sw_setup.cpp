// Setup: primitives of the chunk's instances made ready for the tiles.
// Triangles get edge equations in 16.8 fixed point, lines Direct3D's
// diamond-exit walk, and squares that land as axis-aligned rectangles with
// one w (camera-facing particles, mostly) a rectangle: no edge functions,
// the same pixels and values the two triangles would give. Instanced
// squares are shaded and sorted SW_LANES at a time here, never stored as
// vertex records.
#include "sw/sw_stages.h"

#include "sw/sw_math.h"

#include <algorithm>
#include <math.h>

namespace sw {

namespace {

// A triangle's or line's block (see Prim): depth and 1/w at its three
// vertices, then each pixel input at them. Returns its length.
uint32_t weighted_block(const SwDevice *dev, BinSet &bs, const uint32_t *v, const Screen *s, float *block) {
    const float *r[3];
    for (int k = 0; k < 3; k++) r[k] = vertex_record(dev, bs, v[k]);
    uint32_t n = 0;
    for (int k = 0; k < 3; k++) block[n++] = s[k].z;
    for (int k = 0; k < 3; k++) block[n++] = s[k].rw;
    for (uint32_t i = 0; i < dev->ds.read_count; i++)
        for (int k = 0; k < 3; k++) block[n++] = r[k][dev->ds.read_at[i]];
    return n;
}

Screen to_screen(const SwDevice *dev, const float *p) { return screen_of(dev->ds.d->viewport, p[0], p[1], p[2], p[3]); }

} // namespace

void setup_triangle(SwDevice *dev, BinSet &bs, uint32_t v0, uint32_t v1, uint32_t v2) {
    uint32_t v[3] = {v0, v1, v2};
    Screen s[3];
    int64_t X[3], Y[3];
    for (int k = 0; k < 3; k++) {
        s[k] = to_screen(dev, vertex_record(dev, bs, v[k]));
        if (!on_grid(s[k])) return;
        X[k] = (int64_t)lrintf(s[k].x * (float)kSubPixel);
        Y[k] = (int64_t)lrintf(s[k].y * (float)kSubPixel);
    }
    int64_t area = (X[1] - X[0]) * (Y[2] - Y[0]) - (Y[1] - Y[0]) * (X[2] - X[0]);
    if (area == 0) return;
    if (culled(dev->ds, area > 0 ? 1u : 0u)) return; // area > 0: clockwise on screen, y down
    if (area < 0) { // make it clockwise: every edge function is then positive inside
        std::swap(v[1], v[2]);
        std::swap(s[1], s[2]);
        std::swap(X[1], X[2]);
        std::swap(Y[1], Y[2]);
        area = -area;
    }
    int64_t minX = std::min(X[0], std::min(X[1], X[2])), maxX = std::max(X[0], std::max(X[1], X[2]));
    int64_t minY = std::min(Y[0], std::min(Y[1], Y[2])), maxY = std::max(Y[0], std::max(Y[1], Y[2]));
    // Pixels whose centre lies in the box.
    int64_t px0 = first_centre_from(minX), px1 = last_centre_to(maxX);
    int64_t py0 = first_centre_from(minY), py1 = last_centre_to(maxY);
    px0 = std::max<int64_t>(px0, dev->ds.sx0);
    py0 = std::max<int64_t>(py0, dev->ds.sy0);
    px1 = std::min<int64_t>(px1, dev->ds.sx1 - 1);
    py1 = std::min<int64_t>(py1, dev->ds.sy1 - 1);
    if (px0 > px1 || py0 > py1) return;
    Edges ed;
    const int64_t cx = px0 * kSubPixel + kHalfPixel, cy = py0 * kSubPixel + kHalfPixel;
    for (int k = 0; k < 3; k++) { // edge k runs from vertex i to j, opposite vertex k
        int i = (k + 1) % 3, j = (k + 2) % 3;
        int64_t dx = X[j] - X[i], dy = Y[j] - Y[i];
        bool top_left = (dy == 0 && dx > 0) || dy < 0;
        ed.e[k] = dx * (cy - Y[i]) - dy * (cx - X[i]) - (top_left ? 0 : 1);
        ed.ex[k] = -dy * kSubPixel;
        ed.ey[k] = dx * kSubPixel;
    }
    ed.inv_area = 1.0f / (float)area;
    float block[kMaxBlock];
    Prim p = {(int32_t)px0, (int32_t)py0, (int32_t)px1, (int32_t)py1, PRIM_TRIANGLE, (uint32_t)bs.edges.size(), 0};
    p.words = weighted_block(dev, bs, v, s, block);
    if (bs.edges.size() == bs.edges.capacity()) sw_alloc_point();
    bs.edges.push_back(ed);
    bs.words += sizeof(Edges) / 4;
    bin(dev->tiles_x, bs, p, block);
}

namespace {

// Pixel whose diamond (|dx| + |dy| < 1/2 around its centre) holds (x, y);
// false when the point lies in none.
bool diamond_of(float x, float y, int32_t *px, int32_t *py) {
    float fx = floorf(x), fy = floorf(y);
    float dx = fabsf(x - fx - 0.5f), dy = fabsf(y - fy - 0.5f);
    *px = (int32_t)fx;
    *py = (int32_t)fy;
    return dx + dy < 0.5f;
}

} // namespace

// Aliased line, Direct3D 11's diamond-exit rule: a pixel is lit when the
// segment leaves its diamond. Along the major axis that is one pixel per
// centre line crossed, except the pixel whose diamond holds the end point
// (the segment never leaves it), plus the one whose diamond holds the start.
void setup_line(SwDevice *dev, BinSet &bs, uint32_t v0, uint32_t v1) {
    Screen a = to_screen(dev, vertex_record(dev, bs, v0)), b = to_screen(dev, vertex_record(dev, bs, v1));
    if (!on_grid(a) || !on_grid(b)) return;
    // Snap to the same 8-bit grid as triangles.
    const float sub = (float)kSubPixel;
    float ax = (float)lrintf(a.x * sub) / sub, ay = (float)lrintf(a.y * sub) / sub;
    float bx = (float)lrintf(b.x * sub) / sub, by = (float)lrintf(b.y * sub) / sub;
    float dx = bx - ax, dy = by - ay;
    if (dx == 0.0f && dy == 0.0f) return;
    LineSetup ls;
    Prim p;
    ls.x_major = fabsf(dx) >= fabsf(dy);
    float major0 = ls.x_major ? ax : ay, major1 = ls.x_major ? bx : by;
    // Centre lines c + 0.5 within [min, max] of the segment.
    int32_t m0 = (int32_t)ceilf(std::min(major0, major1) - 0.5f);
    int32_t m1 = (int32_t)floorf(std::max(major0, major1) - 0.5f);
    ls.start_lit = diamond_of(ax, ay, &ls.sx, &ls.sy);
    ls.end_skip = diamond_of(bx, by, &ls.ex, &ls.ey);
    float minor0 = ls.x_major ? ay : ax, minor1 = ls.x_major ? by : bx;
    int32_t n0 = (int32_t)floorf(std::min(minor0, minor1)) - 1, n1 = (int32_t)floorf(std::max(minor0, minor1)) + 1;
    if (ls.x_major) {
        p.x0 = std::max(std::min(m0, ls.sx), dev->ds.sx0); p.x1 = std::min(std::max(m1, ls.sx), dev->ds.sx1 - 1);
        p.y0 = std::max(n0, dev->ds.sy0); p.y1 = std::min(n1, dev->ds.sy1 - 1);
    } else {
        p.y0 = std::max(std::min(m0, ls.sy), dev->ds.sy0); p.y1 = std::min(std::max(m1, ls.sy), dev->ds.sy1 - 1);
        p.x0 = std::max(n0, dev->ds.sx0); p.x1 = std::min(n1, dev->ds.sx1 - 1);
    }
    if (p.x0 > p.x1 || p.y0 > p.y1) return;
    ls.lx = ax;
    ls.ly = ay;
    ls.ldx = dx;
    ls.ldy = dy;
    const uint32_t v[3] = {v0, v1, v1};
    const Screen s[3] = {a, b, b};
    float block[kMaxBlock];
    p.kind = PRIM_LINE;
    p.shape = (uint32_t)bs.lines.size();
    p.words = weighted_block(dev, bs, v, s, block);
    if (bs.lines.size() == bs.lines.capacity()) sw_alloc_point();
    bs.lines.push_back(ls);
    bs.words += sizeof(LineSetup) / 4;
    bin(dev->tiles_x, bs, p, block);
}

namespace {

// Two strip triangles that make an axis-aligned rectangle with one w and
// affine attributes (camera-facing squares, mostly) are drawn as one
// rectangle: no edge functions, and the same pixels and values the two
// triangles would give. False when the quad is anything else.
bool setup_rect(SwDevice *dev, BinSet &bs, const float *const r[4], float gx, float gy) {
    const DrawState &ds = dev->ds;
    uint32_t all = ~0u, any = 0;
    for (int k = 0; k < 4; k++) {
        uint32_t c = outcode(r[k], gx, gy, ds.d->depth_clip);
        all &= c;
        any |= c;
    }
    if (all) return true; // the whole quad lies outside one plane: both triangles would be dropped
    if (any) return false;
    if (r[0][3] != r[1][3] || r[0][3] != r[2][3] || r[0][3] != r[3][3]) return false;
    // Corner 3 must be corner 1 + corner 2 - corner 0 in depth and in every input read.
    if (r[3][2] != r[1][2] + r[2][2] - r[0][2]) return false;
    for (uint32_t i = 0; i < ds.read_count; i++) {
        uint32_t k = ds.read_at[i];
        if (r[3][k] != r[1][k] + r[2][k] - r[0][k]) return false;
    }
    Screen s[4];
    int32_t X[4], Y[4];
    for (int k = 0; k < 4; k++) {
        s[k] = to_screen(dev, r[k]);
        if (!on_grid(s[k])) return false;
        X[k] = (int32_t)lrintf(s[k].x * (float)kSubPixel);
        Y[k] = (int32_t)lrintf(s[k].y * (float)kSubPixel);
    }
    const RectSides sides = rect_sides(X[0], Y[0], X[1], Y[1], X[2], Y[2], X[3], Y[3]);
    if (!sides.side1 && !sides.side2) return false;
    const int xv = sides.side1 ? 1 : 2, yv = 3 - xv;
    const RectSetup rs = rect_setup(ds, sides.side1, X[0], Y[0], X[xv], Y[yv], s[0].z, s[xv].z, s[yv].z, s[0].rw);
    if (rs.empty) return true; // nothing to draw, and nothing the triangles would draw
    float block[kMaxBlock]; // only what is used is written: this runs a million times a frame
    const uint32_t header = rect_header(ds.need_z);
    for (uint32_t k = 0; k < header; k++) block[k] = rs.header[k];
    const float *const c[3] = {r[0], r[xv], r[yv]};
    const uint32_t n = header + rect_inputs(ds, [&](int j, uint32_t k) { return c[j][k]; }, block + header);
    const Prim p = {rs.px0, rs.py0, rs.px1, rs.py1, PRIM_RECT, 0, n};
    bin(dev->tiles_x, bs, p, block);
    return true;
}

// Nearest integer of v as lrintf gives it, without a call, for a loop that
// vectorizes: below 2^23 by the 1.5 * 2^23 trick, above it v is integral.
SW_BOTH_BUILDS int32_t round_to_int(float v) {
    float r = sw_round_small(v);
    return (int32_t)(fabsf(v) < 8388608.0f ? r : v);
}

// Outcodes and screen positions of corner v of the batch's squares, lane by
// lane in one loop: the same arithmetic as outcode() and to_screen().
SW_BOTH_BUILDS void screen_corners(const SwDevice *dev, Worker &wk, int v, uint32_t n, float gx, float gy) {
    const SwViewport vp = dev->ds.d->viewport; // a local: the stores below cannot change it
    const uint32_t depth_clip = dev->ds.d->depth_clip ? 1u : 0u;
    const float *__restrict px = wk.row[v][0], *__restrict py = wk.row[v][1], *__restrict pz = wk.row[v][2],
                            *__restrict pw = wk.row[v][3];
    uint32_t *__restrict code = wk.qs.code[v], *__restrict grid = wk.qs.grid[v];
    float *__restrict oz = wk.qs.z[v], *__restrict orw = wk.qs.rw[v];
    int32_t *__restrict ox = wk.qs.X[v], *__restrict oy = wk.qs.Y[v];
    // Locals, restrict and bitwise & and | rather than && and ||: no
    // branches and no aliasing, so the loop vectorizes.
    for (uint32_t l = 0; l < n; l++) {
        const float x = px[l], y = py[l], z = pz[l], w = pw[l];
        code[l] = clip_code(x, y, z, w, gx, gy, depth_clip);
        const Screen s = screen_of(vp, x, y, z, w);
        const uint32_t g = on_grid(s);
        grid[l] = g;
        oz[l] = s.z;
        orw[l] = s.rw;
        ox[l] = round_to_int(g ? s.x * (float)kSubPixel : 0.0f);
        oy[l] = round_to_int(g ? s.y * (float)kSubPixel : 0.0f);
    }
}

// Sorts the batch's squares, every lane at once: outside[l] when all four
// corners lie outside one plane; rect[l] when the square may be drawn as a
// rectangle (inside every plane, one w, affine in depth and in every input
// read, on the fixed-point grid); whether it is axis-aligned is left to
// rect_quads. Bitwise operators keep the loops free of branches.
SW_BOTH_BUILDS void classify_quads(const SwDevice *dev, Worker &wk, uint32_t n) {
    uint32_t *__restrict outside = wk.qs.outside, *__restrict rect = wk.qs.rect;
    {
        const uint32_t *c0 = wk.qs.code[0], *c1 = wk.qs.code[1], *c2 = wk.qs.code[2], *c3 = wk.qs.code[3];
        const uint32_t *g0 = wk.qs.grid[0], *g1 = wk.qs.grid[1], *g2 = wk.qs.grid[2], *g3 = wk.qs.grid[3];
        const float *w0 = wk.row[0][3], *w1 = wk.row[1][3], *w2 = wk.row[2][3], *w3 = wk.row[3][3];
        const float *z0 = wk.row[0][2], *z1 = wk.row[1][2], *z2 = wk.row[2][2], *z3 = wk.row[3][2];
        for (uint32_t l = 0; l < n; l++) {
            outside[l] = (c0[l] & c1[l] & c2[l] & c3[l]) != 0;
            rect[l] = (uint32_t)((c0[l] | c1[l] | c2[l] | c3[l]) == 0) & g0[l] & g1[l] & g2[l] & g3[l] &
                      (uint32_t)(w0[l] == w1[l]) & (uint32_t)(w0[l] == w2[l]) & (uint32_t)(w0[l] == w3[l]) &
                      (uint32_t)(z3[l] == z1[l] + z2[l] - z0[l]);
        }
    }
    for (uint32_t i = 0; i < dev->ds.read_count; i++) {
        const uint32_t k = dev->ds.read_at[i];
        const float *a0 = wk.row[0][k], *a1 = wk.row[1][k], *a2 = wk.row[2][k], *a3 = wk.row[3][k];
        for (uint32_t l = 0; l < n; l++) rect[l] &= (uint32_t)(a3[l] == a1[l] + a2[l] - a0[l]);
    }
}

// For the squares classify_quads found drawable as rectangles, what
// setup_rect works out one at a time, every lane at once in 32-bit
// arithmetic: whether the square is axis-aligned, which corners end its
// sides, its pixels and its block header; empty when it draws nothing (no
// area, culled, off the scissor).
SW_BOTH_BUILDS void rect_quads(const SwDevice *dev, Worker &wk, uint32_t n) {
    // A local copy of the draw's state, and every array a field of qs, read
    // and written at [l] alone: the compiler sees they cannot overlap, and no
    // run-time alias checks stop the loop vectorizing once this is inlined.
    const DrawState ds = dev->ds;
    auto &qs = wk.qs;
    for (uint32_t l = 0; l < n; l++) {
        const int32_t X0 = qs.X[0][l], X1 = qs.X[1][l], X2 = qs.X[2][l], X3 = qs.X[3][l];
        const int32_t Y0 = qs.Y[0][l], Y1 = qs.Y[1][l], Y2 = qs.Y[2][l], Y3 = qs.Y[3][l];
        const RectSides sides = rect_sides(X0, Y0, X1, Y1, X2, Y2, X3, Y3);
        qs.aligned[l] = qs.rect[l] & (sides.side1 | sides.side2);
        const int32_t x = sides.side1 ? X1 : X2, y = sides.side1 ? Y2 : Y1; // corners xv and yv
        qs.xv[l] = sides.side1 ? 1 : 2;
        // Both depths loaded, then one chosen: a choice of array to load
        // from keeps Clang (WebAssembly) from vectorizing the loop.
        const float z0 = qs.z[0][l], z1 = qs.z[1][l], z2 = qs.z[2][l];
        const float zx = sides.side1 ? z1 : z2, zy = sides.side1 ? z2 : z1;
        const RectSetup r = rect_setup(ds, sides.side1, X0, Y0, x, y, z0, zx, zy, qs.rw[0][l]);
        qs.px0[l] = r.px0, qs.py0[l] = r.py0, qs.px1[l] = r.px1, qs.py1[l] = r.py1;
        qs.empty[l] = r.empty;
        for (uint32_t k = 0; k < kRectHeader; k++) qs.header[k][l] = r.header[k];
    }
}

SW_BOTH_BUILDS void sort_quads_body(const SwDevice *dev, Worker &wk, uint32_t n, float gx, float gy) {
    for (int v = 0; v < 4; v++) screen_corners(dev, wk, v, n, gx, gy);
    classify_quads(dev, wk, n);
    rect_quads(dev, wk, n);
}
// Screen positions, outcodes and rectangle sides of a batch of squares.
SW_SIMD_BUILDS(void, sort_quads, (const SwDevice *dev, Worker &wk, uint32_t n, float gx, float gy), (dev, wk, n, gx, gy))

// Instanced squares, shaded here SW_LANES at a time into the worker's
// registers and sorted out there, so a million of them never pass through
// memory as vertex records.
void setup_instanced_quads(SwDevice *dev, Worker &wk, BinSet &bs, uint32_t i0, uint32_t i1, float gx, float gy) {
    const uint32_t rec = dev->ds.rec;
    for (uint32_t v = 0; v < 4; v++)
        for (uint32_t k = 0; k < rec; k++) {
            if (!dev->ds.corner_rows) {
                wk.row[v][k] = wk.quads.data() + ((size_t)v * rec + k) * SW_LANES;
                continue;
            }
            // A component the program leaves out is never read: any row will do.
            const int32_t slot = dev->ds.split->corner_slot[v][k];
            wk.row[v][k] = &wk.vs.slot((uint32_t)(slot >= 0 ? slot : dev->ds.split->corner_slot[v][0]))->f;
        }
    auto at = [&](int v, uint32_t k, uint32_t l) -> const float & { return wk.row[v][k][l]; };
    for (uint32_t first = i0; first < i1; first += SW_LANES) {
        const uint32_t n = i1 - first < SW_LANES ? i1 - first : SW_LANES;
        run_instances(dev, wk, first, n, nullptr);
        sort_quads(dev, wk, n, gx, gy);
        const uint32_t header = rect_header(dev->ds.need_z), words = header + 3 * dev->ds.read_count;
        // The squares that draw something, in order, listed without a branch
        // per square: which ones lie outside a plane (both triangles would be
        // dropped) or cover no pixel follows no pattern a branch predictor
        // could learn, and most of a star field's do.
        uint32_t live = 0;
        for (uint32_t l = 0; l < n; l++) {
            wk.qs.live[live] = l;
            live += !wk.qs.outside[l] & !(wk.qs.aligned[l] & wk.qs.empty[l]);
        }
        for (uint32_t j = 0; j < live; j++) {
            const uint32_t l = wk.qs.live[j];
            if (bs.full(dev->ds.set_share)) return bs.stop(first + l, 0);
            if (wk.qs.aligned[l]) {
                const Prim p = {wk.qs.px0[l], wk.qs.py0[l], wk.qs.px1[l], wk.qs.py1[l], PRIM_RECT, 0, words};
                float *block = bin_first(dev->tiles_x, bs, p);
                for (uint32_t k = 0; k < header; k++) block[k] = wk.qs.header[k][l];
                const int xv = wk.qs.xv[l];
                const int corner[3] = {0, xv, 3 - xv};
                rect_inputs(dev->ds, [&](int j, uint32_t k) { return wk.row[corner[j]][k][l]; }, block + header);
                bin_rest(dev->tiles_x, bs, p, block);
                continue;
            }
            // Anything else: two triangles from copies of the corners.
            uint32_t ref[4];
            for (int v = 0; v < 4; v++) {
                ref[v] = kClipRef | (uint32_t)(bs.clipped.size() / rec);
                for (uint32_t k = 0; k < rec; k++) bs.clipped.push_back(at(v, k, l));
            }
            bs.words += 4 * rec;
            const uint32_t t0[3] = {ref[0], ref[1], ref[2]}, t1[3] = {ref[2], ref[1], ref[3]};
            clip_and_setup(dev, bs, t0, 3, gx, gy);
            clip_and_setup(dev, bs, t1, 3, gx, gy);
        }
    }
}

// Where vertex v of instance inst (of the chunk) has its record: instance
// after instance; or, for a split program, vertex after vertex within each
// batch of SW_LANES instances, so that run_instances writes every vertex's
// records side by side instead of scattering them a mesh apart.
inline uint32_t record_of(const SwDevice *dev, uint32_t inst, uint32_t v) {
    const uint32_t vc = dev->ds.d->vertex_count;
    if (!dev->ds.split) return inst * vc + v;
    const uint32_t lane = inst % SW_LANES;
    return (inst - lane) * vc + v * SW_LANES + lane;
}

// Sets up instances i0 .. i1 - 1 of the chunk, their vertex v's record at
// bs.records + record(inst, v) * rec. False when the set had its share of
// the binning memory and stopped.
template <class Record>
bool setup_instances(SwDevice *dev, BinSet &out, uint32_t i0, uint32_t i1, float gx, float gy, Record record) {
    const SwDraw *d = dev->ds.d;
    const uint32_t ppi = dev->ds.prims_per_instance;
    const bool line = d->topology == SW_LINE_LIST || d->topology == SW_LINE_STRIP;
    const bool quads = d->topology == SW_TRIANGLE_STRIP && d->vertex_count == 4;
    for (uint32_t inst = i0; inst < i1; inst++) {
        const uint32_t k0 = inst == dev->ds.pass_instance ? dev->ds.pass_prim : 0;
        if (k0 == 0 && out.full(dev->ds.set_share)) {
            out.stop(inst, 0);
            return false;
        }
        // A square stopped between its triangles was not a rectangle.
        if (quads && k0 == 0) {
            const float *const r[4] = {vertex_record(dev, out, record(inst, 0)), vertex_record(dev, out, record(inst, 1)),
                                       vertex_record(dev, out, record(inst, 2)), vertex_record(dev, out, record(inst, 3))};
            if (setup_rect(dev, out, r, gx, gy)) continue;
        }
        for (uint32_t k = k0; k < ppi; k++) {
            if (k > k0 && out.full(dev->ds.set_share)) {
                out.stop(inst, k);
                return false;
            }
            uint32_t v[3] = {0, 0, 0}; // vertices of the instance
            switch (d->topology) {
            case SW_TRIANGLE_LIST: v[0] = 3 * k; v[1] = v[0] + 1; v[2] = v[0] + 2; break;
            case SW_TRIANGLE_STRIP: // odd triangles swap their first two vertices to keep the winding
                v[0] = k + (k & 1); v[1] = k + 1 - (k & 1); v[2] = k + 2; break;
            case SW_LINE_LIST: v[0] = 2 * k; v[1] = v[0] + 1; break;
            case SW_LINE_STRIP: v[0] = k; v[1] = v[0] + 1; break;
            }
            for (uint32_t &x : v) x = record(inst, x);
            clip_and_setup(dev, out, v, line ? 2 : 3, gx, gy);
        }
    }
    return true;
}

} // namespace

void setup_task(void *ctx, uint32_t task, uint32_t worker) {
    SwDevice *dev = (SwDevice *)ctx;
    const SwDraw *d = dev->ds.d;
    // Task t owns the t-th of T equal shares of the pass's instances and
    // stores them in set t, whichever worker runs it, so tiles read them in
    // order. The pass's first instance starts at its primitive pass_prim.
    BinSet &out = dev->sets[task];
    Worker &wk = dev->w[worker];
    const uint64_t start = dev->ds.pass_instance, I = dev->ds.chunk_instances - start, T = dev->sets.size();
    const uint32_t i0 = (uint32_t)(start + I * task / T), i1 = (uint32_t)(start + I * (task + 1) / T);
    const SwViewport &vp = d->viewport;
    float gx = 1.0f + 2.0f * kGuard / std::max(vp.width, 1.0f);
    float gy = 1.0f + 2.0f * kGuard / std::max(vp.height, 1.0f);
    if (dev->ds.fused) return setup_instanced_quads(dev, wk, out, i0, i1, gx, gy);
    if (!dev->ds.setup_shades) {
        out.records = dev->verts.data();
        setup_instances(dev, out, i0, i1, gx, gy, [&](uint32_t inst, uint32_t v) { return record_of(dev, inst, v); });
        return;
    }
    // The set's own instances, a batch at a time: vertex v of the batch's
    // lane l at record v * SW_LANES + l, as run_instances writes them.
    out.records = wk.records.data();
    for (uint32_t first = i0; first < i1; first += SW_LANES) {
        const uint32_t n = std::min<uint32_t>(SW_LANES, i1 - first);
        run_instances(dev, wk, first, n, wk.records.data());
        auto record = [&](uint32_t inst, uint32_t v) { return v * SW_LANES + (inst - first); };
        if (!setup_instances(dev, out, first, first + n, gx, gy, record)) return;
    }
}

} // namespace sw
