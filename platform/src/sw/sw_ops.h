// Internals shared by the program translator (sw_translate.cpp), its
// optimiser (sw_optimize.cpp) and the interpreter (sw_interp.cpp): the
// operation codes and how to reach an operation's source slots.
#pragma once
#include <stdint.h>

#include <string>

#include "sw/sw_program.h"

enum SwCode : uint16_t {
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
    // Sums of products the optimiser makes of a multiplication and the
    // multiply-adds that accumulate onto it: s = a * b, then s = x * y + s
    // for each further pair (c, more[0]), (more[1], more[2]), (more[3],
    // more[4]), each product and each sum rounded as the separate operations
    // round them.
    OP_DOT2,
    OP_DOT3,
    OP_DOT4,
    OP_COUNT,
};

// Marks an operation the optimiser has removed, until it compacts the list.
const uint16_t kDeadOp = 0xffff;

// Source slots an operation reads (a, then b, then c); a skip reads its
// mask a (its c is a jump target). Not for constant-buffer loads, whose a
// and c are a buffer and a byte offset: callers leave them out.
inline int operand_count(uint16_t code) {
    switch (code) {
    case OP_SEL:
    case OP_MAD: return 3;
    case OP_MOV: case OP_NOT: case OP_FNEG: case OP_FABS: case OP_FRACT: case OP_FLOOR: case OP_SQRT:
    case OP_RSQ: case OP_EXP: case OP_EXP2: case OP_SIN: case OP_COS: case OP_S2F: case OP_U2F: case OP_F2S:
    case OP_F2U: case OP_SKIP: return 1;
    case OP_DOT2: return 4;
    case OP_DOT3: return 6;
    case OP_DOT4: return 8;
    default: return 2;
    }
}

inline uint32_t *operand(SwOp &o, int k) { return k == 0 ? &o.a : k == 1 ? &o.b : k == 2 ? &o.c : &o.more[k - 3]; }
inline uint32_t operand_of(const SwOp &o, int k) { return k == 0 ? o.a : k == 1 ? o.b : k == 2 ? o.c : o.more[k - 3]; }

// The translator's last check (see sw_translate.cpp): true when every
// operation, slot and jump of p is within its program; otherwise false with
// the first fault in *err.
bool sw_program_validate(const SwProgram *p, std::string *err);

// The optimiser's passes over a freshly translated (and validated) program:
// copies, unread values and short skips go, and inputs nobody reads lose
// their slot.
void sw_program_optimize(SwProgram *p);
