#include "hlsl/spirv_reflect.h"

#include <algorithm>
#include <ctype.h>
#include <string.h>
#include <strings.h>
#include <unordered_map>

namespace {

enum : uint32_t {
    OP_EXTENSION = 10,
    OP_TYPE_BOOL = 20,
    OP_TYPE_INT = 21,
    OP_TYPE_FLOAT = 22,
    OP_TYPE_VECTOR = 23,
    OP_TYPE_MATRIX = 24,
    OP_TYPE_POINTER = 32,
    OP_VARIABLE = 59,
    OP_DECORATE = 71,
    OP_DECORATE_ID = 332,
    OP_DECORATE_STRING = 5632,
    OP_MEMBER_DECORATE_STRING = 5633,

    DEC_BUILTIN = 11,
    DEC_LOCATION = 30,
    DEC_BINDING = 33,
    DEC_DESCRIPTOR_SET = 34,
    DEC_HLSL_COUNTER_BUFFER = 5634,
    DEC_USER_SEMANTIC = 5635,
    DEC_USER_TYPE = 5636,

    SC_INPUT = 1,
    SC_UNIFORM = 2,

    HEADER_WORDS = 5,
};

// A SPIR-V literal string: UTF-8, NUL-terminated, packed little-endian.
std::string literal_string(const uint32_t *w, size_t words) {
    std::string s;
    for (size_t i = 0; i < words * 4; i++) {
        char c = (char)(w[i / 4] >> (8 * (i % 4)));
        if (c == 0) break;
        s += c;
    }
    return s;
}

struct Decorations {
    int32_t location = -1, binding = -1, set = -1;
    bool builtin = false;
    std::string semantic;
};

struct Type {
    uint32_t op = 0;
    uint32_t a = 0, b = 0; // vector: component type, count; matrix: column type, count; pointer: storage, pointee
};

// Walks the instructions after the header; f(opcode, operands, operand count).
// False if an instruction runs past the end.
template <typename F> bool each_instruction(const std::vector<uint32_t> &s, F f) {
    size_t i = HEADER_WORDS;
    while (i < s.size()) {
        uint32_t len = s[i] >> 16, op = s[i] & 0xffff;
        if (len == 0 || i + len > s.size()) return false;
        f(op, &s[i + 1], (size_t)len - 1);
        i += len;
    }
    return true;
}

bool add_input(SpirvInterface *out, const std::string &semantic, uint32_t location,
               uint32_t components, std::string *err) {
    size_t digits = semantic.size();
    while (digits > 0 && isdigit((unsigned char)semantic[digits - 1])) digits--;
    ShaderBlobInput in = {};
    if (digits == 0 || digits >= SHADER_BLOB_MAX_SEMANTIC) {
        *err = "error: unsupported input semantic '" + semantic + "'";
        return false;
    }
    for (size_t i = 0; i < digits; i++) in.semantic[i] = (char)toupper((unsigned char)semantic[i]);
    in.semantic_index = digits < semantic.size() ? (uint32_t)atoi(semantic.c_str() + digits) : 0;
    in.location = location;
    in.components = components;
    out->inputs.push_back(in);
    return true;
}

} // namespace

bool spirv_read_interface(const std::vector<uint32_t> &spirv, ShaderStage stage,
                          SpirvInterface *out, std::string *err) {
    *out = SpirvInterface();
    std::unordered_map<uint32_t, Decorations> dec;
    std::unordered_map<uint32_t, Type> types;
    std::vector<std::pair<uint32_t, uint32_t>> vars; // (id, pointer type) of Input/Uniform
    if (spirv.size() < HEADER_WORDS) {
        *err = "error: no SPIR-V";
        return false;
    }
    bool ok = each_instruction(spirv, [&](uint32_t op, const uint32_t *o, size_t n) {
        switch (op) {
        case OP_DECORATE:
            if (n >= 2) {
                Decorations &d = dec[o[0]];
                if (o[1] == DEC_BUILTIN) d.builtin = true;
                if (n >= 3 && o[1] == DEC_LOCATION) d.location = (int32_t)o[2];
                if (n >= 3 && o[1] == DEC_BINDING) d.binding = (int32_t)o[2];
                if (n >= 3 && o[1] == DEC_DESCRIPTOR_SET) d.set = (int32_t)o[2];
            }
            break;
        case OP_DECORATE_STRING:
            if (n >= 3 && o[1] == DEC_USER_SEMANTIC) dec[o[0]].semantic = literal_string(o + 2, n - 2);
            break;
        case OP_TYPE_BOOL:
        case OP_TYPE_INT:
        case OP_TYPE_FLOAT:
            if (n >= 1) types[o[0]] = Type{op, 0, 0};
            break;
        case OP_TYPE_VECTOR:
        case OP_TYPE_MATRIX:
        case OP_TYPE_POINTER:
            if (n >= 3) types[o[0]] = Type{op, o[1], o[2]};
            break;
        case OP_VARIABLE:
            if (n >= 3 && (o[2] == SC_INPUT || o[2] == SC_UNIFORM)) vars.push_back({o[1], o[0]});
            break;
        }
    });
    if (!ok) {
        *err = "error: malformed SPIR-V";
        return false;
    }

    const uint32_t base = stage == SHADER_STAGE_PIXEL ? SHADER_PS_CBUFFER_BINDING_BASE : 0;
    for (auto [id, ptr] : vars) {
        const Type &pt = types[ptr];
        const Decorations &d = dec[id];
        if (pt.a == SC_UNIFORM) {
            int32_t reg = d.binding - (int32_t)base;
            if (d.binding < 0 || reg < 0 || reg >= SHADER_CBUFFER_SLOTS || d.set > 0) {
                *err = "error: constant buffer outside registers b0..b13";
                return false;
            }
            out->cbuffer_mask |= 1u << reg;
            continue;
        }
        // Pixel-program inputs are matched by location against the vertex
        // program's outputs; only vertex inputs form a signature.
        if (stage != SHADER_STAGE_VERTEX || d.builtin) continue;
        if (strncasecmp(d.semantic.c_str(), "SV_", 3) == 0) continue;
        if (d.semantic.empty() || d.location < 0) {
            *err = "error: vertex input without a semantic";
            return false;
        }
        // A matrix input takes one location and one semantic index per column.
        const Type &t = types[pt.b];
        uint32_t columns = 1;
        const Type *col = &t;
        if (t.op == OP_TYPE_MATRIX) {
            columns = t.b;
            col = &types[t.a];
        }
        uint32_t comps = col->op == OP_TYPE_VECTOR ? col->b : 1;
        uint32_t scalar = col->op == OP_TYPE_VECTOR ? types[col->a].op : col->op;
        if (scalar != OP_TYPE_FLOAT && scalar != OP_TYPE_INT) {
            *err = "error: unsupported type for vertex input '" + d.semantic + "'";
            return false;
        }
        for (uint32_t c = 0; c < columns; c++) {
            if (!add_input(out, d.semantic, (uint32_t)d.location + c, comps, err)) return false;
            if (c > 0) out->inputs.back().semantic_index += c;
        }
    }
    std::sort(out->inputs.begin(), out->inputs.end(),
              [](const ShaderBlobInput &a, const ShaderBlobInput &b) { return a.location < b.location; });
    return true;
}

void spirv_strip_hlsl_info(std::vector<uint32_t> *spirv) {
    std::vector<uint32_t> &s = *spirv;
    if (s.size() < HEADER_WORDS) return;
    size_t in = HEADER_WORDS, keep = HEADER_WORDS;
    while (in < s.size()) {
        uint32_t len = s[in] >> 16, op = s[in] & 0xffff;
        if (len == 0 || in + len > s.size()) break;
        const uint32_t *o = &s[in + 1];
        bool drop = false;
        if (op == OP_EXTENSION) {
            drop = literal_string(o, len - 1).compare(0, 11, "SPV_GOOGLE_") == 0;
        } else if (op == OP_DECORATE_STRING || op == OP_DECORATE_ID) {
            drop = len >= 3 && (o[1] == DEC_USER_SEMANTIC || o[1] == DEC_USER_TYPE ||
                                o[1] == DEC_HLSL_COUNTER_BUFFER);
        } else if (op == OP_MEMBER_DECORATE_STRING) {
            drop = len >= 4 && (o[2] == DEC_USER_SEMANTIC || o[2] == DEC_USER_TYPE);
        }
        if (!drop) {
            memmove(&s[keep], &s[in], len * sizeof(uint32_t));
            keep += len;
        }
        in += len;
    }
    s.resize(keep);
}
