// The CPU executor's device: its lifetime, clears, and the draw loop that
// runs each chunk of a draw through the stages (see sw_stages.h).
#include "sw/sw_stages.h"

#include <algorithm>
#include <math.h>
#include <new>
#include <string.h>
#include <thread>
#include <time.h>

namespace {

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

bool sw_image_init(SwImage *img, uint32_t width, uint32_t height, SwFormat format) {
    if (width == 0 || height == 0 || width > 16384 || height > 16384) return false;
    img->width = width;
    img->height = height;
    img->format = format;
    img->pitch = width * 4;
    return host_bytes_alloc(&img->bytes, (size_t)img->pitch * height, nullptr);
}

SwDevice *sw_device_create(int threads) {
    if (threads <= 0) threads = (int)std::thread::hardware_concurrency();
    if (threads <= 0) threads = 1;
    if (threads > (int)kSwMaxWorkers) threads = (int)kSwMaxWorkers;
    sw_simd_choose();
    SwDevice *dev = new SwDevice;
    dev->workers = (uint32_t)threads;
    dev->w.resize(dev->workers);
    dev->sets.resize((size_t)dev->workers * sw::kSetsPerWorker);
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

namespace {

// Clears and copies are jobs of bands of rows, like draws: one thread
// writing a 1280x720 target took half a millisecond, time the other
// workers sat idle in every frame (a clear or two and a copy for the
// readback, against a frame of 20 to 30 ms on two workers).
const uint32_t kRowsPerTask = 16;

// A fill of every pixel of dst with one 32-bit value, or a copy of src's
// pixels into dst (same size) when src is set.
struct RowJob {
    SwImage *dst = nullptr;
    const SwImage *src = nullptr;
    uint32_t value = 0;
};

void row_task(void *ctx, uint32_t task, uint32_t) {
    const RowJob &job = *(const RowJob *)ctx;
    const uint32_t y0 = task * kRowsPerTask;
    const uint32_t y1 = std::min(y0 + kRowsPerTask, job.dst->height);
    const uint32_t w = job.dst->width; // a local: the stores could alias the field
    for (uint32_t y = y0; y < y1; y++) {
        if (job.src) {
            memcpy(job.dst->row(y), job.src->row(y), (size_t)w * 4);
            continue;
        }
        uint32_t *row = (uint32_t *)job.dst->row(y);
        for (uint32_t x = 0; x < w; x++) row[x] = job.value;
    }
}

void run_rows(SwDevice *dev, const RowJob &job) {
    sw_pool_run(&dev->pool, row_task, (void *)&job, (job.dst->height + kRowsPerTask - 1) / kRowsPerTask);
}

} // namespace

void sw_clear_color(SwDevice *dev, SwImage *img, const float rgba[4]) {
    const int r = img->format == SW_FORMAT_BGRA8 ? 2 : 0;
    RowJob job;
    job.dst = img;
    job.value = sw_unorm8(rgba[r]) | sw_unorm8(rgba[1]) << 8 | sw_unorm8(rgba[2 - r]) << 16 | sw_unorm8(rgba[3]) << 24;
    run_rows(dev, job);
}

void sw_clear_depth(SwDevice *dev, SwImage *img, float depth) {
    RowJob job;
    job.dst = img;
    memcpy(&job.value, &depth, 4);
    run_rows(dev, job);
}

void sw_copy_image(SwDevice *dev, SwImage *dst, const SwImage *src) {
    RowJob job;
    job.dst = dst;
    job.src = src;
    run_rows(dev, job);
}

void sw_device_set_bin_cap(SwDevice *dev, uint64_t bytes) { dev->bin_cap = bytes ? bytes : sw::kBinCap; }

SwStats sw_device_stats(const SwDevice *dev) {
    SwStats s;
    for (const sw::Worker &wk : dev->w) s.fragments += wk.fragments;
    s.vertex_ns = dev->vertex_ns;
    s.bin_bytes = dev->bin_bytes;
    return s;
}

namespace {

void run_draw(SwDevice *dev, const SwDraw *d) {
    using namespace sw;
    if (!d->vs || !d->ps || !d->target || d->target->format == SW_FORMAT_D32) return;
    if (d->depth && (d->depth->format != SW_FORMAT_D32 || d->depth->width < d->target->width ||
                     d->depth->height < d->target->height))
        return;
    uint32_t ppi = prims_per_instance(d->topology, d->vertex_count);
    if (ppi == 0 || d->instance_count == 0) return;
    // The viewport, within the target, is the scissor.
    const SwViewport &vp = d->viewport;
    DrawState &ds = dev->ds;
    ds = DrawState();
    ds.sx0 = std::max(0, (int32_t)floorf(vp.x));
    ds.sy0 = std::max(0, (int32_t)floorf(vp.y));
    ds.sx1 = std::min((int32_t)d->target->width, (int32_t)ceilf(vp.x + vp.width));
    ds.sy1 = std::min((int32_t)d->target->height, (int32_t)ceilf(vp.y + vp.height));
    if (ds.sx0 >= ds.sx1 || ds.sy0 >= ds.sy1) return;

    ds.d = d;
    dev->serial++;
    dev->bin_bytes = 0;
    // Every worker's registers, here rather than in the tasks: which worker
    // runs which task varies, and a steady stream of draws must not allocate.
    for (Worker &wk : dev->w) {
        if (!wk.vs.bound_to(d->vs)) sw_registers_bind(&wk.vs, d->vs);
        if (!wk.ps.bound_to(d->ps)) sw_registers_bind(&wk.ps, d->ps);
    }
    ds.prims_per_instance = ppi;
    const Pipeline *pipe = find_pipeline(dev, d);
    ds.pipe = pipe;
    ds.varyings = pipe->varyings;
    ds.rec = pipe->rec;
    ds.read_count = pipe->read_count;
    ds.read_at = pipe->read_at;
    ds.read_slot = pipe->read_slot;
    ds.need_z = (d->depth && d->depth_test) || pipe->ps_reads_z;
    // Which way round on screen (y down) a primitive is culled.
    ds.cull_cw = (d->cull == SW_CULL_BACK && d->front_ccw) || (d->cull == SW_CULL_FRONT && !d->front_ccw);
    ds.cull_ccw = (d->cull == SW_CULL_BACK && !d->front_ccw) || (d->cull == SW_CULL_FRONT && d->front_ccw);
    ds.skip_white = d->blend == SW_BLEND_ADD && !(d->depth && d->depth_test && d->depth_write);
    uint32_t tiles_x = (d->target->width + kTile - 1) / kTile, tiles_y = (d->target->height + kTile - 1) / kTile;
    if (tiles_x != dev->tiles_x || tiles_y != dev->tiles_y) {
        // No size is recorded until every set has its bins, so a set left
        // short by a failed allocation is resized again by the next draw.
        dev->tiles_x = dev->tiles_y = 0;
        for (BinSet &bs : dev->sets) {
            sw_alloc_point();
            bs.bins.assign((size_t)tiles_x * tiles_y, TileStream());
        }
        dev->tiles_x = tiles_x;
        dev->tiles_y = tiles_y;
    }
    // Instanced draws with enough instances to fill the lanes run their
    // vertex program split; others vertex by vertex.
    ds.split = d->instance_count >= SW_LANES / 2 && pipe->split ? pipe : nullptr;
    ds.fused = ds.split && d->topology == SW_TRIANGLE_STRIP && d->vertex_count == 4;
    ds.corner_rows = ds.fused && pipe->corner_rows;
    const uint64_t batch_records = (uint64_t)SW_LANES * d->vertex_count * ds.rec;
    ds.setup_shades = ds.split && !ds.fused && batch_records * sizeof(float) <= kSetupShadeBytes;
    for (Worker &wk : dev->w) {
        if (wk.quads.size() < (size_t)4 * dev->ds.rec * SW_LANES) {
            sw_alloc_point();
            wk.quads.resize((size_t)4 * dev->ds.rec * SW_LANES, 0.0f);
        }
        if (dev->ds.setup_shades && wk.records.size() < batch_records) {
            sw_alloc_point();
            wk.records.resize((size_t)batch_records);
        }
        if (dev->ds.corner_rows && wk.vs.lanes.size() < (size_t)dev->ds.split->corner_slots * SW_LANES) {
            sw_alloc_point();
            wk.vs.lanes.resize((size_t)dev->ds.split->corner_slots * SW_LANES);
        }
    }
    uint32_t per_chunk = std::max(1u, kChunkVertices / d->vertex_count);
    for (uint32_t first = 0; first < d->instance_count; first += per_chunk) {
        dev->ds.chunk_first_instance = first;
        dev->ds.chunk_instances = std::min(per_chunk, d->instance_count - first);
        dev->ds.chunk_vertices = dev->ds.chunk_instances * d->vertex_count;
        // Split programs store whole batches of SW_LANES instances (record_of).
        const size_t records = dev->ds.split ? (size_t)(dev->ds.chunk_instances + SW_LANES - 1) / SW_LANES * SW_LANES *
                                                d->vertex_count
                                          : (size_t)dev->ds.chunk_vertices;
        const bool vertex_phase = !dev->ds.fused && !dev->ds.setup_shades;
        if (vertex_phase && dev->verts.size() < records * dev->ds.rec) {
            sw_alloc_point();
            dev->verts.resize(records * dev->ds.rec);
        }
        timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        // Fused squares and meshes whose setup shades have no vertex phase.
        if (vertex_phase && dev->ds.split)
            sw_pool_run(&dev->pool, instance_task, dev, (dev->ds.chunk_instances + SW_LANES - 1) / SW_LANES);
        else if (vertex_phase)
            sw_pool_run(&dev->pool, vertex_task, dev, (dev->ds.chunk_vertices + SW_LANES - 1) / SW_LANES);
        if (sw_pool_failed(&dev->pool)) break;
        clock_gettime(CLOCK_MONOTONIC, &t1);
        dev->vertex_ns += (uint64_t)((t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec));
        // The chunk binned and rasterized in passes: one, unless the sets
        // reach their share of the cap. Then the tiles take the sets up to
        // the first that stopped, and the next pass starts where it stopped;
        // the later sets' primitives are binned again then (in order after
        // it, they cannot be drawn before it).
        ds.pass_instance = ds.pass_prim = 0;
        ds.set_share = dev->bin_cap / dev->sets.size();
        for (;;) {
            for (BinSet &bs : dev->sets) bs.clear();
            clock_gettime(CLOCK_MONOTONIC, &t0);
            sw_pool_run(&dev->pool, setup_task, dev, (uint32_t)dev->sets.size());
            // Bins a task could not fill are no picture: nothing is drawn.
            if (sw_pool_failed(&dev->pool)) break;
            clock_gettime(CLOCK_MONOTONIC, &t1);
            dev->vertex_ns += (uint64_t)((t1.tv_sec - t0.tv_sec) * 1000000000LL + (t1.tv_nsec - t0.tv_nsec));
            ds.live_sets = (uint32_t)dev->sets.size();
            for (uint32_t t = 0; t < dev->sets.size(); t++)
                if (dev->sets[t].stopped) {
                    ds.live_sets = t + 1;
                    break;
                }
            uint64_t prims = 0, area = 0, bytes = 0;
            for (uint32_t t = 0; t < dev->sets.size(); t++) {
                if (t < ds.live_sets) prims += dev->sets[t].prims, area += dev->sets[t].area;
                bytes += dev->sets[t].bytes();
            }
            dev->bin_bytes = std::max(dev->bin_bytes, bytes);
            ds.bands = area >= kBandArea * prims ? kBands : 1;
            sw_pool_run(&dev->pool, tile_task, dev, tiles_x * tiles_y * ds.bands);
            if (sw_pool_failed(&dev->pool)) break;
            const BinSet &last = dev->sets[ds.live_sets - 1];
            if (!last.stopped) break;
            ds.pass_instance = last.stop_instance;
            ds.pass_prim = last.stop_prim;
        }
        if (sw_pool_failed(&dev->pool)) break;
    }
    ds.d = nullptr;
}

} // namespace

bool sw_draw(SwDevice *dev, const SwDraw *d) {
    sw_pool_clear_failure(&dev->pool);
    try {
        run_draw(dev, d);
    } catch (const std::bad_alloc &) {
        dev->ds.d = nullptr;
        return false;
    }
    return !sw_pool_failed(&dev->pool);
}
