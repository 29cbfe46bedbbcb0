// Phase 1, vertices: input elements fetched from their buffers into a
// batch of SW_LANES lanes, the vertex program run over them, its outputs
// stored as records for setup. Instanced draws whose program splits run its
// per-instance part once per instance and its per-vertex part per vertex.
#include "sw/sw_stages.h"

#include <string.h>

#include "dxgi.h"

namespace sw {

namespace {

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

// Element e of vertex or instance `index` (absolute), as the program sees
// it: missing components 0, 0, 1; reads outside the buffer give zero.
void read_element(const SwVertexStream &s, const SwVertexElement &e, uint32_t comps, bool unorm8, uint64_t index,
                  float v[4]) {
    const uint32_t bytes = unorm8 ? 4 : comps * 4;
    const uint64_t at = (uint64_t)s.offset + index * s.stride + e.offset;
    v[0] = v[1] = v[2] = 0.0f;
    v[3] = 1.0f;
    if (comps && s.data && at + bytes <= s.size) {
        if (unorm8) {
            for (int k = 0; k < 4; k++) v[k] = (float)s.data[at + k] / 255.0f;
        } else {
            memcpy(v, s.data + at, bytes);
        }
    } else {
        v[3] = 0.0f;
    }
}

// Lane l of the batch is vertex vtx[l] of instance inst[l] (chunk-relative);
// inst never decreases from lane to lane, and with `consecutive` it is
// inst[0] + l (a batch of instances): a per-instance element is then one
// stride after the last, with no index to look up.
void fetch_element(SwDevice *dev, const SwVertexElement &e, SwRegisters *r, const uint32_t *inst,
                   const uint32_t *vtx, uint32_t n, bool consecutive) {
    const SwDraw *d = dev->ds.d;
    const SwIo &io = d->vs->inputs[e.location];
    if (io.components == 0) return;
    bool unorm8 = false;
    uint32_t comps = format_components(e.format, &unorm8);
    uint32_t bytes = unorm8 ? 4 : comps * 4;
    const SwVertexStream &s = d->streams[e.slot];
    SwLane *dst[4];
    for (int k = 0; k < 4; k++) dst[k] = io.slot[k] >= 0 ? r->slot((uint32_t)io.slot[k]) : nullptr;
    const uint64_t base = e.per_instance ? (uint64_t)d->first_instance + dev->ds.chunk_first_instance : d->first_vertex;
    const uint32_t *index_of = e.per_instance ? inst : vtx;
    // Float data wholly inside the buffer: straight component loops.
    uint32_t top = e.per_instance ? inst[n - 1] : 0;
    if (!e.per_instance)
        for (uint32_t l = 0; l < n; l++) top = vtx[l] > top ? vtx[l] : top;
    uint64_t last = (uint64_t)s.offset + (base + top) * s.stride + e.offset + bytes;
    if (!unorm8 && comps && s.data && last <= s.size) {
        const uint8_t *at = s.data + s.offset + e.offset;
        const uint8_t *lane0 = at + (base + index_of[0]) * s.stride;
        consecutive = consecutive && e.per_instance;
        auto element = [&](uint32_t l) {
            return consecutive ? lane0 + (size_t)l * s.stride : at + (base + index_of[l]) * s.stride;
        };
        uint32_t done = 0;
        if (comps >= 3 && last - bytes + 16 <= s.size) {
            // Three or four floats: 16 bytes per element, four elements turned
            // into four component rows at a time (an unread or missing
            // component's row is scratch; the missing one is set below).
            float *row[4];
            for (uint32_t k = 0; k < 4; k++) row[k] = dst[k] && k < comps ? &dst[k][0].f : nullptr;
            for (; done + 4 <= n; done += 4) {
                const float *in[4];
                for (uint32_t j = 0; j < 4; j++) in[j] = (const float *)element(done + j);
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
                memcpy(&f, element(l) + 4 * k, 4);
                dst[k][l].f = f;
            }
        }
        return;
    }
    for (uint32_t l = 0; l < n; l++) {
        float v[4];
        read_element(s, e, comps, unorm8, base + index_of[l], v);
        for (int k = 0; k < 4; k++)
            if (dst[k]) dst[k][l].f = v[k];
    }
}

// Every lane of the batch reads the same element (a per-vertex element while
// the lanes are instances at one vertex): read once, and copied to the lanes.
void fetch_element_same(SwDevice *dev, const SwVertexElement &e, SwRegisters *r, uint32_t vertex, uint32_t n) {
    const SwDraw *d = dev->ds.d;
    const SwIo &io = d->vs->inputs[e.location];
    if (io.components == 0) return;
    bool unorm8 = false;
    const uint32_t comps = format_components(e.format, &unorm8);
    float v[4];
    read_element(d->streams[e.slot], e, comps, unorm8, (uint64_t)d->first_vertex + vertex, v);
    for (int k = 0; k < 4; k++) {
        if (io.slot[k] < 0) continue;
        SwLane *dst = r->slot((uint32_t)io.slot[k]);
        for (uint32_t l = 0; l < n; l++) dst[l].f = v[k];
    }
}

// Sets corner v's per-vertex values (its inputs and vertex index) in the
// first n lanes.
void set_corner(SwDevice *dev, Worker &wk, uint32_t v, uint32_t n) {
    const SwDraw *d = dev->ds.d;
    for (uint32_t k = 0; k < d->element_count; k++)
        if (!d->elements[k].per_instance) fetch_element_same(dev, d->elements[k], &wk.vs, v, n);
    if (d->vs->vertex_index_slot >= 0) {
        SwLane *s = wk.vs.slot((uint32_t)d->vs->vertex_index_slot);
        for (uint32_t l = 0; l < n; l++) s[l].u = d->first_vertex + v;
    }
}

// Once per draw: the constant buffers and the prologue, and for squares
// each corner's uniform ops (Pipeline::uniform_ops), whose results depend on
// the draw's constants, start vertex and vertex buffers. They run over every
// lane, so that a batch of any size reads them.
void prepare_vertex_registers(SwDevice *dev, Worker &wk) {
    if (wk.vs_serial == dev->serial) return;
    const SwDraw *d = dev->ds.d;
    sw_program_prepare(d->vs, &wk.vs, d->vs_cb, d->vs_cb_size);
    wk.vs_serial = dev->serial;
    if (!dev->ds.corner_rows) return;
    for (uint32_t v = 0; v < 4; v++) {
        const std::vector<SwOp> &ops = dev->ds.split->uniform_ops[v];
        if (ops.empty()) continue;
        set_corner(dev, wk, v, SW_LANES);
        sw_program_run_ops(d->vs, &wk.vs, ops.data(), ops.size(), SW_LANES);
    }
}

} // namespace

// Records: clip position, then four components per varying location. The
// vertex program's slot of record component k, or -1 when it leaves it out.
int32_t record_slot(const SwProgram *vs, uint32_t k) {
    return k < 4 ? vs->position.slot[k] : vs->outputs[(k - 4) / 4].slot[k % 4];
}

namespace {

// Lane l's record starts at out + l * lane_stride floats. Records are four
// components at a time (the position, then each location), so four lanes'
// four components are turned from rows into records at once; a component
// the program leaves out reads a row of zeros.
void store_records(const SwDevice *dev, SwRegisters *r, float *out, size_t lane_stride, uint32_t n) {
    static const float zeros[SW_LANES] = {};
    for (uint32_t k = 0; k < dev->ds.rec; k += 4) {
        const float *row[4];
        for (uint32_t j = 0; j < 4; j++) {
            const int32_t slot = record_slot(dev->ds.d->vs, k + j);
            row[j] = slot >= 0 ? &r->slot((uint32_t)slot)->f : zeros;
        }
        uint32_t l = 0;
        for (; l + 4 <= n; l += 4) {
            const float *const in[4] = {row[0] + l, row[1] + l, row[2] + l, row[3] + l};
            float *const rec[4] = {out + l * lane_stride + k, out + (l + 1) * lane_stride + k,
                                   out + (l + 2) * lane_stride + k, out + (l + 3) * lane_stride + k};
            sw_transpose4(in, rec);
        }
        for (; l < n; l++)
            for (uint32_t j = 0; j < 4; j++) out[l * lane_stride + k + j] = row[j][l];
    }
}

// The record components as rows of SW_LANES lanes (see Worker::quads):
// those setup reads, the rest is never looked at.
void store_components(const SwDevice *dev, SwRegisters *r, float *out, uint32_t n) {
    for (uint32_t j = 0; j < 4 + dev->ds.read_count; j++) {
        const uint32_t k = used_component(dev->ds, j);
        const int32_t slot = record_slot(dev->ds.d->vs, k);
        float *row = out + (size_t)k * SW_LANES;
        if (slot >= 0) memcpy(row, r->slot((uint32_t)slot), n * sizeof(float));
        else memset(row, 0, n * sizeof(float));
    }
}

} // namespace

// SW_LANES consecutive vertices of the chunk, instance-major.
void vertex_task(void *ctx, uint32_t task, uint32_t worker) {
    SwDevice *dev = (SwDevice *)ctx;
    const SwDraw *d = dev->ds.d;
    Worker &wk = dev->w[worker];
    prepare_vertex_registers(dev, wk);
    uint32_t first = task * SW_LANES;
    uint32_t n = dev->ds.chunk_vertices - first < SW_LANES ? dev->ds.chunk_vertices - first : SW_LANES;
    uint32_t inst[SW_LANES], vtx[SW_LANES];
    uint32_t i = first / d->vertex_count, v = first % d->vertex_count; // one division per batch
    for (uint32_t l = 0; l < n; l++) {
        inst[l] = i;
        vtx[l] = v;
        if (++v == d->vertex_count) v = 0, i++;
    }
    for (uint32_t k = 0; k < d->element_count; k++) fetch_element(dev, d->elements[k], &wk.vs, inst, vtx, n, false);
    if (d->vs->vertex_index_slot >= 0) {
        SwLane *s = wk.vs.slot((uint32_t)d->vs->vertex_index_slot);
        for (uint32_t l = 0; l < n; l++) s[l].u = d->first_vertex + vtx[l];
    }
    if (d->vs->instance_index_slot >= 0) { // SV_InstanceID does not count the start instance
        SwLane *s = wk.vs.slot((uint32_t)d->vs->instance_index_slot);
        for (uint32_t l = 0; l < n; l++) s[l].u = dev->ds.chunk_first_instance + inst[l];
    }
    sw_program_run(d->vs, &wk.vs, n);
    store_records(dev, &wk.vs, dev->verts.data() + (size_t)first * dev->ds.rec, dev->ds.rec, n);
}

// SW_LANES consecutive instances of the chunk, with a split program: lane l
// is instance l throughout; the per-instance part runs once, the per-vertex
// part once for each vertex, every lane at the same vertex.
// Records of instances first .. first + n - 1 (of the chunk) go to out, a
// vertex's SW_LANES records after another's (see record_of); or, when out
// is null, to wk.quads by component.
void run_instances(SwDevice *dev, Worker &wk, uint32_t first, uint32_t n, float *out) {
    const SwDraw *d = dev->ds.d;
    const Pipeline &sp = *dev->ds.split;
    prepare_vertex_registers(dev, wk);
    const uint32_t vc = d->vertex_count;
    uint32_t inst[SW_LANES], vtx[SW_LANES];
    for (uint32_t l = 0; l < n; l++) inst[l] = first + l, vtx[l] = 0;
    for (uint32_t k = 0; k < d->element_count; k++)
        if (d->elements[k].per_instance) fetch_element(dev, d->elements[k], &wk.vs, inst, vtx, n, true);
    if (d->vs->instance_index_slot >= 0) {
        SwLane *s = wk.vs.slot((uint32_t)d->vs->instance_index_slot);
        for (uint32_t l = 0; l < n; l++) s[l].u = dev->ds.chunk_first_instance + inst[l];
    }
    sw_program_run_ops(d->vs, &wk.vs, sp.instance_ops.data(), sp.instance_ops.size(), n);
    for (uint32_t v = 0; v < vc; v++) {
        set_corner(dev, wk, v, n);
        if (!out && dev->ds.corner_rows) { // the corner's record stays where the program leaves it
            sw_program_run_ops(d->vs, &wk.vs, sp.corner_ops[v].data(), sp.corner_ops[v].size(), n);
            continue;
        }
        sw_program_run_ops(d->vs, &wk.vs, sp.vertex_ops.data(), sp.vertex_ops.size(), n);
        if (out) store_records(dev, &wk.vs, out + (size_t)v * SW_LANES * dev->ds.rec, dev->ds.rec, n); // see record_of
        else store_components(dev, &wk.vs, wk.quads.data() + (size_t)v * dev->ds.rec * SW_LANES, n);
    }
}

void instance_task(void *ctx, uint32_t task, uint32_t worker) {
    SwDevice *dev = (SwDevice *)ctx;
    const uint32_t first = task * SW_LANES;
    const uint32_t n = dev->ds.chunk_instances - first < SW_LANES ? dev->ds.chunk_instances - first : SW_LANES;
    run_instances(dev, dev->w[worker], first, n, dev->verts.data() + (size_t)first * dev->ds.d->vertex_count * dev->ds.rec);
}

} // namespace sw
