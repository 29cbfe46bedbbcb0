// What D3DCompile's results depend on: the stage (one text compiled for
// both gives two programs, whatever the cache holds), HLSL's packing of
// constant-buffer members, and one semantic index per column of a matrix
// input.
#include <d3dcompiler.h>
#include <gtest/gtest.h>
#include <spirv/unified1/spirv.h>

#include "common/shader_blob.h"

#include <string.h>

#include <vector>

namespace {

struct Compiled {
    ShaderBlobHeader header = {};
    std::vector<ShaderBlobInput> inputs;
    std::vector<uint32_t> spirv;
};

bool compile(const char *src, const char *target, Compiled *out) {
    ID3DBlob *code = nullptr, *errors = nullptr;
    HRESULT hr = D3DCompile(src, strlen(src), "options.hlsl", nullptr, nullptr, "main", target, 0, 0, &code, &errors);
    EXPECT_EQ(S_OK, hr) << (errors ? (const char *)errors->GetBufferPointer() : "");
    if (errors) errors->Release();
    if (FAILED(hr)) return false;
    const uint8_t *b = (const uint8_t *)code->GetBufferPointer();
    memcpy(&out->header, b, sizeof out->header);
    const ShaderBlobInput *in = (const ShaderBlobInput *)(b + sizeof out->header);
    out->inputs.assign(in, in + out->header.input_count);
    const uint32_t *w = (const uint32_t *)(in + out->header.input_count);
    out->spirv.assign(w, w + out->header.spirv_words);
    code->Release();
    return true;
}

TEST(CompileOptions, OneTextForBothStagesGivesTwoPrograms) {
    const char *src = "float4 main(float4 c : COLOR0) : COLOR0 { return c * 2.0; }\n";
    for (const char *first : {"vs_5_0", "ps_5_0"}) { // either stage may be in the cache first
        Compiled a, b;
        const char *second = first[0] == 'v' ? "ps_5_0" : "vs_5_0";
        ASSERT_TRUE(compile(src, first, &a));
        ASSERT_TRUE(compile(src, second, &b));
        EXPECT_EQ(first[0] == 'v' ? SHADER_STAGE_VERTEX : SHADER_STAGE_PIXEL, a.header.stage);
        EXPECT_EQ(second[0] == 'v' ? SHADER_STAGE_VERTEX : SHADER_STAGE_PIXEL, b.header.stage);
    }
}

// HLSL packs a float3 after a float into the same 16-byte register (offset
// 4), where std140 would start it at 16; a float2 after a float3 does not
// fit the rest of a register and starts the next one.
TEST(CompileOptions, ConstantBufferMembersKeepHlslOffsets) {
    Compiled c;
    ASSERT_TRUE(compile("cbuffer C : register(b0) { float a; float3 b; float3 d; float2 e; };\n"
                        "float4 main(float4 p : SV_Position) : SV_Target { return float4(b * a + d, e.x + e.y); }\n",
                        "ps_5_0", &c));
    std::vector<uint32_t> offsets;
    for (size_t i = 5; i < c.spirv.size() && (c.spirv[i] >> 16); i += c.spirv[i] >> 16)
        if ((c.spirv[i] & 0xffff) == SpvOpMemberDecorate && c.spirv[i + 3] == SpvDecorationOffset)
            offsets.push_back(c.spirv[i + 4]);
    EXPECT_EQ((std::vector<uint32_t>{0, 4, 16, 32}), offsets);
}

TEST(CompileOptions, MatrixInputsTakeOneSemanticIndexPerColumn) {
    Compiled c;
    ASSERT_TRUE(compile("float4 main(float4 p : POSITION, float4x4 m : TEXCOORD1) : SV_Position { return mul(p, m); }\n",
                        "vs_5_0", &c));
    ASSERT_EQ(5u, c.inputs.size());
    EXPECT_STREQ("POSITION", c.inputs[0].semantic);
    for (uint32_t k = 1; k < 5; k++) {
        EXPECT_STREQ("TEXCOORD", c.inputs[k].semantic) << k;
        EXPECT_EQ(k, c.inputs[k].semantic_index) << "column " << k - 1;
        EXPECT_EQ(c.inputs[1].location + k - 1, c.inputs[k].location) << "column " << k - 1;
    }
}

} // namespace
