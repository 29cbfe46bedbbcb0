// What programs compute, on either executor: operations the engine's own
// programs use little or not at all, checked against values worked out
// here (hex floats where every bit counts). Each case is an HLSL expression
// of a, b, c (floats), ia, ib (ints) and ua, ub (uints) giving a uint; every
// pixel of an 8 x 1 target computes it for its own row of inputs, and
// writes the 32 bits as its four bytes, which an RGBA8 target keeps exactly.
#include "test_d3d11_fixture.h"

#include <d3dcompiler.h>
#include <spirv/unified1/spirv.h>

#include "common/shader_blob.h"

#include <math.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

const char *kFullVS = R"(
float4 main(uint vid : SV_VertexID) : SV_Position {
    return float4(float(vid & 1) * 2 - 1, 1 - float(vid >> 1) * 2, 0.5, 1); // clockwise: not culled
})";

// Row i of the inputs for the pixel at x = i + 0.5: selects on a varying
// position keep the inputs per lane, as a pixel program's inputs are. No
// float comparison here: cases may patch those.
const char *kPSHead = R"(
cbuffer In : register(b0) { uint4 r0, r1, r2, r3, r4, r5, r6, r7; };
float4 bytes(uint v) { return float4(v & 255, (v >> 8) & 255, (v >> 16) & 255, v >> 24) / 255.0; }
float4 main(float4 pos : SV_Position) : SV_Target {
    uint i = (uint)pos.x;
    uint4 u = i == 0 ? r0 : i == 1 ? r1 : i == 2 ? r2 : i == 3 ? r3 : i == 4 ? r4 : i == 5 ? r5 : i == 6 ? r6 : r7;
    float a = asfloat(u.x), b = asfloat(u.y), c = asfloat(u.z);
    int ia = asint(u.x), ib = asint(u.y);
    uint ua = u.x, ub = u.y;
    uint r;
)";

uint32_t F(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}
float bits_f(uint32_t u) {
    float f;
    memcpy(&f, &u, 4);
    return f;
}
const uint32_t NaN = 0x7fc00000u;
// As an expected result: any NaN (which one is the processor's choice).
const uint32_t kAnyNaN = 0x7fc00001u;

struct Row {
    uint32_t a, b, c;
    uint32_t want;
};

struct Case {
    const char *name;
    const char *expr;
    std::vector<Row> rows; // up to 8
    uint32_t ulps = 0;     // allowed distance from want; 0: every bit
    bool cpu_only = false; // where SPIR-V leaves the result undefined: what the CPU executor promises
    // Changes the compiled words (length kept), for instructions our
    // compiler does not emit; false when it finds nothing to change.
    bool (*patch)(uint32_t *w, size_t n) = nullptr;
};

// Every instruction with opcode `from` given opcode `to`.
bool swap_opcode(uint32_t *w, size_t n, uint32_t from, uint32_t to) {
    bool any = false;
    for (size_t i = 5; i < n && (w[i] >> 16); i += w[i] >> 16)
        if ((w[i] & 0xffff) == from)
            w[i] = (w[i] & 0xffff0000u) | to, any = true;
    return any;
}

// Ordered comparisons made unordered: true when either side is NaN.
bool unordered(uint32_t *w, size_t n) {
    bool any = swap_opcode(w, n, SpvOpFOrdEqual, SpvOpFUnordEqual);
    any &= swap_opcode(w, n, SpvOpFOrdLessThan, SpvOpFUnordLessThan);
    any &= swap_opcode(w, n, SpvOpFOrdLessThanEqual, SpvOpFUnordLessThanEqual);
    any &= swap_opcode(w, n, SpvOpFOrdGreaterThan, SpvOpFUnordGreaterThan);
    any &= swap_opcode(w, n, SpvOpFOrdGreaterThanEqual, SpvOpFUnordGreaterThanEqual);
    return any;
}

// The switch's selector replaced by the 32-bit constant `value`, which the
// program must hold: a switch on a constant (what the executor accepts;
// our compiler folds such switches away).
bool switch_on(uint32_t *w, size_t n, uint32_t value) {
    uint32_t id = 0;
    size_t at = 0;
    for (size_t i = 5; i < n && (w[i] >> 16); i += w[i] >> 16) {
        if ((w[i] & 0xffff) == SpvOpConstant && (w[i] >> 16) == 4 && w[i + 3] == value)
            id = w[i + 2];
        if ((w[i] & 0xffff) == SpvOpSwitch)
            at = i;
    }
    if (!id || !at)
        return false;
    w[at + 1] = id;
    return true;
}

// Signed and unsigned comparisons, all four, as bits of one result.
const char *kCompareS = "(ia < ib ? 1u : 0u) | (ia <= ib ? 2u : 0u) | (ia > ib ? 4u : 0u) | (ia >= ib ? 8u : 0u)";
const char *kCompareU = "(ua < ub ? 1u : 0u) | (ua <= ub ? 2u : 0u) | (ua > ub ? 4u : 0u) | (ua >= ub ? 8u : 0u)";
// Float comparisons, ordered and (negated: true when either is NaN) unordered.
const char *kCompareF = "(a < b ? 1u : 0u) | (a <= b ? 2u : 0u) | (a > b ? 4u : 0u) | (a >= b ? 8u : 0u) |"
                        "(a == b ? 16u : 0u) | (a != b ? 32u : 0u) | (!(a < b) ? 64u : 0u) | (!(a <= b) ? 128u : 0u) |"
                        "(!(a > b) ? 256u : 0u) | (!(a >= b) ? 512u : 0u) | (!(a == b) ? 1024u : 0u)";
template <class T> uint32_t compare4(T a, T b) {
    return (a < b ? 1u : 0u) | (a <= b ? 2u : 0u) | (a > b ? 4u : 0u) | (a >= b ? 8u : 0u);
}
uint32_t compare_f(float a, float b) {
    return compare4(a, b) | (a == b ? 16u : 0u) | (a != b ? 32u : 0u) | (!(a < b) ? 64u : 0u) |
           (!(a <= b) ? 128u : 0u) | (!(a > b) ? 256u : 0u) | (!(a >= b) ? 512u : 0u) | (!(a == b) ? 1024u : 0u);
}
Row rs(int32_t a, int32_t b) { return {(uint32_t)a, (uint32_t)b, 0, compare4(a, b)}; }
Row ru(uint32_t a, uint32_t b) { return {a, b, 0, compare4(a, b)}; }
Row rf(float a, float b) { return {F(a), F(b), 0, compare_f(a, b)}; }
// The five ordered comparisons, patched into their unordered forms.
const char *kCompareUnord = "(a == b ? 1u : 0u) | (a < b ? 2u : 0u) | (a <= b ? 4u : 0u) | (a > b ? 8u : 0u) |"
                            "(a >= b ? 16u : 0u)";
Row ru_f(float a, float b) {
    const bool u = a != a || b != b;
    return {F(a), F(b), 0,
            (u || a == b ? 1u : 0u) | (u || a < b ? 2u : 0u) | (u || a <= b ? 4u : 0u) | (u || a > b ? 8u : 0u) |
                (u || a >= b ? 16u : 0u)};
}

const float kInf = INFINITY;

std::vector<Case> cases() {
    return {
        {"exp2",
         "asuint(exp2(a))",
         {{F(0), 0, 0, F(1)},
          {F(3), 0, 0, F(8)},
          {F(-2), 0, 0, F(0.25f)},
          {F(0.5f), 0, 0, F(0x1.6a09e6p+0f)},
          {F(10), 0, 0, F(1024)},
          {F(-126), 0, 0, F(0x1p-126f)},
          {F(-1.5f), 0, 0, F(0x1.6a09e6p-2f)}},
         4},
        {"floor",
         "asuint(floor(a))",
         {{F(-0.0f), 0, 0, F(-0.0f)},
          {F(-2.5f), 0, 0, F(-3)},
          {F(-0.5f), 0, 0, F(-1)},
          {F(8388607.5f), 0, 0, F(8388607)},
          {F(3e9f), 0, 0, F(3e9f)},
          {F(-0x1p-30f), 0, 0, F(-1)},
          {F(-7), 0, 0, F(-7)},
          {F(0x1.fffffep-1f), 0, 0, F(0)}}},
        {"rsqrt",
         "asuint(rsqrt(a))",
         {{F(4), 0, 0, F(0.5f)},
          {F(0.25f), 0, 0, F(2)},
          {F(2), 0, 0, F(0x1.6a09e6p-1f)},
          {F(0x1p-100f), 0, 0, F(0x1p50f)},
          {F(kInf), 0, 0, F(0)}},
         2},
        {"min",
         "asuint(min(a, b))",
         {{F(1), F(2), 0, F(1)},
          {F(2), F(1), 0, F(1)},
          {F(-3), F(5), 0, F(-3)},
          {F(kInf), F(7), 0, F(7)},
          {F(-kInf), F(0), 0, F(-kInf)},
          {F(1), NaN, 0, F(1)}}},
        // Direct3D's rule: with one NaN operand, the other one (SPIR-V
        // leaves it undefined). saturate is a max then a min: NaN gives 0.
        {"min with a NaN",
         "asuint(min(a, b))",
         {{NaN, F(1), 0, F(1)}, {NaN, F(-kInf), 0, F(-kInf)}, {F(-2), NaN, 0, F(-2)}, {NaN, NaN, 0, kAnyNaN}}},
        {"max with a NaN",
         "asuint(max(a, b))",
         {{NaN, F(1), 0, F(1)}, {F(-2), NaN, 0, F(-2)}, {NaN, F(-kInf), 0, F(-kInf)}, {NaN, NaN, 0, kAnyNaN}}},
        {"saturate",
         "asuint(saturate(a))",
         {{NaN, 0, 0, F(0)}, {F(2), 0, 0, F(1)}, {F(-1), 0, 0, F(0)}, {F(0.25f), 0, 0, F(0.25f)}}},
        {"mad, exact products",
         "asuint(mad(a, b, c))",
         {{F(3), F(5), F(-1), F(14)}, {F(0.5f), F(-8), F(4), F(0)}, {F(0x1p100f), F(0x1p27f), F(1), F(0x1p127f)}}},
        // The product of (1 + 2^-12)^2 rounds to 1 + 2^-11 before the sum
        // when it is not fused; SPIR-V allows either, this executor rounds.
        {"mad rounds the product",
         "asuint(mad(a, b, c))",
         {{F(1 + 0x1p-12f), F(1 + 0x1p-12f), F(-(1 + 0x1p-11f)), F(0)}},
         0,
         true},
        {"matrix times vector",
         "asuint(mul(float2x2(a, b, c, 5.0), float2(2.0, 3.0)).y)",
         {{F(1), F(2), F(3), F(21)}, {F(-1), F(0.5f), F(0.25f), F(15.5f)}}},
        {"vector times matrix",
         "asuint(mul(float2(2.0, 3.0), float2x2(a, b, c, 5.0)).y)",
         {{F(1), F(2), F(3), F(19)}, {F(-1), F(0.5f), F(0.25f), F(16)}}},
        {"signed compares",
         kCompareS,
         {rs(-1, 1), rs(1, -1), rs(-2, -2), rs(INT32_MIN, INT32_MAX), rs(INT32_MAX, INT32_MIN), rs(-5, -3)}},
        {"unsigned compares",
         kCompareU,
         {ru(0xffffffffu, 1), ru(1, 0xffffffffu), ru(7, 7), ru(0x80000000u, 0x7fffffffu)}},
        {"float compares",
         kCompareF,
         {rf(1, 2), rf(2, 1), rf(1, 1), rf(NAN, 1), rf(1, NAN), rf(NAN, NAN), rf(-0.0f, 0.0f), rf(-kInf, kInf)}},
        {"unordered float compares",
         kCompareUnord,
         {ru_f(1, 2), ru_f(2, 1), ru_f(1, 1), ru_f(NAN, 1), ru_f(1, NAN), ru_f(NAN, NAN), ru_f(-0.0f, 0.0f)},
         0,
         false,
         unordered},
        {"arithmetic shift right",
         "(uint)(ia >> ib)",
         {{(uint32_t)-16, 2, 0, (uint32_t)-4},
          {(uint32_t)-1, 31, 0, (uint32_t)-1},
          {0x40000000u, 30, 0, 1},
          {0x80000000u, 4, 0, 0xf8000000u},
          {0x7fffffffu, 1, 0, 0x3fffffffu}}},
        {"logical shifts",
         "(ua >> ub) ^ (ua << ub)",
         {{0x80000001u, 4, 0, 0x08000000u ^ 0x10u}, {0xffffffffu, 31, 0, 1u ^ 0x80000000u}}},
        // Direct3D reads only the low five bits of a shift count; SPIR-V
        // leaves counts of 32 and more undefined.
        {"shift counts masked to five bits",
         "(uint)(ia >> ib) ^ (ua << ub)",
         {{(uint32_t)-16, 34, 0, (uint32_t)-4 ^ 0xffffffc0u}, {1, 32, 0, 1u ^ 1u}},
         0,
         true},
        {"float division by zero",
         "asuint(a / b)",
         {{F(1), F(0), 0, F(kInf)}, {F(-1), F(0), 0, F(-kInf)}, {F(1), F(-0.0f), 0, F(-kInf)}, {F(0), F(0), 0, kAnyNaN}}},
        // Direct3D's results; SPIR-V leaves them undefined.
        {"unsigned division by zero", "(ua / ub) ^ (ua % ub)", {{7, 0, 0, 0}, {0, 0, 0, 0}}, 0, true},
        {"float to int in range",
         "(uint)(int)a",
         {{F(1.5f), 0, 0, 1},
          {F(-1.5f), 0, 0, (uint32_t)-1},
          {F(2147483520.0f), 0, 0, 2147483520u},
          {F(-2147483648.0f), 0, 0, 0x80000000u},
          {F(-0.0f), 0, 0, 0}}},
        {"float to uint in range",
         "(uint)a",
         {{F(1.5f), 0, 0, 1}, {F(4294967040.0f), 0, 0, 4294967040u}, {F(0.99f), 0, 0, 0}}},
        // Direct3D's rules (NaN gives 0, out of range saturates); SPIR-V
        // leaves both undefined.
        {"float to int of NaN and out of range",
         "(uint)(int)a",
         {{NaN, 0, 0, 0},
          {F(3e9f), 0, 0, 0x7fffffffu},
          {F(-3e9f), 0, 0, 0x80000000u},
          {F(kInf), 0, 0, 0x7fffffffu},
          {F(-kInf), 0, 0, 0x80000000u},
          {F(2147483648.0f), 0, 0, 0x7fffffffu}},
         0,
         true},
        {"float to uint of NaN and out of range",
         "(uint)a",
         {{NaN, 0, 0, 0},
          {F(5e9f), 0, 0, 0xffffffffu},
          {F(-1), 0, 0, 0},
          {F(kInf), 0, 0, 0xffffffffu},
          {F(4294967296.0f), 0, 0, 0xffffffffu}},
         0,
         true},
        // Values set in branches meet at phis, lanes going both ways.
        {"phi",
         "float v = b + a; if (a > b) v = a * 2.0; else if (b > 8.0) v = b - a; r = asuint(v);",
         {{F(3), F(1), 0, F(6)}, {F(1), F(9), 0, F(8)}, {F(1), F(2), 0, F(3)}, {F(-1), F(-2), 0, F(-2)}}},
        // 3 and 7 are constants of the program, for the patched selector.
        {"switch on a constant, a case taken",
         "switch (ua) { case 1: r = 5u; break; case 3: r = ub * 3u; break; default: r = 7u; }",
         {{1, 4, 0, 12}, {3, 9, 0, 27}, {2, 1, 0, 3}},
         0,
         false,
         [](uint32_t *w, size_t n) { return switch_on(w, n, 3); }},
        {"switch on a constant, the default taken",
         "switch (ua) { case 1: r = 5u; break; case 3: r = ub * 3u; break; default: r = 7u; }",
         {{1, 4, 0, 7}, {3, 9, 0, 7}},
         0,
         false,
         [](uint32_t *w, size_t n) { return switch_on(w, n, 7); }},
        {"bitcasts",
         "asuint(asfloat(ua ^ 0x80000000u) * 2.0) ^ (uint)asint(b)",
         {{F(1.5f), 7, 0, F(-3) ^ 7u}, {F(-0.25f), 0xffffffffu, 0, F(0.5f) ^ 0xffffffffu}}},
    };
}

bool is_nan(uint32_t u) { return (u & 0x7f800000u) == 0x7f800000u && (u & 0x7fffffu); }

// Distance in representable floats (same sign); 0xffffffff across signs.
uint32_t ulps_apart(uint32_t x, uint32_t y) {
    if ((x ^ y) & 0x80000000u)
        return x == y ? 0 : 0xffffffffu;
    return x > y ? x - y : y - x;
}

struct ArithTest : D3D11Test {
    ID3D11Texture2D *target = nullptr;
    ID3D11RenderTargetView *rtv = nullptr;
    ID3D11VertexShader *vs = nullptr;

    void SetUp() override {
        D3D11Test::SetUp();
        target = texture(8, 1, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0);
        ASSERT_EQ(S_OK, dev->CreateRenderTargetView(target, nullptr, &rtv));
        ID3DBlob *v = compile(kFullVS, "vs_5_0");
        ASSERT_TRUE(v);
        ASSERT_EQ(S_OK, dev->CreateVertexShader(v->GetBufferPointer(), v->GetBufferSize(), nullptr, &vs));
        v->Release();
        ctx->OMSetRenderTargets(1, &rtv, nullptr);
        D3D11_VIEWPORT vp = {0, 0, 8, 1, 0, 1};
        ctx->RSSetViewports(1, &vp);
        ctx->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
        ctx->VSSetShader(vs, nullptr, 0);
    }
    void TearDown() override {
        for (IUnknown *o : {(IUnknown *)target, (IUnknown *)rtv, (IUnknown *)vs})
            if (o)
                o->Release();
        D3D11Test::TearDown();
    }

    ID3DBlob *compile(const std::string &src, const char *target) {
        ID3DBlob *code = nullptr, *errors = nullptr;
        HRESULT hr =
            D3DCompile(src.data(), src.size(), "case.hlsl", nullptr, nullptr, "main", target, 0, 0, &code, &errors);
        EXPECT_EQ(S_OK, hr) << (errors ? (const char *)errors->GetBufferPointer() : "") << src;
        if (errors)
            errors->Release();
        return code;
    }

    // The eight pixels the case's program writes.
    std::vector<uint32_t> run(const Case &c) {
        std::vector<uint32_t> px;
        const std::string code = strchr(c.expr, ';') ? c.expr : std::string("r = ") + c.expr + ";";
        ID3DBlob *p = compile(std::string(kPSHead) + "    " + code + "\n    return bytes(r);\n}\n", "ps_5_0");
        ID3D11PixelShader *ps = nullptr;
        if (!p)
            return px;
        std::vector<uint8_t> blob((const uint8_t *)p->GetBufferPointer(),
                                  (const uint8_t *)p->GetBufferPointer() + p->GetBufferSize());
        p->Release();
        if (c.patch) { // a pixel program's container holds no inputs: the words follow the header
            uint32_t *w = (uint32_t *)(blob.data() + sizeof(ShaderBlobHeader));
            const size_t n = (blob.size() - sizeof(ShaderBlobHeader)) / 4;
            EXPECT_TRUE(c.patch(w, n)) << c.name << ": nothing to patch";
        }
        EXPECT_EQ(S_OK, dev->CreatePixelShader(blob.data(), blob.size(), nullptr, &ps)) << c.name;
        if (!ps)
            return px;
        uint32_t in[8][4] = {};
        for (size_t i = 0; i < 8; i++) {
            const Row &r = c.rows[i < c.rows.size() ? i : c.rows.size() - 1];
            in[i][0] = r.a, in[i][1] = r.b, in[i][2] = r.c;
        }
        D3D11_BUFFER_DESC bd = {sizeof in, D3D11_USAGE_IMMUTABLE, D3D11_BIND_CONSTANT_BUFFER, 0, 0, 0};
        D3D11_SUBRESOURCE_DATA init = {in, 0, 0};
        ID3D11Buffer *cb = nullptr;
        EXPECT_EQ(S_OK, dev->CreateBuffer(&bd, &init, &cb));
        const float clear[4] = {0.2f, 0.2f, 0.2f, 0.2f};
        ctx->ClearRenderTargetView(rtv, clear);
        ctx->PSSetShader(ps, nullptr, 0);
        ctx->PSSetConstantBuffers(0, 1, &cb);
        ctx->Draw(4, 0);
        px = read_pixels(target);
        ps->Release();
        cb->Release();
        return px;
    }
};

TEST_F(ArithTest, OperationsGiveTheValuesWorkedOutHere) {
    for (const Case &c : cases()) {
        if (c.cpu_only && !cpu_executor())
            continue;
        ASSERT_LE(c.rows.size(), 8u) << c.name;
        std::vector<uint32_t> px = run(c);
        ASSERT_EQ(8u, px.size()) << c.name;
        for (size_t i = 0; i < c.rows.size(); i++) {
            const Row &r = c.rows[i];
            const uint32_t got = px[i];
            bool ok = r.want == kAnyNaN ? is_nan(got) : c.ulps ? ulps_apart(got, r.want) <= c.ulps : got == r.want;
            EXPECT_TRUE(ok) << c.name << ", row " << i << " (a " << bits_f(r.a) << " / 0x" << std::hex << r.a
                            << ", b 0x" << r.b << ", c 0x" << r.c << "): got 0x" << got << " (" << bits_f(got)
                            << "), want 0x" << r.want << " (" << bits_f(r.want) << ")" << std::dec;
        }
    }
}

} // namespace
