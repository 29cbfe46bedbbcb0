// Helpers of the CPU executor's tests: HLSL through our D3DCompile to the
// executor's translated program.
#pragma once
#include <d3dcompiler.h>
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "common/shader_blob.h"
#include "sw/sw_program.h"

// Compiles src for target ("vs_5_0" / "ps_5_0") and translates it; on
// failure returns false with the compiler's or translator's message.
inline bool sw_compile(const char *src, const char *target, SwProgram *out, std::string *err) {
    ID3DBlob *code = nullptr, *msgs = nullptr;
    HRESULT hr = D3DCompile(src, strlen(src), "test.hlsl", nullptr, nullptr, "main", target, 0, 0, &code, &msgs);
    if (msgs) msgs->Release();
    if (FAILED(hr)) {
        *err = "D3DCompile failed";
        return false;
    }
    const ShaderBlobHeader *h = (const ShaderBlobHeader *)code->GetBufferPointer();
    const uint32_t *spirv = (const uint32_t *)((const char *)(h + 1) + h->input_count * sizeof(ShaderBlobInput));
    SwStage stage = target[0] == 'v' ? SW_STAGE_VERTEX : SW_STAGE_PIXEL;
    bool ok = sw_program_translate(spirv, h->spirv_words, stage, out, err);
    code->Release();
    return ok;
}
