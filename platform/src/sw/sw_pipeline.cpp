// Pipelines: what a vertex program, a pixel program and an input layout
// make of each other (see Pipeline), worked out once per combination
// rather than in every draw.
#include "sw/sw_stages.h"

#include "sw/sw_ops.h"

namespace sw {

namespace {

// Fills s.corner_* (see Pipeline). A record slot the vertex ops write gets a
// new number per corner; one they do not write (an instance value, a
// constant) is the same for all corners, unless the caller rewrites it per
// vertex (a per-vertex input, the vertex index). False when it cannot be.
bool make_corner_ops(const SwProgram *vs, uint32_t rec, uint32_t locations, Pipeline &s) {
    std::vector<bool> per_vertex(vs->slot_count, false), written(vs->slot_count, false);
    for (uint32_t loc = 0; loc < kInputLocations; loc++)
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

// Moves the uniform ops of each corner (see Pipeline::uniform_ops) out of
// corner_ops. A square's corner offsets are worked out from its vertex index
// alone: run per batch, that integer work costs every batch of a million
// stars the same as the work that does differ per star.
void hoist_uniform_ops(const SwProgram *vs, uint32_t locations, Pipeline &s) {
    // Uniform to begin with: what is set once per draw and no body op writes.
    std::vector<bool> uniform(vs->slot_count, false), read(vs->slot_count, false);
    std::vector<uint32_t> writes(vs->slot_count, 0);
    for (const auto &c : vs->constants) uniform[c.first] = true;
    for (const SwOp &o : vs->prologue) uniform[o.dst] = true;
    if (vs->vertex_index_slot >= 0) uniform[(uint32_t)vs->vertex_index_slot] = true;
    for (uint32_t loc = 0; loc < kInputLocations; loc++)
        if (locations >> loc & 1)
            for (int32_t slot : vs->inputs[loc].slot)
                if (slot >= 0) uniform[(uint32_t)slot] = true;
    for (const SwOp &o : vs->body) {
        if (o.code == OP_SKIP) return; // lane masks: nothing is the same in every lane
        writes[o.dst]++;
        uniform[o.dst] = false;
    }
    // In order, so an op's sources are settled before it. Its result must be
    // the only write of its slot, and not read before it (it moves away).
    std::vector<bool> hoist(s.vertex_ops.size(), false);
    uint32_t count = 0; // hoisted results that need a slot per corner (see below)
    for (size_t i = 0; i < s.vertex_ops.size(); i++) {
        const SwOp &o = s.vertex_ops[i];
        bool all = writes[o.dst] == 1 && !read[o.dst];
        for (int k = 0; k < operand_count(o.code); k++) {
            all = all && uniform[operand_of(o, k)];
            read[operand_of(o, k)] = true;
        }
        hoist[i] = all;
        uniform[o.dst] = all;
        count += all && s.corner_ops[0][i].dst < vs->slot_count;
    }
    const uint32_t base = s.corner_slots;
    for (uint32_t v = 0; v < 4; v++) {
        // A record slot already has a number of the corner's own; any other
        // result gets one after those of the corners' records.
        std::vector<uint32_t> to(vs->slot_count);
        for (uint32_t slot = 0; slot < vs->slot_count; slot++) to[slot] = slot;
        uint32_t next = base + v * count;
        std::vector<SwOp> rest;
        for (size_t i = 0; i < s.corner_ops[v].size(); i++) {
            SwOp o = s.corner_ops[v][i];
            for (int k = 0; k < operand_count(o.code); k++)
                if (*operand(o, k) < vs->slot_count) *operand(o, k) = to[*operand(o, k)];
            if (hoist[i] && o.dst < vs->slot_count) o.dst = to[o.dst] = next++;
            (hoist[i] ? s.uniform_ops[v] : rest).push_back(o);
        }
        s.corner_ops[v].swap(rest);
    }
    s.corner_slots = base + 4 * count;
}

// Builds the pipeline of programs vs and ps for the input locations fed
// per vertex.
void build(Pipeline &s, const SwProgram *vs, const SwProgram *ps, uint32_t locations) {
    s.vs_serial = vs->serial;
    s.ps_serial = ps->serial;
    s.locations = locations;
    s.varyings = 0;
    for (uint32_t k = 0; k < SW_MAX_VARYINGS; k++)
        if (vs->outputs[k].components) s.varyings = k + 1;
    s.rec = 4 + 4 * s.varyings;
    // Pixel inputs the vertex program does not write read zero: they are
    // left out here and cleared in every worker's registers (tile_task).
    s.read_count = 0;
    for (uint32_t loc = 0; loc < kInputLocations; loc++)
        for (uint32_t c = 0; c < ps->inputs[loc].components && c < 4; c++) {
            if (ps->inputs[loc].slot[c] < 0 || loc >= s.varyings) continue;
            s.read_at[s.read_count] = 4 + loc * 4 + c;
            s.read_slot[s.read_count++] = (uint32_t)ps->inputs[loc].slot[c];
        }
    s.ps_reads_z = ps->frag_coord.slot[2] >= 0 || ps->frag_coord.slot[3] >= 0;
    s.split = sw_program_split(vs, locations, &s.instance_ops, &s.vertex_ops);
    if (s.split && !make_corner_ops(vs, s.rec, locations, s)) {
        for (int v = 0; v < 4; v++) s.corner_ops[v].clear(), s.corner_slot[v].clear();
        s.corner_slots = 0;
    }
    if (s.corner_slots > 0) hoist_uniform_ops(vs, locations, s);
    s.corner_rows = s.split && s.corner_slots > 0;
    DrawState reads; // used_component's view of the record
    reads.read_at = s.read_at;
    for (uint32_t j = 0; j < 4 + s.read_count && s.corner_rows; j++) // every component read is written
        for (int v = 0; v < 4; v++) s.corner_rows &= s.corner_slot[v][used_component(reads, j)] >= 0;
}

} // namespace

// Made on first use and kept: the device sees the same few combinations
// every frame.
const Pipeline *find_pipeline(SwDevice *dev, const SwDraw *d) {
    uint32_t locations = 0;
    for (uint32_t k = 0; k < d->element_count; k++)
        if (!d->elements[k].per_instance && d->elements[k].location < kInputLocations)
            locations |= 1u << d->elements[k].location;
    for (const Pipeline &s : dev->pipelines)
        if (s.vs_serial == d->vs->serial && s.ps_serial == d->ps->serial && s.locations == locations) return &s;
    // Built apart and only then kept: a build that runs out of memory
    // (std::bad_alloc, which ends the draw) leaves the cache as it was.
    sw_alloc_point();
    Pipeline made;
    build(made, d->vs, d->ps, locations);
    if (dev->pipelines.size() >= kPipelineCache) dev->pipelines.erase(dev->pipelines.begin());
    dev->pipelines.push_back(std::move(made));
    return &dev->pipelines.back();
}

} // namespace sw
