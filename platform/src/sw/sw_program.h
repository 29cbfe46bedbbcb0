// Programs of the CPU executor. A vertex or pixel program's SPIR-V (as our
// D3DCompile leaves it: legalized, one function, structured and loop-free)
// is translated once into a list of scalar operations over batches of
// SW_LANES lanes. Every SPIR-V value becomes one register per component
// ("slot", SW_LANES words), so shuffles, extracts and constructs cost
// nothing: they only rename slots. Branches become lane masks: every block
// runs for the lanes that reach it, and is skipped when none do.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

// 128 lanes: each operation's fixed cost (dispatch, addresses) spreads over
// sixteen AVX2 vectors; measured 7-8 % faster on the galaxy than 64, while
// the registers of the largest program still fit in the L2 cache.
#define SW_LANES 128
#define SW_CBUFFER_SLOTS 14
#define SW_MAX_VARYINGS 8 // locations 0..7 between the stages

union SwLane {
    float f;
    uint32_t u;
    int32_t i;
};

enum SwStage { SW_STAGE_VERTEX = 0, SW_STAGE_PIXEL = 1 };

// Called where the executor is about to grow its memory (a draw's, or a
// program's as it is translated): throws std::bad_alloc when a test armed
// the "SwAlloc" fault for this call, as the growth itself would when the
// memory is not there.
void sw_alloc_point();

struct SwOp {
    uint16_t code;
    uint16_t pad;
    uint32_t dst, a, b, c; // slot numbers (c may be a jump target or a byte offset)
    uint32_t more[5] = {}; // the further sources of a product sum (OP_DOT2..4)
};

// A value the caller provides or collects: up to four component slots.
struct SwIo {
    int32_t slot[4] = {-1, -1, -1, -1}; // -1: the program leaves it out
    uint32_t components = 0;
};

struct SwProgram {
    uint64_t serial = 0; // unique per translation, for registers to know their program
    SwStage stage = SW_STAGE_VERTEX;
    uint32_t slot_count = 0;
    std::vector<SwOp> prologue; // constant-buffer loads and what depends only on them
    std::vector<SwOp> body;     // per batch
    std::vector<std::pair<uint32_t, uint32_t>> constants; // slot, bits: written once per register file
    uint32_t cbuffer_mask = 0; // registers b<i> read

    // Interface. Vertex: inputs by location, vertex and instance index;
    // outputs: position and locations. Pixel: inputs by location and the
    // pixel position; output: target 0.
    SwIo inputs[16];
    int32_t vertex_index_slot = -1, instance_index_slot = -1;
    SwIo frag_coord;
    SwIo position;
    SwIo outputs[SW_MAX_VARYINGS];
    uint32_t active_slot = 0; // lanes to run, all-ones or zero (written by the caller)
    uint32_t done_slot = 0;   // after a run: lanes that returned (not discarded)
    bool can_discard = false;
};

// Translates SPIR-V into *out. False with a one-line reason in *err on
// anything the executor does not run (the caller turns that into
// E_INVALIDARG with the diagnostic).
bool sw_program_translate(const uint32_t *words, size_t count, SwStage stage, SwProgram *out, std::string *err);

// One thread's registers for one program: slot_count x SW_LANES lanes. A
// pixel program's input rows may be written up to 8 lanes long past their
// end: each is followed by a spare slot.
struct SwRegisters {
    std::vector<SwLane> lanes;
    uint64_t serial = 0; // of the program bound
    uint32_t active_lanes = UINT32_MAX; // lanes the active slot marks, when known
    bool bound_to(const SwProgram *p) const { return serial == p->serial; }
    SwLane *slot(uint32_t s) { return lanes.data() + (size_t)s * SW_LANES; }
};

// Sizes the registers for the program and writes its constants.
void sw_registers_bind(SwRegisters *r, const SwProgram *p);

// Loads the constant buffers (cb[i] with size[i] bytes for register b<i>;
// reads past the end give 0) and runs the prologue. Once per draw.
void sw_program_prepare(const SwProgram *p, SwRegisters *r, const void *const *cb, const uint32_t *cb_size);

// Runs the body for the first n lanes (n <= SW_LANES); inputs must be in
// their slots. Afterwards outputs are in their slots and done_slot marks the
// lanes that were not discarded.
void sw_program_run(const SwProgram *p, SwRegisters *r, uint32_t n);

// A vertex program split in two for instanced draws: the operations that
// depend only on the instance (and the draw), run once per instance, and
// the rest, run once per vertex with the instance's results still in the
// registers. vertex_locations: input locations fed per vertex. False when
// the split does not apply (the body branches, or nothing is per instance).
bool sw_program_split(const SwProgram *p, uint32_t vertex_locations, std::vector<SwOp> *instance_ops,
                      std::vector<SwOp> *vertex_ops);

// Gives slot `from` the number `to` throughout a list of body operations
// (where it is written and where it is read). False, changing nothing, when
// an operation reads it before the list first writes it, or the list never
// does: its value then comes from outside the list.
bool sw_ops_rename_slot(std::vector<SwOp> *ops, uint32_t from, uint32_t to);

// Runs a list of operations of p (its body or one part of a split) for the
// first n lanes.
void sw_program_run_ops(const SwProgram *p, SwRegisters *r, const SwOp *ops, size_t count, uint32_t n);
