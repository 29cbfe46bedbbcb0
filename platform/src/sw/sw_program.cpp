// SPIR-V to lane-batch operations (see sw_program.h), and their execution.
#include "sw/sw_program.h"

#include "sw/sw_math.h"
#include "sw/sw_simd.h"

#include <atomic>
#include <map>
#include <stdio.h>
#include <string.h>

namespace {

enum Code : uint16_t {
    OP_MOV,
    OP_SEL, // dst = a ? b : c (a a mask)
    OP_AND,
    OP_OR,
    OP_XOR,
    OP_ANDN, // a & ~b
    OP_NOT,
    OP_FADD,
    OP_FSUB,
    OP_FMUL,
    OP_FDIV,
    OP_FNEG,
    OP_MAD, // a * b + c, rounded twice
    OP_FMIN,
    OP_FMAX,
    OP_FABS,
    OP_FRACT,
    OP_FLOOR,
    OP_SQRT,
    OP_RSQ,
    OP_EXP,
    OP_EXP2,
    OP_SIN,
    OP_COS,
    OP_IADD,
    OP_ISUB,
    OP_IMUL,
    OP_SHL,
    OP_SHRL,
    OP_SHRA,
    OP_UDIV,
    OP_UMOD,
    OP_S2F,
    OP_U2F,
    OP_F2S,
    OP_F2U,
    OP_FLT,
    OP_FLE,
    OP_FEQ,
    OP_FNE, // ordered: false when either is NaN
    OP_IEQ,
    OP_ULT,
    OP_ULE,
    OP_SLT,
    OP_SLE,
    OP_CBLOAD, // dst = word of buffer a at byte offset c, every lane
    OP_SKIP,   // when no lane of a is set, continue at op c
};

// ---- SPIR-V numbers used here
enum {
    SpvOpUndef = 1, SpvOpSource = 3, SpvOpSourceExtension = 4, SpvOpName = 5, SpvOpMemberName = 6, SpvOpString = 7,
    SpvOpLine = 8, SpvOpExtension = 10, SpvOpExtInstImport = 11, SpvOpExtInst = 12, SpvOpMemoryModel = 14,
    SpvOpEntryPoint = 15, SpvOpExecutionMode = 16, SpvOpCapability = 17, SpvOpTypeVoid = 19, SpvOpTypeBool = 20,
    SpvOpTypeInt = 21, SpvOpTypeFloat = 22, SpvOpTypeVector = 23, SpvOpTypeMatrix = 24, SpvOpTypeStruct = 30,
    SpvOpTypePointer = 32, SpvOpTypeFunction = 33, SpvOpConstantTrue = 41, SpvOpConstantFalse = 42,
    SpvOpConstant = 43, SpvOpConstantComposite = 44, SpvOpConstantNull = 46, SpvOpFunction = 54,
    SpvOpFunctionEnd = 56, SpvOpFunctionParameter = 55, SpvOpVariable = 59, SpvOpLoad = 61, SpvOpStore = 62, SpvOpAccessChain = 65,
    SpvOpInBoundsAccessChain = 66, SpvOpDecorate = 71, SpvOpMemberDecorate = 72, SpvOpVectorShuffle = 79,
    SpvOpCompositeConstruct = 80, SpvOpCompositeExtract = 81, SpvOpCompositeInsert = 82, SpvOpCopyObject = 83,
    SpvOpConvertFToU = 109, SpvOpConvertFToS = 110, SpvOpConvertSToF = 111, SpvOpConvertUToF = 112,
    SpvOpBitcast = 124, SpvOpSNegate = 126, SpvOpFNegate = 127, SpvOpIAdd = 128, SpvOpFAdd = 129, SpvOpISub = 130,
    SpvOpFSub = 131, SpvOpIMul = 132, SpvOpFMul = 133, SpvOpUDiv = 134, SpvOpFDiv = 136, SpvOpUMod = 137,
    SpvOpVectorTimesScalar = 142, SpvOpMatrixTimesScalar = 143, SpvOpVectorTimesMatrix = 144,
    SpvOpMatrixTimesVector = 145, SpvOpDot = 148, SpvOpAny = 154, SpvOpAll = 155, SpvOpLogicalEqual = 164,
    SpvOpLogicalNotEqual = 165, SpvOpLogicalOr = 166, SpvOpLogicalAnd = 167, SpvOpLogicalNot = 168,
    SpvOpSelect = 169, SpvOpIEqual = 170, SpvOpINotEqual = 171, SpvOpUGreaterThan = 172,
    SpvOpSGreaterThan = 173, SpvOpUGreaterThanEqual = 174, SpvOpSGreaterThanEqual = 175, SpvOpULessThan = 176,
    SpvOpSLessThan = 177, SpvOpULessThanEqual = 178, SpvOpSLessThanEqual = 179, SpvOpFOrdEqual = 180,
    SpvOpFUnordEqual = 181, SpvOpFOrdNotEqual = 182, SpvOpFUnordNotEqual = 183, SpvOpFOrdLessThan = 184,
    SpvOpFUnordLessThan = 185, SpvOpFOrdGreaterThan = 186, SpvOpFUnordGreaterThan = 187,
    SpvOpFOrdLessThanEqual = 188, SpvOpFUnordLessThanEqual = 189, SpvOpFOrdGreaterThanEqual = 190,
    SpvOpFUnordGreaterThanEqual = 191, SpvOpShiftRightLogical = 194, SpvOpShiftRightArithmetic = 195,
    SpvOpShiftLeftLogical = 196, SpvOpBitwiseOr = 197, SpvOpBitwiseXor = 198, SpvOpBitwiseAnd = 199,
    SpvOpNot = 200, SpvOpPhi = 245, SpvOpLoopMerge = 246, SpvOpSelectionMerge = 247, SpvOpLabel = 248,
    SpvOpBranch = 249, SpvOpBranchConditional = 250, SpvOpSwitch = 251, SpvOpKill = 252, SpvOpReturn = 253,
    SpvOpUnreachable = 255, SpvOpNoLine = 317, SpvOpModuleProcessed = 330,
};
enum { DecRowMajor = 4, DecMatrixStride = 7, DecBuiltIn = 11, DecNoPerspective = 13, DecFlat = 14,
       DecCentroid = 16, DecSample = 17, DecLocation = 30, DecBinding = 33, DecOffset = 35 };
enum { BuiltInPosition = 0, BuiltInFragCoord = 15, BuiltInVertexIndex = 42, BuiltInInstanceIndex = 43 };
enum { StorageInput = 1, StorageUniform = 2, StorageOutput = 3, StorageFunction = 7 };
enum { GlslFAbs = 4, GlslFloor = 8, GlslFract = 10, GlslSin = 13, GlslCos = 14, GlslExp = 27, GlslExp2 = 29,
       GlslSqrt = 31, GlslInverseSqrt = 32, GlslFMin = 37, GlslFMax = 40, GlslFClamp = 43, GlslFMix = 46,
       GlslFma = 50, GlslLength = 66, GlslCross = 68, GlslNormalize = 69 };

enum TypeKind { T_NONE, T_VOID, T_BOOL, T_INT, T_FLOAT, T_VECTOR, T_MATRIX, T_STRUCT, T_POINTER, T_FUNCTION };

struct Type {
    TypeKind kind = T_NONE;
    uint32_t elem = 0;   // vector component / matrix column / pointee type
    uint32_t count = 0;  // vector size / matrix columns
    uint32_t storage = 0;
    uint32_t flat = 0;   // scalar components when flattened
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
    uint32_t emit(Code code, uint32_t a, uint32_t b = 0, uint32_t c = 0, int nin = 2) {
        bool uni = uniform[a] && (nin < 2 || uniform[b]) && (nin < 3 || uniform[c]);
        uint32_t d = new_slot(uni);
        SwOp o = {code, 0, d, a, b, c};
        (uni ? p->prologue : p->body).push_back(o);
        return d;
    }
    uint32_t emit1(Code code, uint32_t a) { return emit(code, a, 0, 0, 1); }
    uint32_t emit3(Code code, uint32_t a, uint32_t b, uint32_t c) { return emit(code, a, b, c, 3); }
    void emit_body(Code code, uint32_t d, uint32_t a, uint32_t b = 0, uint32_t c = 0) {
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
    bool binary(const Insn &in, Code code, bool swap = false, bool negate = false);
};

bool Translator::parse(const uint32_t *words, size_t count) {
    if (count < 5 || words[0] != 0x07230203u) return fail("not a SPIR-V module");
    size_t i = 5;
    while (i < count) {
        uint32_t n = words[i] >> 16;
        if (n == 0 || i + n > count) return fail("truncated SPIR-V instruction at word %u", (uint32_t)i);
        insns.push_back({(uint16_t)(words[i] & 0xffff), words + i, n});
        i += n;
    }
    return true;
}

bool Translator::declare_type(const Insn &in) {
    const uint32_t *w = in.w;
    Type t;
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
    case SpvOpTypeMatrix:
        t.kind = in.op == SpvOpTypeVector ? T_VECTOR : T_MATRIX;
        t.elem = w[2]; t.count = w[3]; t.flat = flat_count(w[2]) * w[3];
        break;
    case SpvOpTypeStruct:
        t.kind = T_STRUCT;
        for (uint32_t k = 2; k < in.n; k++) {
            t.members.push_back(w[k]);
            t.flat += flat_count(w[k]);
        }
        break;
    case SpvOpTypePointer: t.kind = T_POINTER; t.storage = w[2]; t.elem = w[3]; break;
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
    case StorageUniform: {
        if (d.binding < 0) return fail("constant buffer %%%u without a binding", id);
        int reg = d.binding - (p->stage == SW_STAGE_PIXEL ? 14 : 0);
        if (reg < 0 || reg >= SW_CBUFFER_SLOTS) return fail("constant buffer binding %u out of range", d.binding);
        v.binding = (uint32_t)reg;
        p->cbuffer_mask |= 1u << reg;
        if (!layout_uniform(v.type, 0, nullptr, &v.offsets)) return false;
        break;
    }
    case StorageInput:
    case StorageOutput:
    case StorageFunction: {
        if (flat > 16) return fail("variable %%%u is too large", id);
        bool in_ = storage == StorageInput;
        // A pixel input's row is filled by the rasterizers in whole groups
        // of 8 lanes, which may run up to 7 lanes past its end: a spare slot
        // after each takes them.
        const bool spare = in_ && p->stage == SW_STAGE_PIXEL && d.location >= 0;
        for (uint32_t k = 0; k < flat; k++) {
            v.slots.push_back(new_slot(false));
            if (spare) new_slot(false);
        }
        if (storage == StorageFunction) break;
        const Type *vt = type(v.type);
        if (!vt || (vt->kind != T_FLOAT && vt->kind != T_INT && vt->kind != T_VECTOR))
            return fail("interface variable %%%u is not a scalar or vector", id);
        SwIo io;
        io.components = flat;
        for (uint32_t k = 0; k < flat && k < 4; k++) io.slot[k] = (int32_t)v.slots[k];
        if (d.builtin >= 0) {
            if (in_ && d.builtin == BuiltInVertexIndex && p->stage == SW_STAGE_VERTEX) p->vertex_index_slot = io.slot[0];
            else if (in_ && d.builtin == BuiltInInstanceIndex && p->stage == SW_STAGE_VERTEX) p->instance_index_slot = io.slot[0];
            else if (in_ && d.builtin == BuiltInFragCoord && p->stage == SW_STAGE_PIXEL) p->frag_coord = io;
            else if (!in_ && d.builtin == BuiltInPosition && p->stage == SW_STAGE_VERTEX) p->position = io;
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

bool Translator::binary(const Insn &in, Code code, bool swap, bool negate) {
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
    std::vector<uint32_t> r;
    Code unary = OP_MOV;
    switch (fn) {
    case GlslFAbs: unary = OP_FABS; break;
    case GlslFloor: unary = OP_FLOOR; break;
    case GlslFract: unary = OP_FRACT; break;
    case GlslSin: unary = OP_SIN; break;
    case GlslCos: unary = OP_COS; break;
    case GlslExp: unary = OP_EXP; break;
    case GlslExp2: unary = OP_EXP2; break;
    case GlslSqrt: unary = OP_SQRT; break;
    case GlslInverseSqrt: unary = OP_RSQ; break;
    case GlslFMin:
    case GlslFMax:
        if (!need(2)) return false;
        for (uint32_t k = 0; k < n; k++) r.push_back(emit(fn == GlslFMin ? OP_FMIN : OP_FMAX, (*args[0])[k], (*args[1])[k]));
        values[rid] = r;
        return true;
    case GlslFClamp:
        if (!need(3)) return false;
        for (uint32_t k = 0; k < n; k++)
            r.push_back(emit(OP_FMIN, emit(OP_FMAX, (*args[0])[k], (*args[1])[k]), (*args[2])[k]));
        values[rid] = r;
        return true;
    case GlslFMix: // x + (y - x) * a
        if (!need(3)) return false;
        for (uint32_t k = 0; k < n; k++) {
            uint32_t d = emit(OP_FSUB, (*args[1])[k], (*args[0])[k]);
            r.push_back(emit3(OP_MAD, d, (*args[2])[k], (*args[0])[k]));
        }
        values[rid] = r;
        return true;
    case GlslFma:
        if (!need(3)) return false;
        for (uint32_t k = 0; k < n; k++) r.push_back(emit3(OP_MAD, (*args[0])[k], (*args[1])[k], (*args[2])[k]));
        values[rid] = r;
        return true;
    case GlslLength:
    case GlslNormalize: {
        if (!need(1)) return false;
        const std::vector<uint32_t> &v = *args[0];
        uint32_t dot = emit(OP_FMUL, v[0], v[0]);
        for (size_t k = 1; k < v.size(); k++) dot = emit3(OP_MAD, v[k], v[k], dot);
        if (fn == GlslLength) {
            values[rid] = {emit1(OP_SQRT, dot)};
            return true;
        }
        uint32_t inv = emit1(OP_RSQ, dot);
        for (size_t k = 0; k < v.size(); k++) r.push_back(emit(OP_FMUL, v[k], inv));
        values[rid] = r;
        return true;
    }
    case GlslCross: {
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
    if (!need(1)) return false;
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
        if (w[3] != StorageFunction) return fail("variable %%%u inside the function is not function-local", w[2]);
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
        std::vector<uint32_t> r;
        for (uint32_t k = 0; k < n; k++) {
            if (var.storage == StorageUniform) {
                uint32_t s = new_slot(true);
                SwOp o = {OP_CBLOAD, 0, s, var.binding, 0, var.offsets[ptr.first + k]};
                p->prologue.push_back(o);
                r.push_back(s);
            } else if (var.storage == StorageInput) {
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
        if (var.storage != StorageOutput && var.storage != StorageFunction)
            return fail("store to a read-only variable %%%u", ptr.var);
        const std::vector<uint32_t> *src = val(w[2]);
        if (!src) return false;
        for (size_t k = 0; k < src->size(); k++) {
            uint32_t dst = var.slots[ptr.first + k];
            // An output stored once needs no select: the lanes that never
            // reach the store return nothing there (discarded, or an
            // output Direct3D leaves undefined).
            if (in_entry_block || (var.storage == StorageOutput && stores_to[ptr.var] == 1)) {
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
        values[w[2]] = std::vector<uint32_t>(v->begin() + first, v->begin() + first + flat_count(rt));
        return true;
    }
    case SpvOpCompositeInsert: {
        const std::vector<uint32_t> *obj = val(w[3]), *comp = val(w[4]);
        if (!obj || !comp) return false;
        uint32_t first = 0, rt = 0;
        if (!sub_range(w[1], w + 5, in.n - 5, false, &first, &rt)) return false;
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
        std::vector<uint32_t> r;
        for (uint32_t x : *a) r.push_back(emit(OP_FMUL, x, (*s)[0]));
        values[w[2]] = r;
        return true;
    }
    case SpvOpDot: {
        const std::vector<uint32_t> *a = val(w[3]), *b = val(w[4]);
        if (!a || !b || a->size() != b->size()) return fail("dot of unequal vectors");
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
        if (!m || !v || mt == type_of.end()) return false;
        const Type *t = type(mt->second);
        uint32_t cols = t->count, rows = flat_count(t->elem);
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

// ---- clean-up of the translated body
//
// The translation is literal: every load of a local variable is a copy,
// every store in a branch a select and a copy, and values nobody reads
// are still computed. Each operation costs a pass over all lanes, so
// these go before the program ever runs.

const uint16_t kDeadOp = 0xffff;

int operand_count(uint16_t code) {
    switch (code) {
    case OP_SEL:
    case OP_MAD: return 3;
    case OP_MOV: case OP_NOT: case OP_FNEG: case OP_FABS: case OP_FRACT: case OP_FLOOR: case OP_SQRT:
    case OP_RSQ: case OP_EXP: case OP_EXP2: case OP_SIN: case OP_COS: case OP_S2F: case OP_U2F: case OP_F2S:
    case OP_F2U: case OP_SKIP: return 1;
    default: return 2;
    }
}

uint32_t *operand(SwOp &o, int k) { return k == 0 ? &o.a : k == 1 ? &o.b : &o.c; }
uint32_t operand_of(const SwOp &o, int k) { return k == 0 ? o.a : k == 1 ? o.b : o.c; }

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
    // Compact, moving skip targets to the next operation that stays.
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

bool sw_program_translate(const uint32_t *words, size_t count, SwStage stage, SwProgram *out, std::string *err) {
    static std::atomic<uint64_t> next_serial{1};
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
            if (w[1] != 1 && w[1] != 0) return t.fail("capability %u is not supported", w[1]);
            break;
        case SpvOpExtInstImport:
            if (strcmp((const char *)(w + 2), "GLSL.std.450") != 0) return t.fail("unknown extended instruction set");
            t.glsl_set = w[1];
            break;
        case SpvOpEntryPoint: {
            uint32_t model = stage == SW_STAGE_VERTEX ? 0 : 4;
            if (entry_seen) return t.fail("more than one entry point");
            if (w[1] != model) return t.fail("entry point of execution model %u for the wrong stage", w[1]);
            t.entry_fn = w[2];
            entry_seen = true;
            break;
        }
        case SpvOpDecorate: {
            Decorations &d = t.decs[w[1]];
            if (w[2] == DecBuiltIn) d.builtin = (int32_t)w[3];
            else if (w[2] == DecLocation) d.location = (int32_t)w[3];
            else if (w[2] == DecBinding) d.binding = (int32_t)w[3];
            else if (w[2] == DecFlat || w[2] == DecNoPerspective || w[2] == DecCentroid || w[2] == DecSample) d.interp = true;
            break;
        }
        case SpvOpMemberDecorate: {
            MemberDec &m = t.decs[w[1]].members[w[2]];
            if (w[3] == DecOffset) m.offset = w[4];
            else if (w[3] == DecMatrixStride) m.matrix_stride = w[4];
            else if (w[3] == DecRowMajor) m.row_major = true;
            break;
        }
        case SpvOpTypeVoid: case SpvOpTypeBool: case SpvOpTypeInt: case SpvOpTypeFloat: case SpvOpTypeVector:
        case SpvOpTypeMatrix: case SpvOpTypeStruct: case SpvOpTypePointer: case SpvOpTypeFunction:
        case 25: case 26: case 27: case 28: case 29: // image, sampler, sampled image, arrays
            if (!t.declare_type(in)) return false;
            break;
        case SpvOpConstantTrue: case SpvOpConstantFalse: case SpvOpConstant: case SpvOpConstantComposite:
        case SpvOpConstantNull:
            if (!t.declare_constant(in)) return false;
            break;
        case SpvOpVariable:
            if (w[3] != StorageFunction && !t.declare_variable(in)) return false;
            break;
        default: break;
        }
        if (in.op == SpvOpFunction) break; // globals end here
    }
    if (!entry_seen) return t.fail("no entry point");
    if (!t.translate_function()) return false;
    clean_up(out);
    forget_unread_inputs(out);
    return true;
}

void sw_registers_bind(SwRegisters *r, const SwProgram *p) {
    r->serial = p->serial;
    r->active_lanes = UINT32_MAX;
    r->lanes.assign((size_t)p->slot_count * SW_LANES, SwLane{0});
    for (const auto &c : p->constants) {
        SwLane *s = r->slot(c.first);
        for (int l = 0; l < SW_LANES; l++) s[l].u = c.second;
    }
}

namespace {

// One operation over all lanes. Slots never overlap partially: a slot is
// either the destination or a source (the translator never writes in place).
__attribute__((always_inline)) inline void run_op(const SwOp &o, SwLane *R, size_t *pc) {
    SwLane *d = R + (size_t)o.dst * SW_LANES;
    const SwLane *a = R + (size_t)o.a * SW_LANES;
    const SwLane *b = R + (size_t)o.b * SW_LANES;
    const int L = SW_LANES;
    // The third source only where it is one (c is otherwise a jump target):
    // worked out ahead of the switch it costs every operation.
#define THIRD const SwLane *c = R + (size_t)o.c * SW_LANES
#define LANES(expr) for (int l = 0; l < L; l++) expr; break
    switch (o.code) {
    case OP_MOV: LANES(d[l].u = a[l].u);
    case OP_SEL: { THIRD; LANES(d[l].u = (a[l].u & b[l].u) | (~a[l].u & c[l].u)); }
    case OP_AND: LANES(d[l].u = a[l].u & b[l].u);
    case OP_OR: LANES(d[l].u = a[l].u | b[l].u);
    case OP_XOR: LANES(d[l].u = a[l].u ^ b[l].u);
    case OP_ANDN: LANES(d[l].u = a[l].u & ~b[l].u);
    case OP_NOT: LANES(d[l].u = ~a[l].u);
    case OP_FADD: LANES(d[l].f = a[l].f + b[l].f);
    case OP_FSUB: LANES(d[l].f = a[l].f - b[l].f);
    case OP_FMUL: LANES(d[l].f = a[l].f * b[l].f);
    case OP_FDIV: LANES(d[l].f = a[l].f / b[l].f);
    case OP_FNEG: LANES(d[l].u = a[l].u ^ 0x80000000u);
    case OP_MAD: { THIRD; LANES(d[l].f = a[l].f * b[l].f + c[l].f); }
    case OP_FMIN: LANES(d[l].f = b[l].f < a[l].f ? b[l].f : a[l].f);
    case OP_FMAX: LANES(d[l].f = a[l].f < b[l].f ? b[l].f : a[l].f);
    case OP_FABS: LANES(d[l].u = a[l].u & 0x7fffffffu);
    case OP_FRACT: LANES(d[l].f = sw_frac(a[l].f));
    case OP_FLOOR: LANES(d[l].f = a[l].f - sw_frac(a[l].f));
    case OP_SQRT: LANES(d[l].f = __builtin_sqrtf(a[l].f));
    case OP_RSQ: LANES(d[l].f = 1.0f / __builtin_sqrtf(a[l].f));
    case OP_EXP: LANES(d[l].f = sw_exp(a[l].f));
    case OP_EXP2: LANES(d[l].f = sw_exp2(a[l].f));
    case OP_SIN: LANES(d[l].f = sw_sin(a[l].f));
    case OP_COS: LANES(d[l].f = sw_cos(a[l].f));
    case OP_IADD: LANES(d[l].u = a[l].u + b[l].u);
    case OP_ISUB: LANES(d[l].u = a[l].u - b[l].u);
    case OP_IMUL: LANES(d[l].u = a[l].u * b[l].u);
    case OP_SHL: LANES(d[l].u = a[l].u << (b[l].u & 31));
    case OP_SHRL: LANES(d[l].u = a[l].u >> (b[l].u & 31));
    case OP_SHRA: LANES(d[l].i = a[l].i >> (b[l].u & 31));
    case OP_UDIV: LANES(d[l].u = b[l].u ? a[l].u / b[l].u : 0xffffffffu);
    case OP_UMOD: LANES(d[l].u = b[l].u ? a[l].u % b[l].u : 0xffffffffu);
    case OP_S2F: LANES(d[l].f = (float)a[l].i);
    case OP_U2F: LANES(d[l].f = (float)a[l].u);
    case OP_F2S: { // NaN gives 0, out of range saturates
        for (int l = 0; l < L; l++) {
            float x = a[l].f != a[l].f ? 0.0f : a[l].f;
            x = x < -2147483648.0f ? -2147483648.0f : x;
            x = x > 2147483520.0f ? 2147483520.0f : x;
            int32_t v = (int32_t)x;
            d[l].i = a[l].f >= 2147483648.0f ? 0x7fffffff : v;
        }
        break;
    }
    case OP_F2U: {
        for (int l = 0; l < L; l++) {
            float x = a[l].f != a[l].f ? 0.0f : a[l].f;
            x = x < 0.0f ? 0.0f : x;
            x = x > 4294967040.0f ? 4294967040.0f : x;
            uint32_t v = (uint32_t)x;
            d[l].u = a[l].f >= 4294967296.0f ? 0xffffffffu : v;
        }
        break;
    }
    case OP_FLT: LANES(d[l].u = a[l].f < b[l].f ? 0xffffffffu : 0u);
    case OP_FLE: LANES(d[l].u = a[l].f <= b[l].f ? 0xffffffffu : 0u);
    case OP_FEQ: LANES(d[l].u = a[l].f == b[l].f ? 0xffffffffu : 0u);
    case OP_FNE: LANES(d[l].u = (a[l].f < b[l].f || a[l].f > b[l].f) ? 0xffffffffu : 0u);
    case OP_IEQ: LANES(d[l].u = a[l].u == b[l].u ? 0xffffffffu : 0u);
    case OP_ULT: LANES(d[l].u = a[l].u < b[l].u ? 0xffffffffu : 0u);
    case OP_ULE: LANES(d[l].u = a[l].u <= b[l].u ? 0xffffffffu : 0u);
    case OP_SLT: LANES(d[l].u = a[l].i < b[l].i ? 0xffffffffu : 0u);
    case OP_SLE: LANES(d[l].u = a[l].i <= b[l].i ? 0xffffffffu : 0u);
    case OP_SKIP: {
        uint32_t any = 0;
        for (int l = 0; l < L; l++) any |= a[l].u;
        if (!any) *pc = o.c - 1;
        break;
    }
    default: break;
    }
#undef LANES
#undef THIRD
}

} // namespace

void sw_program_prepare(const SwProgram *p, SwRegisters *r, const void *const *cb, const uint32_t *cb_size) {
    SwLane *R = r->lanes.data();
    for (size_t pc = 0; pc < p->prologue.size(); pc++) {
        const SwOp &o = p->prologue[pc];
        if (o.code == OP_CBLOAD) {
            uint32_t bits = 0;
            if (cb[o.a] && o.c + 4 <= cb_size[o.a]) memcpy(&bits, (const uint8_t *)cb[o.a] + o.c, 4);
            SwLane *d = R + (size_t)o.dst * SW_LANES;
            for (int l = 0; l < SW_LANES; l++) d[l].u = bits;
        } else {
            run_op(o, R, &pc);
        }
    }
}

namespace {

// Lanes 0 .. n - 1 active (unless they already are: no operation writes the
// active slot), then the operations.
inline __attribute__((always_inline)) void run_body(const SwOp *ops, size_t count, SwLane *R, SwLane *active,
                                                     uint32_t n, uint32_t *active_lanes) {
    if (*active_lanes != n) {
        for (uint32_t l = 0; l < SW_LANES; l++) active[l].u = l < n ? 0xffffffffu : 0u;
        *active_lanes = n;
    }
    for (size_t pc = 0; pc < count; pc++) run_op(ops[pc], R, &pc);
}

// The interpreter is most of the pixel cost: built for AVX2 too, for
// machines that have it (the same operations, so the same results, wider).
SW_SIMD_BUILDS(void, run, (const SwOp *ops, size_t count, SwLane *R, SwLane *active, uint32_t n, uint32_t *active_lanes),
               (ops, count, R, active, n, active_lanes))

} // namespace

void sw_program_run_ops(const SwProgram *p, SwRegisters *r, const SwOp *ops, size_t count, uint32_t n) {
    SwLane *active = r->slot(p->active_slot);
    run(ops, count, r->lanes.data(), active, n, &r->active_lanes);
}

void sw_program_run(const SwProgram *p, SwRegisters *r, uint32_t n) {
    sw_program_run_ops(p, r, p->body.data(), p->body.size(), n);
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
