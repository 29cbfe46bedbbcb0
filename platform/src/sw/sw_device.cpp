// The CPU executor's draw pipeline. A draw runs in chunks of instances; each
// chunk goes through three parallel phases:
//  1. vertices: batches of SW_LANES vertices through the vertex program (or
//     of SW_LANES instances, when the program splits into a per-instance and
//     a per-vertex part; instanced squares skip this phase: setup shades them);
//  2. setup: every task takes a contiguous range of instances, drops
//     primitives outside one clip plane, clips the rest against near, far
//     and a guard band, sets up edge equations in 16.8 fixed point (or a
//     rectangle for a camera-facing square) and appends each primitive to
//     its own stream of every screen tile it touches;
//  3. tiles: every tile is rasterized by one worker, reading the setup
//     tasks' streams in task order, so fragments reach each pixel in
//     primitive order whatever the timing.
#include "sw/sw_device.h"

#include "sw/sw_math.h"
#include "sw/sw_pool.h"
#include "sw/sw_simd.h"

#include <algorithm>
#include <math.h>
#include <string.h>
#include <thread>
#include <time.h>

#include "dxgi.h"

namespace {

const int kTile = 64;                 // pixels per tile side
const uint32_t kChunkVertices = 1u << 18; // vertices shaded per chunk
const float kGuard = 16384.0f;        // guard band beyond the viewport, pixels
const uint32_t kClipRef = 0x80000000u; // vertex reference into the bin set's clipped vertices

enum { PRIM_TRIANGLE, PRIM_LINE, PRIM_RECT };

// A primitive set up for rasterization. A galaxy frame bins a million of
// them, so each is stored whole in the stream of every tile it touches (a
// tile then reads memory in order, not scattered records): its header
// (packed, see StoredPrim), then its block of `words` floats:
//  - rectangle: lx, ly (corner 0, pixels), 1 / width, 1 / height, then, if
//    the draw needs depth, z0, z1 - z0, z2 - z0, w, then per pixel input a0,
//    a1 - a0, a2 - a0 (affine: one w). Vertex 1 lies along x from vertex 0,
//    vertex 2 along y.
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

const uint32_t kRectHeader = 8; // floats before a rectangle's inputs, at most
const uint32_t kWeightedHeader = 6; // before a triangle's or line's
const uint32_t kMaxBlock = kRectHeader + 3 * 4 * SW_MAX_VARYINGS;

// A tile's primitives: headers and blocks, appended one after another.
// Cleared by forgetting its length, so steady frames do not allocate.
struct TileStream {
    std::vector<float> data;
    size_t used = 0;
    float *append(size_t n) {
        if (used + n > data.size()) data.resize(std::max(data.size() * 2, used + n + 256));
        float *at = data.data() + used;
        used += n;
        return at;
    }
};

// What one setup task makes: primitives per tile, in its instances' order.
struct BinSet {
    std::vector<Edges> edges;
    std::vector<LineSetup> lines;
    std::vector<float> clipped; // vertex records made by clipping
    std::vector<TileStream> bins;
};
const uint32_t kSetsPerWorker = 4; // setup tasks per worker, for balance

const uint32_t kPad = SW_LANES + 8;

// The loops that run over every lane (sorting instanced squares, and the
// tile phase) have a build per instruction set (sw_simd.h), like the program
// interpreter; what they call is marked so, to inline into each build.
#define SW_BOTH_BUILDS SW_INLINE

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
    // corner's record apart (SwSplit::corner_ops), else copies in quads.
    // Then their screen positions, worked out for all lanes at once.
    std::vector<float> quads;
    const float *row[4][4 + 4 * SW_MAX_VARYINGS];
    struct {
        float z[4][SW_LANES], rw[4][SW_LANES];
        int32_t X[4][SW_LANES], Y[4][SW_LANES]; // 16.8 fixed point
        uint32_t code[4][SW_LANES];             // outcode
        uint32_t grid[4][SW_LANES];             // 1: on the fixed-point grid
        uint32_t outside[SW_LANES], rect[SW_LANES]; // see classify_quads
        // rect_quads: axis-aligned rectangles, their corner along x (the
        // one along y is the other of 1 and 2), pixel bounds and block
        // headers (see bin_rect).
        uint32_t aligned[SW_LANES], empty[SW_LANES];
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
    uint64_t fragments = 0; // shaded, ever
};

struct SwSplit {
    uint64_t serial = 0;    // of the program
    uint32_t locations = 0; // input locations fed per vertex
    bool ok = false;
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
};
const size_t kSplitCache = 32;

} // namespace

struct SwDevice {
    SwPool pool;
    uint32_t workers = 1;
    std::vector<Worker> w;
    uint64_t serial = 0;
    uint64_t vertex_ns = 0;
    // Per draw, read by the tasks.
    const SwDraw *d = nullptr;
    uint32_t rec = 0;     // floats per vertex record
    uint32_t varyings = 0;
    uint32_t read_count = 0;       // record floats the pixel program reads
    uint32_t read_at[4 * SW_MAX_VARYINGS];
    uint32_t read_slot[4 * SW_MAX_VARYINGS]; // where each goes in the pixel program
    bool need_z = false;  // fragments need their depth: a depth test, or the program reads it
    std::vector<float> verts; // vertex records of the chunk
    std::vector<SwSplit> splits;
    std::vector<BinSet> sets;
    bool fused = false; // instanced squares: vertices shaded by the setup tasks
    const SwSplit *split = nullptr; // the draw's, when its vertices run per instance
    bool corner_rows = false;       // fused squares read their corners in the registers
    uint32_t chunk_first_instance = 0, chunk_instances = 0, chunk_vertices = 0;
    uint32_t prims_per_instance = 0;
    int32_t sx0, sy0, sx1, sy1; // scissor: viewport within the target, pixels [x0, x1)
    uint32_t tiles_x = 0, tiles_y = 0;
};

bool sw_image_init(SwImage *img, uint32_t width, uint32_t height, SwFormat format) {
    if (width == 0 || height == 0 || width > 16384 || height > 16384) return false;
    img->width = width;
    img->height = height;
    img->format = format;
    img->pitch = width * 4;
    img->bytes.assign((size_t)img->pitch * height, 0);
    return true;
}

SwDevice *sw_device_create(int threads) {
    if (threads <= 0) threads = (int)std::thread::hardware_concurrency();
    if (threads <= 0) threads = 1;
    if (threads > 64) threads = 64;
    sw_simd_choose();
    SwDevice *dev = new SwDevice;
    dev->workers = (uint32_t)threads;
    dev->w.resize(dev->workers);
    dev->sets.resize((size_t)dev->workers * kSetsPerWorker);
    if (!sw_pool_start(&dev->pool, dev->workers)) {
        delete dev;
        return nullptr;
    }
    return dev;
}

void sw_device_destroy(SwDevice *dev) {
    if (!dev) return;
    sw_pool_stop(&dev->pool);
    delete dev;
}

int sw_device_threads(const SwDevice *dev) { return (int)dev->workers; }

void sw_clear_color(SwImage *img, const float rgba[4]) {
    int r = img->format == SW_FORMAT_BGRA8 ? 2 : 0;
    uint32_t px = sw_unorm8(rgba[r]) | sw_unorm8(rgba[1]) << 8 | sw_unorm8(rgba[2 - r]) << 16 | sw_unorm8(rgba[3]) << 24;
    const uint32_t w = img->width; // a local: the stores could alias the field
    for (uint32_t y = 0; y < img->height; y++) {
        uint32_t *row = (uint32_t *)img->row(y);
        for (uint32_t x = 0; x < w; x++) row[x] = px;
    }
}

void sw_clear_depth(SwImage *img, float depth) {
    const uint32_t w = img->width;
    for (uint32_t y = 0; y < img->height; y++) {
        float *row = (float *)img->row(y);
        for (uint32_t x = 0; x < w; x++) row[x] = depth;
    }
}

namespace {

// ---- phase 1: vertices

// Components and kind of an input element format; 0 components: unread.
uint32_t format_components(uint32_t format, bool *unorm8) {
    *unorm8 = false;
    switch (format) {
    case DXGI_FORMAT_R32G32B32A32_FLOAT: return 4;
    case DXGI_FORMAT_R32G32B32_FLOAT: return 3;
    case DXGI_FORMAT_R32G32_FLOAT: return 2;
    case DXGI_FORMAT_R32_FLOAT: return 1;
    case DXGI_FORMAT_R8G8B8A8_UNORM: *unorm8 = true; return 4;
    default: return 0;
    }
}

// Lane l of the batch is vertex vtx[l] of instance inst[l] (chunk-relative).
void fetch_element(SwDevice *dev, const SwVertexElement &e, SwRegisters *r, const uint32_t *inst,
                   const uint32_t *vtx, uint32_t n) {
    const SwDraw *d = dev->d;
    const SwIo &io = d->vs->inputs[e.location];
    if (io.components == 0) return;
    bool unorm8 = false;
    uint32_t comps = format_components(e.format, &unorm8);
    uint32_t bytes = unorm8 ? 4 : comps * 4;
    const SwVertexStream &s = d->streams[e.slot];
    SwLane *dst[4];
    for (int k = 0; k < 4; k++) dst[k] = io.slot[k] >= 0 ? r->slot((uint32_t)io.slot[k]) : nullptr;
    const uint64_t base = e.per_instance ? (uint64_t)d->first_instance + dev->chunk_first_instance : d->first_vertex;
    const uint32_t *index_of = e.per_instance ? inst : vtx;
    // Float data wholly inside the buffer: straight component loops.
    uint32_t top = 0;
    for (uint32_t l = 0; l < n; l++) top = index_of[l] > top ? index_of[l] : top;
    uint64_t last = (uint64_t)s.offset + (base + top) * s.stride + e.offset + bytes;
    if (!unorm8 && comps && s.data && last <= s.size) {
        const uint8_t *at = s.data + s.offset + e.offset;
        uint32_t done = 0;
        if (comps >= 3 && last - bytes + 16 <= s.size) {
            // Three or four floats: 16 bytes per element, four elements turned
            // into four component rows at a time (an unread or missing
            // component's row is scratch; the missing one is set below).
            float *row[4];
            for (uint32_t k = 0; k < 4; k++) row[k] = dst[k] && k < comps ? &dst[k][0].f : nullptr;
            for (; done + 4 <= n; done += 4) {
                const float *in[4];
                for (uint32_t j = 0; j < 4; j++) in[j] = (const float *)(at + (base + index_of[done + j]) * s.stride);
                float *const out[4] = {row[0] ? row[0] + done : nullptr, row[1] ? row[1] + done : nullptr,
                                       row[2] ? row[2] + done : nullptr, row[3] ? row[3] + done : nullptr};
                sw_transpose4(in, out);
            }
        }
        for (uint32_t k = 0; k < 4; k++) {
            if (!dst[k]) continue;
            if (k >= comps) {
                for (uint32_t l = 0; l < n; l++) dst[k][l].f = k == 3 ? 1.0f : 0.0f;
                continue;
            }
            for (uint32_t l = done; l < n; l++) {
                float f;
                memcpy(&f, at + (base + index_of[l]) * s.stride + 4 * k, 4);
                dst[k][l].f = f;
            }
        }
        return;
    }
    for (uint32_t l = 0; l < n; l++) {
        uint64_t index = base + (e.per_instance ? inst[l] : vtx[l]);
        uint64_t at = (uint64_t)s.offset + index * s.stride + e.offset;
        float v[4] = {0, 0, 0, 1};
        if (comps && s.data && at + bytes <= s.size) {
            if (unorm8) {
                for (int k = 0; k < 4; k++) v[k] = (float)s.data[at + k] / 255.0f;
            } else {
                memcpy(v, s.data + at, bytes);
            }
        } else {
            v[3] = 0; // reads outside the buffer give zero
        }
        for (int k = 0; k < 4; k++)
            if (dst[k]) dst[k][l].f = v[k];
    }
}

void prepare_vertex_registers(SwDevice *dev, Worker &wk) {
    if (wk.vs_serial == dev->serial) return;
    sw_program_prepare(dev->d->vs, &wk.vs, dev->d->vs_cb, dev->d->vs_cb_size);
    wk.vs_serial = dev->serial;
}

// Records: clip position, then four components per varying location. The
// vertex program's slot of record component k, or -1 when it leaves it out.
int32_t record_slot(const SwProgram *vs, uint32_t k) {
    return k < 4 ? vs->position.slot[k] : vs->outputs[(k - 4) / 4].slot[k % 4];
}

// Lane l's record starts at out + l * lane_stride floats.
void store_records(const SwDevice *dev, SwRegisters *r, float *out, size_t lane_stride, uint32_t n) {
    for (uint32_t k = 0; k < dev->rec; k++) {
        const int32_t slot = record_slot(dev->d->vs, k);
        const SwLane *s = slot >= 0 ? r->slot((uint32_t)slot) : nullptr;
        for (uint32_t l = 0; l < n; l++) out[l * lane_stride + k] = s ? s[l].f : 0.0f;
    }
}

// The record components setup reads of a square's corners, j = 0 .. 3 +
// read_count: the position, then what the pixel program reads.
uint32_t used_component(const SwDevice *dev, uint32_t j) { return j < 4 ? j : dev->read_at[j - 4]; }

// The record components as rows of SW_LANES lanes (see Worker::quads):
// those setup reads, the rest is never looked at.
void store_components(const SwDevice *dev, SwRegisters *r, float *out, uint32_t n) {
    for (uint32_t j = 0; j < 4 + dev->read_count; j++) {
        const uint32_t k = used_component(dev, j);
        const int32_t slot = record_slot(dev->d->vs, k);
        float *row = out + (size_t)k * SW_LANES;
        if (slot >= 0) memcpy(row, r->slot((uint32_t)slot), n * sizeof(float));
        else memset(row, 0, n * sizeof(float));
    }
}

// SW_LANES consecutive vertices of the chunk, instance-major.
void vertex_task(void *ctx, uint32_t task, uint32_t worker) {
    SwDevice *dev = (SwDevice *)ctx;
    const SwDraw *d = dev->d;
    Worker &wk = dev->w[worker];
    prepare_vertex_registers(dev, wk);
    uint32_t first = task * SW_LANES;
    uint32_t n = dev->chunk_vertices - first < SW_LANES ? dev->chunk_vertices - first : SW_LANES;
    uint32_t inst[SW_LANES], vtx[SW_LANES];
    uint32_t i = first / d->vertex_count, v = first % d->vertex_count; // one division per batch
    for (uint32_t l = 0; l < n; l++) {
        inst[l] = i;
        vtx[l] = v;
        if (++v == d->vertex_count) v = 0, i++;
    }
    for (uint32_t k = 0; k < d->element_count; k++) fetch_element(dev, d->elements[k], &wk.vs, inst, vtx, n);
    if (d->vs->vertex_index_slot >= 0) {
        SwLane *s = wk.vs.slot((uint32_t)d->vs->vertex_index_slot);
        for (uint32_t l = 0; l < n; l++) s[l].u = d->first_vertex + vtx[l];
    }
    if (d->vs->instance_index_slot >= 0) { // SV_InstanceID does not count the start instance
        SwLane *s = wk.vs.slot((uint32_t)d->vs->instance_index_slot);
        for (uint32_t l = 0; l < n; l++) s[l].u = dev->chunk_first_instance + inst[l];
    }
    sw_program_run(d->vs, &wk.vs, n);
    store_records(dev, &wk.vs, dev->verts.data() + (size_t)first * dev->rec, dev->rec, n);
}

// SW_LANES consecutive instances of the chunk, with a split program: lane l
// is instance l throughout; the per-instance part runs once, the per-vertex
// part once for each vertex, every lane at the same vertex.
// Records of instances first .. first + n - 1 (of the chunk) go to out, a
// vertex's SW_LANES records after another's (see record_of); or, when out
// is null, to wk.quads by component.
void run_instances(SwDevice *dev, Worker &wk, uint32_t first, uint32_t n, float *out) {
    const SwDraw *d = dev->d;
    const SwSplit &sp = *dev->split;
    prepare_vertex_registers(dev, wk);
    const uint32_t vc = d->vertex_count;
    uint32_t inst[SW_LANES], vtx[SW_LANES];
    for (uint32_t l = 0; l < n; l++) inst[l] = first + l, vtx[l] = 0;
    for (uint32_t k = 0; k < d->element_count; k++)
        if (d->elements[k].per_instance) fetch_element(dev, d->elements[k], &wk.vs, inst, vtx, n);
    if (d->vs->instance_index_slot >= 0) {
        SwLane *s = wk.vs.slot((uint32_t)d->vs->instance_index_slot);
        for (uint32_t l = 0; l < n; l++) s[l].u = dev->chunk_first_instance + inst[l];
    }
    sw_program_run_ops(d->vs, &wk.vs, sp.instance_ops.data(), sp.instance_ops.size(), n);
    for (uint32_t v = 0; v < vc; v++) {
        for (uint32_t l = 0; l < n; l++) vtx[l] = v;
        for (uint32_t k = 0; k < d->element_count; k++)
            if (!d->elements[k].per_instance) fetch_element(dev, d->elements[k], &wk.vs, inst, vtx, n);
        if (d->vs->vertex_index_slot >= 0) {
            SwLane *s = wk.vs.slot((uint32_t)d->vs->vertex_index_slot);
            for (uint32_t l = 0; l < n; l++) s[l].u = d->first_vertex + v;
        }
        if (!out && dev->corner_rows) { // the corner's record stays where the program leaves it
            sw_program_run_ops(d->vs, &wk.vs, sp.corner_ops[v].data(), sp.corner_ops[v].size(), n);
            continue;
        }
        sw_program_run_ops(d->vs, &wk.vs, sp.vertex_ops.data(), sp.vertex_ops.size(), n);
        if (out) store_records(dev, &wk.vs, out + (size_t)v * SW_LANES * dev->rec, dev->rec, n); // see record_of
        else store_components(dev, &wk.vs, wk.quads.data() + (size_t)v * dev->rec * SW_LANES, n);
    }
}

void instance_task(void *ctx, uint32_t task, uint32_t worker) {
    SwDevice *dev = (SwDevice *)ctx;
    const uint32_t first = task * SW_LANES;
    const uint32_t n = dev->chunk_instances - first < SW_LANES ? dev->chunk_instances - first : SW_LANES;
    run_instances(dev, dev->w[worker], first, n, dev->verts.data() + (size_t)first * dev->d->vertex_count * dev->rec);
}

// Fills s.corner_* (see SwSplit). A record slot the vertex ops write gets a
// new number per corner; one they do not write (an instance value, a
// constant) is the same for all corners, unless the caller rewrites it per
// vertex (a per-vertex input, the vertex index). False when it cannot be.
bool make_corner_ops(const SwProgram *vs, uint32_t rec, uint32_t locations, SwSplit &s) {
    std::vector<bool> per_vertex(vs->slot_count, false), written(vs->slot_count, false);
    for (uint32_t loc = 0; loc < 16; loc++)
        if (locations >> loc & 1)
            for (int32_t slot : vs->inputs[loc].slot)
                if (slot >= 0) per_vertex[(uint32_t)slot] = true;
    if (vs->vertex_index_slot >= 0) per_vertex[(uint32_t)vs->vertex_index_slot] = true;
    for (const SwOp &o : s.vertex_ops) written[o.dst] = true;
    std::vector<int32_t> renamed(vs->slot_count, -1); // record slot -> index among those renamed
    uint32_t count = 0;
    for (uint32_t k = 0; k < rec; k++) {
        const int32_t slot = record_slot(vs, k);
        if (slot < 0) continue;
        if (per_vertex[(uint32_t)slot]) return false;
        if (written[(uint32_t)slot] && renamed[(uint32_t)slot] < 0) renamed[(uint32_t)slot] = (int32_t)count++;
    }
    for (uint32_t v = 0; v < 4; v++) {
        // Corner v's slot for record slot `slot`: its own after the program's.
        auto slot_of = [&](uint32_t slot) {
            return renamed[slot] < 0 ? slot : vs->slot_count + v * count + (uint32_t)renamed[slot];
        };
        s.corner_ops[v] = s.vertex_ops;
        s.corner_slot[v].assign(rec, -1);
        for (uint32_t slot = 0; slot < vs->slot_count; slot++)
            if (renamed[slot] >= 0 && !sw_ops_rename_slot(&s.corner_ops[v], slot, slot_of(slot))) return false;
        for (uint32_t k = 0; k < rec; k++)
            if (record_slot(vs, k) >= 0) s.corner_slot[v][k] = (int32_t)slot_of((uint32_t)record_slot(vs, k));
    }
    s.corner_slots = vs->slot_count + 4 * count;
    return true;
}

// The split of the draw's vertex program for its input layout, made on
// first use and kept: the device sees the same few pairs every frame.
const SwSplit *find_split(SwDevice *dev, const SwDraw *d) {
    uint32_t locations = 0;
    for (uint32_t k = 0; k < d->element_count; k++)
        if (!d->elements[k].per_instance && d->elements[k].location < 16) locations |= 1u << d->elements[k].location;
    for (const SwSplit &s : dev->splits)
        if (s.serial == d->vs->serial && s.locations == locations) return s.ok ? &s : nullptr;
    if (dev->splits.size() >= kSplitCache) dev->splits.erase(dev->splits.begin());
    dev->splits.emplace_back();
    SwSplit &s = dev->splits.back();
    s.serial = d->vs->serial;
    s.locations = locations;
    s.ok = sw_program_split(d->vs, locations, &s.instance_ops, &s.vertex_ops);
    if (s.ok && !make_corner_ops(d->vs, dev->rec, locations, s)) {
        for (int v = 0; v < 4; v++) s.corner_ops[v].clear(), s.corner_slot[v].clear();
        s.corner_slots = 0;
    }
    return s.ok ? &s : nullptr;
}

// ---- phase 2: setup

const float *vertex_record(const SwDevice *dev, const BinSet &bs, uint32_t ref) {
    if (ref & kClipRef) return bs.clipped.data() + (size_t)(ref & ~kClipRef) * dev->rec;
    return dev->verts.data() + (size_t)ref * dev->rec;
}

// Outside bits of a clip position: -x, +x, -y, +y beyond the guard band
// (gx, gy in units of w), near, far.
uint32_t outcode(const float *p, float gx, float gy, bool depth_clip) {
    uint32_t c = 0;
    if (p[0] < -gx * p[3]) c |= 1;
    if (p[0] > gx * p[3]) c |= 2;
    if (p[1] < -gy * p[3]) c |= 4;
    if (p[1] > gy * p[3]) c |= 8;
    if (depth_clip && p[2] < 0.0f) c |= 16;
    if (depth_clip && p[2] > p[3]) c |= 32;
    if (p[3] <= 0.0f) c |= 64;
    return c;
}

// Signed distance of a clip position to plane k (inside >= 0).
float plane_distance(const float *p, int k, float gx, float gy) {
    switch (k) {
    case 0: return p[0] + gx * p[3];
    case 1: return gx * p[3] - p[0];
    case 2: return p[1] + gy * p[3];
    case 3: return gy * p[3] - p[1];
    case 4: return p[2];
    case 5: return p[3] - p[2];
    default: return p[3] - 1e-20f;
    }
}

// a + (b - a) t as a new record; a and b may point into the records it grows.
uint32_t new_clip_vertex(const SwDevice *dev, BinSet &bs, const float *a, const float *b, float t) {
    float v[4 + 4 * SW_MAX_VARYINGS];
    for (uint32_t k = 0; k < dev->rec; k++) v[k] = a[k] + (b[k] - a[k]) * t;
    size_t at = bs.clipped.size();
    bs.clipped.insert(bs.clipped.end(), v, v + dev->rec);
    return kClipRef | (uint32_t)(at / dev->rec);
}

// A primitive's words, short: 16-byte moves and a tail, not a library call.
void copy_words(float *__restrict dst, const float *__restrict src, uint32_t n) {
    uint32_t k = 0;
    for (; k + 4 <= n; k += 4) memcpy(dst + k, src + k, 16);
    for (; k < n; k++) dst[k] = src[k];
}

// Binning writes a primitive and its block (p.words floats) into the stream
// of the first tile it touches, where the caller fills the block in, then
// copies both to the other tiles' streams: most primitives touch one tile,
// and theirs is never copied at all.
float *bin_first(SwDevice *dev, BinSet &bs, const Prim &p) {
    float *at = bs.bins[(size_t)(p.y0 / kTile) * dev->tiles_x + p.x0 / kTile].append(kPrimWords + p.words);
    const StoredPrim sp = {(int16_t)p.x0, (int16_t)p.y0, (int16_t)p.x1, (int16_t)p.y1,
                           (uint16_t)p.kind, (uint16_t)p.words, p.shape};
    memcpy(at, &sp, sizeof sp);
    return at + kPrimWords;
}

void bin_rest(SwDevice *dev, BinSet &bs, const Prim &p, const float *block) {
    const int tx0 = p.x0 / kTile, tx1 = p.x1 / kTile, ty0 = p.y0 / kTile, ty1 = p.y1 / kTile;
    if (tx0 == tx1 && ty0 == ty1) return;
    const float *first = block - kPrimWords; // another tile's stream: appending here never moves it
    const uint32_t words = kPrimWords + p.words;
    for (int ty = ty0; ty <= ty1; ty++)
        for (int tx = tx0; tx <= tx1; tx++) {
            if (tx == tx0 && ty == ty0) continue;
            copy_words(bs.bins[(size_t)ty * dev->tiles_x + tx].append(words), first, words);
        }
}

// Appends the primitive and a block made beforehand.
void bin(SwDevice *dev, BinSet &bs, const Prim &p, const float *block) {
    float *at = bin_first(dev, bs, p);
    copy_words(at, block, p.words);
    bin_rest(dev, bs, p, at);
}

// A triangle's or line's block (see Prim): depth and 1/w at its three
// vertices, then each pixel input at them. Returns its length.
struct Screen;
uint32_t weighted_block(const SwDevice *dev, BinSet &bs, const uint32_t *v, const Screen *s, float *block);

struct Screen {
    float x, y, z, rw;
};

uint32_t weighted_block(const SwDevice *dev, BinSet &bs, const uint32_t *v, const Screen *s, float *block) {
    const float *r[3];
    for (int k = 0; k < 3; k++) r[k] = vertex_record(dev, bs, v[k]);
    uint32_t n = 0;
    for (int k = 0; k < 3; k++) block[n++] = s[k].z;
    for (int k = 0; k < 3; k++) block[n++] = s[k].rw;
    for (uint32_t i = 0; i < dev->read_count; i++)
        for (int k = 0; k < 3; k++) block[n++] = r[k][dev->read_at[i]];
    return n;
}

// A position that rounds onto the fixed-point grid: finite and within the
// guard band (clipping keeps them there; NaN or infinity never get there),
// with a depth and 1/w to interpolate.
bool on_grid(const Screen &s) {
    return fabsf(s.x) < 1048576.0f && fabsf(s.y) < 1048576.0f && s.z == s.z && s.rw == s.rw;
}

Screen to_screen(const SwDevice *dev, const float *p) {
    const SwViewport &vp = dev->d->viewport;
    float rw = 1.0f / p[3];
    Screen s;
    s.x = vp.x + (p[0] * rw + 1.0f) * 0.5f * vp.width;
    s.y = vp.y + (1.0f - p[1] * rw) * 0.5f * vp.height;
    s.z = vp.min_depth + p[2] * rw * (vp.max_depth - vp.min_depth);
    s.rw = rw;
    return s;
}

int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

void setup_triangle(SwDevice *dev, BinSet &bs, uint32_t v0, uint32_t v1, uint32_t v2) {
    const SwDraw *d = dev->d;
    uint32_t v[3] = {v0, v1, v2};
    Screen s[3];
    int64_t X[3], Y[3];
    for (int k = 0; k < 3; k++) {
        s[k] = to_screen(dev, vertex_record(dev, bs, v[k]));
        if (!on_grid(s[k])) return;
        X[k] = (int64_t)lrintf(s[k].x * 256.0f);
        Y[k] = (int64_t)lrintf(s[k].y * 256.0f);
    }
    int64_t area = (X[1] - X[0]) * (Y[2] - Y[0]) - (Y[1] - Y[0]) * (X[2] - X[0]);
    if (area == 0) return;
    bool clockwise = area > 0; // on screen, y down
    bool front = d->front_ccw ? !clockwise : clockwise;
    if ((d->cull == SW_CULL_BACK && !front) || (d->cull == SW_CULL_FRONT && front)) return;
    if (area < 0) { // make it clockwise: every edge function is then positive inside
        std::swap(v[1], v[2]);
        std::swap(s[1], s[2]);
        std::swap(X[1], X[2]);
        std::swap(Y[1], Y[2]);
        area = -area;
    }
    int64_t minX = std::min(X[0], std::min(X[1], X[2])), maxX = std::max(X[0], std::max(X[1], X[2]));
    int64_t minY = std::min(Y[0], std::min(Y[1], Y[2])), maxY = std::max(Y[0], std::max(Y[1], Y[2]));
    // Pixels whose centre (p * 256 + 128) lies in the box.
    int64_t px0 = floor_div(minX - 128 + 255, 256), px1 = floor_div(maxX - 128, 256);
    int64_t py0 = floor_div(minY - 128 + 255, 256), py1 = floor_div(maxY - 128, 256);
    px0 = std::max<int64_t>(px0, dev->sx0);
    py0 = std::max<int64_t>(py0, dev->sy0);
    px1 = std::min<int64_t>(px1, dev->sx1 - 1);
    py1 = std::min<int64_t>(py1, dev->sy1 - 1);
    if (px0 > px1 || py0 > py1) return;
    Edges ed;
    const int64_t cx = px0 * 256 + 128, cy = py0 * 256 + 128;
    for (int k = 0; k < 3; k++) { // edge k runs from vertex i to j, opposite vertex k
        int i = (k + 1) % 3, j = (k + 2) % 3;
        int64_t dx = X[j] - X[i], dy = Y[j] - Y[i];
        bool top_left = (dy == 0 && dx > 0) || dy < 0;
        ed.e[k] = dx * (cy - Y[i]) - dy * (cx - X[i]) - (top_left ? 0 : 1);
        ed.ex[k] = -dy * 256;
        ed.ey[k] = dx * 256;
    }
    ed.inv_area = 1.0f / (float)area;
    float block[kMaxBlock];
    Prim p = {(int32_t)px0, (int32_t)py0, (int32_t)px1, (int32_t)py1, PRIM_TRIANGLE, (uint32_t)bs.edges.size(), 0};
    p.words = weighted_block(dev, bs, v, s, block);
    bs.edges.push_back(ed);
    bin(dev, bs, p, block);
}

// Pixel whose diamond (|dx| + |dy| < 1/2 around its centre) holds (x, y);
// false when the point lies in none.
bool diamond_of(float x, float y, int32_t *px, int32_t *py) {
    float fx = floorf(x), fy = floorf(y);
    float dx = fabsf(x - fx - 0.5f), dy = fabsf(y - fy - 0.5f);
    *px = (int32_t)fx;
    *py = (int32_t)fy;
    return dx + dy < 0.5f;
}

// Aliased line, Direct3D 11's diamond-exit rule: a pixel is lit when the
// segment leaves its diamond. Along the major axis that is one pixel per
// centre line crossed, except the pixel whose diamond holds the end point
// (the segment never leaves it), plus the one whose diamond holds the start.
void setup_line(SwDevice *dev, BinSet &bs, uint32_t v0, uint32_t v1) {
    Screen a = to_screen(dev, vertex_record(dev, bs, v0)), b = to_screen(dev, vertex_record(dev, bs, v1));
    if (!on_grid(a) || !on_grid(b)) return;
    // Snap to the same 8-bit grid as triangles.
    float ax = (float)lrintf(a.x * 256.0f) / 256.0f, ay = (float)lrintf(a.y * 256.0f) / 256.0f;
    float bx = (float)lrintf(b.x * 256.0f) / 256.0f, by = (float)lrintf(b.y * 256.0f) / 256.0f;
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
        p.x0 = std::max(std::min(m0, ls.sx), dev->sx0); p.x1 = std::min(std::max(m1, ls.sx), dev->sx1 - 1);
        p.y0 = std::max(n0, dev->sy0); p.y1 = std::min(n1, dev->sy1 - 1);
    } else {
        p.y0 = std::max(std::min(m0, ls.sy), dev->sy0); p.y1 = std::min(std::max(m1, ls.sy), dev->sy1 - 1);
        p.x0 = std::max(n0, dev->sx0); p.x1 = std::min(n1, dev->sx1 - 1);
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
    bs.lines.push_back(ls);
    bin(dev, bs, p, block);
}

// Which corners of a quad (0, 1, 2, 3 in strip order) lie beside corner 0
// along x and along y, when its fixed-point corners make an axis-aligned
// rectangle; false when they do not.
bool rect_sides(const int64_t *X, const int64_t *Y, int *xv, int *yv) {
    if (Y[1] == Y[0] && X[2] == X[0] && X[3] == X[1] && Y[3] == Y[2]) return *xv = 1, *yv = 2, true;
    if (X[1] == X[0] && Y[2] == Y[0] && X[3] == X[2] && Y[3] == Y[1]) return *xv = 2, *yv = 1, true;
    return false;
}

// A rectangle's pixel inputs into its block, each as its value at corner 0
// and its steps along the two sides; at(j, k) is record component k of
// corner 0, xv or yv (j = 0, 1, 2), wherever the caller keeps records.
// Returns the floats written.
template <class At> uint32_t rect_inputs(const SwDevice *dev, At at, float *block) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < dev->read_count; i++) {
        const uint32_t k = dev->read_at[i];
        const float a0 = at(0, k);
        block[n++] = a0;
        block[n++] = at(1, k) - a0;
        block[n++] = at(2, k) - a0;
    }
    return n;
}

// Bins a rectangle with corner 0 at (X0, Y0), its sides ending at corners
// xv and yv; z at those corners, 1/w (one for all), and the records of corners 0, xv and
// yv in c.
void bin_rect(SwDevice *dev, BinSet &bs, const int64_t *X, const int64_t *Y, const float *z, float rw, int xv, int yv,
              const float *const c[3]) {
    const SwDraw *d = dev->d;
    int64_t area = (X[1] - X[0]) * (Y[2] - Y[0]) - (Y[1] - Y[0]) * (X[2] - X[0]);
    if (area == 0) return; // nothing to draw, and nothing the triangles would draw
    bool clockwise = area > 0;
    bool front = d->front_ccw ? !clockwise : clockwise;
    if ((d->cull == SW_CULL_BACK && !front) || (d->cull == SW_CULL_FRONT && front)) return;
    int64_t minX = std::min(X[0], X[xv]), maxX = std::max(X[0], X[xv]);
    int64_t minY = std::min(Y[0], Y[yv]), maxY = std::max(Y[0], Y[yv]);
    // Centres in [min, max): left and top edges own theirs, right and bottom do not.
    int64_t px0 = floor_div(minX - 128 + 255, 256), px1 = floor_div(maxX - 128 + 255, 256) - 1;
    int64_t py0 = floor_div(minY - 128 + 255, 256), py1 = floor_div(maxY - 128 + 255, 256) - 1;
    px0 = std::max<int64_t>(px0, dev->sx0);
    py0 = std::max<int64_t>(py0, dev->sy0);
    px1 = std::min<int64_t>(px1, dev->sx1 - 1);
    py1 = std::min<int64_t>(py1, dev->sy1 - 1);
    if (px0 > px1 || py0 > py1) return;
    float block[kMaxBlock]; // only what is used is written: this runs a million times a frame
    block[0] = (float)X[0] / 256.0f;
    block[1] = (float)Y[0] / 256.0f;
    block[2] = 256.0f / (float)(X[xv] - X[0]);
    block[3] = 256.0f / (float)(Y[yv] - Y[0]);
    uint32_t n = 4;
    if (dev->need_z) {
        block[n++] = z[0];
        block[n++] = z[xv] - z[0];
        block[n++] = z[yv] - z[0];
        block[n++] = rw;
    }
    n += rect_inputs(dev, [&](int j, uint32_t k) { return c[j][k]; }, block + n);
    const Prim p = {(int32_t)px0, (int32_t)py0, (int32_t)px1, (int32_t)py1, PRIM_RECT, 0, n};
    bin(dev, bs, p, block);
}

// Two strip triangles that make an axis-aligned rectangle with one w and
// affine attributes (camera-facing squares, mostly) are drawn as one
// rectangle: no edge functions, and the same pixels and values the two
// triangles would give. False when the quad is anything else.
bool setup_rect(SwDevice *dev, BinSet &bs, const float *const r[4], float gx, float gy) {
    const SwDraw *d = dev->d;
    uint32_t all = ~0u, any = 0;
    for (int k = 0; k < 4; k++) {
        uint32_t c = outcode(r[k], gx, gy, d->depth_clip);
        all &= c;
        any |= c;
    }
    if (all) return true; // the whole quad lies outside one plane: both triangles would be dropped
    if (any) return false;
    if (r[0][3] != r[1][3] || r[0][3] != r[2][3] || r[0][3] != r[3][3]) return false;
    // Corner 3 must be corner 1 + corner 2 - corner 0 in depth and in every input read.
    if (r[3][2] != r[1][2] + r[2][2] - r[0][2]) return false;
    for (uint32_t i = 0; i < dev->read_count; i++) {
        uint32_t k = dev->read_at[i];
        if (r[3][k] != r[1][k] + r[2][k] - r[0][k]) return false;
    }
    Screen s[4];
    int64_t X[4], Y[4];
    float z[4];
    for (int k = 0; k < 4; k++) {
        s[k] = to_screen(dev, r[k]);
        if (!on_grid(s[k])) return false;
        X[k] = (int64_t)lrintf(s[k].x * 256.0f);
        Y[k] = (int64_t)lrintf(s[k].y * 256.0f);
        z[k] = s[k].z;
    }
    int xv, yv;
    if (!rect_sides(X, Y, &xv, &yv)) return false;
    const float *const c[3] = {r[0], r[xv], r[yv]};
    bin_rect(dev, bs, X, Y, z, s[0].rw, xv, yv, c);
    return true;
}

void clip_and_setup(SwDevice *dev, BinSet &bs, const uint32_t *v, int n, float gx, float gy) {
    const bool depth_clip = dev->d->depth_clip;
    uint32_t codes[3], all = ~0u, any = 0;
    for (int k = 0; k < n; k++) {
        codes[k] = outcode(vertex_record(dev, bs, v[k]), gx, gy, depth_clip);
        all &= codes[k];
        any |= codes[k];
    }
    if (all) return; // entirely outside one plane
    if (!any) {
        if (n == 3) setup_triangle(dev, bs, v[0], v[1], v[2]);
        else setup_line(dev, bs, v[0], v[1]);
        return;
    }
    if (n == 2) { // a segment: shrink its parameter range plane by plane
        const float *pa = vertex_record(dev, bs, v[0]), *pb = vertex_record(dev, bs, v[1]);
        float t0 = 0.0f, t1 = 1.0f;
        for (int plane = 0; plane < 7; plane++) {
            float da = plane_distance(pa, plane, gx, gy), db = plane_distance(pb, plane, gx, gy);
            if (da < 0 && db < 0) return;
            if (da < 0) t0 = std::max(t0, da / (da - db));
            if (db < 0) t1 = std::min(t1, da / (da - db));
        }
        if (t0 >= t1) return;
        uint32_t a = t0 > 0.0f ? new_clip_vertex(dev, bs, pa, pb, t0) : v[0];
        pa = vertex_record(dev, bs, v[0]);
        pb = vertex_record(dev, bs, v[1]);
        uint32_t b = t1 < 1.0f ? new_clip_vertex(dev, bs, pa, pb, t1) : v[1];
        setup_line(dev, bs, a, b);
        return;
    }
    // Sutherland-Hodgman against the planes some vertex is outside of.
    uint32_t poly[16], next[16];
    int count = 3;
    for (int k = 0; k < 3; k++) poly[k] = v[k];
    for (int plane = 0; plane < 7 && count > 0; plane++) {
        uint32_t bit = plane == 6 ? 64u : 1u << plane;
        if (!(any & bit)) continue;
        int out = 0;
        for (int k = 0; k < count; k++) {
            uint32_t a = poly[k], b = poly[(k + 1) % count];
            const float *pa = vertex_record(dev, bs, a), *pb = vertex_record(dev, bs, b);
            float da = plane_distance(pa, plane, gx, gy), db = plane_distance(pb, plane, gx, gy);
            if (da >= 0) next[out++] = a;
            if ((da >= 0) != (db >= 0) && out < 16) next[out++] = new_clip_vertex(dev, bs, pa, pb, da / (da - db));
            if (out >= 15) break;
        }
        count = out;
        for (int k = 0; k < count; k++) poly[k] = next[k];
    }
    for (int k = 1; k + 1 < count; k++) setup_triangle(dev, bs, poly[0], poly[k], poly[k + 1]);
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
    const SwViewport &vp = dev->d->viewport;
    const uint32_t depth_clip = dev->d->depth_clip ? 1u : 0u;
    const float *__restrict px = wk.row[v][0], *__restrict py = wk.row[v][1], *__restrict pz = wk.row[v][2],
                            *__restrict pw = wk.row[v][3];
    uint32_t *__restrict code = wk.qs.code[v], *__restrict on_grid = wk.qs.grid[v];
    float *__restrict oz = wk.qs.z[v], *__restrict orw = wk.qs.rw[v];
    int32_t *__restrict ox = wk.qs.X[v], *__restrict oy = wk.qs.Y[v];
    const float vx = vp.x, vy = vp.y, vw = vp.width, vh = vp.height, z0 = vp.min_depth;
    const float depth_range = vp.max_depth - vp.min_depth;
    // Locals, restrict and bitwise & and | rather than && and ||: no
    // branches and no aliasing, so the loop vectorizes.
    for (uint32_t l = 0; l < n; l++) {
        const float x = px[l], y = py[l], z = pz[l], w = pw[l];
        code[l] = (uint32_t)(x < -gx * w) | (uint32_t)(x > gx * w) << 1 | (uint32_t)(y < -gy * w) << 2 |
                  (uint32_t)(y > gy * w) << 3 | ((uint32_t)(z < 0.0f) & depth_clip) << 4 |
                  ((uint32_t)(z > w) & depth_clip) << 5 | (uint32_t)(w <= 0.0f) << 6;
        const float rw = 1.0f / w;
        const float sx = vx + (x * rw + 1.0f) * 0.5f * vw;
        const float sy = vy + (1.0f - y * rw) * 0.5f * vh;
        const float sz = z0 + z * rw * depth_range;
        const uint32_t grid = (uint32_t)(fabsf(sx) < 1048576.0f) & (uint32_t)(fabsf(sy) < 1048576.0f) &
                              (uint32_t)(sz == sz) & (uint32_t)(rw == rw);
        on_grid[l] = grid;
        oz[l] = sz;
        orw[l] = rw;
        ox[l] = round_to_int(grid ? sx * 256.0f : 0.0f);
        oy[l] = round_to_int(grid ? sy * 256.0f : 0.0f);
    }
}

// Sorts the batch's squares, every lane at once: outside[l] when all four
// corners lie outside one plane; rect[l] when the square may be drawn as a
// rectangle (inside every plane, one w, affine in depth and in every input
// read, on the fixed-point grid); whether it is axis-aligned is left to
// rect_sides. Bitwise operators keep the loops free of branches.
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
    for (uint32_t i = 0; i < dev->read_count; i++) {
        const uint32_t k = dev->read_at[i];
        const float *a0 = wk.row[0][k], *a1 = wk.row[1][k], *a2 = wk.row[2][k], *a3 = wk.row[3][k];
        for (uint32_t l = 0; l < n; l++) rect[l] &= (uint32_t)(a3[l] == a1[l] + a2[l] - a0[l]);
    }
}

// For the squares classify_quads found drawable as rectangles, what
// rect_sides and bin_rect work out one at a time, every lane at once in
// 32-bit arithmetic (the 16.8 coordinates stay below 2^29): whether the
// square is axis-aligned, which corners end its sides, its pixels and its
// block header; empty when it draws nothing (no area, culled, off the
// scissor).
SW_BOTH_BUILDS void rect_quads(const SwDevice *dev, Worker &wk, uint32_t n) {
    const SwDraw *d = dev->d;
    // Every array is a field of qs, read and written at [l] alone: the
    // compiler sees they cannot overlap, and no run-time alias checks stop
    // the loop vectorizing once this is inlined.
    auto &qs = wk.qs;
    const uint32_t cull_cw = (d->cull == SW_CULL_BACK && d->front_ccw) || (d->cull == SW_CULL_FRONT && !d->front_ccw);
    const uint32_t cull_ccw = (d->cull == SW_CULL_BACK && !d->front_ccw) || (d->cull == SW_CULL_FRONT && d->front_ccw);
    const int32_t sx0 = dev->sx0, sy0 = dev->sy0, sx1 = dev->sx1 - 1, sy1 = dev->sy1 - 1;
    for (uint32_t l = 0; l < n; l++) {
        const int32_t X0 = qs.X[0][l], X1 = qs.X[1][l], X2 = qs.X[2][l], X3 = qs.X[3][l];
        const int32_t Y0 = qs.Y[0][l], Y1 = qs.Y[1][l], Y2 = qs.Y[2][l], Y3 = qs.Y[3][l];
        const uint32_t side1 = (uint32_t)(Y1 == Y0) & (uint32_t)(X2 == X0) & (uint32_t)(X3 == X1) & (uint32_t)(Y3 == Y2);
        const uint32_t side2 = (uint32_t)(X1 == X0) & (uint32_t)(Y2 == Y0) & (uint32_t)(X3 == X2) & (uint32_t)(Y3 == Y1);
        qs.aligned[l] = qs.rect[l] & (side1 | side2);
        const int32_t x = side1 ? X1 : X2, y = side1 ? Y2 : Y1; // corners xv and yv
        qs.xv[l] = side1 ? 1 : 2;
        // The area's sign without its product: corner 1 along x turns one
        // way, corner 1 along y the other.
        const int32_t dx = x - X0, dy = y - Y0;
        const uint32_t cw = (uint32_t)((dx > 0) == (dy > 0)) ^ (side1 ^ 1u);
        const uint32_t culled = (cw & cull_cw) | ((cw ^ 1u) & cull_ccw);
        const int32_t minx = X0 < x ? X0 : x, maxx = X0 < x ? x : X0;
        const int32_t miny = Y0 < y ? Y0 : y, maxy = Y0 < y ? y : Y0;
        // Centres in [min, max): left and top edges own theirs, right and
        // bottom do not. An arithmetic shift is a floor division by 256.
        int32_t a0 = (minx - 128 + 255) >> 8, a1 = ((maxx - 128 + 255) >> 8) - 1;
        int32_t b0 = (miny - 128 + 255) >> 8, b1 = ((maxy - 128 + 255) >> 8) - 1;
        a0 = a0 > sx0 ? a0 : sx0;
        b0 = b0 > sy0 ? b0 : sy0;
        a1 = a1 < sx1 ? a1 : sx1;
        b1 = b1 < sy1 ? b1 : sy1;
        qs.px0[l] = a0, qs.py0[l] = b0, qs.px1[l] = a1, qs.py1[l] = b1;
        qs.empty[l] = (uint32_t)(dx == 0) | (uint32_t)(dy == 0) | culled | (uint32_t)(a0 > a1) | (uint32_t)(b0 > b1);
        qs.header[0][l] = (float)X0 / 256.0f;
        qs.header[1][l] = (float)Y0 / 256.0f;
        qs.header[2][l] = 256.0f / (float)dx;
        qs.header[3][l] = 256.0f / (float)dy;
        const float z0 = qs.z[0][l], zx = side1 ? qs.z[1][l] : qs.z[2][l], zy = side1 ? qs.z[2][l] : qs.z[1][l];
        qs.header[4][l] = z0;
        qs.header[5][l] = zx - z0;
        qs.header[6][l] = zy - z0;
        qs.header[7][l] = qs.rw[0][l];
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
    const uint32_t rec = dev->rec;
    for (uint32_t v = 0; v < 4; v++)
        for (uint32_t k = 0; k < rec; k++) {
            if (!dev->corner_rows) {
                wk.row[v][k] = wk.quads.data() + ((size_t)v * rec + k) * SW_LANES;
                continue;
            }
            // A component the program leaves out is never read: any row will do.
            const int32_t slot = dev->split->corner_slot[v][k];
            wk.row[v][k] = &wk.vs.slot((uint32_t)(slot >= 0 ? slot : dev->split->corner_slot[v][0]))->f;
        }
    auto at = [&](int v, uint32_t k, uint32_t l) -> const float & { return wk.row[v][k][l]; };
    for (uint32_t first = i0; first < i1; first += SW_LANES) {
        const uint32_t n = i1 - first < SW_LANES ? i1 - first : SW_LANES;
        run_instances(dev, wk, first, n, nullptr);
        sort_quads(dev, wk, n, gx, gy);
        const uint32_t header = dev->need_z ? 8 : 4, words = header + 3 * dev->read_count;
        for (uint32_t l = 0; l < n; l++) {
            if (wk.qs.outside[l]) continue; // wholly outside one plane: both triangles would be dropped
            if (wk.qs.aligned[l]) {
                if (wk.qs.empty[l]) continue;
                const Prim p = {wk.qs.px0[l], wk.qs.py0[l], wk.qs.px1[l], wk.qs.py1[l], PRIM_RECT, 0, words};
                float *block = bin_first(dev, bs, p);
                for (uint32_t k = 0; k < header; k++) block[k] = wk.qs.header[k][l];
                const int xv = wk.qs.xv[l];
                const int corner[3] = {0, xv, 3 - xv};
                rect_inputs(dev, [&](int j, uint32_t k) { return wk.row[corner[j]][k][l]; }, block + header);
                bin_rest(dev, bs, p, block);
                continue;
            }
            // Anything else: two triangles from copies of the corners.
            uint32_t ref[4];
            for (int v = 0; v < 4; v++) {
                ref[v] = kClipRef | (uint32_t)(bs.clipped.size() / rec);
                for (uint32_t k = 0; k < rec; k++) bs.clipped.push_back(at(v, k, l));
            }
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
    const uint32_t vc = dev->d->vertex_count;
    if (!dev->split) return inst * vc + v;
    const uint32_t lane = inst % SW_LANES;
    return (inst - lane) * vc + v * SW_LANES + lane;
}

void setup_task(void *ctx, uint32_t task, uint32_t worker) {
    SwDevice *dev = (SwDevice *)ctx;
    const SwDraw *d = dev->d;
    // Task t owns instances [t * I / T, (t + 1) * I / T) and stores them in
    // set t, whichever worker runs it, so tiles read them in order.
    BinSet &out = dev->sets[task];
    const uint64_t I = dev->chunk_instances, T = dev->sets.size();
    uint32_t i0 = (uint32_t)(I * task / T), i1 = (uint32_t)(I * (task + 1) / T);
    const SwViewport &vp = d->viewport;
    float gx = 1.0f + 2.0f * kGuard / std::max(vp.width, 1.0f);
    float gy = 1.0f + 2.0f * kGuard / std::max(vp.height, 1.0f);
    if (dev->fused) return setup_instanced_quads(dev, dev->w[worker], out, i0, i1, gx, gy);
    const uint32_t ppi = dev->prims_per_instance, vc = d->vertex_count;
    const bool line = d->topology == SW_LINE_LIST || d->topology == SW_LINE_STRIP;
    const bool quads = d->topology == SW_TRIANGLE_STRIP && vc == 4;
    for (uint32_t inst = i0; inst < i1; inst++) {
        if (quads) {
            const float *const r[4] = {vertex_record(dev, out, record_of(dev, inst, 0)),
                                       vertex_record(dev, out, record_of(dev, inst, 1)),
                                       vertex_record(dev, out, record_of(dev, inst, 2)),
                                       vertex_record(dev, out, record_of(dev, inst, 3))};
            if (setup_rect(dev, out, r, gx, gy)) continue;
        }
        for (uint32_t k = 0; k < ppi; k++) {
            uint32_t v[3] = {0, 0, 0}; // vertices of the instance
            switch (d->topology) {
            case SW_TRIANGLE_LIST: v[0] = 3 * k; v[1] = v[0] + 1; v[2] = v[0] + 2; break;
            case SW_TRIANGLE_STRIP: // odd triangles swap their first two vertices to keep the winding
                v[0] = k + (k & 1); v[1] = k + 1 - (k & 1); v[2] = k + 2; break;
            case SW_LINE_LIST: v[0] = 2 * k; v[1] = v[0] + 1; break;
            case SW_LINE_STRIP: v[0] = k; v[1] = v[0] + 1; break;
            }
            for (uint32_t &x : v) x = record_of(dev, inst, x);
            clip_and_setup(dev, out, v, line ? 2 : 3, gx, gy);
        }
    }
}

// ---- phase 3: tiles
//
// Built twice (see SW_BOTH_BUILDS): on AVX2 its loops fill, convert and
// blend 8 lanes at once.

// Direct3D's comparison functions, 1 (never) to 8 (always), of the
// fragment's depth against the stored one.
SW_BOTH_BUILDS bool depth_passes(uint32_t func, float z, float stored) {
    switch (func) {
    case 1: return false;
    case 2: return z < stored;
    case 3: return z == stored;
    case 4: return z <= stored;
    case 5: return z > stored;
    case 6: return z != stored;
    case 7: return z >= stored;
    default: return true;
    }
}

typedef float Float8 __attribute__((vector_size(32)));
typedef int32_t Int8 __attribute__((vector_size(32)));
typedef uint32_t UInt8 __attribute__((vector_size(32)));

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
    const SwDraw *d = dev->d;
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
        // Selects rather than branches, as below; the comparison is the
        // same for the whole loop.
        const uint32_t func = d->depth_func;
        const bool write = d->depth_write, add = d->blend == SW_BLEND_ADD;
        for (uint32_t l = 0; l < n; l++) {
            float *dz = (float *)d->depth->row((uint32_t)wk.fy[l]) + wk.fx[l];
            const float zc = wk.fz[l] < 0.0f ? 0.0f : (wk.fz[l] > 1.0f ? 1.0f : wk.fz[l]);
            const bool pass = done[l].u && depth_passes(func, zc, *dz);
            *dz = pass && write ? zc : *dz;
            uint32_t *px = (uint32_t *)(bytes + offset[l]);
            const uint32_t c = add ? sw_add_saturate_bytes(*px, packed[l]) : packed[l];
            *px = pass ? c : *px;
        }
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

SW_SIMD_BUILDS(void, shade_batch, (SwDevice *dev, Worker &wk), (dev, wk))

// A run of fragments going into the batch: `count` lanes from lane `l`,
// filled in `groups` whole groups of 8 (fixed-length loops with no
// remainder; the lanes past count, in rows kPad long, are overwritten by
// the next fragments).
struct LaneRun {
    uint32_t l, count, groups;
};

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
    for (uint32_t i = 0; i < dev->read_count; i++, a += 3) wk.in[i][l] = q0 * a[0] + q1 * a[1] + q2 * a[2];
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
    const float *a = g + (dev->need_z ? 8 : 4);
    const uint32_t reads = dev->read_count;
    const SwImage *target = dev->d->target;
    if (x1 - x0 < 8) { // narrow (a star, a galaxy particle): several rows per group of lanes
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
            // lane numbers one insert at a time, a fixed cost per run.
            Int8 i = Int8{0, 1, 2, 3, 4, 5, 6, 7} + (int32_t)done;
            for (uint32_t j = 0; j < groups; j++, i += 8) {
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
                for (uint32_t j = 0; j < groups; j++)
                    for (uint32_t k = 8 * j; k < 8 * j + 8; k++) dst[k] = (a0 + by[k] * down) + bx[k] * along;
            }
            if (dev->need_z) {
                float *__restrict fz = wk.fz + l, *__restrict fw = wk.fw + l;
                for (uint32_t j = 0; j < groups; j++)
                    for (uint32_t k = 8 * j; k < 8 * j + 8; k++) {
                        fz[k] = (g[4] + by[k] * g[6]) + bx[k] * g[5];
                        fw[k] = g[7];
                    }
            }
            done += count;
            end_run(dev, wk, count);
        }
        return;
    }
    for (int32_t y = y0; y <= y1; y++) {
        const float by = ((float)y + 0.5f - ly) * rheight;
        // The pixels are read when the batch is shaded: fetch them meanwhile.
        const uint8_t *row = target->bytes.data() + (size_t)y * target->pitch;
        for (int32_t x = x0; x <= x1; x += 16) __builtin_prefetch(row + (size_t)x * 4, 1);
        for (int32_t x = x0; x <= x1;) {
            const auto [l, count, groups] = begin_run(wk, (uint32_t)(x1 - x + 1));
            float bx[kPad];
            Int8 px = Int8{0, 1, 2, 3, 4, 5, 6, 7} + x; // vector types, as for narrow ones
            const Int8 py = Int8{} + y;
            for (uint32_t j = 0; j < groups; j++, px += 8) {
                const Float8 fbx = (__builtin_convertvector(px, Float8) + 0.5f - lx) * rwidth;
                memcpy(wk.fx + l + 8 * j, &px, sizeof px);
                memcpy(wk.fy + l + 8 * j, &py, sizeof py);
                memcpy(bx + 8 * j, &fbx, sizeof fbx);
            }
            for (uint32_t i = 0; i < reads; i++) {
                const float base = a[3 * i] + by * a[3 * i + 2], along = a[3 * i + 1];
                float *__restrict dst = wk.in[i] + l;
                for (uint32_t j = 0; j < groups; j++)
                    for (uint32_t k = 8 * j; k < 8 * j + 8; k++) dst[k] = base + bx[k] * along;
            }
            if (dev->need_z) {
                const float zbase = g[4] + by * g[6];
                float *__restrict fz = wk.fz + l, *__restrict fw = wk.fw + l;
                for (uint32_t j = 0; j < groups; j++)
                    for (uint32_t k = 8 * j; k < 8 * j + 8; k++) {
                        fz[k] = zbase + bx[k] * g[5];
                        fw[k] = g[7];
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
    const uint32_t reads = dev->read_count;
    const SwImage *target = dev->d->target;
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
        for (int64_t x = lo; x <= hi; x += 16) __builtin_prefetch(row + (size_t)x * 4, 1);
        float bs[3], db[3]; // weights at the span's start, and their step
        for (int k = 0; k < 3; k++) {
            bs[k] = (float)(e[k] + ed.ex[k] * (lo - x0)) * ed.inv_area;
            db[k] = (float)ed.ex[k] * ed.inv_area;
        }
        for (int32_t x = (int32_t)lo; x <= (int32_t)hi;) {
            const auto [l, count, groups] = begin_run(wk, (uint32_t)(hi - x + 1));
            float q0[kPad], q1[kPad], q2[kPad];
            for (uint32_t k = 0; k < groups * 8; k++) {
                const float t = (float)(x - (int32_t)lo + (int32_t)k);
                const float b0 = bs[0] + t * db[0], b1 = bs[1] + t * db[1], b2 = bs[2] + t * db[2];
                float r0 = b0 * g[3], r1 = b1 * g[4], r2 = b2 * g[5];
                const float rw = r0 + r1 + r2;
                const float w = 1.0f / rw;
                q0[k] = r0 * w;
                q1[k] = r1 * w;
                q2[k] = r2 * w;
                wk.fx[l + k] = x + (int32_t)k;
                wk.fy[l + k] = y;
                wk.fz[l + k] = b0 * g[0] + b1 * g[1] + b2 * g[2];
                wk.fw[l + k] = rw;
            }
            for (uint32_t i = 0; i < reads; i++) {
                const float a0 = a[3 * i], a1 = a[3 * i + 1], a2 = a[3 * i + 2];
                float *__restrict dst = wk.in[i] + l;
                for (uint32_t j = 0; j < groups; j++)
                    for (uint32_t k = 8 * j; k < 8 * j + 8; k++) dst[k] = q0[k] * a0 + q1[k] * a1 + q2[k] * a2;
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

SW_BOTH_BUILDS void rasterize_tile_body(SwDevice *dev, Worker &wk, uint32_t task) {
    int32_t tx0 = (int32_t)(task % dev->tiles_x) * kTile, ty0 = (int32_t)(task / dev->tiles_x) * kTile;
    int32_t tx1 = tx0 + kTile - 1, ty1 = ty0 + kTile - 1;
    for (const BinSet &owner : dev->sets) {
        const TileStream &stream = owner.bins[task];
        for (const float *at = stream.data.data(), *end = at + stream.used; at < end;) {
            StoredPrim sp;
            memcpy(&sp, at, sizeof sp);
            const Prim p = {sp.x0, sp.y0, sp.x1, sp.y1, sp.kind, sp.shape, sp.words};
            const float *g = at + kPrimWords;
            at = g + p.words;
            if (p.kind == PRIM_RECT) raster_rect(dev, wk, p, g, tx0, ty0, tx1, ty1);
            else if (p.kind == PRIM_LINE) raster_line(dev, wk, &owner, p, g, tx0, ty0, tx1, ty1);
            else raster_triangle(dev, wk, &owner, p, g, tx0, ty0, tx1, ty1);
        }
    }
}

SW_SIMD_BUILDS(void, rasterize_tile, (SwDevice *dev, Worker &wk, uint32_t task), (dev, wk, task))

void tile_task(void *ctx, uint32_t task, uint32_t worker) {
    SwDevice *dev = (SwDevice *)ctx;
    const SwDraw *d = dev->d;
    Worker &wk = dev->w[worker];
    if (wk.ps_serial != dev->serial) {
        sw_program_prepare(d->ps, &wk.ps, d->ps_cb, d->ps_cb_size);
        wk.ps_serial = dev->serial;
        for (uint32_t loc = dev->varyings; loc < 16; loc++)
            for (uint32_t c = 0; c < d->ps->inputs[loc].components && c < 4; c++)
                if (d->ps->inputs[loc].slot[c] >= 0) {
                    SwLane *s = wk.ps.slot((uint32_t)d->ps->inputs[loc].slot[c]);
                    for (int l = 0; l < SW_LANES; l++) s[l].f = 0.0f;
                }
        for (uint32_t i = 0; i < dev->read_count; i++) wk.in[i] = &wk.ps.slot(dev->read_slot[i])->f;
    }
    wk.n = 0;
    rasterize_tile(dev, wk, task);
    shade_batch(dev, wk);
}

uint32_t prims_per_instance(SwTopology t, uint32_t n) {
    switch (t) {
    case SW_TRIANGLE_LIST: return n / 3;
    case SW_TRIANGLE_STRIP: return n >= 3 ? n - 2 : 0;
    case SW_LINE_LIST: return n / 2;
    case SW_LINE_STRIP: return n >= 2 ? n - 1 : 0;
    }
    return 0;
}

} // namespace

SwStats sw_device_stats(const SwDevice *dev) {
    SwStats s;
    for (const Worker &wk : dev->w) s.fragments += wk.fragments;
    s.vertex_ns = dev->vertex_ns;
    return s;
}

void sw_draw(SwDevice *dev, const SwDraw *d) {
    if (!d->vs || !d->ps || !d->target || d->target->format == SW_FORMAT_D32) return;
    if (d->depth && (d->depth->format != SW_FORMAT_D32 || d->depth->width < d->target->width ||
                     d->depth->height < d->target->height))
        return;
    uint32_t ppi = prims_per_instance(d->topology, d->vertex_count);
    if (ppi == 0 || d->instance_count == 0) return;
    // The viewport, within the target, is the scissor.
    const SwViewport &vp = d->viewport;
    dev->sx0 = std::max(0, (int32_t)floorf(vp.x));
    dev->sy0 = std::max(0, (int32_t)floorf(vp.y));
    dev->sx1 = std::min((int32_t)d->target->width, (int32_t)ceilf(vp.x + vp.width));
    dev->sy1 = std::min((int32_t)d->target->height, (int32_t)ceilf(vp.y + vp.height));
    if (dev->sx0 >= dev->sx1 || dev->sy0 >= dev->sy1) return;

    dev->d = d;
    dev->serial++;
    // Every worker's registers, here rather than in the tasks: which worker
    // runs which task varies, and a steady stream of draws must not allocate.
    for (Worker &wk : dev->w) {
        if (!wk.vs.bound_to(d->vs)) sw_registers_bind(&wk.vs, d->vs);
        if (!wk.ps.bound_to(d->ps)) sw_registers_bind(&wk.ps, d->ps);
    }
    dev->prims_per_instance = ppi;
    dev->varyings = 0;
    for (uint32_t k = 0; k < SW_MAX_VARYINGS; k++)
        if (d->vs->outputs[k].components) dev->varyings = k + 1;
    dev->rec = 4 + 4 * dev->varyings;
    // Pixel inputs the vertex program does not write read zero: they are
    // left out here and cleared in every worker's registers below.
    dev->read_count = 0;
    for (uint32_t loc = 0; loc < 16; loc++)
        for (uint32_t c = 0; c < d->ps->inputs[loc].components && c < 4; c++) {
            if (d->ps->inputs[loc].slot[c] < 0 || loc >= dev->varyings) continue;
            dev->read_at[dev->read_count] = 4 + loc * 4 + c;
            dev->read_slot[dev->read_count++] = (uint32_t)d->ps->inputs[loc].slot[c];
        }
    dev->need_z = (d->depth && d->depth_test) || d->ps->frag_coord.slot[2] >= 0 || d->ps->frag_coord.slot[3] >= 0;
    uint32_t tiles_x = (d->target->width + kTile - 1) / kTile, tiles_y = (d->target->height + kTile - 1) / kTile;
    if (tiles_x != dev->tiles_x || tiles_y != dev->tiles_y) {
        dev->tiles_x = tiles_x;
        dev->tiles_y = tiles_y;
        for (BinSet &bs : dev->sets) bs.bins.assign((size_t)tiles_x * tiles_y, TileStream());
    }
    // Instanced draws with enough instances to fill the lanes run their
    // vertex program split; others vertex by vertex.
    dev->split = d->instance_count >= SW_LANES / 2 ? find_split(dev, d) : nullptr;
    dev->fused = dev->split && d->topology == SW_TRIANGLE_STRIP && d->vertex_count == 4;
    dev->corner_rows = dev->fused && dev->split->corner_slots > 0;
    for (uint32_t j = 0; j < 4 + dev->read_count && dev->corner_rows; j++) // every component read is written
        for (int v = 0; v < 4; v++) dev->corner_rows &= dev->split->corner_slot[v][used_component(dev, j)] >= 0;
    for (Worker &wk : dev->w) {
        if (wk.quads.size() < (size_t)4 * dev->rec * SW_LANES) wk.quads.resize((size_t)4 * dev->rec * SW_LANES, 0.0f);
        if (dev->corner_rows && wk.vs.lanes.size() < (size_t)dev->split->corner_slots * SW_LANES)
            wk.vs.lanes.resize((size_t)dev->split->corner_slots * SW_LANES);
    }
    uint32_t per_chunk = std::max(1u, kChunkVertices / d->vertex_count);
    for (uint32_t first = 0; first < d->instance_count; first += per_chunk) {
        dev->chunk_first_instance = first;
        dev->chunk_instances = std::min(per_chunk, d->instance_count - first);
        dev->chunk_vertices = dev->chunk_instances * d->vertex_count;
        // Split programs store whole batches of SW_LANES instances (record_of).
        const size_t records = dev->split ? (size_t)(dev->chunk_instances + SW_LANES - 1) / SW_LANES * SW_LANES *
                                                d->vertex_count
                                          : (size_t)dev->chunk_vertices;
        if (!dev->fused && dev->verts.size() < records * dev->rec) dev->verts.resize(records * dev->rec);
        for (BinSet &bs : dev->sets) {
            bs.edges.clear();
            bs.lines.clear();
            bs.clipped.clear();
            for (TileStream &b : bs.bins) b.used = 0;
        }
        timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        // Fused draws shade their vertices in the setup tasks.
        if (!dev->fused && dev->split)
            sw_pool_run(&dev->pool, instance_task, dev, (dev->chunk_instances + SW_LANES - 1) / SW_LANES);
        else if (!dev->fused)
            sw_pool_run(&dev->pool, vertex_task, dev, (dev->chunk_vertices + SW_LANES - 1) / SW_LANES);
        sw_pool_run(&dev->pool, setup_task, dev, (uint32_t)dev->sets.size());
        clock_gettime(CLOCK_MONOTONIC, &t1);
        dev->vertex_ns += (uint64_t)((t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec));
        sw_pool_run(&dev->pool, tile_task, dev, tiles_x * tiles_y);
    }
    dev->d = nullptr;
}
