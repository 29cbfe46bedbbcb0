#include "hlsl/spirv_reflect.h"

#include <spirv-tools/libspirv.hpp>
#include <spirv/unified1/spirv.h>

#include <algorithm>
#include <ctype.h>
#include <string.h>
#include <strings.h>
#include <unordered_map>

namespace {

enum : uint32_t { HEADER_WORDS = 5 };

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
        case SpvOpDecorate:
            if (n >= 2) {
                Decorations &d = dec[o[0]];
                if (o[1] == SpvDecorationBuiltIn) d.builtin = true;
                if (n >= 3 && o[1] == SpvDecorationLocation) d.location = (int32_t)o[2];
                if (n >= 3 && o[1] == SpvDecorationBinding) d.binding = (int32_t)o[2];
                if (n >= 3 && o[1] == SpvDecorationDescriptorSet) d.set = (int32_t)o[2];
            }
            break;
        case SpvOpDecorateString:
            if (n >= 3 && o[1] == SpvDecorationUserSemantic) dec[o[0]].semantic = literal_string(o + 2, n - 2);
            break;
        case SpvOpTypeBool:
        case SpvOpTypeInt:
        case SpvOpTypeFloat:
            if (n >= 1) types[o[0]] = Type{op, 0, 0};
            break;
        case SpvOpTypeVector:
        case SpvOpTypeMatrix:
        case SpvOpTypePointer:
            if (n >= 3) types[o[0]] = Type{op, o[1], o[2]};
            break;
        case SpvOpVariable:
            if (n >= 3 && (o[2] == SpvStorageClassInput || o[2] == SpvStorageClassUniform)) vars.push_back({o[1], o[0]});
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
        if (pt.a == SpvStorageClassUniform) {
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
        if (t.op == SpvOpTypeMatrix) {
            columns = t.b;
            col = &types[t.a];
        }
        uint32_t comps = col->op == SpvOpTypeVector ? col->b : 1;
        uint32_t scalar = col->op == SpvOpTypeVector ? types[col->a].op : col->op;
        if (scalar != SpvOpTypeFloat && scalar != SpvOpTypeInt) {
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
        if (op == SpvOpExtension) {
            drop = literal_string(o, len - 1).compare(0, 11, "SPV_GOOGLE_") == 0;
        } else if (op == SpvOpDecorateString || op == SpvOpDecorateId) {
            drop = len >= 3 && (o[1] == SpvDecorationUserSemantic || o[1] == SpvDecorationUserTypeGOOGLE ||
                                o[1] == SpvDecorationHlslCounterBufferGOOGLE);
        } else if (op == SpvOpMemberDecorateString) {
            drop = len >= 4 && (o[2] == SpvDecorationUserSemantic || o[2] == SpvDecorationUserTypeGOOGLE);
        }
        if (!drop) {
            memmove(&s[keep], &s[in], len * sizeof(uint32_t));
            keep += len;
        }
        in += len;
    }
    s.resize(keep);
}

bool spirv_check(const uint32_t *words, size_t count, std::string *err) {
    std::string first;
    spvtools::SpirvTools tools(SPV_ENV_VULKAN_1_1);
    tools.SetMessageConsumer([&first](spv_message_level_t level, const char *, const spv_position_t &, const char *m) {
        if (level <= SPV_MSG_ERROR && first.empty()) first = m;
    });
    if (!tools.Validate(words, count)) {
        *err = first.empty() ? "invalid SPIR-V" : first;
        return false;
    }
    // Valid SPIR-V, but no Direct3D 11 constant buffer is larger than 4096
    // registers of 16 bytes: a member placed beyond cannot come from HLSL.
    for (size_t i = HEADER_WORDS; i < count; i += words[i] >> 16) {
        const uint32_t n = words[i] >> 16, *o = words + i + 1;
        if ((words[i] & 0xffff) == SpvOpMemberDecorate && n >= 5 && o[2] == SpvDecorationOffset &&
            o[3] > SHADER_CBUFFER_BYTES - 4) {
            *err = "a constant-buffer member past the 64 KiB of a buffer";
            return false;
        }
    }
    return true;
}
