// The CPU executor's program translation and execution, against scalar
// references computed here.
#include "sw_test_util.h"

#include <math.h>

#include <functional>
#include <vector>

#include "gpu/gpu.h" // the engine's nine programs
#include "sw/sw_ops.h"

namespace {

float lane_f(SwRegisters &r, int32_t slot, int lane) { return r.slot((uint32_t)slot)[lane].f; }

// One pixel program computing f(x) into red; x runs over lanes.
struct ExprCase {
    const char *hlsl; // an expression of float x
    double (*ref)(double);
    double tolerance; // absolute
    float lo, hi;     // range of x
};

double sat(double v) { return v < 0 ? 0 : v > 1 ? 1 : v; }

const ExprCase kExprs[] = {
    {"exp(x)", [](double x) { return exp(x); }, 2e-6, -20, 3},
    {"exp(-7.0 * x)", [](double x) { return exp(-7 * x); }, 2e-7, 0, 1},
    {"sin(x)", [](double x) { return sin(x); }, 1e-6, -300, 300},
    {"cos(x)", [](double x) { return cos(x); }, 1e-6, -300, 300},
    {"frac(x)", [](double x) { return x - floor(x); }, 1e-5, -50, 50},
    {"sqrt(x)", [](double x) { return sqrt(x); }, 1e-6, 0, 4},
    {"abs(x)", [](double x) { return fabs(x); }, 0, -4, 4},
    {"clamp(x, -0.25, 0.5)", [](double x) { return x < -0.25 ? -0.25 : x > 0.5 ? 0.5 : x; }, 0, -1, 1},
    {"saturate(x)", sat, 0, -2, 2},
    {"max(0.5, x)", [](double x) { return x > 0.5 ? x : 0.5; }, 0, -1, 1},
    {"lerp(2.0, 4.0, x)", [](double x) { return 2 + 2 * x; }, 1e-6, 0, 1},
    {"normalize(float3(x, 2.0, 1.0)).x", [](double x) { return x / sqrt(x * x + 5); }, 1e-6, -3, 3},
    {"dot(float2(x, 1.0), float2(3.0, x))", [](double x) { return 4 * x; }, 1e-5, -3, 3},
    {"cross(float3(x, 1, 0), float3(0, 1, x)).y", [](double x) { return -x * x; }, 1e-5, -3, 3},
    {"x < 0.5 ? 1.0 : 2.0", [](double x) { return x < 0.5 ? 1.0 : 2.0; }, 0, -1, 2},
    {"1.0 / (1.0 + 0.0025 * (x * x))", [](double x) { return 1 / (1 + 0.0025 * x * x); }, 1e-6, -40, 40},
    {"(float)((uint)x % 3u)", [](double x) { return fmod(floor(x), 3); }, 0, 0, 100},
    {"(float)(2 * (int)((uint)x & 1u) - 1)", [](double x) { return ((int)x & 1) ? 1.0 : -1.0; }, 0, 0, 100},
};

TEST(SwProgram, ExpressionsMatchScalarReference) {
    for (const ExprCase &c : kExprs) {
        std::string src = std::string("float4 main(float4 p : SV_POSITION, float4 a : TEXCOORD0) : SV_Target {\n"
                                      "    float x = a.x;\n    return float4(") + c.hlsl + ", 0.0, 0.0, 1.0);\n}\n";
        SwProgram prog;
        std::string err;
        ASSERT_TRUE(sw_compile(src.c_str(), "ps_5_0", &prog, &err)) << c.hlsl << ": " << err;
        SwRegisters regs;
        sw_registers_bind(&regs, &prog);
        const void *cb[SW_CBUFFER_SLOTS] = {};
        uint32_t sizes[SW_CBUFFER_SLOTS] = {};
        sw_program_prepare(&prog, &regs, cb, sizes);
        ASSERT_GE(prog.inputs[0].slot[0], 0) << c.hlsl;
        for (int l = 0; l < SW_LANES; l++)
            regs.slot(prog.inputs[0].slot[0])[l].f = c.lo + (c.hi - c.lo) * (float)l / (SW_LANES - 1);
        sw_program_run(&prog, &regs, SW_LANES);
        for (int l = 0; l < SW_LANES; l++) {
            float x = lane_f(regs, prog.inputs[0].slot[0], l);
            EXPECT_NEAR(c.ref(x), lane_f(regs, prog.outputs[0].slot[0], l), c.tolerance) << c.hlsl << " at x=" << x;
        }
    }
}

// The engine's glow/dot/planet/ring program: discard, early returns chosen
// by a constant buffer, transcendentals, all lanes diverging.
TEST(SwProgram, QuadProgramBranchesPerLane) {
    SwProgram prog;
    std::string err;
    ASSERT_TRUE(sw_compile(k_src_ps_quad, "ps_5_0", &prog, &err)) << err;
    EXPECT_TRUE(prog.can_discard);
    const float col[4] = {0.8f, 0.4f, 0.2f, 1.0f};
    for (float kind : {0.0f, 1.0f, 2.0f, 3.0f}) {
        SwRegisters regs;
        sw_registers_bind(&regs, &prog);
        const float kp[4] = {kind, 0, 0, 0};
        const void *cb[SW_CBUFFER_SLOTS] = {kp};
        uint32_t sizes[SW_CBUFFER_SLOTS] = {16};
        sw_program_prepare(&prog, &regs, cb, sizes);
        const uint32_t n = 50; // fewer than the lanes: the rest must stay inactive
        for (uint32_t l = 0; l < SW_LANES; l++) {
            float u = -1.2f + 2.4f * (float)(l % 8) / 7, v = -1.2f + 2.4f * (float)(l / 8) / 7;
            const float uv[4] = {u, v, 0, 1};
            for (int k = 0; k < 4; k++) { // components the program does not read have no slot
                if (prog.inputs[0].slot[k] >= 0) regs.slot(prog.inputs[0].slot[k])[l].f = uv[k];
                if (prog.inputs[1].slot[k] >= 0) regs.slot(prog.inputs[1].slot[k])[l].f = col[k];
            }
        }
        sw_program_run(&prog, &regs, n);
        for (uint32_t l = 0; l < SW_LANES; l++) {
            float u = regs.slot(prog.inputs[0].slot[0])[l].f, v = regs.slot(prog.inputs[0].slot[1])[l].f;
            double r2 = (double)u * u + (double)v * v;
            bool kept = l < n && r2 <= 1.0;
            ASSERT_EQ(kept, regs.slot(prog.done_slot)[l].u != 0) << "kind " << kind << " lane " << l;
            if (!kept) continue;
            double a, rgb;
            if (kind < 0.5) a = rgb = exp(-3.2 * r2);
            else if (kind < 1.5) a = rgb = exp(-6.0 * r2);
            else if (kind < 2.5) rgb = 1.0 - 0.55 * r2, a = 1.0;
            else a = rgb = exp(-140.0 * (fabs(sqrt(r2) - 0.55) * fabs(sqrt(r2) - 0.55)));
            for (int k = 0; k < 3; k++)
                EXPECT_NEAR(col[k] * rgb, lane_f(regs, prog.outputs[0].slot[k], (int)l), 2e-6) << "kind " << kind;
            EXPECT_NEAR(a, lane_f(regs, prog.outputs[0].slot[3], (int)l), 2e-6) << "kind " << kind;
        }
    }
}

// Vertex and instance indices, integer arithmetic, row-major matrices from
// a constant buffer: the engine's line program with a known matrix.
TEST(SwProgram, VertexProgramReadsIndicesAndRowMajorMatrices) {
    SwProgram prog;
    std::string err;
    ASSERT_TRUE(sw_compile("cbuffer C : register(b0) { float4x4 M; };\n"
                           "float4 main(float3 p : POSITION, uint vid : SV_VertexID, uint iid : SV_InstanceID)"
                           " : SV_POSITION {\n"
                           "    float4 q = mul(float4(p, 1.0), M);\n"
                           "    return q + float4((float)(iid % 3u), (float)(vid >> 1), 0, 0);\n}\n",
                           "vs_5_0", &prog, &err))
        << err;
    ASSERT_GE(prog.vertex_index_slot, 0);
    ASSERT_GE(prog.instance_index_slot, 0);
    float m[16];
    for (int k = 0; k < 16; k++) m[k] = (float)(k + 1); // HLSL's default packing: column by column
    const void *cb[SW_CBUFFER_SLOTS] = {m};
    uint32_t sizes[SW_CBUFFER_SLOTS] = {64};
    SwRegisters regs;
    sw_registers_bind(&regs, &prog);
    sw_program_prepare(&prog, &regs, cb, sizes);
    for (int l = 0; l < SW_LANES; l++) {
        regs.slot(prog.vertex_index_slot)[l].u = (uint32_t)l;
        regs.slot(prog.instance_index_slot)[l].u = (uint32_t)(l * 7);
        for (int k = 0; k < 3; k++) regs.slot(prog.inputs[0].slot[k])[l].f = (float)(k == 0 ? l : k);
    }
    sw_program_run(&prog, &regs, SW_LANES);
    for (int l = 0; l < SW_LANES; l++) {
        const float v[4] = {(float)l, 1, 2, 1};
        for (int c = 0; c < 4; c++) {
            float want = 0;
            for (int r = 0; r < 4; r++) want += v[r] * m[c * 4 + r];
            if (c == 0) want += (float)((l * 7) % 3);
            if (c == 1) want += (float)(l >> 1);
            EXPECT_EQ(want, lane_f(regs, prog.position.slot[c], l)) << "lane " << l << " component " << c;
        }
    }
}

TEST(SwProgram, EngineProgramsTranslate) {
    const struct {
        const char *name, *src, *target;
    } programs[] = {
        {"vs_quad", k_src_vs_quad, "vs_5_0"}, {"ps_quad", k_src_ps_quad, "ps_5_0"},
        {"vs_par", k_src_vs_par, "vs_5_0"},   {"ps_par", k_src_ps_par, "ps_5_0"},
        {"vs_disk", k_src_vs_disk, "vs_5_0"}, {"ps_disk", k_src_ps_disk, "ps_5_0"},
        {"vs_rock", k_src_vs_rock, "vs_5_0"}, {"ps_flat", k_src_ps_flat, "ps_5_0"},
        {"vs_line", k_src_vs_line, "vs_5_0"},
    };
    for (const auto &p : programs) {
        SwProgram prog;
        std::string err;
        EXPECT_TRUE(sw_compile(p.src, p.target, &prog, &err)) << p.name << ": " << err;
        if (p.target[0] == 'v') EXPECT_GE(prog.position.slot[3], 0) << p.name;
        else EXPECT_GE(prog.outputs[0].slot[3], 0) << p.name;
    }
}

// Components a program declares but never reads get no slot: the executor
// then neither fetches nor interpolates them.
TEST(SwProgram, UnreadInputsHaveNoSlot) {
    SwProgram prog;
    std::string err;
    ASSERT_TRUE(sw_compile("float4 main(float4 pos : SV_POSITION, float4 a : COLOR, float4 b : TEXCOORD0)"
                           " : SV_Target { return float4(a.y, b.x, 0, 1); }\n",
                           "ps_5_0", &prog, &err))
        << err;
    for (int32_t slot : prog.frag_coord.slot) EXPECT_LT(slot, 0);
    const SwIo &a = prog.inputs[0], &b = prog.inputs[1];
    EXPECT_LT(a.slot[0], 0);
    EXPECT_GE(a.slot[1], 0);
    EXPECT_LT(a.slot[2], 0);
    EXPECT_GE(b.slot[0], 0);
    EXPECT_LT(b.slot[3], 0);
}

// Outputs that pass an input or a constant straight through are read from
// its slot, with no copy left to run; the inputs stay fetched for them.
TEST(SwProgram, PassedThroughValuesAreReadInPlace) {
    SwProgram prog;
    std::string err;
    ASSERT_TRUE(sw_compile("float4 main(float4 pos : SV_POSITION, float4 a : COLOR, float4 b : TEXCOORD0)"
                           " : SV_Target { if (b.y < 0.0) discard; return float4(a.y, b.x, 0, 1); }\n",
                           "ps_5_0", &prog, &err))
        << err;
    const SwIo &a = prog.inputs[0], &b = prog.inputs[1], &out = prog.outputs[0];
    ASSERT_GE(a.slot[1], 0);
    ASSERT_GE(b.slot[0], 0);
    EXPECT_EQ(a.slot[1], out.slot[0]);
    EXPECT_EQ(b.slot[0], out.slot[1]);
    for (const SwOp &o : prog.body)
        for (int32_t slot : out.slot) EXPECT_NE((uint32_t)slot, o.dst) << "a copy into an output is left";
    SwRegisters regs;
    sw_registers_bind(&regs, &prog);
    const void *cb[SW_CBUFFER_SLOTS] = {};
    uint32_t sizes[SW_CBUFFER_SLOTS] = {};
    sw_program_prepare(&prog, &regs, cb, sizes);
    for (int l = 0; l < SW_LANES; l++) {
        regs.slot(a.slot[1])[l].f = (float)l;
        regs.slot(b.slot[0])[l].f = -(float)l;
        regs.slot(b.slot[1])[l].f = l % 3 == 0 ? -1.0f : 1.0f;
    }
    sw_program_run(&prog, &regs, SW_LANES);
    for (int l = 0; l < SW_LANES; l++) {
        EXPECT_EQ(l % 3 != 0, regs.slot(prog.done_slot)[l].u != 0) << l;
        const float want[4] = {(float)l, -(float)l, 0.0f, 1.0f};
        for (int c = 0; c < 4; c++) EXPECT_EQ(want[c], lane_f(regs, out.slot[c], l)) << l << " " << c;
    }
}

// An instanced draw runs its vertex program split: the per-instance part
// once, the per-vertex part once per vertex. Every output must be the bits
// the whole body gives for the same instance and vertex.
TEST(SwProgram, SplitVertexProgramsGiveTheWholeBodysBits) {
    const struct {
        const char *name, *src;
        uint32_t vertex_locations;
    } programs[] = {
        {"vs_quad", k_src_vs_quad, 0}, {"vs_par", k_src_vs_par, 0}, {"vs_disk", k_src_vs_disk, 0},
        {"vs_rock", k_src_vs_rock, 0x3}, {"vs_quad, location 1 per vertex", k_src_vs_quad, 0x2},
    };
    const uint32_t kVertices = 5;
    for (const auto &pc : programs) {
        SCOPED_TRACE(pc.name);
        SwProgram prog;
        std::string err;
        ASSERT_TRUE(sw_compile(pc.src, "vs_5_0", &prog, &err)) << err;
        std::vector<SwOp> per_instance, per_vertex;
        ASSERT_TRUE(sw_program_split(&prog, pc.vertex_locations, &per_instance, &per_vertex));
        float globals[64];
        for (int k = 0; k < 64; k++) globals[k] = 0.25f * (float)((k * 37) % 11) - 1.0f;
        const void *cb[SW_CBUFFER_SLOTS] = {globals, globals + 40};
        uint32_t sizes[SW_CBUFFER_SLOTS] = {256, 64};
        // Input values: per-vertex locations vary with the vertex, the rest with the lane.
        auto set_inputs = [&](SwRegisters &r, uint32_t v, bool vertex_part) {
            for (uint32_t loc = 0; loc < 16; loc++) {
                bool varying = pc.vertex_locations >> loc & 1;
                if (varying != vertex_part) continue;
                for (int c = 0; c < 4; c++)
                    if (prog.inputs[loc].slot[c] >= 0)
                        for (int l = 0; l < SW_LANES; l++)
                            r.slot((uint32_t)prog.inputs[loc].slot[c])[l].f =
                                varying ? 0.3f * (float)(v + c) - 0.7f : 0.01f * (float)(l * (loc + 3) + c) + 0.5f;
            }
            if (vertex_part && prog.vertex_index_slot >= 0)
                for (int l = 0; l < SW_LANES; l++) r.slot((uint32_t)prog.vertex_index_slot)[l].u = v;
            if (!vertex_part && prog.instance_index_slot >= 0)
                for (int l = 0; l < SW_LANES; l++) r.slot((uint32_t)prog.instance_index_slot)[l].u = (uint32_t)l;
        };
        SwRegisters whole, split;
        sw_registers_bind(&whole, &prog);
        sw_registers_bind(&split, &prog);
        sw_program_prepare(&prog, &whole, cb, sizes);
        sw_program_prepare(&prog, &split, cb, sizes);
        set_inputs(split, 0, false);
        sw_program_run_ops(&prog, &split, per_instance.data(), per_instance.size(), SW_LANES);
        for (uint32_t v = 0; v < kVertices; v++) {
            set_inputs(whole, v, false);
            set_inputs(whole, v, true);
            sw_program_run(&prog, &whole, SW_LANES);
            set_inputs(split, v, true);
            sw_program_run_ops(&prog, &split, per_vertex.data(), per_vertex.size(), SW_LANES);
            std::vector<int32_t> outs(prog.position.slot, prog.position.slot + 4);
            for (const SwIo &io : prog.outputs) outs.insert(outs.end(), io.slot, io.slot + 4);
            for (int32_t s : outs) {
                if (s < 0) continue;
                for (int l = 0; l < SW_LANES; l++)
                    ASSERT_EQ(whole.slot((uint32_t)s)[l].u, split.slot((uint32_t)s)[l].u)
                        << "vertex " << v << " lane " << l << " slot " << s;
            }
        }
    }
}

TEST(SwProgram, UnsupportedConstructsAreRejectedWithAReason) {
    const struct {
        const char *src, *reason;
    } cases[] = {
        {"cbuffer C : register(b0) { float4 n; };\n"
         "float4 main(float4 p : SV_POSITION) : SV_Target {\n"
         "    float s = 0; for (int i = 0; i < (int)n.x; i++) s += p.x; return float4(s, 0, 0, 1); }\n",
         "loops"},
        {"Texture2D t : register(t0); SamplerState s : register(s0);\n"
         "float4 main(float4 p : SV_POSITION) : SV_Target { return t.Sample(s, p.xy); }\n",
         "not supported"},
        {"cbuffer C : register(b0) { float4 v[4]; float4 n; };\n"
         "float4 main(float4 p : SV_POSITION) : SV_Target { return v[(int)n.x]; }\n",
         "not supported"},
        {"float4 main(float4 p : SV_POSITION) : SV_Target { return float4(ddx(p.x), 0, 0, 1); }\n",
         "not supported"},
    };
    for (const auto &c : cases) {
        SwProgram prog;
        std::string err;
        EXPECT_FALSE(sw_compile(c.src, "ps_5_0", &prog, &err)) << c.src;
        EXPECT_NE(std::string::npos, err.find(c.reason)) << "message: " << err;
    }
}

// The translator's last check: a program that would make the optimiser or
// the interpreter reach outside its registers, constant buffers or body is
// refused, whichever number is wrong. Each case breaks one number of a
// program that passes.
TEST(SwProgram, ValidationRefusesProgramsReachingOutside) {
    SwProgram base;
    std::string err;
    ASSERT_TRUE(sw_compile("cbuffer C : register(b0) { float4 k; };\n"
                           "float4 main(float4 p : SV_POSITION, float4 a : TEXCOORD0) : SV_Target {\n"
                           "    float4 r = a * k.x;\n"
                           "    if (a.x > 0.5) r = float4(exp(a.y), sin(a.z), cos(a.w), sqrt(a.x)) * lerp(a.x, a.y, k.y);\n"
                           "    return r;\n}\n",
                           "ps_5_0", &base, &err))
        << err;
    ASSERT_TRUE(sw_program_validate(&base, &err)) << err;
    auto first = [](const std::vector<SwOp> &ops, bool (*pick)(const SwOp &)) {
        for (size_t i = 0; i < ops.size(); i++)
            if (pick(ops[i])) return i;
        return ops.size();
    };
    const size_t skip = first(base.body, [](const SwOp &o) { return o.code == OP_SKIP; });
    const size_t three = first(base.body, [](const SwOp &o) { return o.code == OP_SEL || o.code == OP_MAD; });
    const size_t load = first(base.prologue, [](const SwOp &o) { return o.code == OP_CBLOAD; });
    ASSERT_LT(skip, base.body.size());
    ASSERT_LT(three, base.body.size());
    ASSERT_LT(load, base.prologue.size());
    ASSERT_GE(base.inputs[0].slot[0], 0);
    const uint32_t n = base.slot_count;
    const struct {
        const char *what;
        std::function<void(SwProgram &)> apply;
    } cases[] = {
        {"a result past the registers", [&](SwProgram &p) { p.body[three].dst = n; }},
        {"a first operand past the registers", [&](SwProgram &p) { p.body[three].a = n; }},
        {"a third operand past the registers", [&](SwProgram &p) { p.body[three].c = n; }},
        {"an operation the interpreter does not know", [&](SwProgram &p) { p.body[three].code = OP_COUNT; }},
        {"a constant-buffer load in the body", [&](SwProgram &p) { p.body[three].code = OP_CBLOAD; }},
        {"a skip before the body", [&](SwProgram &p) { p.prologue[load].code = OP_SKIP; }},
        {"a skip back to itself", [&](SwProgram &p) { p.body[skip].c = (uint32_t)skip; }},
        {"a skip past the end", [&](SwProgram &p) { p.body[skip].c = (uint32_t)p.body.size() + 1; }},
        {"a skip on a mask past the registers", [&](SwProgram &p) { p.body[skip].a = n; }},
        {"a load from a buffer past the last", [&](SwProgram &p) { p.prologue[load].a = SW_CBUFFER_SLOTS; }},
        {"a load past a buffer's 64 KiB", [&](SwProgram &p) { p.prologue[load].c = 65533; }},
        {"a load into a slot past the registers", [&](SwProgram &p) { p.prologue[load].dst = n; }},
        {"the active mask past the registers", [&](SwProgram &p) { p.active_slot = n; }},
        {"the done mask past the registers", [&](SwProgram &p) { p.done_slot = n; }},
        {"an input without its spare slot", [&](SwProgram &p) { p.inputs[0].slot[0] = (int32_t)n - 1; }},
        {"an output past the registers", [&](SwProgram &p) { p.outputs[0].slot[2] = (int32_t)n; }},
        {"an output of five components", [&](SwProgram &p) { p.outputs[0].components = 5; }},
        {"the pixel position past the registers", [&](SwProgram &p) { p.frag_coord.slot[3] = (int32_t)n; }},
        {"a constant past the registers", [&](SwProgram &p) { p.constants[0].first = n; }},
    };
    for (const auto &c : cases) {
        SwProgram p = base;
        c.apply(p);
        err.clear();
        EXPECT_FALSE(sw_program_validate(&p, &err)) << c.what;
        EXPECT_NE(std::string::npos, err.find("operation")) << c.what << ": " << err;
    }
    // A vertex program's own interface.
    SwProgram vs;
    ASSERT_TRUE(sw_compile("float4 main(uint v : SV_VertexID, uint i : SV_InstanceID) : SV_POSITION {\n"
                           "    return float4(v, i, 0, 1);\n}\n",
                           "vs_5_0", &vs, &err))
        << err;
    ASSERT_TRUE(sw_program_validate(&vs, &err)) << err;
    for (int k = 0; k < 3; k++) {
        SwProgram p = vs;
        int32_t *slot = k == 0 ? &p.vertex_index_slot : k == 1 ? &p.instance_index_slot : &p.position.slot[1];
        ASSERT_GE(*slot, 0);
        *slot = (int32_t)p.slot_count;
        EXPECT_FALSE(sw_program_validate(&p, &err)) << "vertex interface slot " << k;
    }
}

// The optimiser on programs written out by hand, in the shapes a module from
// outside our compiler can take (ours comes legalized into SSA form): the
// optimised program gives the literal one's bits.
TEST(SwProgram, OptimiserKeepsWhatTheLiteralProgramComputes) {
    // Slots: 0 active, 1 input x, 2 the constant 1.0, 3 the constant 0.25.
    auto op = [](uint16_t code, uint32_t d, uint32_t a, uint32_t b = 0, uint32_t c = 0) {
        return SwOp{code, 0, d, a, b, c};
    };
    const struct {
        const char *what;
        uint32_t slots;
        std::vector<SwOp> body;
        uint32_t out;
        float x, want;     // every lane's input, and its result
        size_t ops = 0;    // operations left once optimised, where it matters
    } cases[] = {
        // t = v, then v changes: t must keep the old value.
        {"a copy of a variable that changes later", 8,
         {op(OP_MOV, 4, 1), op(OP_MOV, 5, 4), op(OP_FADD, 4, 4, 2), op(OP_FADD, 6, 5, 4)}, 6, 3.0f, 7.0f},
        // d = x; t = x + 1; a block no lane runs sets d = t: d stays x.
        {"a copy inside a block every lane skips", 12,
         {op(OP_MOV, 4, 1), op(OP_FADD, 5, 1, 2), op(OP_FLT, 6, 1, 3), op(OP_SKIP, 0, 6, 0, 7), op(OP_MOV, 4, 5),
          op(OP_FMUL, 8, 1, 1), op(OP_FADD, 9, 1, 1), op(OP_FMUL, 10, 4, 2)},
         10, 3.0f, 3.0f},
        // x = 2^24: s = x * x, s = 1 * 1 + s (rounds back to 2^48), s = -x * x
        // + s (0), s = 0.25 * 1 + s: 0.25, which only this order of
        // roundings gives. The four become one operation after the negation.
        {"a sum of four products", 9,
         {op(OP_FNEG, 8, 1), op(OP_FMUL, 4, 1, 1), op(OP_MAD, 5, 2, 2, 4), op(OP_MAD, 6, 8, 1, 5), op(OP_MAD, 7, 3, 2, 6)},
         7, 16777216.0f, 0.25f, 2},
        // The second partial sum is read before the last product is added
        // to it: it must still be written. 11 + 10.0625.
        {"a sum of products whose partial sum is read again", 9,
         {op(OP_FMUL, 4, 1, 1), op(OP_MAD, 5, 2, 2, 4), op(OP_FADD, 7, 5, 2), op(OP_MAD, 6, 3, 3, 5),
          op(OP_FADD, 8, 7, 6)},
         8, 3.0f, 21.0625f},
        // v = x; s = v * v; v = v + 1; s = v * 1 + s: the first product is of
        // the old v (9 + 4), not of the new one (16 + 4).
        {"a sum of products whose source changes between them", 8,
         {op(OP_MOV, 4, 1), op(OP_FMUL, 5, 4, 4), op(OP_FADD, 4, 4, 2), op(OP_MAD, 6, 4, 2, 5)}, 6, 3.0f, 13.0f},
    };
    for (const auto &c : cases) {
        SwProgram literal;
        literal.stage = SW_STAGE_VERTEX;
        literal.serial = 1;
        literal.slot_count = c.slots;
        literal.body = c.body;
        literal.constants = {{2, 0x3f800000u}, {3, 0x3e800000u}};
        literal.inputs[0].slot[0] = 1;
        literal.inputs[0].components = 1;
        literal.outputs[0].slot[0] = (int32_t)c.out;
        literal.outputs[0].components = 1;
        for (const SwOp &o : c.body) // what the block writes is read after the run too
            if (o.dst >= 8) literal.outputs[1 + (o.dst - 8) % 3].slot[0] = (int32_t)o.dst;
        std::string err;
        ASSERT_TRUE(sw_program_validate(&literal, &err)) << c.what << ": " << err;
        SwProgram optimised = literal;
        optimised.serial = 2;
        sw_program_optimize(&optimised);
        const SwProgram *both[2] = {&literal, &optimised};
        float got[2];
        for (int k = 0; k < 2; k++) {
            SwRegisters regs;
            sw_registers_bind(&regs, both[k]);
            for (int l = 0; l < SW_LANES; l++) regs.slot(1)[l].f = c.x;
            sw_program_run(both[k], &regs, SW_LANES);
            got[k] = regs.slot((uint32_t)both[k]->outputs[0].slot[0])[0].f;
        }
        EXPECT_EQ(c.want, got[0]) << c.what << ", as written";
        EXPECT_EQ(c.want, got[1]) << c.what << ", optimised";
        if (c.ops) {
            EXPECT_EQ(c.ops, optimised.body.size()) << c.what;
        }
    }
}

} // namespace
