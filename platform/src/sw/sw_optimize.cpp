// The optimiser of translated programs, and the vertex-program split and
// slot renaming that the draw's program specialisation uses.
//
// The translation is literal: every load of a local variable is a copy,
// every store in a branch a select and a copy, and values nobody reads
// are still computed. Each operation costs a pass over all lanes, so
// these go before the program ever runs.
#include "sw/sw_ops.h"

#include <stdint.h>

#include <vector>

namespace {

void compact(std::vector<SwOp> &ops);

// Slots the caller writes before a run or reads after it.
std::vector<bool> interface_slots(const SwProgram *p) {
    std::vector<bool> ext(p->slot_count, false);
    auto mark = [&](const SwIo &io) {
        for (int32_t s : io.slot)
            if (s >= 0) ext[(uint32_t)s] = true;
    };
    for (const SwIo &io : p->inputs) mark(io);
    for (const SwIo &io : p->outputs) mark(io);
    mark(p->frag_coord);
    mark(p->position);
    if (p->vertex_index_slot >= 0) ext[(uint32_t)p->vertex_index_slot] = true;
    if (p->instance_index_slot >= 0) ext[(uint32_t)p->instance_index_slot] = true;
    ext[p->active_slot] = true;
    ext[p->done_slot] = true;
    return ext;
}

// A copy d = a, with d written nowhere else and a not written after it,
// is replaced by a in every later operation.
bool propagate_copies(std::vector<SwOp> &ops, const std::vector<bool> &ext) {
    bool changed = false;
    const size_t n = ops.size();
    std::vector<uint32_t> writes(ext.size(), 0);
    std::vector<size_t> last_write(ext.size(), 0);
    for (size_t i = 0; i < n; i++)
        if (ops[i].code != kDeadOp && ops[i].code != OP_SKIP) writes[ops[i].dst]++, last_write[ops[i].dst] = i;
    for (size_t i = 0; i < n; i++) {
        const SwOp o = ops[i];
        if (o.code != OP_MOV || ext[o.dst] || writes[o.dst] != 1 || o.dst == o.a) continue;
        if (writes[o.a] && last_write[o.a] > i) continue;
        bool read_before = false;
        for (size_t j = 0; j < i && !read_before; j++)
            for (int k = 0; k < operand_count(ops[j].code); k++) read_before |= *operand(ops[j], k) == o.dst;
        if (read_before) continue;
        for (size_t j = i + 1; j < n; j++)
            for (int k = 0; k < operand_count(ops[j].code); k++)
                if (*operand(ops[j], k) == o.dst) *operand(ops[j], k) = o.a;
        ops[i].code = kDeadOp;
        writes[o.dst] = 0;
        changed = true;
    }
    return changed;
}

// t = f(...), later d = t, t read nowhere else: f writes d itself, when
// nothing between the two reads or writes d and no skip lies between them
// (a skipped copy must leave d as it was), unless d is a program output
// written only there: then only lanes that reach the copy use it.
bool fold_copies(std::vector<SwOp> &ops, const std::vector<bool> &ext, const std::vector<bool> &outputs) {
    bool changed = false;
    const size_t none = SIZE_MAX;
    std::vector<uint32_t> reads(ext.size(), 0), writes(ext.size(), 0);
    std::vector<size_t> writer(ext.size(), none);
    for (size_t i = 0; i < ops.size(); i++) {
        SwOp &o = ops[i];
        if (o.code == kDeadOp) continue;
        for (int k = 0; k < operand_count(o.code); k++) reads[*operand(o, k)]++;
        if (o.code != OP_SKIP) writes[o.dst]++, writer[o.dst] = i;
    }
    for (size_t j = 0; j < ops.size(); j++) {
        SwOp &o = ops[j];
        if (o.code != OP_MOV || ext[o.a] || reads[o.a] != 1 || writes[o.a] != 1 || writer[o.a] >= j) continue;
        const size_t i = writer[o.a];
        const bool may_skip = outputs[o.dst] && writes[o.dst] == 1 && reads[o.dst] == 0;
        bool clear = true;
        for (size_t k = i + 1; k < j && clear; k++) {
            SwOp &m = ops[k];
            if (m.code == kDeadOp) continue;
            clear = (m.code != OP_SKIP || may_skip) && m.dst != o.dst;
            for (int q = 0; q < operand_count(m.code); q++) clear = clear && *operand(m, q) != o.dst;
        }
        if (!clear) continue;
        ops[i].dst = o.dst;
        o.code = kDeadOp;
        reads[o.a] = 0;
        writes[o.a] = 0;
        changed = true;
    }
    return changed;
}

// Operations whose result nobody reads.
bool drop_unread(std::vector<SwOp> &ops, const std::vector<bool> &ext) {
    bool changed = false;
    std::vector<uint32_t> reads(ext.size(), 0);
    for (SwOp &o : ops)
        if (o.code != kDeadOp)
            for (int k = 0; k < operand_count(o.code); k++) reads[*operand(o, k)]++;
    for (SwOp &o : ops) {
        if (o.code == kDeadOp || o.code == OP_SKIP || ext[o.dst] || reads[o.dst]) continue;
        o.code = kDeadOp;
        changed = true;
    }
    return changed;
}

// Skips over an op or two: they cost about what they save.
bool drop_short_skips(std::vector<SwOp> &ops) {
    bool changed = false;
    std::vector<uint32_t> kept_before(ops.size() + 1, 0);
    for (size_t i = 0; i < ops.size(); i++) kept_before[i + 1] = kept_before[i] + (ops[i].code != kDeadOp);
    for (size_t i = 0; i < ops.size(); i++)
        if (ops[i].code == OP_SKIP && kept_before[ops[i].c] - kept_before[i + 1] <= 2) {
            ops[i].code = kDeadOp;
            changed = true;
        }
    return changed;
}

// The slots of every output component the caller reads after a run: the
// varyings (or the colour) and the position.
std::vector<int32_t *> output_slots(SwProgram *p) {
    std::vector<int32_t *> outs;
    for (SwIo *io = p->outputs; io < p->outputs + SW_MAX_VARYINGS; io++)
        for (int32_t &slot : io->slot)
            if (slot >= 0) outs.push_back(&slot);
    for (int32_t &slot : p->position.slot)
        if (slot >= 0) outs.push_back(&slot);
    return outs;
}

// An output written once, by a copy d = a, with a not written after it: the
// output is read from a itself and the copy goes (an output that passes an
// input, a constant or a value straight through). A skip around the copy
// changes nothing: as for fold_copies, only lanes that reach an output's one
// write use it (the others were discarded).
void read_outputs_in_place(SwProgram *p, std::vector<SwOp> &ops) {
    const std::vector<int32_t *> outs = output_slots(p);
    const size_t n = ops.size();
    std::vector<uint32_t> reads(p->slot_count, 0), writes(p->slot_count, 0);
    std::vector<size_t> last_write(p->slot_count, 0);
    for (size_t i = 0; i < n; i++) {
        const SwOp &o = ops[i];
        if (o.code == kDeadOp) continue;
        for (int k = 0; k < operand_count(o.code); k++) reads[operand_of(o, k)]++;
        if (o.code != OP_SKIP) writes[o.dst]++, last_write[o.dst] = i;
    }
    for (int32_t *slot : outs) {
        const uint32_t d = (uint32_t)*slot;
        if (writes[d] != 1 || reads[d] != 0) continue;
        const size_t i = last_write[d];
        const SwOp &o = ops[i];
        if (o.code != OP_MOV || o.a == d || (writes[o.a] && last_write[o.a] > i)) continue;
        for (int32_t *other : outs) // every output in that slot reads a
            if (*other == (int32_t)d) *other = (int32_t)o.a;
        ops[i].code = kDeadOp;
        writes[d] = 0;
    }
}

void clean_up(SwProgram *p) {
    const std::vector<bool> ext = interface_slots(p);
    std::vector<bool> outputs(p->slot_count, false);
    for (int32_t *s : output_slots(p)) outputs[(uint32_t)*s] = true;
    std::vector<SwOp> &ops = p->body;
    bool changed = true;
    while (changed) {
        changed = propagate_copies(ops, ext);
        changed |= fold_copies(ops, ext, outputs);
        changed |= drop_unread(ops, ext);
        // The mask of a skip dropped here may have no other reader (the
        // mask of a block that only discards): the next round drops it.
        changed |= drop_short_skips(ops);
    }
    read_outputs_in_place(p, ops);
    compact(ops);
}

// A multiplication and the multiply-adds that accumulate onto it (a matrix
// row times a vector: four operations, four passes over the lanes, three
// intermediates written and read back) become one sum of products, at the
// place of the last of them: each intermediate is read by the next
// operation alone, no skip lies between the first and the last, and nothing
// between them writes a source.
void fuse_products(SwProgram *p) {
    std::vector<SwOp> &ops = p->body;
    const std::vector<bool> ext = interface_slots(p);
    std::vector<uint32_t> reads(p->slot_count, 0), writes(p->slot_count, 0);
    std::vector<size_t> reader(p->slot_count, 0);
    for (size_t i = 0; i < ops.size(); i++) {
        const SwOp &o = ops[i];
        for (int k = 0; k < operand_count(o.code); k++) reads[operand_of(o, k)]++, reader[operand_of(o, k)] = i;
        if (o.code != OP_SKIP) writes[o.dst]++;
    }
    for (size_t i = 0; i < ops.size(); i++) {
        if (ops[i].code != OP_FMUL) continue;
        size_t at[4] = {i, 0, 0, 0};
        int terms = 1;
        for (; terms < 4; terms++) {
            const uint32_t sum = ops[at[terms - 1]].dst;
            if (ext[sum] || reads[sum] != 1 || writes[sum] != 1 || reader[sum] <= at[terms - 1]) break;
            const SwOp &m = ops[reader[sum]];
            if (m.code != OP_MAD || m.c != sum || m.a == sum || m.b == sum) break;
            at[terms] = reader[sum];
        }
        if (terms < 2) continue;
        uint32_t src[8];
        for (int t = 0; t < terms; t++) src[2 * t] = ops[at[t]].a, src[2 * t + 1] = ops[at[t]].b;
        const size_t last = at[terms - 1];
        bool clear = true;
        for (size_t k = i + 1; k < last && clear; k++) {
            clear = ops[k].code != OP_SKIP;
            for (int s = 0; s < 2 * terms; s++) clear = clear && ops[k].dst != src[s];
        }
        if (!clear) continue;
        SwOp f = ops[last]; // its destination
        f.code = terms == 2 ? OP_DOT2 : terms == 3 ? OP_DOT3 : OP_DOT4;
        for (int s = 0; s < 2 * terms; s++) *operand(f, s) = src[s];
        ops[last] = f;
        for (int t = 0; t + 1 < terms; t++) ops[at[t]].code = kDeadOp;
    }
    compact(ops);
}

// Drops the operations marked dead, moving skip targets to the next one
// that stays.
void compact(std::vector<SwOp> &ops) {
    std::vector<uint32_t> new_index(ops.size() + 1);
    uint32_t kept = 0;
    for (size_t i = 0; i < ops.size(); i++) {
        new_index[i] = kept;
        if (ops[i].code != kDeadOp) kept++;
    }
    new_index[ops.size()] = kept;
    std::vector<SwOp> out;
    out.reserve(kept);
    for (SwOp o : ops) {
        if (o.code == kDeadOp) continue;
        if (o.code == OP_SKIP) o.c = new_index[o.c];
        out.push_back(o);
    }
    ops.swap(out);
}

// Inputs the program never reads lose their slot, so the caller neither
// fetches nor interpolates them (a pixel program declares all of SV_Position
// and of every input vector, and reads a few components).
void forget_unread_inputs(SwProgram *p) {
    std::vector<bool> read(p->slot_count, false);
    for (const std::vector<SwOp> *ops : {&p->prologue, &p->body})
        for (const SwOp &o : *ops) {
            if (o.code == OP_CBLOAD) continue; // its operands are a buffer and an offset
            for (int k = 0; k < operand_count(o.code); k++) read[operand_of(o, k)] = true;
        }
    for (int32_t *s : output_slots(p)) read[(uint32_t)*s] = true; // an output may be an input's slot
    auto forget = [&](int32_t &slot) {
        if (slot >= 0 && !read[(uint32_t)slot]) slot = -1;
    };
    for (SwIo &io : p->inputs)
        for (int32_t &slot : io.slot) forget(slot);
    for (int32_t &slot : p->frag_coord.slot) forget(slot);
    // A position read in no component is not read at all: no lane work for it.
    if (p->frag_coord.slot[0] < 0 && p->frag_coord.slot[1] < 0 && p->frag_coord.slot[2] < 0 && p->frag_coord.slot[3] < 0)
        p->frag_coord.components = 0;
    forget(p->vertex_index_slot);
    forget(p->instance_index_slot);
}


} // namespace

void sw_program_optimize(SwProgram *p) {
    clean_up(p);
    fuse_products(p);
    forget_unread_inputs(p);
}

bool sw_ops_rename_slot(std::vector<SwOp> *ops, uint32_t from, uint32_t to) {
    bool written = false;
    for (const SwOp &o : *ops) {
        if (o.code == OP_SKIP || o.code == OP_CBLOAD) return false; // operands that are not slots
        for (int k = 0; k < operand_count(o.code) && !written; k++)
            if (operand_of(o, k) == from) return false;
        if (o.dst == from) written = true;
    }
    if (!written) return false;
    for (SwOp &o : *ops) {
        for (int k = 0; k < operand_count(o.code); k++)
            if (*operand(o, k) == from) *operand(o, k) = to;
        if (o.dst == from) o.dst = to;
    }
    return true;
}

bool sw_program_split(const SwProgram *p, uint32_t vertex_locations, std::vector<SwOp> *instance_ops,
                      std::vector<SwOp> *vertex_ops) {
    instance_ops->clear();
    vertex_ops->clear();
    if (p->stage != SW_STAGE_VERTEX) return false;
    // Per vertex: the vertex index, the per-vertex inputs, whatever reads
    // them, and (to keep the order of writes simple) any slot written twice.
    std::vector<bool> per_vertex(p->slot_count, false);
    std::vector<uint32_t> writes(p->slot_count, 0);
    for (const SwOp &o : p->body) {
        if (o.code == OP_SKIP) return false; // branches: lane masks would have to be split too
        writes[o.dst]++;
    }
    for (uint32_t s = 0; s < p->slot_count; s++) per_vertex[s] = writes[s] > 1;
    if (p->vertex_index_slot >= 0) per_vertex[(uint32_t)p->vertex_index_slot] = true;
    for (uint32_t loc = 0; loc < 16; loc++)
        if (vertex_locations >> loc & 1)
            for (int32_t s : p->inputs[loc].slot)
                if (s >= 0) per_vertex[(uint32_t)s] = true;
    // The body runs in order, so one pass in order settles every operation.
    for (const SwOp &o : p->body) {
        for (int k = 0; k < operand_count(o.code); k++)
            if (per_vertex[operand_of(o, k)]) per_vertex[o.dst] = true;
    }
    for (const SwOp &o : p->body) (per_vertex[o.dst] ? vertex_ops : instance_ops)->push_back(o);
    return !instance_ops->empty();
}
