// What D3DCompile reads back from glslang's SPIR-V, and the clean-up that
// keeps the module free of extensions the device would have to enable.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

#include "common/shader_blob.h"

struct SpirvInterface {
    std::vector<ShaderBlobInput> inputs; // vertex programs only, by location
    uint32_t cbuffer_mask = 0;
};

// Reads the vertex input signature (from UserSemantic decorations, so the
// module must come from glslang with HLSL functionality1 on) and the
// constant-buffer registers. False with a message in err on anything the
// container cannot describe.
bool spirv_read_interface(const std::vector<uint32_t> &spirv, ShaderStage stage,
                          SpirvInterface *out, std::string *err);

// Removes the SPV_GOOGLE_* extensions and their decorations in place.
void spirv_strip_hlsl_info(std::vector<uint32_t> *spirv);

// Checks a module against the SPIR-V rules for Vulkan 1.1 (the validator of
// SPIRV-Tools), as a driver expects before it compiles: false with the
// validator's first message in err. For modules from outside our compiler.
bool spirv_check(const uint32_t *words, size_t count, std::string *err);
