// Binning: what setup hands the tiles. Every setup task appends the
// primitives it makes, in its instances' order, to its own stream per screen
// tile; a tile reads the tasks' streams in task order, so fragments reach
// each pixel in primitive order whatever the timing.
#pragma once
#include <algorithm>
#include <stdint.h>
#include <string.h>
#include <vector>

#include "sw/sw_program.h"

// Called where a draw is about to grow executor memory: throws
// std::bad_alloc when a test armed the "SwAlloc" fault for this call, as the
// growth itself would when the memory is not there.
void sw_alloc_point();

namespace sw {

const int kTile = 64; // pixels per tile side

enum { PRIM_TRIANGLE, PRIM_LINE, PRIM_RECT };

// A primitive set up for rasterization. A galaxy frame bins a million of
// them, so each is stored whole in the stream of every tile it touches (a
// tile then reads memory in order, not scattered records): its header
// (packed, see StoredPrim), then its block of `words` floats:
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

// A tile's primitives: headers and blocks, appended one after another.
// Cleared by forgetting its length, so steady frames do not allocate.
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
    std::vector<TileStream> bins;
    // What was binned: primitives, and the pixels of their bounds (the
    // draw loop judges from them how finely to share the tiles out).
    uint64_t prims = 0, area = 0;
};

// A primitive's words, short: 16-byte moves and a tail, not a library call.
inline void copy_words(float *__restrict dst, const float *__restrict src, uint32_t n) {
    uint32_t k = 0;
    for (; k + 4 <= n; k += 4) memcpy(dst + k, src + k, 16);
    for (; k < n; k++) dst[k] = src[k];
}

// Binning writes a primitive and its block (p.words floats) into the stream
// of the first tile it touches, where the caller fills the block in, then
// copies both to the other tiles' streams: most primitives touch one tile,
// and theirs is never copied at all. tiles_x: tiles per row of the target.
inline float *bin_first(uint32_t tiles_x, BinSet &bs, const Prim &p) {
    bs.prims++;
    bs.area += (uint64_t)(p.x1 - p.x0 + 1) * (uint64_t)(p.y1 - p.y0 + 1);
    float *at = bs.bins[(size_t)(p.y0 / kTile) * tiles_x + p.x0 / kTile].append(kPrimWords + p.words);
    const StoredPrim sp = {(int16_t)p.x0, (int16_t)p.y0, (int16_t)p.x1, (int16_t)p.y1,
                           (uint16_t)p.kind, (uint16_t)p.words, p.shape};
    memcpy(at, &sp, sizeof sp);
    return at + kPrimWords;
}

inline void bin_rest(uint32_t tiles_x, BinSet &bs, const Prim &p, const float *block) {
    const int tx0 = p.x0 / kTile, tx1 = p.x1 / kTile, ty0 = p.y0 / kTile, ty1 = p.y1 / kTile;
    if (tx0 == tx1 && ty0 == ty1) return;
    const float *first = block - kPrimWords; // another tile's stream: appending here never moves it
    const uint32_t words = kPrimWords + p.words;
    for (int ty = ty0; ty <= ty1; ty++)
        for (int tx = tx0; tx <= tx1; tx++) {
            if (tx == tx0 && ty == ty0) continue;
            copy_words(bs.bins[(size_t)ty * tiles_x + tx].append(words), first, words);
        }
}

// Appends the primitive and a block made beforehand.
inline void bin(uint32_t tiles_x, BinSet &bs, const Prim &p, const float *block) {
    float *at = bin_first(tiles_x, bs, p);
    copy_words(at, block, p.words);
    bin_rest(tiles_x, bs, p, at);
}

} // namespace sw
