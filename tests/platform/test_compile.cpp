// D3DCompile: container contents, SPIR-V shape, errors and blob lifetime.
#include <gtest/gtest.h>

#include <d3d11.h>
#include <d3dcompiler.h>
#include <halvenor/platform_test.h>
#include <spirv-tools/libspirv.hpp>

#include <algorithm>
#include <string.h>
#include <string>
#include <vector>

#include "common/shader_blob.h"

// The engine's program sources (src/gpu/shaders.cpp).
extern const char *const k_src_vs_quad, *const k_src_ps_quad, *const k_src_vs_par, *const k_src_ps_par,
    *const k_src_vs_disk, *const k_src_ps_disk, *const k_src_vs_rock, *const k_src_ps_flat, *const k_src_vs_line;

namespace {

// ---- SPIR-V reading ------------------------------------------------------

enum : uint32_t {
    OP_EXTENSION = 10, OP_EXT_INST = 12, OP_ENTRY_POINT = 15, OP_TYPE_STRUCT = 30,
    OP_VARIABLE = 59, OP_DECORATE = 71, OP_MEMBER_DECORATE = 72, OP_VECTOR_TIMES_MATRIX = 144,
    OP_MATRIX_TIMES_VECTOR = 145, OP_FDIV = 136, OP_KILL = 252, OP_DECORATE_STRING = 5632,
    OP_MEMBER_DECORATE_STRING = 5633,
    DEC_ROW_MAJOR = 4, DEC_COL_MAJOR = 5, DEC_MATRIX_STRIDE = 7, DEC_BUILTIN = 11,
    DEC_LOCATION = 30, DEC_BINDING = 33, DEC_SET = 34, DEC_OFFSET = 35,
    SC_OUTPUT = 3,
    BUILTIN_POSITION = 0, BUILTIN_VERTEX_INDEX = 42, BUILTIN_INSTANCE_INDEX = 43,
    GLSL_FRACT = 10, GLSL_EXP = 27, GLSL_FCLAMP = 43, GLSL_FMIX = 46, GLSL_NCLAMP = 81,
};

struct Inst {
    uint32_t op;
    std::vector<uint32_t> o; // operands
};

std::vector<Inst> instructions(const std::vector<uint32_t> &w) {
    std::vector<Inst> out;
    for (size_t i = 5; i < w.size();) {
        uint32_t len = w[i] >> 16;
        if (len == 0 || i + len > w.size()) {
            ADD_FAILURE() << "malformed SPIR-V at word " << i;
            break;
        }
        out.push_back({w[i] & 0xffff, std::vector<uint32_t>(w.begin() + i + 1, w.begin() + i + len)});
        i += len;
    }
    return out;
}

std::string literal(const std::vector<uint32_t> &o, size_t first) {
    std::string s;
    for (size_t i = first * 4; i < o.size() * 4; i++) {
        char c = (char)(o[i / 4] >> (8 * (i % 4)));
        if (!c) break;
        s += c;
    }
    return s;
}

bool has(const std::vector<Inst> &in, uint32_t op, std::vector<uint32_t> prefix = {}, size_t at = 0) {
    for (const Inst &i : in) {
        if (i.op != op || i.o.size() < at + prefix.size()) continue;
        if (std::equal(prefix.begin(), prefix.end(), i.o.begin() + at)) return true;
    }
    return false;
}

// Value of decoration dec on id (or -1).
int64_t decoration(const std::vector<Inst> &in, uint32_t id, uint32_t dec) {
    for (const Inst &i : in)
        if (i.op == OP_DECORATE && i.o.size() >= 2 && i.o[0] == id && i.o[1] == dec)
            return i.o.size() > 2 ? i.o[2] : 1;
    return -1;
}

int64_t member_decoration(const std::vector<Inst> &in, uint32_t type, uint32_t member, uint32_t dec) {
    for (const Inst &i : in)
        if (i.op == OP_MEMBER_DECORATE && i.o.size() >= 3 && i.o[0] == type && i.o[1] == member && i.o[2] == dec)
            return i.o.size() > 3 ? i.o[3] : 1;
    return -1;
}

bool has_builtin(const std::vector<Inst> &in, uint32_t builtin) {
    return has(in, OP_DECORATE, {DEC_BUILTIN, builtin}, 1);
}

bool has_glsl_op(const std::vector<Inst> &in, uint32_t ext_op) { return has(in, OP_EXT_INST, {ext_op}, 3); }

std::string validate(const std::vector<uint32_t> &spirv) {
    std::string msgs;
    spvtools::SpirvTools tools(SPV_ENV_VULKAN_1_1);
    tools.SetMessageConsumer([&](spv_message_level_t, const char *, const spv_position_t &, const char *m) {
        msgs += m;
        msgs += '\n';
    });
    return tools.Validate(spirv) ? std::string() : "invalid: " + msgs;
}

// ---- compiling -----------------------------------------------------------

struct Result {
    HRESULT hr = E_FAIL;
    ID3DBlob *code = nullptr, *errors = nullptr;
    ShaderBlobHeader header = {};
    std::vector<ShaderBlobInput> inputs;
    std::vector<uint32_t> spirv;

    Result() = default;
    Result(const Result &) = delete;
    ~Result() {
        if (code) code->Release();
        if (errors) errors->Release();
    }
    std::string log() const { return errors ? (const char *)errors->GetBufferPointer() : ""; }
};

// Compiles and unpacks the container, checking its framing on the way.
void compile(Result *r, const char *src, const char *target, const char *name = "galaxy.hlsl",
             const char *entry = "main", const D3D_SHADER_MACRO *defines = nullptr, UINT flags = 0) {
    r->hr = D3DCompile(src, src ? strlen(src) : 0, name, defines, nullptr, entry, target, flags, 0, &r->code,
                       &r->errors);
    if (!r->code) return;
    const uint8_t *p = (const uint8_t *)r->code->GetBufferPointer();
    size_t size = r->code->GetBufferSize();
    ASSERT_GE(size, sizeof(ShaderBlobHeader));
    memcpy(&r->header, p, sizeof r->header);
    ASSERT_EQ(r->header.magic, SHADER_BLOB_MAGIC);
    ASSERT_EQ(r->header.version, SHADER_BLOB_VERSION);
    ASSERT_EQ(size, sizeof(ShaderBlobHeader) + r->header.input_count * sizeof(ShaderBlobInput) +
                        r->header.spirv_words * 4u);
    p += sizeof(ShaderBlobHeader);
    const ShaderBlobInput *in = (const ShaderBlobInput *)p;
    r->inputs.assign(in, in + r->header.input_count);
    const uint32_t *words = (const uint32_t *)(in + r->header.input_count);
    r->spirv.assign(words, words + r->header.spirv_words);
    ASSERT_GE(r->spirv.size(), 5u);
    ASSERT_EQ(r->spirv[0], 0x07230203u);
}

// ---- the engine's program shapes ----------------------------------------

const char *const k_globals = R"(
struct G_t { float4x4 View; float4x4 Proj; float3 CamPos; float Time; float3 _pad1; };
cbuffer Globals : register(b0) { G_t G; };
cbuffer Kind : register(b1) { float4 KindP; };
)";

std::string with_globals(const char *body) { return std::string(k_globals) + body; }

const char *const k_point_vs = R"(
struct VSIn { float3 ipos : TEXCOORD0; float4 icol : TEXCOORD1; float isize : TEXCOORD2;
              uint vid : SV_VertexID; uint iid : SV_InstanceID; };
struct VSOut { float4 pos : SV_POSITION; float4 uv : COLOR; float4 icol : TEXCOORD0; };
VSOut main(VSIn i) {
    VSOut o;
    float2 c = float2((float)(i.vid & 1u), (float)(i.vid >> 1)) * 2.0 - 1.0;
    float3 vp = mul(float4(i.ipos, 1.0), G.View).xyz;
    float3 sp = vp + float3(c * i.isize * KindP.x, 0.0);
    o.pos = mul(float4(sp, 1.0), G.Proj);
    o.uv = float4(c, (float)i.iid, frac(G.Time));
    o.icol = i.icol;
    return o;
}
)";

const char *const k_point_ps = R"(
struct PSIn { float4 pos : SV_POSITION; float4 uv : COLOR; float4 icol : TEXCOORD0; };
float4 main(PSIn i) : SV_Target {
    float r2 = dot(i.uv.xy, i.uv.xy);
    if (r2 > 1.0) discard;
    float a = saturate(1.0 - r2) * exp(-r2 * KindP.y);
    return float4(lerp(i.icol.rgb, float3(1.0, 1.0, 1.0), a), a);
}
)";

// Full-screen triangle from SV_VertexID alone: no input elements.
const char *const k_fullscreen_vs = R"(
struct VSOut { float4 pos : SV_POSITION; float4 uv : COLOR; };
VSOut main(uint vid : SV_VertexID) {
    VSOut o;
    float2 t = float2((float)((vid << 1) & 2u), (float)(vid & 2u));
    o.pos = float4(t * 2.0 - 1.0, 0.0, 1.0);
    o.uv = float4(t, 0.0, 0.0);
    return o;
}
)";

const char *const k_sky_ps = R"(
struct PSIn { float4 pos : SV_POSITION; float4 uv : COLOR; };
float4 main(PSIn i) : SV_Target {
    float n = frac(sin(dot(i.uv.xy, float2(12.9898, 78.233))) * 43758.5453);
    float g = clamp(i.uv.y + G.Time * 0.0, 0.0, 1.0);
    return float4(lerp(KindP.rgb, float3(n, n, n), g * 0.1), 1.0);
}
)";

const char *const k_trail_vs = R"(
struct VSIn { float3 ipos : TEXCOORD0; float4 icol : TEXCOORD1; uint iid : SV_InstanceID; };
struct VSOut { float4 pos : SV_POSITION; float4 icol : TEXCOORD0; };
VSOut main(VSIn i) {
    VSOut o;
    float fade = exp(-(float)i.iid * KindP.z);
    o.pos = mul(mul(float4(i.ipos, 1.0), G.View), G.Proj);
    o.icol = float4(i.icol.rgb, i.icol.a * fade);
    return o;
}
)";

const char *const k_trail_ps = R"(
struct PSIn { float4 pos : SV_POSITION; float4 icol : TEXCOORD0; };
float4 main(PSIn i) : SV_Target { return saturate(i.icol); }
)";

// Mesh vertices plus per-instance data; helper function, ternary, integer modulo.
const char *const k_rock_vs = R"(
struct VSIn { float3 p : POSITION; float3 n : NORMAL; float3 ipos : TEXCOORD0; float3 irot : TEXCOORD1;
              float2 idata : TEXCOORD2; uint iid : SV_InstanceID; };
struct VSOut { float4 pos : SV_POSITION; float4 col : COLOR; };
float3 rotAxis(float3 v, float3 ax, float th) {
    float c = cos(th);
    float s = sin(th);
    return v * c + cross(ax, v) * s + ax * dot(ax, v) * (1.0 - c);
}
VSOut main(VSIn i) {
    VSOut o;
    float3 rp = rotAxis(i.p * i.idata.x, i.irot, i.idata.y + G.Time);
    float3 rn = normalize(rotAxis(i.n, i.irot, i.idata.y));
    float side = (i.iid % 2u) == 0u ? 1.0 : -0.5;
    float3 vp = mul(float4(rp + i.ipos, 1.0), G.View).xyz;
    o.pos = mul(float4(vp, 1.0), G.Proj);
    float l = max(0.0, dot(rn, KindP.xyz)) * side + abs(sqrt(KindP.w));
    o.col = float4(l, l, l, 1.0);
    return o;
}
)";

struct Program {
    const char *what, *target;
    std::string src;
};

std::vector<Program> engine_programs() {
    return {
        {"point vs", "vs_5_0", with_globals(k_point_vs)},
        {"point ps", "ps_5_0", with_globals(k_point_ps)},
        {"fullscreen vs", "vs_5_0", k_fullscreen_vs},
        {"sky ps", "ps_5_0", with_globals(k_sky_ps)},
        {"trail vs", "vs_5_0", with_globals(k_trail_vs)},
        {"trail ps", "ps_5_0", k_trail_ps},
        {"rock vs", "vs_5_0", with_globals(k_rock_vs)},
        // The engine's own nine, exactly as it compiles them.
        {"engine quad vs", "vs_5_0", k_src_vs_quad},
        {"engine quad ps", "ps_5_0", k_src_ps_quad},
        {"engine particle vs", "vs_5_0", k_src_vs_par},
        {"engine particle ps", "ps_5_0", k_src_ps_par},
        {"engine disk vs", "vs_5_0", k_src_vs_disk},
        {"engine disk ps", "ps_5_0", k_src_ps_disk},
        {"engine rock vs", "vs_5_0", k_src_vs_rock},
        {"engine flat ps", "ps_5_0", k_src_ps_flat},
        {"engine line vs", "vs_5_0", k_src_vs_line},
    };
}

// ---- tests ---------------------------------------------------------------

TEST(Compile, EngineProgramsGiveValidVulkanSpirvWithoutHlslExtensions) {
    for (const Program &p : engine_programs()) {
        SCOPED_TRACE(p.what);
        Result r;
        compile(&r, p.src.c_str(), p.target);
        ASSERT_EQ(r.hr, S_OK) << r.log();
        EXPECT_EQ(r.errors, nullptr) << r.log();
        EXPECT_EQ(r.header.stage, strncmp(p.target, "vs", 2) == 0 ? SHADER_STAGE_VERTEX : SHADER_STAGE_PIXEL);
        EXPECT_EQ(validate(r.spirv), "");
        std::vector<Inst> in = instructions(r.spirv);
        for (const Inst &i : in) {
            if (i.op == OP_EXTENSION) ADD_FAILURE() << "extension left: " << literal(i.o, 0);
            if (i.op == OP_DECORATE_STRING || i.op == OP_MEMBER_DECORATE_STRING)
                ADD_FAILURE() << "string decoration left, kind " << i.o[i.op == OP_DECORATE_STRING ? 1 : 2];
        }
        // The device creates every program's pipeline stage with entry "main".
        bool main_entry = false;
        for (const Inst &i : in) main_entry |= i.op == OP_ENTRY_POINT && literal(i.o, 2) == "main";
        EXPECT_TRUE(main_entry);
    }
}

struct SignatureCase {
    const char *what, *src;
    std::vector<ShaderBlobInput> inputs;
    uint32_t cbuffer_mask;
};

TEST(Compile, VertexSignatureComesFromSemantics) {
    const std::string point_vs = with_globals(k_point_vs), rock_vs = with_globals(k_rock_vs);
    const SignatureCase cases[] = {
        {"engine point program: system values are not inputs", point_vs.c_str(),
         {{"TEXCOORD", 0, 0, 3}, {"TEXCOORD", 1, 1, 4}, {"TEXCOORD", 2, 2, 1}}, 0x3},
        {"mesh and instance streams", rock_vs.c_str(),
         {{"POSITION", 0, 0, 3}, {"NORMAL", 0, 1, 3}, {"TEXCOORD", 0, 2, 3}, {"TEXCOORD", 1, 3, 3},
          {"TEXCOORD", 2, 4, 2}}, 0x3},
        {"loose parameters, lower-case semantics, an unused input still listed",
         "float4 main(float3 p : position, int2 c : Color3, float u : BLENDWEIGHT) : SV_Position"
         " { return float4(p, (float)c.x); }",
         {{"POSITION", 0, 0, 3}, {"COLOR", 3, 1, 2}, {"BLENDWEIGHT", 0, 2, 1}}, 0x0},
        {"vertex id only", k_fullscreen_vs, {}, 0x0},
        {"cbuffer at b5, only the mask", "cbuffer K : register(b5) { float4 k; };"
                                         "float4 main(uint v : SV_VertexID) : SV_Position { return k * (float)v; }",
         {}, 1u << 5},
        {"a declared cbuffer the program never reads stays out of the mask",
         "cbuffer A : register(b0) { float4 a; }; cbuffer B : register(b2) { float4 b; };"
         "float4 main(float4 p : TEXCOORD0) : SV_Position { return p + a; }",
         {{"TEXCOORD", 0, 0, 4}}, 0x1},
    };
    for (const SignatureCase &c : cases) {
        SCOPED_TRACE(c.what);
        Result r;
        compile(&r, c.src, "vs_5_0");
        ASSERT_EQ(r.hr, S_OK) << r.log();
        EXPECT_EQ(r.header.cbuffer_mask, c.cbuffer_mask);
        ASSERT_EQ(r.inputs.size(), c.inputs.size());
        for (size_t i = 0; i < c.inputs.size(); i++) {
            EXPECT_STREQ(r.inputs[i].semantic, c.inputs[i].semantic) << i;
            EXPECT_EQ(r.inputs[i].semantic_index, c.inputs[i].semantic_index) << i;
            EXPECT_EQ(r.inputs[i].location, c.inputs[i].location) << i;
            EXPECT_EQ(r.inputs[i].components, c.inputs[i].components) << i;
        }
    }
}

TEST(Compile, ConstantBufferRegistersMapToStageBindings) {
    struct Case {
        const char *what, *target, *src;
        uint32_t mask;
        std::vector<uint32_t> bindings;
    } cases[] = {
        {"pixel b1", "ps_5_0",
         "cbuffer Kind : register(b1) { float4 KindP; }; float4 main() : SV_Target { return KindP; }", 0x2, {15}},
        {"vertex b1", "vs_5_0",
         "cbuffer Kind : register(b1) { float4 KindP; }; float4 main() : SV_Position { return KindP; }", 0x2, {1}},
        {"pixel b0 and b13", "ps_5_0",
         "cbuffer A : register(b0) { float4 a; }; cbuffer B : register(b13) { float4 b; };"
         "float4 main() : SV_Target { return a + b; }",
         (1u << 0) | (1u << 13), {14, 27}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Result r;
        compile(&r, c.src, c.target);
        ASSERT_EQ(r.hr, S_OK) << r.log();
        EXPECT_EQ(r.header.cbuffer_mask, c.mask);
        EXPECT_EQ(r.header.input_count, 0u);
        std::vector<Inst> in = instructions(r.spirv);
        std::vector<uint32_t> bindings;
        for (const Inst &i : in) {
            if (i.op != OP_DECORATE || i.o[1] != DEC_BINDING) continue;
            bindings.push_back(i.o[2]);
            EXPECT_EQ(decoration(in, i.o[0], DEC_SET), 0);
        }
        std::sort(bindings.begin(), bindings.end());
        EXPECT_EQ(bindings, c.bindings);
    }
}

TEST(Compile, GlobalsConstantBufferKeepsHlslPacking) {
    Result r;
    compile(&r, with_globals(k_point_vs).c_str(), "vs_5_0");
    ASSERT_EQ(r.hr, S_OK) << r.log();
    std::vector<Inst> in = instructions(r.spirv);
    // G_t is the struct with five members.
    uint32_t g_t = 0;
    for (const Inst &i : in)
        if (i.op == OP_TYPE_STRUCT && i.o.size() == 6) g_t = i.o[0];
    ASSERT_NE(g_t, 0u);
    const int64_t offsets[] = {0, 64, 128, 140, 144};
    for (uint32_t m = 0; m < 5; m++) EXPECT_EQ(member_decoration(in, g_t, m, DEC_OFFSET), offsets[m]) << m;
    for (uint32_t m = 0; m < 2; m++) EXPECT_EQ(member_decoration(in, g_t, m, DEC_MATRIX_STRIDE), 16) << m;
}

// Where HLSL packing and std140 part ways: vectors fill the rest of a
// 16-byte register, and only a vector that would straddle one moves on.
TEST(Compile, ConstantBufferMembersPackIntoRegisters) {
    Result r;
    compile(&r,
            "cbuffer C : register(b0) { float a; float2 b; float c; float3 d; float2 e; float f; };"
            "float4 main() : SV_Target { return float4(a + b.x + c, d.x + e.x + f, 0.0, 1.0); }",
            "ps_5_0");
    ASSERT_EQ(r.hr, S_OK) << r.log();
    std::vector<Inst> in = instructions(r.spirv);
    uint32_t block = 0;
    for (const Inst &i : in)
        if (i.op == OP_TYPE_STRUCT && i.o.size() == 7) block = i.o[0];
    ASSERT_NE(block, 0u);
    const int64_t offsets[] = {0, 4, 12, 16, 32, 40};
    for (uint32_t m = 0; m < 6; m++) EXPECT_EQ(member_decoration(in, block, m, DEC_OFFSET), offsets[m]) << m;
}

// Whether out[j] = dot(floats 4j..4j+3 of the matrix, v): SPIR-V row-major
// storage with M*v, or column-major storage with v*M.
bool coefficients_contiguous(const char *src, UINT flags) {
    Result r;
    compile(&r, src, "vs_5_0", "galaxy.hlsl", "main", nullptr, flags);
    EXPECT_EQ(r.hr, S_OK) << r.log();
    std::vector<Inst> in = instructions(r.spirv);
    uint32_t block = 0;
    for (const Inst &i : in)
        if (i.op == OP_TYPE_STRUCT && i.o.size() == 2) block = i.o[0];
    bool row = member_decoration(in, block, 0, DEC_ROW_MAJOR) == 1;
    bool col = member_decoration(in, block, 0, DEC_COL_MAJOR) == 1;
    bool mv = has(in, OP_MATRIX_TIMES_VECTOR), vm = has(in, OP_VECTOR_TIMES_MATRIX);
    EXPECT_NE(row, col);
    EXPECT_NE(mv, vm);
    EXPECT_EQ(member_decoration(in, block, 0, DEC_MATRIX_STRIDE), 16);
    return (row && mv) || (col && vm);
}

TEST(Compile, MatrixPackingMatchesDirect3D) {
    const char *pre = "cbuffer C : register(b0) { ";
    const char *post = " }; float4 main(float4 p : TEXCOORD0) : SV_Position { return ";
    const UINT row = D3DCOMPILE_PACK_MATRIX_ROW_MAJOR, col = D3DCOMPILE_PACK_MATRIX_COLUMN_MAJOR;
    struct Case {
        const char *decl, *expr;
        UINT flags;
        bool contiguous;
    } cases[] = {
        {"float4x4 M;", "mul(p, M);", 0, true}, // default column_major: register j holds column j
        {"float4x4 M;", "mul(M, p);", 0, false},
        {"row_major float4x4 M;", "mul(p, M);", 0, false},
        {"row_major float4x4 M;", "mul(M, p);", 0, true},
        {"float4x4 M;", "mul(p, M);", row, false},
        {"float4x4 M;", "mul(p, M);", col, true},
        {"column_major float4x4 M;", "mul(p, M);", row, true}, // the keyword wins over the flag
    };
    for (const Case &c : cases) {
        std::string src = std::string(pre) + c.decl + post + c.expr + " }";
        SCOPED_TRACE(src + " flags " + std::to_string(c.flags));
        EXPECT_EQ(coefficients_contiguous(src.c_str(), c.flags), c.contiguous);
    }
}

TEST(Compile, SystemValuesAndIntrinsicsMapToVulkan) {
    Result vs, ps, sky;
    compile(&vs, with_globals(k_point_vs).c_str(), "vs_5_0");
    compile(&ps, with_globals(k_point_ps).c_str(), "ps_5_0");
    compile(&sky, with_globals(k_sky_ps).c_str(), "ps_5_0");
    ASSERT_EQ(vs.hr | ps.hr | sky.hr, S_OK) << vs.log() << ps.log() << sky.log();
    std::vector<Inst> v = instructions(vs.spirv), p = instructions(ps.spirv), s = instructions(sky.spirv);
    EXPECT_TRUE(has_builtin(v, BUILTIN_VERTEX_INDEX));
    EXPECT_TRUE(has_builtin(v, BUILTIN_INSTANCE_INDEX));
    EXPECT_TRUE(has_builtin(v, BUILTIN_POSITION));
    EXPECT_TRUE(has_glsl_op(v, GLSL_FRACT));
    EXPECT_TRUE(has(p, OP_KILL)); // discard
    EXPECT_TRUE(has_glsl_op(p, GLSL_EXP));
    EXPECT_TRUE(has_glsl_op(p, GLSL_FMIX)); // lerp
    EXPECT_TRUE(has_glsl_op(p, GLSL_FCLAMP) || has_glsl_op(p, GLSL_NCLAMP)); // saturate
    EXPECT_TRUE(has_glsl_op(s, GLSL_FCLAMP) || has_glsl_op(s, GLSL_NCLAMP)); // clamp
    // SV_Target: one output, location 0.
    int outputs = 0;
    for (const Inst &i : p)
        if (i.op == OP_VARIABLE && i.o[2] == SC_OUTPUT) {
            outputs++;
            EXPECT_EQ(decoration(p, i.o[1], DEC_LOCATION), 0);
        }
    EXPECT_EQ(outputs, 1);

    // Pixel SV_Position.w is the clip-space w: glslang turns FragCoord's 1/w back.
    Result w;
    compile(&w, "float4 main(float4 p : SV_Position) : SV_Target { return float4(p.w, 0.0, 0.0, 1.0); }",
            "ps_5_0");
    ASSERT_EQ(w.hr, S_OK) << w.log();
    EXPECT_TRUE(has(instructions(w.spirv), OP_FDIV));
}

TEST(Compile, ErrorsNameTheSourceAndLine) {
    struct Case {
        const char *name, *src, *expect;
    } cases[] = {
        {"galaxy.hlsl", "float4 main() : SV_Target\n{\n  return (1.0 +);\n}\n", "galaxy.hlsl:3: error:"},
        {"l", "float4 main() : SV_Target\n{\n  return undefined_thing;\n}\n", "l:3: error:"},
        {"galaxy.hlsl", "float4 other() : SV_Target { return 1.0; }\n", "galaxy.hlsl: error: entry point 'main' not found"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.src);
        Result r;
        compile(&r, c.src, "ps_5_0", c.name);
        EXPECT_EQ(r.hr, E_FAIL);
        EXPECT_EQ(r.code, nullptr);
        ASSERT_NE(r.errors, nullptr);
        const char *text = (const char *)r.errors->GetBufferPointer();
        size_t size = r.errors->GetBufferSize();
        ASSERT_GT(size, 1u);
        EXPECT_EQ(text[size - 1], '\0');
        EXPECT_NE(strstr(text, c.expect), nullptr) << text;
    }
}

TEST(Compile, BadArgumentsAreInvalid) {
    const char *ok = "float4 main() : SV_Target { return 1.0; }";
    struct Case {
        const char *what, *src, *entry, *target;
    } cases[] = {
        {"geometry target", ok, "main", "gs_5_0"},
        {"unknown target", ok, "main", "ps_9_9"},
        {"empty target", ok, "main", ""},
        {"null target", ok, "main", nullptr},
        {"null source", nullptr, "main", "ps_5_0"},
        {"null entry", ok, nullptr, "ps_5_0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Result r;
        compile(&r, c.src, c.target, "galaxy.hlsl", c.entry);
        EXPECT_EQ(r.hr, E_INVALIDARG);
        EXPECT_EQ(r.code, nullptr);
    }
    ID3DBlob *code = nullptr, *errors = nullptr;
    EXPECT_EQ(D3DCompile(ok, strlen(ok), "galaxy.hlsl", nullptr, nullptr, "main", "ps_5_0",
                         D3DCOMPILE_PACK_MATRIX_ROW_MAJOR | D3DCOMPILE_PACK_MATRIX_COLUMN_MAJOR, 0, &code, &errors),
              E_INVALIDARG);
    EXPECT_EQ(code, nullptr);
    if (errors) errors->Release();
}

TEST(Compile, EntryPointAndDefines) {
    const D3D_SHADER_MACRO defines[] = {{"SCALE", "0.5"}, {nullptr, nullptr}};
    const char *src = "float4 PSMain() : SV_Target { return float4(SCALE, 0.0, 0.0, 1.0); }";
    Result with, without;
    compile(&with, src, "ps_5_0", "galaxy.hlsl", "PSMain", defines);
    compile(&without, src, "ps_5_0", "galaxy.hlsl", "PSMain");
    ASSERT_EQ(with.hr, S_OK) << with.log();
    EXPECT_EQ(without.hr, E_FAIL);
    bool main_entry = false;
    for (const Inst &i : instructions(with.spirv)) main_entry |= i.op == OP_ENTRY_POINT && literal(i.o, 2) == "main";
    EXPECT_TRUE(main_entry);
}

TEST(Compile, InjectedFaultFailsWithoutBlobs) {
    const char *ok = "float4 main() : SV_Target { return 1.0; }";
    plat_fail_clear();
    plat_fail_call("D3DCompile", 2, E_OUTOFMEMORY);
    Result first, second, third;
    compile(&first, ok, "ps_5_0");
    compile(&second, ok, "ps_5_0");
    compile(&third, ok, "ps_5_0");
    EXPECT_EQ(first.hr, S_OK);
    EXPECT_EQ(second.hr, E_OUTOFMEMORY);
    EXPECT_EQ(second.code, nullptr);
    EXPECT_EQ(second.errors, nullptr);
    EXPECT_EQ(third.hr, S_OK);
    EXPECT_EQ(plat_fail_fired(), 1);
    plat_fail_clear();
}

TEST(Compile, BlobsAreCountedObjects) {
    const int live = plat_live_objects();
    ID3DBlob *code = nullptr, *errors = nullptr;
    const char *ok = "float4 main() : SV_Target { return 1.0; }";
    ASSERT_EQ(D3DCompile(ok, strlen(ok), "galaxy.hlsl", nullptr, nullptr, "main", "ps_5_0", 0, 0, &code, &errors),
              S_OK);
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(plat_live_objects(), live + 1);

    void *same = nullptr;
    ASSERT_EQ(code->QueryInterface(IID_ID3D10Blob, &same), S_OK);
    EXPECT_EQ(same, code);
    EXPECT_EQ(code->AddRef(), 3u);
    EXPECT_EQ(code->Release(), 2u);
    EXPECT_EQ(code->Release(), 1u);
    EXPECT_EQ(plat_live_objects(), live + 1);
    EXPECT_EQ(code->Release(), 0u);
    EXPECT_EQ(plat_live_objects(), live);

    // Failures leave nothing behind once the message is released.
    Result bad;
    compile(&bad, "float4 main( : SV_Target {", "ps_5_0");
    ASSERT_NE(bad.errors, nullptr);
    EXPECT_EQ(plat_live_objects(), live + 1);
}

// ---- running the programs -----------------------------------------------

ID3DBlob *code_for(const char *src, const char *target) {
    ID3DBlob *code = nullptr, *errors = nullptr;
    HRESULT hr = D3DCompile(src, strlen(src), "galaxy.hlsl", nullptr, nullptr, "main", target, 0, 0, &code, &errors);
    EXPECT_EQ(hr, S_OK) << (errors ? (const char *)errors->GetBufferPointer() : "");
    if (errors) errors->Release();
    return code;
}

ID3D11Buffer *constants(ID3D11Device *dev, const float (&v)[16]) {
    D3D11_BUFFER_DESC bd = {};
    bd.ByteWidth = sizeof v;
    bd.Usage = D3D11_USAGE_DEFAULT;
    bd.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    D3D11_SUBRESOURCE_DATA init = {};
    init.pSysMem = v;
    ID3D11Buffer *b = nullptr;
    EXPECT_EQ(dev->CreateBuffer(&bd, &init, &b), S_OK);
    return b;
}

// Draws a triangle (from SV_VertexID) over the top row of a 4x2 target and
// more, twice instanced, and reads the pixels back. The vertex program's colour is
// mul(float4(1, 0, 0, 0), M) with M at b0, so its component j is float 4j
// of the buffer under Direct3D's packing; the pixel program scales it by b1
// (b0 of the pixel stage holds zeros) and discards the left half.
TEST(CompileRender, ProgramsComputeAsDirect3D) {
    const int live = plat_live_objects();
    ID3D11Device *dev = nullptr;
    ID3D11DeviceContext *ctx = nullptr;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, &dev,
                                nullptr, &ctx),
              S_OK);
    const char *vs_src = R"(
cbuffer M : register(b0) { float4x4 M; };
struct VSOut { float4 pos : SV_POSITION; float4 col : COLOR; };
VSOut main(uint vid : SV_VertexID, uint iid : SV_InstanceID) {
    VSOut o;
    float2 t = float2((float)((vid << 1) & 2u), (float)(vid & 2u));
    o.pos = float4(t * float2(2.0, -1.0) + float2(-1.0, 1.0), 0.0, 1.0); // (-1,1) (3,1) (-1,-1)
    o.col = mul(float4(1.0, 0.0, 0.0, 0.0), M) + float4(0.0, 0.0, 0.0, 0.5 * (float)iid);
    return o;
})";
    const char *ps_src = R"(
cbuffer Zero : register(b0) { float4 Zero; };
cbuffer Kind : register(b1) { float4 KindP; };
float4 main(float4 p : SV_POSITION, float4 col : COLOR) : SV_Target {
    if (p.x < 2.0) discard;
    return saturate(col * KindP + Zero);
})";
    ID3DBlob *vs_code = code_for(vs_src, "vs_5_0"), *ps_code = code_for(ps_src, "ps_5_0");
    ASSERT_TRUE(vs_code && ps_code);
    ID3D11VertexShader *vs = nullptr;
    ID3D11PixelShader *ps = nullptr;
    ASSERT_EQ(dev->CreateVertexShader(vs_code->GetBufferPointer(), vs_code->GetBufferSize(), nullptr, &vs), S_OK);
    ASSERT_EQ(dev->CreatePixelShader(ps_code->GetBufferPointer(), ps_code->GetBufferSize(), nullptr, &ps), S_OK);
    vs_code->Release();
    ps_code->Release();

    const float m[16] = {0.25f, 0, 0, 0, 0.5f, 0, 0, 0, 0.75f, 0, 0, 0, 0.5f, 0, 0, 0};
    const float zero[16] = {}, one[16] = {1, 1, 1, 1};
    ID3D11Buffer *cb_m = constants(dev, m), *cb_zero = constants(dev, zero), *cb_one = constants(dev, one);

    D3D11_TEXTURE2D_DESC td = {};
    td.Width = 4;
    td.Height = 2;
    td.MipLevels = 1;
    td.ArraySize = 1;
    td.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    td.SampleDesc.Count = 1;
    td.Usage = D3D11_USAGE_DEFAULT;
    td.BindFlags = D3D11_BIND_RENDER_TARGET;
    ID3D11Texture2D *target = nullptr, *staging = nullptr;
    ASSERT_EQ(dev->CreateTexture2D(&td, nullptr, &target), S_OK);
    td.Usage = D3D11_USAGE_STAGING;
    td.BindFlags = 0;
    td.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ASSERT_EQ(dev->CreateTexture2D(&td, nullptr, &staging), S_OK);
    ID3D11RenderTargetView *rtv = nullptr;
    ASSERT_EQ(dev->CreateRenderTargetView(target, nullptr, &rtv), S_OK);

    const float clear[4] = {0, 0, 0, 0};
    ctx->ClearRenderTargetView(rtv, clear);
    ctx->OMSetRenderTargets(1, &rtv, nullptr);
    D3D11_VIEWPORT vp = {0, 0, 4, 2, 0, 1};
    ctx->RSSetViewports(1, &vp);
    ctx->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx->VSSetShader(vs, nullptr, 0);
    ctx->PSSetShader(ps, nullptr, 0);
    ctx->VSSetConstantBuffers(0, 1, &cb_m);
    ID3D11Buffer *ps_cbs[2] = {cb_zero, cb_one};
    ctx->PSSetConstantBuffers(0, 2, ps_cbs);
    ctx->DrawInstanced(3, 2, 0, 0);
    ctx->CopyResource(staging, target);

    D3D11_MAPPED_SUBRESOURCE map = {};
    ASSERT_EQ(ctx->Map(staging, 0, D3D11_MAP_READ, 0, &map), S_OK);
    uint8_t px[2][16];
    for (int y = 0; y < 2; y++) memcpy(px[y], (const uint8_t *)map.pData + y * map.RowPitch, 16);
    ctx->Unmap(staging, 0);
    // Top row: left half discarded. Bottom row: the right half is below the
    // triangle's edge (clip-space y points up), the left half discarded.
    const int expect[2][16] = {{0, 0, 0, 0, 0, 0, 0, 0, 64, 128, 191, 255, 64, 128, 191, 255}, {}};
    for (int y = 0; y < 2; y++)
        for (int i = 0; i < 16; i++)
            EXPECT_NEAR(px[y][i], expect[y][i], 1) << "pixel " << i / 4 << "," << y << " channel " << i % 4;

    for (IUnknown *o : std::initializer_list<IUnknown *>{rtv, staging, target, cb_one, cb_zero, cb_m, ps, vs, ctx, dev})
        o->Release();
    EXPECT_EQ(plat_live_objects(), live);
}

} // namespace
