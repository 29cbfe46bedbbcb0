// Programs from outside our compiler: CreateVertexShader and
// CreatePixelShader take any bytes. A damaged module must be refused with
// E_INVALIDARG and a message on stderr, on either executor, and reach
// neither the CPU executor's interpreter nor the Vulkan driver. Run under
// AddressSanitizer too (scripts/test-sanitize.sh): a read past an
// instruction there is a failure even when the result looks right.
#include "test_d3d11_fixture.h"

#include <d3dcompiler.h>

#include "capture_stderr.h"
#include "common/shader_blob.h"

#include <spirv/unified1/spirv.h>

#include <functional>
#include <string>

namespace {

// Reads a constant buffer, a matrix, an extended instruction, a shuffle,
// extracts, a product, a compare and a branch.
const char *kDamagePS = R"(
cbuffer K : register(b0) { float4 k; float4x4 m; };
float4 main(float4 p : SV_Position, float4 c : COLOR0) : SV_Target {
    float4 r = float4(exp(c.xyz), c.w) * k.x + mul(m, c);
    if (c.x > 0.5) r.y = c.z;
    return r;
})";

// A matrix times a vector, a vertex index, integer operations, a built-in output.
const char *kDamageVS = R"(
cbuffer K : register(b1) { float4x4 m; };
struct O { float4 p : SV_Position; float4 c : COLOR0; };
O main(float3 p : POSITION, uint vid : SV_VertexID) {
    O o;
    o.p = mul(float4(p, 1), m);
    o.c = float4(vid & 1, vid >> 1, 0, 1);
    return o;
})";

using Words = std::vector<uint32_t>;

// Word index of the nth instruction with this opcode (with, when given,
// operand word `k` equal to `v`), or 0 when there is none.
size_t find(const Words &w, uint32_t op, int nth = 0, int k = -1, uint32_t v = 0) {
    for (size_t i = 5; i < w.size() && (w[i] >> 16) > 0; i += w[i] >> 16)
        if ((w[i] & 0xffff) == op && (k < 0 || (i + k < w.size() && w[i + k] == v)) && nth-- == 0)
            return i;
    return 0;
}

// The instruction at i cut to n words, the rest of it turned into OpNop.
void shorten(Words &w, size_t i, uint32_t n) {
    const uint32_t old = w[i] >> 16;
    w[i] = n << 16 | (w[i] & 0xffff);
    for (uint32_t k = n; k < old; k++)
        w[i + k] = 1u << 16 | SpvOpNop;
}

struct Damage {
    const char *what;
    bool vertex; // kDamageVS, else kDamagePS
    std::function<void(Words &)> apply;
    const char *cpu_says; // in the CPU executor's message: refused for this reason, not a later one
};

const Damage kDamages[] = {
    {"module cut inside its last store", false, [](Words &w) { w.resize(find(w, SpvOpStore, 3) + 2); }, "truncated"},
    {"instruction of length zero", false, [](Words &w) { w[find(w, SpvOpLoad)] &= 0xffff; }, "truncated"},
    {"last instruction running past the end", false, [](Words &w) { w.back() = 3u << 16 | SpvOpFunctionEnd; },
     "truncated"},
    {"load without its pointer", false, [](Words &w) { shorten(w, find(w, SpvOpLoad), 3); }, "too short"},
    {"binary operation without its second operand", false, [](Words &w) { shorten(w, find(w, SpvOpFAdd), 4); },
     "too short"},
    {"vector type without its size", false, [](Words &w) { shorten(w, find(w, SpvOpTypeVector), 3); }, "too short"},
    {"location without its number", false,
     [](Words &w) { shorten(w, find(w, SpvOpDecorate, 0, 2, SpvDecorationLocation), 3); }, "without its value"},
    {"member offset without its value", true,
     [](Words &w) { shorten(w, find(w, SpvOpMemberDecorate, 0, 3, SpvDecorationOffset), 4); }, "without its value"},
    {"operand beyond the id bound", false, [](Words &w) { w[find(w, SpvOpFAdd) + 4] = w[3] + 100; }, "not a value"},
    {"load from a constant", false, [](Words &w) { w[find(w, SpvOpLoad) + 3] = w[find(w, SpvOpConstant) + 2]; },
     "not a variable"},
    {"unknown opcode in the function", false, [](Words &w) { w[find(w, SpvOpFAdd)] = 5u << 16 | 0x7ff; },
     "instruction 2047 is not supported"},
    {"unknown opcode among the declarations", false, [](Words &w) { w[find(w, SpvOpTypeVoid)] = 2u << 16 | 0x7ff; },
     "instruction 2047 is not supported"},
    {"vector of 1000 components", false, [](Words &w) { w[find(w, SpvOpTypeVector) + 3] = 1000; }, "wrong shape"},
    {"vector whose size overflows", true, [](Words &w) { w[find(w, SpvOpTypeVector, 1) + 3] = 0x40000001; },
     "wrong shape"},
    {"matrix of scalar columns", true,
     [](Words &w) { w[find(w, SpvOpTypeMatrix) + 2] = w[find(w, SpvOpTypeFloat) + 1]; }, "wrong shape"},
    {"structure holding itself", true,
     [](Words &w) {
         size_t i = find(w, SpvOpTypeStruct);
         w[i + 2] = w[i + 1];
     },
     "member of no known type"},
    {"instruction-set name without its terminator", false,
     [](Words &w) {
         size_t i = find(w, SpvOpExtInstImport);
         w[i + (w[i] >> 16) - 1] = 0x41414141;
     },
     "name without its end"},
    {"entry-point name without its terminator", false,
     [](Words &w) { // the name runs to the end of the instruction
         size_t i = find(w, SpvOpEntryPoint);
         for (size_t k = i + 3; k < i + (w[i] >> 16); k++)
             w[k] = 0x41414141;
     },
     "name without its end"},
    {"extract past the end of a vector", false, [](Words &w) { w[find(w, SpvOpCompositeExtract) + 4] = 7; },
     "out of range"},
    {"shuffle index past both vectors", false, [](Words &w) { w[find(w, SpvOpVectorShuffle) + 5] = 9; },
     "out of range"},
    {"vector stored into a scalar", false, // the third store writes one component; the first load is a vector
     [](Words &w) { w[find(w, SpvOpStore, 2) + 2] = w[find(w, SpvOpLoad) + 2]; }, "wrong size"},
    {"branch on a vector", false, [](Words &w) { w[find(w, SpvOpBranchConditional) + 1] = w[find(w, SpvOpLoad) + 2]; },
     "not a scalar"},
    {"branch to something that is not a block", false,
     [](Words &w) { w[find(w, SpvOpBranch) + 1] = w[find(w, SpvOpLoad) + 2]; }, "unknown block"},
    {"matrix product of two vectors", true,
     [](Words &w) {
         size_t i = find(w, SpvOpMatrixTimesVector);
         w[i + 3] = w[i + 4];
     },
     "not a matrix"},
    {"constant-buffer member far past any buffer", true,
     [](Words &w) { w[find(w, SpvOpMemberDecorate, 0, 3, SpvDecorationOffset) + 4] = 0xfffffff0u; },
     "outside the constant buffers"},
};

// Our container around SPIR-V words: the compiled header and inputs, the
// words replaced.
std::vector<uint8_t> repack(ID3DBlob *code, const Words &spirv) {
    const uint8_t *b = (const uint8_t *)code->GetBufferPointer();
    ShaderBlobHeader h;
    memcpy(&h, b, sizeof h);
    const size_t head = sizeof h + h.input_count * sizeof(ShaderBlobInput);
    h.spirv_words = (uint32_t)spirv.size();
    std::vector<uint8_t> out(b, b + head);
    memcpy(out.data(), &h, sizeof h);
    out.insert(out.end(), (const uint8_t *)spirv.data(), (const uint8_t *)(spirv.data() + spirv.size()));
    return out;
}

Words spirv_of(ID3DBlob *code) {
    const uint8_t *b = (const uint8_t *)code->GetBufferPointer();
    ShaderBlobHeader h;
    memcpy(&h, b, sizeof h);
    const uint32_t *w = (const uint32_t *)(b + sizeof h + h.input_count * sizeof(ShaderBlobInput));
    return Words(w, w + h.spirv_words);
}

ID3DBlob *compile(const char *src, const char *target) {
    ID3DBlob *code = nullptr, *errors = nullptr;
    HRESULT hr = D3DCompile(src, strlen(src), "test.hlsl", nullptr, nullptr, "main", target, 0, 0, &code, &errors);
    EXPECT_EQ(S_OK, hr) << (errors ? (const char *)errors->GetBufferPointer() : "");
    if (errors)
        errors->Release();
    return code;
}

// E_INVALIDARG, no object, and a message; the undamaged module passes.
HRESULT create(ID3D11Device *dev, bool vertex, const std::vector<uint8_t> &blob, bool *made) {
    ID3D11DeviceChild *out = nullptr;
    HRESULT hr = vertex ? dev->CreateVertexShader(blob.data(), blob.size(), nullptr, (ID3D11VertexShader **)&out)
                        : dev->CreatePixelShader(blob.data(), blob.size(), nullptr, (ID3D11PixelShader **)&out);
    *made = out != nullptr;
    if (out)
        out->Release();
    return hr;
}

TEST_F(D3D11Test, DamagedProgramsAreRefused) {
    ID3DBlob *code[2] = {compile(kDamagePS, "ps_5_0"), compile(kDamageVS, "vs_5_0")};
    ASSERT_TRUE(code[0] && code[1]);
    for (int v = 0; v < 2; v++) {
        bool made = false;
        EXPECT_EQ(S_OK, create(dev, v == 1, repack(code[v], spirv_of(code[v])), &made));
        EXPECT_TRUE(made) << "the undamaged module";
    }
    for (const Damage &d : kDamages) {
        Words w = spirv_of(code[d.vertex]);
        d.apply(w);
        bool made = true;
        CaptureStderr err;
        HRESULT hr = create(dev, d.vertex, repack(code[d.vertex], w), &made);
        const std::string said = err.text();
        EXPECT_EQ(E_INVALIDARG, hr) << d.what;
        EXPECT_FALSE(made) << d.what;
        EXPECT_NE(std::string::npos, said.find("program")) << d.what << ": said \"" << said << "\"";
        if (cpu_executor()) {
            EXPECT_NE(std::string::npos, said.find(d.cpu_says)) << d.what << ": said \"" << said << "\"";
        }
    }
    // The container around the module: an input's semantic without its end.
    std::vector<uint8_t> blob = repack(code[1], spirv_of(code[1]));
    ShaderBlobInput in;
    memcpy(&in, blob.data() + sizeof(ShaderBlobHeader), sizeof in);
    memset(in.semantic, 'A', sizeof in.semantic);
    memcpy(blob.data() + sizeof(ShaderBlobHeader), &in, sizeof in);
    bool made = true;
    EXPECT_EQ(E_INVALIDARG, create(dev, true, blob, &made)) << "a semantic without its end";
    EXPECT_FALSE(made);
    code[0]->Release();
    code[1]->Release();
}

} // namespace
