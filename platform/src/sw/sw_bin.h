// Binning: what setup hands the tiles. Every setup task appends the
// primitives it makes, in its instances' order, to its own stream per screen
// tile; a tile reads the tasks' streams in task order, so fragments reach
// each pixel in primitive order whatever the timing. A primitive within one
// tile (most of them) is stored in that tile's stream; a bigger one is
// stored once in its task's record store, and each tile it touches holds a
// reference to it, so binning costs a few words per tile, not its record.
#pragma once
#include <algorithm>
#include <stdint.h>
#include <string.h>
#include <vector>

#include "sw/sw_program.h"

namespace sw {

const int kTile = 64; // pixels per tile side

// PRIM_REF: not a primitive but a tile's reference to one in its set's
// store: its bounds, and in `shape` where its header lies in the store.
enum { PRIM_TRIANGLE, PRIM_LINE, PRIM_RECT, PRIM_REF };

// A primitive set up for rasterization. A galaxy frame bins a million of
// them, most within one tile, so each is stored in one piece that a tile
// reads in order, not in scattered arrays: its header (packed, see
// StoredPrim), then its block of `words` floats:
//  - rectangle: lx, ly (corner 0, pixels), 1 / width, 1 / height, then, if
//    the draw needs depth, z0, z1 - z0, z2 - z0, 1/w, then per pixel input
//    a0, a1 - a0, a2 - a0 (affine: one w). Vertex 1 lies along x from
//    vertex 0, vertex 2 along y.
//  - triangle and line: z0..2, 1/w0..2, then per pixel input a0, a1, a2
//    (perspective-correct); the rasterizer's setup is edges[shape] or
//    lines[shape] of the bin set that holds it.
struct Prim {
    int32_t x0, y0, x1, y1; // pixels covered at most, inclusive
    uint32_t kind;          // PRIM_*
    uint32_t shape;         // index into edges or lines
    uint32_t words;         // floats in the block
};

// Prim as stored: targets are at most 16384 pixels wide, so the bounds fit
// 16 bits; every byte less is a byte less written and read per primitive.
struct StoredPrim {
    int16_t x0, y0, x1, y1;
    uint16_t kind, words;
    uint32_t shape;
};
const uint32_t kPrimWords = sizeof(StoredPrim) / 4;

// Floats of a rectangle's block before its inputs: the corner and the
// sides' reciprocals, then depth and 1/w when the draw needs them.
const uint32_t kRectHeaderPlain = 4;
const uint32_t kRectHeader = 8; // with depth, the most there is
inline uint32_t rect_header(bool need_z) { return need_z ? kRectHeader : kRectHeaderPlain; }
const uint32_t kWeightedHeader = 6; // before a triangle's or line's inputs
const uint32_t kMaxBlock = kRectHeader + 3 * 4 * SW_MAX_VARYINGS;

struct Edges {
    int64_t e[3];         // edge values at the centre of pixel (x0, y0), fill-rule bias included
    int64_t ex[3], ey[3]; // per pixel step in x and y
    float inv_area;
};

struct LineSetup {
    float lx, ly, ldx, ldy;   // start and direction, pixels
    bool x_major;
    bool start_lit, end_skip; // the start's diamond pixel is lit, the end's is not
    int32_t sx, sy, ex, ey;   // those pixels
};

// A tile's primitives: headers and blocks, and references, appended one
// after another. Cleared by forgetting its length, so steady frames do not
// allocate.
struct TileStream {
    std::vector<float> data;
    size_t used = 0;
    float *append(size_t n) {
        if (used + n > data.size()) {
            sw_alloc_point();
            data.resize(std::max(data.size() * 2, used + n + 256));
        }
        float *at = data.data() + used;
        used += n;
        return at;
    }
};

// What one setup task makes: primitives per tile, in its instances' order.
// Each on cache lines of its own: neighbouring sets are filled by different
// workers at once, and every primitive binned writes the counters below.
struct alignas(64) BinSet {
    std::vector<Edges> edges;
    std::vector<LineSetup> lines;
    std::vector<float> clipped; // vertex records made by clipping
    // Where the other vertex references point: the chunk's records, or the
    // batch a set shading its own instances has just shaded (see
    // DrawState::setup_shades).
    const float *records = nullptr;
    std::vector<TileStream> bins;
    TileStream store; // primitives that touch more than one tile
    // What was binned: primitives, the pixels of their bounds (the draw loop
    // judges from them how finely to share the tiles out), and the 4-byte
    // words of memory used (streams, store, edges, lines and clipped
    // vertices; added where each grows).
    uint64_t prims = 0, area = 0, words = 0;
    // Where the task stopped when the set reached its share of the draw's
    // binning memory: the instance of the chunk and its primitive.
    bool stopped = false;
    uint32_t stop_instance = 0, stop_prim = 0;

    void clear() {
        edges.clear();
        lines.clear();
        clipped.clear();
        for (TileStream &b : bins) b.used = 0;
        store.used = 0;
        prims = area = words = 0;
        stopped = false;
    }
    uint64_t bytes() const { return words * 4; }
    // Whether the set has had its share: only once it holds something, so
    // that every pass of a draw gets on.
    bool full(uint64_t share) const { return prims > 0 && words * 4 >= share; }
    void stop(uint32_t instance, uint32_t prim) {
        stopped = true;
        stop_instance = instance;
        stop_prim = prim;
    }
};

// A primitive's words, short: 16-byte moves and a tail, not a library call.
inline void copy_words(float *__restrict dst, const float *__restrict src, uint32_t n) {
    uint32_t k = 0;
    for (; k + 4 <= n; k += 4) memcpy(dst + k, src + k, 16);
    for (; k < n; k++) dst[k] = src[k];
}

// Bounds are never negative: two of them lie in one tile when they differ
// below the tile's bit.
inline bool one_tile(const Prim &p) { return ((uint32_t)(p.x0 ^ p.x1) | (uint32_t)(p.y0 ^ p.y1)) < (uint32_t)kTile; }

// Binning writes a primitive's header, leaving room for its block (p.words
// floats), which the caller fills in: in the stream of its tile when it
// touches one, else in the set's store; then bin_rest puts a reference in
// every tile it touches. tiles_x: tiles per row of the target.
inline float *bin_first(uint32_t tiles_x, BinSet &bs, const Prim &p) {
    bs.prims++;
    bs.area += (uint64_t)(p.x1 - p.x0 + 1) * (uint64_t)(p.y1 - p.y0 + 1);
    bs.words += kPrimWords + p.words;
    TileStream &to = one_tile(p) ? bs.bins[(size_t)((uint32_t)p.y0 / kTile) * tiles_x + (uint32_t)p.x0 / kTile] : bs.store;
    float *at = to.append(kPrimWords + p.words);
    const StoredPrim sp = {(int16_t)p.x0, (int16_t)p.y0, (int16_t)p.x1, (int16_t)p.y1,
                           (uint16_t)p.kind, (uint16_t)p.words, p.shape};
    memcpy(at, &sp, sizeof sp);
    return at + kPrimWords;
}

inline void bin_rest(uint32_t tiles_x, BinSet &bs, const Prim &p, const float *block) {
    if (one_tile(p)) return;
    const StoredPrim ref = {(int16_t)p.x0, (int16_t)p.y0, (int16_t)p.x1, (int16_t)p.y1, PRIM_REF, 0,
                            (uint32_t)(block - kPrimWords - bs.store.data.data())};
    const uint32_t tx0 = (uint32_t)p.x0 / kTile, tx1 = (uint32_t)p.x1 / kTile, ty0 = (uint32_t)p.y0 / kTile,
                   ty1 = (uint32_t)p.y1 / kTile;
    bs.words += (uint64_t)kPrimWords * ((tx1 - tx0 + 1) * (ty1 - ty0 + 1));
    for (uint32_t ty = ty0; ty <= ty1; ty++)
        for (uint32_t tx = tx0; tx <= tx1; tx++) memcpy(bs.bins[(size_t)ty * tiles_x + tx].append(kPrimWords), &ref, sizeof ref);
}

// Appends the primitive and a block made beforehand.
inline void bin(uint32_t tiles_x, BinSet &bs, const Prim &p, const float *block) {
    float *at = bin_first(tiles_x, bs, p);
    copy_words(at, block, p.words);
    bin_rest(tiles_x, bs, p, at);
}

} // namespace sw
