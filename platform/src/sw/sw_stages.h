// What the CPU executor's stages share: the device, the state of the draw
// in progress, the cached pipelines and each worker's scratch, and the small
// pieces of per-primitive arithmetic that the one-at-a-time and the
// lane-at-a-time paths must do identically.
//
// A draw runs in chunks of instances; each chunk goes through three
// parallel phases:
//  1. vertices (sw_vertex.cpp): batches of SW_LANES vertices through the
//     vertex program (or of SW_LANES instances, when the program splits into
//     a per-instance and a per-vertex part; instanced squares skip this
//     phase: setup shades them);
//  2. setup (sw_setup.cpp, sw_clip.cpp, sw_bin.h): every task takes a
//     contiguous range of instances, drops primitives outside one clip
//     plane, clips the rest against near, far and a guard band, sets up edge
//     equations in 16.8 fixed point (or a rectangle for a camera-facing
//     square) and bins each primitive: into its own stream of the one
//     screen tile it touches, or once into its record store with a
//     reference in the stream of every tile it touches (sw_bin.h);
//  3. tiles (sw_raster.cpp, sw_pixel.cpp): every tile is rasterized by one
//     worker, reading the setup tasks' streams in task order, so fragments
//     reach each pixel in primitive order whatever the timing.
#pragma once
#include <math.h>
#include <stdint.h>
#include <vector>

#include "sw/sw_bin.h"
#include "sw/sw_device.h"
#include "sw/sw_pool.h"
#include "sw/sw_program.h"
#include "sw/sw_simd.h"

namespace sw {

const uint32_t kChunkVertices = 1u << 18;  // vertices shaded per chunk
const float kGuard = 16384.0f;             // guard band beyond the viewport, pixels
const uint32_t kClipRef = 0x80000000u;     // vertex reference into the bin set's clipped vertices
const uint32_t kSetsPerWorker = 4;         // setup tasks per worker, for balance
const size_t kPipelineCache = 32;          // pipelines kept per device
// Records of one batch of SW_LANES instances that a setup task shades
// itself (DrawState::setup_shades): at most what stays in a core's cache
// until the task sets them up.
const size_t kSetupShadeBytes = 1u << 20;
const uint32_t kInputLocations = sizeof(SwProgram::inputs) / sizeof(SwIo); // a program's input locations
// Big primitives put most of a frame's fragments in a few tiles; one worker
// per tile would then leave the others idle. When the primitives binned
// cover kBandArea pixels each on average, every tile is shared out as
// kBands bands of rows instead, each reading the tile's streams (a cost per
// primitive that such primitives repay many times over).
const uint32_t kBands = 4;
const uint64_t kBandArea = 64;
// Binning memory a draw may hold at once: each setup task stops when its set
// has its share, the tiles rasterize what is binned up to there, and the
// draw goes on from that primitive (see sw_draw). A share is passed by at
// most one primitive's record and references.
const uint64_t kBinCap = 64ull << 20;

// Screen positions in 16.8 fixed point: 256 steps per pixel, pixel centres
// at step 128 of theirs.
const int32_t kSubPixel = 256;
const int32_t kHalfPixel = kSubPixel / 2;
// Positions at or beyond 2^20 pixels (far outside the guard band, which
// clipping keeps them in) are not rounded onto the grid: 2^20 * 256 keeps
// every edge product within 64 bits and rectangles within 32.
const float kGridLimit = 1048576.0f;

// The first pixel whose centre lies at or after fixed-point position v, and
// the last whose centre lies at or before it (floor divisions by 256, as
// arithmetic shifts).
template <class I> SW_INLINE I first_centre_from(I v) { return (v - kHalfPixel + kSubPixel - 1) >> 8; }
template <class I> SW_INLINE I last_centre_to(I v) { return (v - kHalfPixel) >> 8; }

const uint32_t kPad = SW_LANES + 8;

// The loops that run over every lane (sorting instanced squares, and the
// tile phase) have a build per instruction set (sw_simd.h), like the program
// interpreter; what they call is marked so, to inline into each build.
#define SW_BOTH_BUILDS SW_INLINE

// Eight lanes, for the loops the vectorizer does not find on its own.
typedef float Float8 __attribute__((vector_size(32)));
typedef int32_t Int8 __attribute__((vector_size(32)));
typedef uint32_t UInt8 __attribute__((vector_size(32)));

// Bit j set where lane j of m is negative (a comparison's true).
SW_INLINE uint32_t sign_bits(const Int8 &m) { // by reference: no vector passed by value
    // Each lane's bit in place, then the halves ORed together: written as
    // vectors; as a loop over lanes it becomes eight extractions.
    typedef uint32_t UInt4 __attribute__((vector_size(16)));
    const UInt8 b = ((UInt8)m >> 31) << UInt8{0, 1, 2, 3, 4, 5, 6, 7};
    UInt4 h = __builtin_shufflevector(b, b, 0, 1, 2, 3) | __builtin_shufflevector(b, b, 4, 5, 6, 7);
    h |= __builtin_shufflevector(h, h, 2, 3, 0, 1);
    h |= __builtin_shufflevector(h, h, 1, 0, 3, 2);
    return h[0];
}

// Each worker on cache lines of its own: a worker's counters, written every
// batch, next to another's register pointers, read every operation, made the
// two cores pass the line back and forth (a fifth of the time of shading).
struct alignas(64) Worker {
    SwRegisters vs, ps;
    uint64_t vs_serial = 0, ps_serial = 0; // draw the registers were prepared for
    // SW_LANES instanced squares as the vertex program leaves them: corner
    // v's record component k for lane l at row[v][k][l] (the position and
    // what the pixel program reads; other components' rows hold anything).
    // The rows are the vertex program's own registers when it keeps each
    // corner's record apart (Pipeline::corner_ops), else copies in quads.
    // Then their screen positions, worked out for all lanes at once.
    std::vector<float> quads;
    std::vector<float> records; // a batch of a mesh's vertex records (DrawState::setup_shades)
    const float *row[4][4 + 4 * SW_MAX_VARYINGS];
    struct {
        float z[4][SW_LANES], rw[4][SW_LANES];
        int32_t X[4][SW_LANES], Y[4][SW_LANES]; // 16.8 fixed point
        uint32_t code[4][SW_LANES];             // outcode
        uint32_t grid[4][SW_LANES];             // 1: on the fixed-point grid
        uint32_t outside[SW_LANES], rect[SW_LANES]; // see classify_quads
        // rect_quads: axis-aligned rectangles, their corner along x (the
        // one along y is the other of 1 and 2), pixel bounds and block
        // headers (see RectSetup).
        uint32_t aligned[SW_LANES], empty[SW_LANES];
        uint32_t live[SW_LANES]; // lanes that draw something (setup_instanced_quads)
        int32_t xv[SW_LANES];
        int32_t px0[SW_LANES], py0[SW_LANES], px1[SW_LANES], py1[SW_LANES];
        float header[kRectHeader][SW_LANES];
    } qs;
    // Fragment batch of one tile: positions, and the pixel program's inputs,
    // written straight into its registers (in[i]: the row of input i, which
    // has a spare slot after it). Rows run kPad lanes long so the rasterizers
    // can fill whole groups of 8 lanes.
    uint32_t n = 0;
    int32_t fx[kPad], fy[kPad];
    // fw: 1/w interpolated, what SV_Position.w holds on the way in (the
    // compiler has a pixel program take its reciprocal, as Vulkan gives it).
    float fz[kPad], fw[kPad];
    float *in[4 * SW_MAX_VARYINGS];
    // The tile being rasterized: its first pixel, and the pixels of each of
    // its rows known to be white (see see_white).
    int32_t tile_x0 = 0, tile_y0 = 0;
    uint64_t white[kTile];
    uint64_t row_pixels = 0; // bits of a row's pixels that lie in the target
    uint64_t white_rows = 0; // rows all of whose pixels are known white
    uint64_t fragments = 0; // shaded, ever
};

// What a vertex program, a pixel program and the input locations fed per
// vertex make of each other, worked out on a draw's first use of the three
// and kept (sw_pipeline.cpp): the record the stages pass on, what the pixel
// program reads of it, and the vertex program split for instanced draws.
struct Pipeline {
    uint64_t vs_serial = 0, ps_serial = 0;
    uint32_t locations = 0; // input locations fed per vertex
    // Records: clip position, then four floats per varying location.
    uint32_t varyings = 0, rec = 0;
    // Pixel inputs the vertex program writes; those it does not read zero.
    uint32_t read_count = 0;                 // record floats the pixel program reads
    uint32_t read_at[4 * SW_MAX_VARYINGS];   // which
    uint32_t read_slot[4 * SW_MAX_VARYINGS]; // where each goes in the pixel program
    bool ps_reads_z = false;                 // SV_Position.z or .w
    // The split: instance_ops once per instance, vertex_ops per vertex.
    bool split = false;
    std::vector<SwOp> instance_ops, vertex_ops;
    // For squares: vertex_ops once per corner, the record slots they write
    // renumbered to slots of that corner's own, so that the four corners'
    // records stay side by side in the registers and are read there instead
    // of copied out after each corner. corner_slot[v][k]: record component k
    // of corner v (-1: the program leaves it out). corner_slots: the
    // registers they need; 0 when the program does not allow it.
    std::vector<SwOp> corner_ops[4];
    std::vector<int32_t> corner_slot[4];
    uint32_t corner_slots = 0;
    // Of those, the ops that give the same value in every lane of every
    // batch of a draw (they read only constants, the prologue's results, the
    // corner's vertex index and per-vertex inputs, and each other's
    // results): taken out of corner_ops into uniform_ops, which run once per
    // worker per draw into slots of that corner's own, below corner_slots.
    std::vector<SwOp> uniform_ops[4];
    bool corner_rows = false; // corner_slots, and every component setup reads is written
};

// What the device works out for the draw in progress, read by the tasks.
struct DrawState {
    const SwDraw *d = nullptr;
    const Pipeline *pipe = nullptr;
    uint32_t rec = 0;      // floats per vertex record
    uint32_t varyings = 0; // locations in the record
    uint32_t read_count = 0;
    const uint32_t *read_at = nullptr, *read_slot = nullptr; // see Pipeline
    bool need_z = false; // fragments need their depth: a depth test, or the program reads it
    bool fused = false;  // instanced squares: vertices shaded by the setup tasks
    const Pipeline *split = nullptr; // pipe, when its vertices run per instance
    bool corner_rows = false;        // fused squares read their corners in the registers
    // A split mesh whose batch of records fits kSetupShadeBytes (a rock
    // field): each setup task shades its own instances SW_LANES at a time
    // into its worker's records and sets them up from there, while they are
    // in cache, instead of the vertex phase writing the chunk's records to
    // memory for setup to read back.
    bool setup_shades = false;
    uint32_t chunk_first_instance = 0, chunk_instances = 0, chunk_vertices = 0;
    uint32_t prims_per_instance = 0;
    int32_t sx0 = 0, sy0 = 0, sx1 = 0, sy1 = 0; // scissor: viewport within the target, pixels [x0, x1)
    uint32_t cull_cw = 0, cull_ccw = 0;         // 1: culled when clockwise / counter-clockwise on screen
    // Fragments landing on a target pixel already white (255 in all four
    // channels) are skipped: under ONE/ONE addition into UNORM, whose source
    // term is never negative, nothing can change it, and without depth
    // writes nothing else is left to do.
    bool skip_white = false;
    uint32_t bands = 1; // per tile in the chunk's tile phase, kBands or 1
    // A chunk binned in passes when it needs more than the cap: this pass
    // starts at primitive pass_prim of instance pass_instance of the chunk;
    // each set may bin set_share bytes; the tiles read sets 0 .. live_sets - 1.
    uint32_t pass_instance = 0, pass_prim = 0;
    uint64_t set_share = 0;
    uint32_t live_sets = 0;
};

} // namespace sw

struct SwDevice {
    SwPool pool;
    uint32_t workers = 1;
    std::vector<sw::Worker> w;
    uint64_t serial = 0; // of the draw, for the workers' registers
    uint64_t vertex_ns = 0;
    uint64_t bin_bytes = 0; // see SwStats
    uint64_t bin_cap = sw::kBinCap;
    sw::DrawState ds;
    std::vector<float> verts; // vertex records of the chunk
    std::vector<sw::Pipeline> pipelines;
    std::vector<sw::BinSet> sets;
    uint32_t tiles_x = 0, tiles_y = 0;
};

namespace sw {

// ---- shared per-primitive arithmetic

inline const float *vertex_record(const SwDevice *dev, const BinSet &bs, uint32_t ref) {
    if (ref & kClipRef) return bs.clipped.data() + (size_t)(ref & ~kClipRef) * dev->ds.rec;
    return bs.records + (size_t)ref * dev->ds.rec;
}

// Outside bits of a clip position: -x, +x, -y, +y beyond the guard band
// (gx, gy in units of w), near, far, behind the eye. Bitwise operators: no
// branches, for the lane loops.
SW_INLINE uint32_t clip_code(float x, float y, float z, float w, float gx, float gy, uint32_t depth_clip) {
    return (uint32_t)(x < -gx * w) | (uint32_t)(x > gx * w) << 1 | (uint32_t)(y < -gy * w) << 2 |
           (uint32_t)(y > gy * w) << 3 | ((uint32_t)(z < 0.0f) & depth_clip) << 4 |
           ((uint32_t)(z > w) & depth_clip) << 5 | (uint32_t)(w <= 0.0f) << 6;
}

// clip_code of a record's clip position.
inline uint32_t outcode(const float *p, float gx, float gy, bool depth_clip) {
    return clip_code(p[0], p[1], p[2], p[3], gx, gy, depth_clip ? 1u : 0u);
}

struct Screen {
    float x, y, z, rw;
};

// A clip position in pixels, depth and 1/w.
SW_INLINE Screen screen_of(const SwViewport &vp, float x, float y, float z, float w) {
    const float rw = 1.0f / w;
    Screen s;
    s.x = vp.x + (x * rw + 1.0f) * 0.5f * vp.width;
    s.y = vp.y + (1.0f - y * rw) * 0.5f * vp.height;
    s.z = vp.min_depth + z * rw * (vp.max_depth - vp.min_depth);
    s.rw = rw;
    return s;
}

// 1 for a position that rounds onto the fixed-point grid: finite and within
// the grid's limit (NaN or infinity never get there), with a depth and 1/w
// to interpolate.
SW_INLINE uint32_t on_grid(const Screen &s) {
    return (uint32_t)(fabsf(s.x) < kGridLimit) & (uint32_t)(fabsf(s.y) < kGridLimit) & (uint32_t)(s.z == s.z) &
           (uint32_t)(s.rw == s.rw);
}

// 1 when a primitive turning that way on screen (y down) is culled.
SW_INLINE uint32_t culled(const DrawState &ds, uint32_t clockwise) {
    return (clockwise & ds.cull_cw) | ((clockwise ^ 1u) & ds.cull_ccw);
}

// Which corners of a quad (0, 1, 2, 3 in strip order) lie beside corner 0
// along x and along y, when its fixed-point corners make an axis-aligned
// rectangle: side1, corner 1 along x and 2 along y; side2, the other way;
// neither, not a rectangle.
struct RectSides {
    uint32_t side1, side2;
};
template <class I> SW_INLINE RectSides rect_sides(I X0, I Y0, I X1, I Y1, I X2, I Y2, I X3, I Y3) {
    return {(uint32_t)(Y1 == Y0) & (uint32_t)(X2 == X0) & (uint32_t)(X3 == X1) & (uint32_t)(Y3 == Y2),
            (uint32_t)(X1 == X0) & (uint32_t)(Y2 == Y0) & (uint32_t)(X3 == X2) & (uint32_t)(Y3 == Y1)};
}

// A rectangle with corner 0 at (X0, Y0) and its sides ending at x and y
// (16.8): its pixels within the scissor, whether it draws nothing, and its
// block header (see Prim). z0, zx, zy: depth at corner 0 and at the sides'
// ends; rw: its 1/w. 32-bit arithmetic: on the grid, positions stay below
// 2^28.
struct RectSetup {
    int32_t px0, py0, px1, py1;
    uint32_t empty;
    float header[kRectHeader];
};
SW_INLINE RectSetup rect_setup(const DrawState &ds, uint32_t side1, int32_t X0, int32_t Y0, int32_t x, int32_t y,
                               float z0, float zx, float zy, float rw) {
    RectSetup r;
    // The area's sign without its product: corner 1 along x turns one way,
    // corner 1 along y the other.
    const int32_t dx = x - X0, dy = y - Y0;
    const uint32_t cw = (uint32_t)((dx > 0) == (dy > 0)) ^ (side1 ^ 1u);
    const int32_t minx = X0 < x ? X0 : x, maxx = X0 < x ? x : X0;
    const int32_t miny = Y0 < y ? Y0 : y, maxy = Y0 < y ? y : Y0;
    // Centres in [min, max): left and top edges own theirs, right and
    // bottom do not.
    int32_t a0 = first_centre_from(minx), a1 = first_centre_from(maxx) - 1;
    int32_t b0 = first_centre_from(miny), b1 = first_centre_from(maxy) - 1;
    a0 = a0 > ds.sx0 ? a0 : ds.sx0;
    b0 = b0 > ds.sy0 ? b0 : ds.sy0;
    a1 = a1 < ds.sx1 - 1 ? a1 : ds.sx1 - 1;
    b1 = b1 < ds.sy1 - 1 ? b1 : ds.sy1 - 1;
    r.px0 = a0, r.py0 = b0, r.px1 = a1, r.py1 = b1;
    r.empty = (uint32_t)(dx == 0) | (uint32_t)(dy == 0) | culled(ds, cw) | (uint32_t)(a0 > a1) | (uint32_t)(b0 > b1);
    r.header[0] = (float)X0 / (float)kSubPixel;
    r.header[1] = (float)Y0 / (float)kSubPixel;
    r.header[2] = (float)kSubPixel / (float)dx;
    r.header[3] = (float)kSubPixel / (float)dy;
    r.header[4] = z0;
    r.header[5] = zx - z0;
    r.header[6] = zy - z0;
    r.header[7] = rw;
    return r;
}

// A rectangle's pixel inputs into its block, each as its value at corner 0
// and its steps along the two sides; at(j, k) is record component k of
// corner 0, xv or yv (j = 0, 1, 2), wherever the caller keeps records.
// Returns the floats written.
template <class At> uint32_t rect_inputs(const DrawState &ds, At at, float *block) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < ds.read_count; i++) {
        const uint32_t k = ds.read_at[i];
        const float a0 = at(0, k);
        block[n++] = a0;
        block[n++] = at(1, k) - a0;
        block[n++] = at(2, k) - a0;
    }
    return n;
}

// White pixels, for draws that skip them: a bit per pixel of the tile (or
// band) a worker is rasterizing, set once the pixel has been read white. A
// white pixel stays white for the rest of the draw, so each is read once per
// tile, not once per primitive over it: close up, dozens of big primitives
// cover the same white core, and reading it again for every one of them cost
// more than all the fragments shaded.
SW_INLINE uint64_t pixel_bits(int32_t b0, int32_t b1) { return (~0ull >> (63 - b1)) & (~0ull << b0); }

// Reads the pixels x0..x1 (within the tile) of row y not yet known white,
// eight at a time from multiples of 8 within the tile: a big primitive over
// pixels not yet white reads its whole span, row by row, and so does every
// other one over them. Every white pixel of a group read is noted, in the
// span or not. A group the target's right edge cuts short is read pixel by
// pixel (past the edge lies the next row).
SW_INLINE void see_white(Worker &wk, const uint8_t *row, int32_t y, int32_t x0, int32_t x1) {
    uint64_t &known = wk.white[y - wk.tile_y0];
    const uint32_t *px = (const uint32_t *)row + wk.tile_x0;
    const uint64_t unknown = pixel_bits(x0 - wk.tile_x0, x1 - wk.tile_x0) & ~known;
    for (int g = (x0 - wk.tile_x0) & ~7; g <= x1 - wk.tile_x0; g += 8) {
        if (!(unknown >> g & 0xff)) continue;
        if ((wk.row_pixels >> g & 0xff) == 0xff) {
            UInt8 v;
            memcpy(&v, px + g, sizeof v);
            known |= (uint64_t)sign_bits((Int8)(v == 0xffffffffu)) << g;
            continue;
        }
        for (uint64_t u = unknown & 0xffull << g; u; u &= u - 1) {
            const int b = __builtin_ctzll(u);
            known |= (uint64_t)(px[b] == 0xffffffffu) << b; // no branch: which pixels are white is no pattern
        }
    }
    if ((known & wk.row_pixels) == wk.row_pixels) wk.white_rows |= 1ull << (y - wk.tile_y0);
}

// Whether rows y0..y1 of the tile are all white.
SW_INLINE bool white_rows(const Worker &wk, int32_t y0, int32_t y1) {
    const uint64_t rows = pixel_bits(y0 - wk.tile_y0, y1 - wk.tile_y0);
    return (wk.white_rows & rows) == rows;
}

// v >> k with ones shifted in (0 < k < 64).
SW_INLINE uint64_t shift_in_ones(uint64_t v, int k) { return v >> k | ~0ull << (64 - k); }

// A run of pixels from *x to at most x1 of row y of the tile: *x moved past
// white pixels (when the draw skips them, and eight or more lie together, or
// they reach x1), then the length of the run from there up to the next eight
// white ones, or to x1; 0 when none is left. White means known white (see
// white_span, called for the row's span beforehand).
SW_INLINE uint32_t live_run(const DrawState &ds, const Worker &wk, int32_t y, int32_t *x, int32_t x1) {
    if (*x > x1) return 0;
    if (!ds.skip_white) return (uint32_t)(x1 - *x + 1);
    const int32_t b0 = *x - wk.tile_x0, b1 = x1 - wk.tile_x0;
    // Bit 0: pixel *x; pixels past x1 count as white.
    uint64_t from = wk.white[y - wk.tile_y0] | (b1 == 63 ? 0 : ~0ull << (b1 + 1));
    if (b0) from = shift_in_ones(from, b0);
    if (from == ~0ull) {
        *x = x1 + 1;
        return 0;
    }
    const int lead = __builtin_ctzll(~from);
    if (lead >= 8 || b0 + lead > b1) {
        *x += lead;
        from = shift_in_ones(from, lead); // lead < 64: some pixel is not white
    }
    // Bit i of w8: pixels i..i+7 from *x all white. None when the run
    // reaches the tile's last pixel without eight white ones (ctz of 0 is
    // undefined).
    uint64_t w8 = from & shift_in_ones(from, 1);
    w8 &= shift_in_ones(w8, 2);
    w8 &= shift_in_ones(w8, 4);
    const uint32_t end = w8 ? (uint32_t)__builtin_ctzll(w8) : 64u, left = (uint32_t)(x1 - *x + 1);
    return end < left ? end : left;
}

// True when the draw skips white pixels and the pixels x0..x1 of row y
// (within the tile) are all white; otherwise those of them not known white
// have been read, for live_run.
SW_INLINE bool white_span(const DrawState &ds, Worker &wk, const uint8_t *row, int32_t y, int32_t x0, int32_t x1) {
    if (!ds.skip_white) return false;
    const uint64_t span = pixel_bits(x0 - wk.tile_x0, x1 - wk.tile_x0);
    if ((wk.white[y - wk.tile_y0] & span) == span) return true;
    see_white(wk, row, y, x0, x1);
    return (wk.white[y - wk.tile_y0] & span) == span;
}

// True when the draw skips white pixels and every pixel of x0..x1 by y0..y1
// (within the tile) is white.
SW_INLINE bool all_white(const DrawState &ds, Worker &wk, const SwImage *target, int32_t x0, int32_t y0, int32_t x1,
                         int32_t y1) {
    for (int32_t y = y0; y <= y1; y++)
        if (!white_span(ds, wk, target->bytes.data() + (size_t)y * target->pitch, y, x0, x1)) return false;
    return true;
}

// ---- across the stages

// sw_vertex.cpp
void vertex_task(void *ctx, uint32_t task, uint32_t worker);
void instance_task(void *ctx, uint32_t task, uint32_t worker);
// Runs the split vertex program for instances first .. first + n - 1 of the
// chunk: records to out (see record_of), or, when out is null, to wk.quads
// by component or left in the registers (DrawState::corner_rows).
void run_instances(SwDevice *dev, Worker &wk, uint32_t first, uint32_t n, float *out);
// Record slots: the vertex program's slot of record component k, or -1.
int32_t record_slot(const SwProgram *vs, uint32_t k);
// The record components setup reads of a square's corners, j = 0 .. 3 +
// read_count: the position, then what the pixel program reads.
inline uint32_t used_component(const DrawState &ds, uint32_t j) { return j < 4 ? j : ds.read_at[j - 4]; }

// sw_pipeline.cpp: the pipeline for the draw's programs and layout.
const Pipeline *find_pipeline(SwDevice *dev, const SwDraw *d);

// sw_clip.cpp: clips a triangle (n = 3) or line (n = 2) of vertex
// references and sets up what remains.
void clip_and_setup(SwDevice *dev, BinSet &bs, const uint32_t *v, int n, float gx, float gy);

// sw_setup.cpp
void setup_triangle(SwDevice *dev, BinSet &bs, uint32_t v0, uint32_t v1, uint32_t v2);
void setup_line(SwDevice *dev, BinSet &bs, uint32_t v0, uint32_t v1);
void setup_task(void *ctx, uint32_t task, uint32_t worker);

// sw_raster.cpp
void tile_task(void *ctx, uint32_t task, uint32_t worker);

// sw_pixel.cpp: runs the pixel program on the worker's batch and merges it.
void shade_batch(SwDevice *dev, Worker &wk);

} // namespace sw
