// SPIR-V to lane-batch operations (see sw_program.h): the front end of the
// CPU executor's programs.
#include "sw/sw_ops.h"

#include "common/shader_blob.h"

#include <spirv/unified1/GLSL.std.450.h>
#include <spirv/unified1/spirv.h>

#include <atomic>
#include <map>
#include <stdio.h>
#include <string.h>

namespace {

// The largest value the translator flattens: a whole constant buffer
// (4096 registers of four components).
const uint32_t kMaxFlat = 4096 * 4;
// The most slots a program may have: each costs SW_LANES words of
// registers on every worker (32 MB each at this bound).
const uint32_t kMaxSlots = 65536;
// Structures nested deeper than this are refused.
const uint32_t kMaxDepth = 32;

enum TypeKind { T_NONE, T_VOID, T_BOOL, T_INT, T_FLOAT, T_VECTOR, T_MATRIX, T_STRUCT, T_POINTER, T_FUNCTION };

struct Type {
    TypeKind kind = T_NONE;
    uint32_t elem = 0;   // vector component / matrix column / pointee type
    uint32_t count = 0;  // vector size / matrix columns
    uint32_t storage = 0;
    uint32_t flat = 0;   // scalar components when flattened
    uint32_t depth = 0;  // structures nested in it (the constant-buffer layout recurses that deep)
    bool is_signed = false;
    std::vector<uint32_t> members;
};

struct MemberDec {
    uint32_t offset = 0, matrix_stride = 16;
    bool row_major = false;
};

struct Decorations {
    int32_t builtin = -1, location = -1, binding = -1;
    bool interp = false; // any interpolation qualifier we do not implement
    std::map<uint32_t, MemberDec> members;
};

// A pointer: a variable and the first flattened component it points at.
struct Pointer {
    uint32_t var = 0, first = 0, type = 0;
};

struct Variable {
    uint32_t storage = 0, type = 0;
    std::vector<uint32_t> slots;    // Input/Output/Function: one per flattened component
    std::vector<uint32_t> offsets;  // Uniform: byte offset of each flattened component
    uint32_t binding = 0;
};

struct Block {
    uint32_t label = 0;
    size_t first = 0, end = 0; // instruction indices (terminator is end - 1)
    std::vector<uint32_t> succ;
    int order = -1;
};

struct Insn {
    uint16_t op;
    const uint32_t *w; // w[0] is the opcode word
    uint32_t n;
};

struct Translator {
    SwProgram *p;
    std::string *err;
    std::vector<Insn> insns;
    std::map<uint32_t, Type> types;
    std::map<uint32_t, Decorations> decs;
    std::map<uint32_t, std::vector<uint32_t>> values; // SSA id -> slots
    std::map<uint32_t, uint32_t> const_bits;          // scalar constant id -> bits
    std::map<uint32_t, uint32_t> const_slot;          // bits -> slot
    std::map<uint32_t, Pointer> pointers;
    std::map<uint32_t, Variable> vars;
    std::map<uint32_t, uint32_t> type_of; // result id -> type id
    std::vector<bool> uniform;            // per slot: same in every lane for a draw
    uint32_t glsl_set = 0;
    uint32_t entry_fn = 0;
    uint32_t cur_mask = 0;
    bool in_entry_block = false;
    std::map<uint32_t, uint32_t> stores_to; // variable -> stores to it (or into it) in the function

    bool fail(const char *fmt, uint32_t v = 0) {
        char b[200];
        snprintf(b, sizeof b, fmt, v);
        *err = b;
        return false;
    }

    uint32_t new_slot(bool uni = false) {
        uniform.push_back(uni);
        return p->slot_count++;
    }
    uint32_t constant(uint32_t bits) {
        auto it = const_slot.find(bits);
        if (it != const_slot.end()) return it->second;
        uint32_t s = new_slot(true);
        const_slot[bits] = s;
        p->constants.push_back({s, bits});
        return s;
    }
    uint32_t fconst(float f) {
        uint32_t u;
        memcpy(&u, &f, 4);
        return constant(u);
    }

    // Emits one operation. Pure operations on uniform inputs go to the
    // prologue (once per draw); everything else to the body.
    uint32_t emit(SwCode code, uint32_t a, uint32_t b = 0, uint32_t c = 0, int nin = 2) {
        bool uni = uniform[a] && (nin < 2 || uniform[b]) && (nin < 3 || uniform[c]);
        uint32_t d = new_slot(uni);
        SwOp o = {code, 0, d, a, b, c};
        (uni ? p->prologue : p->body).push_back(o);
        return d;
    }
    uint32_t emit1(SwCode code, uint32_t a) { return emit(code, a, 0, 0, 1); }
    uint32_t emit3(SwCode code, uint32_t a, uint32_t b, uint32_t c) { return emit(code, a, b, c, 3); }
    void emit_body(SwCode code, uint32_t d, uint32_t a, uint32_t b = 0, uint32_t c = 0) {
        SwOp o = {code, 0, d, a, b, c};
        p->body.push_back(o);
    }

    const Type *type(uint32_t id) {
        auto it = types.find(id);
        return it == types.end() ? nullptr : &it->second;
    }
    uint32_t flat_count(uint32_t tid) {
        const Type *t = type(tid);
        return t ? t->flat : 0;
    }
    const std::vector<uint32_t> *val(uint32_t id) {
        auto it = values.find(id);
        if (it == values.end()) {
            fail("operand %%%u is not a value the executor knows", id);
            return nullptr;
        }
        return &it->second;
    }

    bool parse(const uint32_t *words, size_t count);
    bool declare_type(const Insn &in);
    bool declare_constant(const Insn &in);
    bool declare_variable(const Insn &in);
    bool layout_uniform(uint32_t tid, uint32_t base, const MemberDec *md, std::vector<uint32_t> *offsets);
    bool sub_range(uint32_t tid, const uint32_t *idx, uint32_t nidx, bool idx_are_ids, uint32_t *first,
                   uint32_t *out_type);
    bool resolve_pointer(uint32_t id, const char *what, Pointer *out);
    bool translate_function();
    bool instruction(const Insn &in);
    bool ext_inst(const Insn &in, uint32_t rtype, uint32_t rid);
    bool binary(const Insn &in, SwCode code, bool swap = false, bool negate = false);
};

// Words (the opcode word included) an instruction must have for the
// operands the translator reads from it; 1 for those it reads nothing from.
uint32_t min_words(uint16_t op) {
    switch (op) {
    case SpvOpKill: case SpvOpReturn: case SpvOpUnreachable: case SpvOpNoLine: case SpvOpFunctionEnd:
        return 1;
    case SpvOpCapability: case SpvOpTypeVoid: case SpvOpTypeBool: case SpvOpTypeStruct: case SpvOpLabel:
    case SpvOpBranch:
        return 2;
    case SpvOpExtInstImport: case SpvOpTypeFloat: case SpvOpTypeFunction: case SpvOpConstantTrue:
    case SpvOpConstantFalse: case SpvOpConstantComposite: case SpvOpConstantNull: case SpvOpUndef: case SpvOpStore:
    case SpvOpCompositeConstruct: case SpvOpPhi: case SpvOpDecorate: case SpvOpSwitch:
        return 3;
    case SpvOpEntryPoint: case SpvOpMemberDecorate: case SpvOpTypeInt: case SpvOpTypeVector: case SpvOpTypeMatrix:
    case SpvOpTypePointer: case SpvOpConstant: case SpvOpVariable: case SpvOpLoad: case SpvOpAccessChain:
    case SpvOpInBoundsAccessChain: case SpvOpCopyObject: case SpvOpBitcast: case SpvOpCompositeExtract:
    case SpvOpConvertFToU: case SpvOpConvertFToS: case SpvOpConvertSToF: case SpvOpConvertUToF: case SpvOpFNegate:
    case SpvOpSNegate: case SpvOpNot: case SpvOpLogicalNot: case SpvOpAny: case SpvOpAll: case SpvOpBranchConditional:
        return 4;
    case SpvOpFunction: case SpvOpCompositeInsert: case SpvOpVectorShuffle: case SpvOpExtInst:
    case SpvOpVectorTimesScalar: case SpvOpMatrixTimesScalar: case SpvOpVectorTimesMatrix:
    case SpvOpMatrixTimesVector: case SpvOpDot:
        return 5;
    case SpvOpSelect:
        return 6;
    default: // the binary operations; anything else is refused where it is met
        const bool binary = (op >= SpvOpIAdd && op <= SpvOpFUnordGreaterThanEqual) ||
                            (op >= SpvOpShiftRightLogical && op <= SpvOpBitwiseAnd);
        return binary ? 5 : 1;
    }
}

// A literal string ends within its instruction: w points at its first
// word, which is word `at` of instruction in.
bool string_fits(const Insn &in, uint32_t at) {
    return at < in.n && memchr(in.w + at, 0, (size_t)(in.n - at) * 4) != nullptr;
}

bool Translator::parse(const uint32_t *words, size_t count) {
    if (count < 5 || words[0] != SpvMagicNumber) return fail("not a SPIR-V module");
    size_t i = 5;
    while (i < count) {
        uint32_t n = words[i] >> 16;
        uint16_t op = (uint16_t)(words[i] & 0xffff);
        if (n == 0 || i + n > count) return fail("truncated SPIR-V instruction at word %u", (uint32_t)i);
        if (n < min_words(op)) return fail("SPIR-V instruction %u is too short for its operands", op);
        insns.push_back({op, words + i, n});
        i += n;
    }
    return true;
}

bool Translator::declare_type(const Insn &in) {
    const uint32_t *w = in.w;
    Type t;
    if (types.count(w[1])) return fail("type %%%u declared twice", w[1]);
    // Every type a type names is declared before it: no cycles, no sizes
    // taken from types that do not exist yet.
    auto data = [&](uint32_t id) {
        const Type *e = type(id);
        return e && e->flat > 0;
    };
    switch (in.op) {
    case SpvOpTypeVoid: t.kind = T_VOID; break;
    case SpvOpTypeBool: t.kind = T_BOOL; t.flat = 1; break;
    case SpvOpTypeInt:
        if (w[2] != 32) return fail("%u-bit integers are not supported", w[2]);
        t.kind = T_INT; t.flat = 1; t.is_signed = w[3] != 0;
        break;
    case SpvOpTypeFloat:
        if (w[2] != 32) return fail("%u-bit floats are not supported", w[2]);
        t.kind = T_FLOAT; t.flat = 1;
        break;
    case SpvOpTypeVector:
    case SpvOpTypeMatrix: {
        t.kind = in.op == SpvOpTypeVector ? T_VECTOR : T_MATRIX;
        t.elem = w[2]; t.count = w[3];
        // Vectors of 2 to 4 scalars; matrices of 2 to 4 such column vectors.
        const Type *e = type(w[2]);
        bool elem_ok = e && (in.op == SpvOpTypeVector ? e->flat == 1 : e->kind == T_VECTOR);
        if (!elem_ok || t.count < 2 || t.count > 4) return fail("vector or matrix type %%%u of a wrong shape", w[1]);
        t.flat = e->flat * t.count;
        break;
    }
    case SpvOpTypeStruct:
        t.kind = T_STRUCT;
        for (uint32_t k = 2; k < in.n; k++) {
            if (!data(w[k])) return fail("structure %%%u has a member of no known type", w[1]);
            t.members.push_back(w[k]);
            t.flat += flat_count(w[k]);
            const uint32_t depth = type(w[k])->depth + 1;
            if (depth > t.depth) t.depth = depth;
            if (t.flat > kMaxFlat || t.depth > kMaxDepth) return fail("structure %%%u is too large", w[1]);
        }
        break;
    case SpvOpTypePointer:
        if (!data(w[3])) return fail("pointer type %%%u to no known type", w[1]);
        t.kind = T_POINTER; t.storage = w[2]; t.elem = w[3];
        break;
    case SpvOpTypeFunction: t.kind = T_FUNCTION; break;
    default: return fail("type instruction %u (arrays, images, samplers ...) is not supported", in.op);
    }
    types[w[1]] = t;
    return true;
}

bool Translator::declare_constant(const Insn &in) {
    const uint32_t *w = in.w;
    uint32_t tid = w[1], id = w[2];
    type_of[id] = tid;
    switch (in.op) {
    case SpvOpConstantTrue:
    case SpvOpConstantFalse: {
        uint32_t bits = in.op == SpvOpConstantTrue ? 0xffffffffu : 0u;
        const_bits[id] = bits;
        values[id] = {constant(bits)};
        return true;
    }
    case SpvOpConstant:
        if (in.n != 4) return fail("constant %%%u is not 32 bits", id);
        const_bits[id] = w[3];
        values[id] = {constant(w[3])};
        return true;
    case SpvOpConstantComposite: {
        std::vector<uint32_t> s;
        for (uint32_t k = 3; k < in.n; k++) {
            const std::vector<uint32_t> *v = val(w[k]);
            if (!v) return false;
            s.insert(s.end(), v->begin(), v->end());
            if (s.size() > kMaxFlat) return fail("constant %%%u is too large", id);
        }
        values[id] = s;
        return true;
    }
    case SpvOpConstantNull:
        const_bits[id] = 0;
        values[id] = std::vector<uint32_t>(flat_count(tid), constant(0));
        return true;
    }
    return false;
}

// Byte offsets of every flattened component of a constant-buffer value.
bool Translator::layout_uniform(uint32_t tid, uint32_t base, const MemberDec *md, std::vector<uint32_t> *offsets) {
    const Type *t = type(tid);
    if (!t) return fail("unknown type %%%u in a constant buffer", tid);
    switch (t->kind) {
    case T_FLOAT:
    case T_INT:
        offsets->push_back(base);
        return true;
    case T_VECTOR:
        for (uint32_t k = 0; k < t->count; k++) offsets->push_back(base + 4 * k);
        return true;
    case T_MATRIX: {
        const Type *col = type(t->elem);
        uint32_t stride = md ? md->matrix_stride : 16;
        bool row_major = md && md->row_major;
        for (uint32_t c = 0; c < t->count; c++)
            for (uint32_t r = 0; r < col->count; r++)
                offsets->push_back(base + (row_major ? r * stride + c * 4 : c * stride + r * 4));
        return true;
    }
    case T_STRUCT: {
        const Decorations &d = decs[tid];
        for (uint32_t m = 0; m < t->members.size(); m++) {
            auto it = d.members.find(m);
            if (it == d.members.end()) return fail("constant-buffer member %u has no offset", m);
            if (!layout_uniform(t->members[m], base + it->second.offset, &it->second, offsets)) return false;
        }
        return true;
    }
    default: return fail("constant buffers of this type (%u) are not supported", t->kind);
    }
}

bool Translator::declare_variable(const Insn &in) {
    const uint32_t *w = in.w;
    uint32_t ptype = w[1], id = w[2], storage = w[3];
    const Type *pt = type(ptype);
    if (!pt || pt->kind != T_POINTER) return fail("variable %%%u without a pointer type", id);
    if (in.n > 4) return fail("variable %%%u has an initializer", id);
    Variable v;
    v.storage = storage;
    v.type = pt->elem;
    const Decorations &d = decs[id];
    uint32_t flat = flat_count(v.type);
    if (d.interp) return fail("interpolation qualifiers are not supported (variable %%%u)", id);
    switch (storage) {
    case SpvStorageClassUniform: {
        if (d.binding < 0) return fail("constant buffer %%%u without a binding", id);
        int reg = d.binding - (p->stage == SW_STAGE_PIXEL ? SHADER_PS_CBUFFER_BINDING_BASE : 0);
        if (reg < 0 || reg >= SW_CBUFFER_SLOTS) return fail("constant buffer binding %u out of range", d.binding);
        v.binding = (uint32_t)reg;
        p->cbuffer_mask |= 1u << reg;
        if (!layout_uniform(v.type, 0, nullptr, &v.offsets)) return false;
        break;
    }
    case SpvStorageClassInput:
    case SpvStorageClassOutput:
    case SpvStorageClassFunction: {
        if (flat > 16) return fail("variable %%%u is too large", id);
        bool in_ = storage == SpvStorageClassInput;
        // A pixel input's row is filled by the rasterizers in whole groups
        // of 8 lanes, which may run up to 7 lanes past its end: a spare slot
        // after each takes them.
        const bool spare = in_ && p->stage == SW_STAGE_PIXEL && d.location >= 0;
        for (uint32_t k = 0; k < flat; k++) {
            v.slots.push_back(new_slot(false));
            if (spare) new_slot(false);
        }
        if (storage == SpvStorageClassFunction) break;
        const Type *vt = type(v.type);
        if (!vt || (vt->kind != T_FLOAT && vt->kind != T_INT && vt->kind != T_VECTOR))
            return fail("interface variable %%%u is not a scalar or vector", id);
        SwIo io;
        io.components = flat;
        for (uint32_t k = 0; k < flat && k < 4; k++) io.slot[k] = (int32_t)v.slots[k];
        if (d.builtin >= 0) {
            if (in_ && d.builtin == SpvBuiltInVertexIndex && p->stage == SW_STAGE_VERTEX) p->vertex_index_slot = io.slot[0];
            else if (in_ && d.builtin == SpvBuiltInInstanceIndex && p->stage == SW_STAGE_VERTEX) p->instance_index_slot = io.slot[0];
            else if (in_ && d.builtin == SpvBuiltInFragCoord && p->stage == SW_STAGE_PIXEL) p->frag_coord = io;
            else if (!in_ && d.builtin == SpvBuiltInPosition && p->stage == SW_STAGE_VERTEX) p->position = io;
            else return fail("built-in %u is not supported", (uint32_t)d.builtin);
        } else if (d.location >= 0) {
            if (in_ && d.location < 16) p->inputs[d.location] = io;
            else if (!in_ && d.location < SW_MAX_VARYINGS) p->outputs[d.location] = io;
            else return fail("location %u out of range", (uint32_t)d.location);
        } else {
            return fail("interface variable %%%u has neither location nor built-in", id);
        }
        break;
    }
    default: return fail("storage class %u is not supported", storage);
    }
    vars[id] = v;
    return true;
}

// Flattened start and type of the part of type tid that indices select.
bool Translator::sub_range(uint32_t tid, const uint32_t *idx, uint32_t nidx, bool idx_are_ids, uint32_t *first,
                           uint32_t *out_type) {
    uint32_t at = 0;
    for (uint32_t k = 0; k < nidx; k++) {
        uint32_t i = idx[k];
        if (idx_are_ids) {
            auto c = const_bits.find(i);
            if (c == const_bits.end()) return fail("dynamic indexing is not supported (index %%%u)", i);
            i = c->second;
        }
        const Type *t = type(tid);
        if (!t) return fail("unknown type %%%u", tid);
        if (t->kind == T_STRUCT) {
            if (i >= t->members.size()) return fail("member index %u out of range", i);
            for (uint32_t m = 0; m < i; m++) at += flat_count(t->members[m]);
            tid = t->members[i];
        } else if (t->kind == T_VECTOR || t->kind == T_MATRIX) {
            if (i >= t->count) return fail("component index %u out of range", i);
            at += i * flat_count(t->elem);
            tid = t->elem;
        } else {
            return fail("indexing into a scalar");
        }
    }
    *first = at;
    *out_type = tid;
    return true;
}

bool Translator::binary(const Insn &in, SwCode code, bool swap, bool negate) {
    const std::vector<uint32_t> *a = val(in.w[3]), *b = val(in.w[4]);
    if (!a || !b) return false;
    if (a->size() != b->size()) return fail("operand sizes differ (op %u)", in.op);
    std::vector<uint32_t> r;
    for (size_t k = 0; k < a->size(); k++) {
        uint32_t x = (*a)[k], y = (*b)[k];
        uint32_t s = swap ? emit(code, y, x) : emit(code, x, y);
        if (negate) s = emit1(OP_NOT, s);
        r.push_back(s);
    }
    values[in.w[2]] = r;
    return true;
}

bool Translator::ext_inst(const Insn &in, uint32_t rtype, uint32_t rid) {
    const uint32_t *w = in.w;
    if (w[3] != glsl_set) return fail("extended instruction set %%%u is not supported", w[3]);
    uint32_t fn = w[4];
    std::vector<const std::vector<uint32_t> *> args;
    for (uint32_t k = 5; k < in.n; k++) {
        const std::vector<uint32_t> *v = val(w[k]);
        if (!v) return false;
        args.push_back(v);
    }
    auto need = [&](size_t n) { return args.size() == n || fail("wrong operand count for GLSL.std.450 %u", fn); };
    uint32_t n = flat_count(rtype);
    // Component by component: every operand as wide as the result.
    auto need_each = [&](size_t count) {
        if (!need(count)) return false;
        for (const std::vector<uint32_t> *a : args)
            if (a->size() != n) return fail("operand sizes differ (GLSL.std.450 %u)", fn);
        return true;
    };
    std::vector<uint32_t> r;
    SwCode unary = OP_MOV;
    switch (fn) {
    case GLSLstd450FAbs: unary = OP_FABS; break;
    case GLSLstd450Floor: unary = OP_FLOOR; break;
    case GLSLstd450Fract: unary = OP_FRACT; break;
    case GLSLstd450Sin: unary = OP_SIN; break;
    case GLSLstd450Cos: unary = OP_COS; break;
    case GLSLstd450Exp: unary = OP_EXP; break;
    case GLSLstd450Exp2: unary = OP_EXP2; break;
    case GLSLstd450Sqrt: unary = OP_SQRT; break;
    case GLSLstd450InverseSqrt: unary = OP_RSQ; break;
    case GLSLstd450FMin:
    case GLSLstd450FMax:
        if (!need_each(2)) return false;
        for (uint32_t k = 0; k < n; k++) r.push_back(emit(fn == GLSLstd450FMin ? OP_FMIN : OP_FMAX, (*args[0])[k], (*args[1])[k]));
        values[rid] = r;
        return true;
    case GLSLstd450FClamp:
        if (!need_each(3)) return false;
        for (uint32_t k = 0; k < n; k++)
            r.push_back(emit(OP_FMIN, emit(OP_FMAX, (*args[0])[k], (*args[1])[k]), (*args[2])[k]));
        values[rid] = r;
        return true;
    case GLSLstd450FMix: // x + (y - x) * a
        if (!need_each(3)) return false;
        for (uint32_t k = 0; k < n; k++) {
            uint32_t d = emit(OP_FSUB, (*args[1])[k], (*args[0])[k]);
            r.push_back(emit3(OP_MAD, d, (*args[2])[k], (*args[0])[k]));
        }
        values[rid] = r;
        return true;
    case GLSLstd450Fma:
        if (!need_each(3)) return false;
        for (uint32_t k = 0; k < n; k++) r.push_back(emit3(OP_MAD, (*args[0])[k], (*args[1])[k], (*args[2])[k]));
        values[rid] = r;
        return true;
    case GLSLstd450Length:
    case GLSLstd450Normalize: {
        if (!need(1)) return false;
        const std::vector<uint32_t> &v = *args[0];
        if (v.empty() || (fn == GLSLstd450Normalize && v.size() != n)) return fail("normalize or length of a wrong size");
        uint32_t dot = emit(OP_FMUL, v[0], v[0]);
        for (size_t k = 1; k < v.size(); k++) dot = emit3(OP_MAD, v[k], v[k], dot);
        if (fn == GLSLstd450Length) {
            values[rid] = {emit1(OP_SQRT, dot)};
            return true;
        }
        uint32_t inv = emit1(OP_RSQ, dot);
        for (size_t k = 0; k < v.size(); k++) r.push_back(emit(OP_FMUL, v[k], inv));
        values[rid] = r;
        return true;
    }
    case GLSLstd450Cross: {
        if (!need(2) || args[0]->size() != 3 || args[1]->size() != 3) return fail("cross needs two 3-vectors");
        const std::vector<uint32_t> &a = *args[0], &b = *args[1];
        for (int k = 0; k < 3; k++) {
            int i = (k + 1) % 3, j = (k + 2) % 3;
            r.push_back(emit(OP_FSUB, emit(OP_FMUL, a[i], b[j]), emit(OP_FMUL, a[j], b[i])));
        }
        values[rid] = r;
        return true;
    }
    default: return fail("GLSL.std.450 instruction %u is not supported", fn);
    }
    if (!need_each(1)) return false;
    for (uint32_t k = 0; k < n; k++) r.push_back(emit1(unary, (*args[0])[k]));
    values[rid] = r;
    return true;
}

// An access chain made earlier, or a whole variable; what names the use in
// the failure ("load from %N, which is not a variable").
bool Translator::resolve_pointer(uint32_t id, const char *what, Pointer *out) {
    auto pv = pointers.find(id);
    if (pv != pointers.end()) {
        *out = pv->second;
        return true;
    }
    auto v = vars.find(id);
    if (v == vars.end()) {
        char b[200];
        snprintf(b, sizeof b, "%s %%%u, which is not a variable", what, id);
        *err = b;
        return false;
    }
    *out = {id, 0, v->second.type};
    return true;
}

bool Translator::instruction(const Insn &in) {
    const uint32_t *w = in.w;
    switch (in.op) {
    case SpvOpLine:
    case SpvOpNoLine:
    case SpvOpSelectionMerge:
        return true;
    case SpvOpVariable: {
        if (w[3] != SpvStorageClassFunction) return fail("variable %%%u inside the function is not function-local", w[2]);
        return declare_variable(in);
    }
    case SpvOpUndef:
        values[w[2]] = std::vector<uint32_t>(flat_count(w[1]), constant(0));
        return true;
    case SpvOpAccessChain:
    case SpvOpInBoundsAccessChain: {
        Pointer base;
        if (!resolve_pointer(w[3], "access chain on", &base)) return false;
        uint32_t first = 0, t = 0;
        if (!sub_range(base.type, w + 4, in.n - 4, true, &first, &t)) return false;
        pointers[w[2]] = {base.var, base.first + first, t};
        return true;
    }
    case SpvOpLoad: {
        Pointer ptr;
        if (!resolve_pointer(w[3], "load from", &ptr)) return false;
        const Variable &var = vars[ptr.var];
        uint32_t n = flat_count(ptr.type);
        const size_t held = var.storage == SpvStorageClassUniform ? var.offsets.size() : var.slots.size();
        if ((size_t)ptr.first + n > held) return fail("load past the end of variable %%%u", ptr.var);
        std::vector<uint32_t> r;
        for (uint32_t k = 0; k < n; k++) {
            if (var.storage == SpvStorageClassUniform) {
                uint32_t s = new_slot(true);
                SwOp o = {OP_CBLOAD, 0, s, var.binding, 0, var.offsets[ptr.first + k]};
                p->prologue.push_back(o);
                r.push_back(s);
            } else if (var.storage == SpvStorageClassInput) {
                r.push_back(var.slots[ptr.first + k]); // inputs never change
            } else {
                r.push_back(emit1(OP_MOV, var.slots[ptr.first + k])); // later stores must not show through
            }
        }
        values[w[2]] = r;
        return true;
    }
    case SpvOpStore: {
        Pointer ptr;
        if (!resolve_pointer(w[1], "store to", &ptr)) return false;
        const Variable &var = vars[ptr.var];
        if (var.storage != SpvStorageClassOutput && var.storage != SpvStorageClassFunction)
            return fail("store to a read-only variable %%%u", ptr.var);
        const std::vector<uint32_t> *src = val(w[2]);
        if (!src) return false;
        if (src->size() != flat_count(ptr.type) || (size_t)ptr.first + src->size() > var.slots.size())
            return fail("store of a value of the wrong size to %%%u", ptr.var);
        for (size_t k = 0; k < src->size(); k++) {
            uint32_t dst = var.slots[ptr.first + k];
            // An output stored once needs no select: the lanes that never
            // reach the store return nothing there (discarded, or an
            // output Direct3D leaves undefined).
            if (in_entry_block || (var.storage == SpvStorageClassOutput && stores_to[ptr.var] == 1)) {
                emit_body(OP_MOV, dst, (*src)[k]);
            } else { // lanes that skipped this block keep what they had
                uint32_t t = new_slot();
                emit_body(OP_SEL, t, cur_mask, (*src)[k], dst);
                emit_body(OP_MOV, dst, t);
            }
        }
        return true;
    }
    case SpvOpCopyObject:
    case SpvOpBitcast: {
        const std::vector<uint32_t> *v = val(w[3]);
        if (!v) return false;
        values[w[2]] = *v;
        return true;
    }
    case SpvOpCompositeConstruct: {
        std::vector<uint32_t> r;
        for (uint32_t k = 3; k < in.n; k++) {
            const std::vector<uint32_t> *v = val(w[k]);
            if (!v) return false;
            r.insert(r.end(), v->begin(), v->end());
            if (r.size() > kMaxFlat) return fail("composite %%%u is too large", w[2]);
        }
        values[w[2]] = r;
        return true;
    }
    case SpvOpCompositeExtract: {
        const std::vector<uint32_t> *v = val(w[3]);
        if (!v) return false;
        auto t = type_of.find(w[3]);
        if (t == type_of.end()) return fail("composite %%%u of unknown type", w[3]);
        uint32_t first = 0, rt = 0;
        if (!sub_range(t->second, w + 4, in.n - 4, false, &first, &rt)) return false;
        if ((size_t)first + flat_count(rt) > v->size()) return fail("extract past the end of %%%u", w[3]);
        values[w[2]] = std::vector<uint32_t>(v->begin() + first, v->begin() + first + flat_count(rt));
        return true;
    }
    case SpvOpCompositeInsert: {
        const std::vector<uint32_t> *obj = val(w[3]), *comp = val(w[4]);
        if (!obj || !comp) return false;
        uint32_t first = 0, rt = 0;
        if (!sub_range(w[1], w + 5, in.n - 5, false, &first, &rt)) return false;
        if (comp->size() != flat_count(rt) || (size_t)first + comp->size() > obj->size())
            return fail("insert past the end of %%%u", w[3]);
        std::vector<uint32_t> r = *obj;
        for (size_t k = 0; k < comp->size(); k++) r[first + k] = (*comp)[k];
        values[w[2]] = r;
        return true;
    }
    case SpvOpVectorShuffle: {
        const std::vector<uint32_t> *a = val(w[3]), *b = val(w[4]);
        if (!a || !b) return false;
        std::vector<uint32_t> r;
        for (uint32_t k = 5; k < in.n; k++) {
            uint32_t i = w[k];
            if (a->empty()) return fail("shuffle of an empty vector");
            if (i == 0xffffffffu) r.push_back((*a)[0]);
            else if (i < a->size()) r.push_back((*a)[i]);
            else if (i - a->size() < b->size()) r.push_back((*b)[i - a->size()]);
            else return fail("shuffle index %u out of range", i);
        }
        values[w[2]] = r;
        return true;
    }
    case SpvOpConvertFToU:
    case SpvOpConvertFToS:
    case SpvOpConvertSToF:
    case SpvOpConvertUToF:
    case SpvOpFNegate:
    case SpvOpSNegate:
    case SpvOpNot:
    case SpvOpLogicalNot: {
        const std::vector<uint32_t> *a = val(w[3]);
        if (!a) return false;
        std::vector<uint32_t> r;
        for (uint32_t s : *a) {
            switch (in.op) {
            case SpvOpConvertFToU: r.push_back(emit1(OP_F2U, s)); break;
            case SpvOpConvertFToS: r.push_back(emit1(OP_F2S, s)); break;
            case SpvOpConvertSToF: r.push_back(emit1(OP_S2F, s)); break;
            case SpvOpConvertUToF: r.push_back(emit1(OP_U2F, s)); break;
            case SpvOpFNegate: r.push_back(emit1(OP_FNEG, s)); break;
            case SpvOpSNegate: r.push_back(emit(OP_ISUB, constant(0), s)); break;
            default: r.push_back(emit1(OP_NOT, s)); break;
            }
        }
        values[w[2]] = r;
        return true;
    }
    case SpvOpFAdd: return binary(in, OP_FADD);
    case SpvOpFSub: return binary(in, OP_FSUB);
    case SpvOpFMul: return binary(in, OP_FMUL);
    case SpvOpFDiv: return binary(in, OP_FDIV);
    case SpvOpIAdd: return binary(in, OP_IADD);
    case SpvOpISub: return binary(in, OP_ISUB);
    case SpvOpIMul: return binary(in, OP_IMUL);
    case SpvOpUDiv: return binary(in, OP_UDIV);
    case SpvOpUMod: return binary(in, OP_UMOD);
    case SpvOpShiftLeftLogical: return binary(in, OP_SHL);
    case SpvOpShiftRightLogical: return binary(in, OP_SHRL);
    case SpvOpShiftRightArithmetic: return binary(in, OP_SHRA);
    case SpvOpBitwiseAnd:
    case SpvOpLogicalAnd: return binary(in, OP_AND);
    case SpvOpBitwiseOr:
    case SpvOpLogicalOr: return binary(in, OP_OR);
    case SpvOpBitwiseXor:
    case SpvOpLogicalNotEqual: return binary(in, OP_XOR);
    case SpvOpLogicalEqual: return binary(in, OP_XOR, false, true);
    case SpvOpIEqual: return binary(in, OP_IEQ);
    case SpvOpINotEqual: return binary(in, OP_IEQ, false, true);
    case SpvOpULessThan: return binary(in, OP_ULT);
    case SpvOpULessThanEqual: return binary(in, OP_ULE);
    case SpvOpUGreaterThan: return binary(in, OP_ULT, true);
    case SpvOpUGreaterThanEqual: return binary(in, OP_ULE, true);
    case SpvOpSLessThan: return binary(in, OP_SLT);
    case SpvOpSLessThanEqual: return binary(in, OP_SLE);
    case SpvOpSGreaterThan: return binary(in, OP_SLT, true);
    case SpvOpSGreaterThanEqual: return binary(in, OP_SLE, true);
    case SpvOpFOrdEqual: return binary(in, OP_FEQ);
    case SpvOpFOrdNotEqual: return binary(in, OP_FNE);
    case SpvOpFOrdLessThan: return binary(in, OP_FLT);
    case SpvOpFOrdLessThanEqual: return binary(in, OP_FLE);
    case SpvOpFOrdGreaterThan: return binary(in, OP_FLT, true);
    case SpvOpFOrdGreaterThanEqual: return binary(in, OP_FLE, true);
    // Unordered comparisons are the negated ordered opposites.
    case SpvOpFUnordEqual: return binary(in, OP_FNE, false, true);
    case SpvOpFUnordNotEqual: return binary(in, OP_FEQ, false, true);
    case SpvOpFUnordLessThan: return binary(in, OP_FLE, true, true);
    case SpvOpFUnordLessThanEqual: return binary(in, OP_FLT, true, true);
    case SpvOpFUnordGreaterThan: return binary(in, OP_FLE, false, true);
    case SpvOpFUnordGreaterThanEqual: return binary(in, OP_FLT, false, true);
    case SpvOpVectorTimesScalar:
    case SpvOpMatrixTimesScalar: {
        const std::vector<uint32_t> *a = val(w[3]), *s = val(w[4]);
        if (!a || !s) return false;
        if (s->size() != 1) return fail("scaling by a value that is not a scalar (%%%u)", w[4]);
        std::vector<uint32_t> r;
        for (uint32_t x : *a) r.push_back(emit(OP_FMUL, x, (*s)[0]));
        values[w[2]] = r;
        return true;
    }
    case SpvOpDot: {
        const std::vector<uint32_t> *a = val(w[3]), *b = val(w[4]);
        if (!a || !b || a->size() != b->size() || a->empty()) return fail("dot of unequal vectors");
        uint32_t d = emit(OP_FMUL, (*a)[0], (*b)[0]);
        for (size_t k = 1; k < a->size(); k++) d = emit3(OP_MAD, (*a)[k], (*b)[k], d);
        values[w[2]] = {d};
        return true;
    }
    case SpvOpMatrixTimesVector:
    case SpvOpVectorTimesMatrix: {
        bool mv = in.op == SpvOpMatrixTimesVector;
        uint32_t mid = mv ? w[3] : w[4], vid = mv ? w[4] : w[3];
        const std::vector<uint32_t> *m = val(mid), *v = val(vid);
        auto mt = type_of.find(mid);
        if (!m || !v) return false;
        const Type *t = mt == type_of.end() ? nullptr : type(mt->second);
        if (!t || t->kind != T_MATRIX) return fail("matrix product with %%%u, which is not a matrix", mid);
        uint32_t cols = t->count, rows = flat_count(t->elem);
        if (m->size() != (size_t)cols * rows || v->size() != (mv ? cols : rows))
            return fail("matrix and vector sizes do not match (op %u)", in.op);
        std::vector<uint32_t> r;
        if (mv) { // r[i] = sum over c of M[c][i] v[c]
            for (uint32_t i = 0; i < rows; i++) {
                uint32_t d = emit(OP_FMUL, (*m)[i], (*v)[0]);
                for (uint32_t c = 1; c < cols; c++) d = emit3(OP_MAD, (*m)[c * rows + i], (*v)[c], d);
                r.push_back(d);
            }
        } else { // r[c] = sum over i of v[i] M[c][i]
            for (uint32_t c = 0; c < cols; c++) {
                uint32_t d = emit(OP_FMUL, (*v)[0], (*m)[c * rows]);
                for (uint32_t i = 1; i < rows; i++) d = emit3(OP_MAD, (*v)[i], (*m)[c * rows + i], d);
                r.push_back(d);
            }
        }
        values[w[2]] = r;
        return true;
    }
    case SpvOpSelect: {
        const std::vector<uint32_t> *c = val(w[3]), *a = val(w[4]), *b = val(w[5]);
        if (!c || !a || !b) return false;
        if (b->size() != a->size() || (c->size() != 1 && c->size() != a->size()))
            return fail("select of values of different sizes");
        std::vector<uint32_t> r;
        for (size_t k = 0; k < a->size(); k++)
            r.push_back(emit3(OP_SEL, (*c)[c->size() == 1 ? 0 : k], (*a)[k], (*b)[k]));
        values[w[2]] = r;
        return true;
    }
    case SpvOpAny:
    case SpvOpAll: {
        const std::vector<uint32_t> *a = val(w[3]);
        if (!a) return false;
        if (a->empty()) return fail("any or all of an empty vector");
        uint32_t d = (*a)[0];
        for (size_t k = 1; k < a->size(); k++) d = emit(in.op == SpvOpAny ? OP_OR : OP_AND, d, (*a)[k]);
        values[w[2]] = {d};
        return true;
    }
    case SpvOpExtInst: return ext_inst(in, w[1], w[2]);
    default: return fail("instruction %u is not supported", in.op);
    }
}

bool Translator::translate_function() {
    // Blocks of the one function.
    size_t fn_begin = 0, fn_end = 0;
    int functions = 0;
    for (size_t i = 0; i < insns.size(); i++) {
        if (insns[i].op == SpvOpFunction) {
            functions++;
            fn_begin = i;
        }
        if (insns[i].op == SpvOpFunctionEnd) fn_end = i;
    }
    if (functions != 1) return fail("%u functions: calls are not supported", (uint32_t)functions);
    if (insns[fn_begin].w[2] != entry_fn) return fail("the function is not the entry point");
    std::vector<Block> blocks;
    std::map<uint32_t, size_t> block_of;
    for (size_t i = fn_begin + 1; i < fn_end; i++) {
        const Insn &in = insns[i];
        if (in.op == SpvOpFunctionParameter) return fail("function parameters are not supported");
        if (in.op == SpvOpLabel) {
            Block b;
            b.label = in.w[1];
            b.first = i + 1;
            block_of[b.label] = blocks.size();
            blocks.push_back(b);
        } else if (!blocks.empty()) {
            blocks.back().end = i + 1;
        }
    }
    if (blocks.empty()) return fail("the function has no body");
    std::map<uint32_t, uint32_t> chain_base; // access chain -> its variable
    for (size_t i = fn_begin + 1; i < fn_end; i++) {
        const Insn &in = insns[i];
        if (in.op == SpvOpAccessChain || in.op == SpvOpInBoundsAccessChain) {
            auto b = chain_base.find(in.w[3]);
            chain_base[in.w[2]] = b == chain_base.end() ? in.w[3] : b->second;
        } else if (in.op == SpvOpStore) {
            auto b = chain_base.find(in.w[1]);
            stores_to[b == chain_base.end() ? in.w[1] : b->second]++;
        }
    }
    for (Block &b : blocks) {
        if (b.end <= b.first) return fail("empty block %%%u", b.label);
        const Insn &t = insns[b.end - 1];
        switch (t.op) {
        case SpvOpBranch: b.succ = {t.w[1]}; break;
        case SpvOpBranchConditional: b.succ = {t.w[2], t.w[3]}; break;
        case SpvOpSwitch: {
            auto c = const_bits.find(t.w[1]);
            if (c == const_bits.end()) return fail("a switch on a varying value is not supported");
            uint32_t target = t.w[2];
            for (uint32_t k = 3; k + 1 < t.n; k += 2)
                if (t.w[k] == c->second) target = t.w[k + 1];
            b.succ = {target};
            break;
        }
        case SpvOpKill:
        case SpvOpReturn:
        case SpvOpUnreachable: break;
        default: return fail("block %%%u ends in an unsupported instruction", b.label);
        }
        for (size_t i = b.first; i < b.end; i++)
            if (insns[i].op == SpvOpLoopMerge) return fail("loops are not supported");
        for (uint32_t s : b.succ)
            if (!block_of.count(s)) return fail("branch to unknown block %%%u", s);
    }
    // Topological order by depth-first search; a block met again while on
    // the stack closes a cycle.
    std::vector<size_t> order;
    std::vector<int> state(blocks.size(), 0); // 0 new, 1 on stack, 2 done
    std::vector<std::pair<size_t, size_t>> stack = {{0, 0}};
    state[0] = 1;
    while (!stack.empty()) {
        size_t bi = stack.back().first, &next = stack.back().second;
        if (next < blocks[bi].succ.size()) {
            size_t s = block_of[blocks[bi].succ[next++]];
            if (state[s] == 1) return fail("loops are not supported");
            if (state[s] == 0) {
                state[s] = 1;
                stack.push_back({s, 0});
            }
        } else {
            state[bi] = 2;
            order.push_back(bi);
            stack.pop_back();
        }
    }
    std::vector<size_t> topo(order.rbegin(), order.rend());

    std::map<std::pair<uint32_t, uint32_t>, uint32_t> edges; // (from, to) -> mask slot
    std::vector<uint32_t> returns;
    for (size_t bi : topo) {
        const Block &b = blocks[bi];
        in_entry_block = bi == 0;
        uint32_t mask = p->active_slot;
        size_t skip_at = 0;
        const Insn &t = insns[b.end - 1];
        bool two_way = t.op == SpvOpBranchConditional && t.w[2] != t.w[3];
        uint32_t yes = two_way ? new_slot() : 0, no = two_way ? new_slot() : 0;
        if (!in_entry_block) {
            std::vector<uint32_t> in_edges;
            for (auto &e : edges)
                if (e.first.second == b.label) in_edges.push_back(e.second);
            if (in_edges.empty()) continue; // unreachable
            mask = in_edges[0];
            for (size_t k = 1; k < in_edges.size(); k++) {
                uint32_t m = new_slot();
                emit_body(OP_OR, m, mask, in_edges[k]);
                mask = m;
            }
            skip_at = p->body.size();
            emit_body(OP_SKIP, 0, mask, 0, 0);
        }
        cur_mask = mask;
        for (size_t i = b.first; i + 1 < b.end; i++) {
            const Insn &in = insns[i];
            if (in.op == SpvOpPhi) {
                uint32_t n = flat_count(in.w[1]);
                std::vector<uint32_t> r(n, 0);
                bool any = false;
                for (uint32_t k = 3; k + 1 < in.n; k += 2) {
                    auto e = edges.find({in.w[k + 1], b.label});
                    if (e == edges.end()) continue;
                    const std::vector<uint32_t> *v = val(in.w[k]);
                    if (!v) return false;
                    if (v->size() != n) return fail("phi %%%u of values of another size", in.w[2]);
                    for (uint32_t c = 0; c < n; c++) {
                        uint32_t d = new_slot();
                        if (!any) emit_body(OP_MOV, d, (*v)[c]);
                        else emit_body(OP_SEL, d, e->second, (*v)[c], r[c]);
                        r[c] = d;
                    }
                    any = true;
                }
                values[in.w[2]] = r;
                type_of[in.w[2]] = in.w[1];
                continue;
            }
            // Result types, for extracts and matrix products.
            if (in.op != SpvOpStore && in.op != SpvOpSelectionMerge && in.op != SpvOpLine && in.op != SpvOpNoLine &&
                in.n >= 3)
                type_of[in.w[2]] = in.w[1];
            if (!instruction(in)) return false;
            if (p->slot_count > kMaxSlots) return fail("the program needs more than %u registers", kMaxSlots);
        }
        switch (t.op) {
        case SpvOpBranch: edges[{b.label, t.w[1]}] = mask; break;
        case SpvOpSwitch: edges[{b.label, b.succ[0]}] = mask; break;
        case SpvOpBranchConditional: {
            if (!two_way) {
                edges[{b.label, t.w[2]}] = mask;
                break;
            }
            const std::vector<uint32_t> *c = val(t.w[1]);
            if (!c) return false;
            if (c->size() != 1) return fail("branch on %%%u, which is not a scalar", t.w[1]);
            // After the skip target: a skipped block (mask empty) then leaves
            // both edges empty, whatever its condition slot holds.
            if (!in_entry_block) p->body[skip_at].c = (uint32_t)p->body.size();
            emit_body(OP_AND, yes, mask, (*c)[0]);
            emit_body(OP_ANDN, no, mask, (*c)[0]);
            edges[{b.label, t.w[2]}] = yes;
            edges[{b.label, t.w[3]}] = no;
            break;
        }
        case SpvOpKill: p->can_discard = true; break;
        case SpvOpReturn: returns.push_back(mask); break;
        default: break;
        }
        if (!in_entry_block && !two_way) p->body[skip_at].c = (uint32_t)p->body.size();
    }
    if (returns.empty()) return fail("the program never returns");
    uint32_t done = returns[0];
    for (size_t k = 1; k < returns.size(); k++) {
        uint32_t m = new_slot();
        emit_body(OP_OR, m, done, returns[k]);
        done = m;
    }
    p->done_slot = done;
    return true;
}

} // namespace

// The translated program as the optimiser and the interpreter take it: they
// index registers, constant buffers and operations with these numbers
// unchecked. Whatever the module held, a program that passes here reads and
// writes only its own registers and jumps only forward within its body.
bool sw_program_validate(const SwProgram *p, std::string *err) {
    const uint32_t n = p->slot_count;
    char b[160];
    auto bad = [&](const char *what, size_t i) {
        snprintf(b, sizeof b, "translated program with %s (operation %zu)", what, i);
        *err = b;
        return false;
    };
    for (size_t i = 0; i < p->prologue.size(); i++) {
        const SwOp &o = p->prologue[i];
        if (o.code >= OP_COUNT || o.code == OP_SKIP) return bad("an unknown operation before the body", i);
        if (o.dst >= n) return bad("a result outside the registers", i);
        if (o.code == OP_CBLOAD) {
            if (o.a >= SW_CBUFFER_SLOTS || o.c > SHADER_CBUFFER_BYTES - 4)
                return bad("a load outside the constant buffers", i);
            continue;
        }
        for (int k = 0; k < operand_count(o.code); k++)
            if (operand_of(o, k) >= n) return bad("an operand outside the registers", i);
    }
    for (size_t i = 0; i < p->body.size(); i++) {
        const SwOp &o = p->body[i];
        if (o.code >= OP_COUNT || o.code == OP_CBLOAD) return bad("an unknown operation in the body", i);
        const bool out = o.code == OP_SKIP ? o.c <= i || o.c > p->body.size() : o.dst >= n;
        if (out) return bad("a result or a jump out of range", i);
        for (int k = 0; k < operand_count(o.code); k++)
            if (operand_of(o, k) >= n) return bad("an operand of the body outside the registers", i);
    }
    // A pixel input's spare slot follows it (see declare_variable).
    const uint32_t spare = p->stage == SW_STAGE_PIXEL ? 1 : 0;
    auto io_ok = [&](const SwIo &io, uint32_t after) {
        for (int32_t s : io.slot)
            if (s >= 0 && (uint32_t)s + after >= n) return false;
        return io.components <= 4;
    };
    bool ok = p->active_slot < n && p->done_slot < n && io_ok(p->position, 0) && io_ok(p->frag_coord, 0);
    ok = ok && (p->vertex_index_slot < 0 || (uint32_t)p->vertex_index_slot < n);
    ok = ok && (p->instance_index_slot < 0 || (uint32_t)p->instance_index_slot < n);
    for (const SwIo &io : p->inputs) ok = ok && io_ok(io, spare);
    for (const SwIo &io : p->outputs) ok = ok && io_ok(io, 0);
    for (const auto &c : p->constants) ok = ok && c.first < n;
    return ok || bad("an interface slot outside the registers", 0);
}

bool sw_program_translate(const uint32_t *words, size_t count, SwStage stage, SwProgram *out, std::string *err) {
    static std::atomic<uint64_t> next_serial{1};
    sw_alloc_point(); // the program's operations and tables grow from here
    *out = SwProgram();
    out->serial = next_serial++;
    out->stage = stage;
    Translator t;
    t.p = out;
    t.err = err;
    if (!t.parse(words, count)) return false;
    out->active_slot = t.new_slot();
    bool entry_seen = false;
    for (const Insn &in : t.insns) {
        const uint32_t *w = in.w;
        switch (in.op) {
        case SpvOpCapability:
            if (w[1] != SpvCapabilityShader && w[1] != SpvCapabilityMatrix) return t.fail("capability %u is not supported", w[1]);
            break;
        case SpvOpExtInstImport:
            if (!string_fits(in, 2)) return t.fail("extended instruction set name without its end");
            if (strcmp((const char *)(w + 2), "GLSL.std.450") != 0) return t.fail("unknown extended instruction set");
            t.glsl_set = w[1];
            break;
        case SpvOpEntryPoint: {
            uint32_t model = stage == SW_STAGE_VERTEX ? SpvExecutionModelVertex : SpvExecutionModelFragment;
            if (entry_seen) return t.fail("more than one entry point");
            if (!string_fits(in, 3)) return t.fail("entry-point name without its end");
            if (w[1] != model) return t.fail("entry point of execution model %u for the wrong stage", w[1]);
            t.entry_fn = w[2];
            entry_seen = true;
            break;
        }
        case SpvOpDecorate: {
            Decorations &d = t.decs[w[1]];
            const bool valued = w[2] == SpvDecorationBuiltIn || w[2] == SpvDecorationLocation || w[2] == SpvDecorationBinding;
            if (valued && in.n < 4) return t.fail("decoration %u without its value", w[2]);
            if (w[2] == SpvDecorationBuiltIn) d.builtin = (int32_t)w[3];
            else if (w[2] == SpvDecorationLocation) d.location = (int32_t)w[3];
            else if (w[2] == SpvDecorationBinding) d.binding = (int32_t)w[3];
            else if (w[2] == SpvDecorationFlat || w[2] == SpvDecorationNoPerspective || w[2] == SpvDecorationCentroid || w[2] == SpvDecorationSample) d.interp = true;
            break;
        }
        case SpvOpMemberDecorate: {
            MemberDec &m = t.decs[w[1]].members[w[2]];
            const bool valued = w[3] == SpvDecorationOffset || w[3] == SpvDecorationMatrixStride;
            if (valued && in.n < 5) return t.fail("member decoration %u without its value", w[3]);
            if (w[3] == SpvDecorationOffset) m.offset = w[4];
            else if (w[3] == SpvDecorationMatrixStride) m.matrix_stride = w[4];
            else if (w[3] == SpvDecorationRowMajor) m.row_major = true;
            break;
        }
        case SpvOpTypeVoid: case SpvOpTypeBool: case SpvOpTypeInt: case SpvOpTypeFloat: case SpvOpTypeVector:
        case SpvOpTypeMatrix: case SpvOpTypeStruct: case SpvOpTypePointer: case SpvOpTypeFunction:
        case SpvOpTypeImage: case SpvOpTypeSampler: case SpvOpTypeSampledImage: case SpvOpTypeArray:
        case SpvOpTypeRuntimeArray:
            if (!t.declare_type(in)) return false;
            break;
        case SpvOpConstantTrue: case SpvOpConstantFalse: case SpvOpConstant: case SpvOpConstantComposite:
        case SpvOpConstantNull:
            if (!t.declare_constant(in)) return false;
            break;
        case SpvOpVariable:
            if (w[3] != SpvStorageClassFunction && !t.declare_variable(in)) return false;
            break;
        // Names, debug information, the memory model and execution modes
        // change nothing the executor does; an undefined value is refused
        // where it is used.
        case SpvOpNop: case SpvOpSource: case SpvOpSourceContinued: case SpvOpSourceExtension: case SpvOpName:
        case SpvOpMemberName: case SpvOpString: case SpvOpLine: case SpvOpNoLine: case SpvOpExtension:
        case SpvOpMemoryModel: case SpvOpExecutionMode: case SpvOpExecutionModeId: case SpvOpModuleProcessed:
        case SpvOpDecorateString: case SpvOpMemberDecorateString: case SpvOpUndef: case SpvOpFunction:
            break;
        default: return t.fail("instruction %u is not supported", in.op);
        }
        if (in.op == SpvOpFunction) break; // globals end here
        if (out->slot_count > kMaxSlots) return t.fail("the program needs more than %u registers", kMaxSlots);
    }
    if (!entry_seen) return t.fail("no entry point");
    if (!t.translate_function() || !sw_program_validate(out, err)) return false;
    sw_program_optimize(out);
    return true;
}
