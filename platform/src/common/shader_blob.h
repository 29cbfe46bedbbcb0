// Bytecode container produced by D3DCompile and consumed by CreateVertexShader,
// CreatePixelShader and CreateInputLayout. Direct3D bytecode carries the input
// signature; ours carries it in front of the SPIR-V so CreateInputLayout can
// match semantics against locations the same way.
#pragma once
#include <stdint.h>

#define SHADER_BLOB_MAGIC 0x42534748u /* "HGSB" */
#define SHADER_BLOB_VERSION 1u
#define SHADER_BLOB_MAX_SEMANTIC 32

enum ShaderStage { SHADER_STAGE_VERTEX = 0, SHADER_STAGE_PIXEL = 1 };

struct ShaderBlobHeader {
    uint32_t magic;        // SHADER_BLOB_MAGIC
    uint32_t version;      // SHADER_BLOB_VERSION
    uint32_t stage;        // ShaderStage
    uint32_t input_count;  // ShaderBlobInput records following the header
    uint32_t cbuffer_mask; // bit i set: the program reads constant-buffer register b<i>
    uint32_t spirv_words;  // 32-bit SPIR-V words following the input records
};

// One vertex-program input (empty for pixel programs). System values
// (SV_VertexID, SV_InstanceID) are not listed: no input element feeds them.
struct ShaderBlobInput {
    char semantic[SHADER_BLOB_MAX_SEMANTIC]; // upper-case name without the index, "TEXCOORD"
    uint32_t semantic_index;                 // 2 for TEXCOORD2, 0 for POSITION
    uint32_t location;                       // SPIR-V Location of the input variable
    uint32_t components;                     // 1..4
};

// Layout: ShaderBlobHeader, input_count x ShaderBlobInput, spirv_words x uint32_t.
// Constant buffer register b<i> of a vertex program is descriptor binding i of
// set 0; of a pixel program, binding SHADER_PS_CBUFFER_BINDING_BASE + i. Keeping
// the stages in separate binding ranges is what lets VS b1 and PS b1 hold
// different buffers at the same time, as Direct3D 11 allows.
#define SHADER_CBUFFER_SLOTS 14
#define SHADER_CBUFFER_BYTES 65536 /* 4096 registers of 16 bytes, the most a constant buffer holds */
#define SHADER_PS_CBUFFER_BINDING_BASE 14
