// The engine's programs compiled ahead of time: the web build carries no HLSL
// compiler, so a build step runs the native D3DCompile (glslang) over each of
// the engine's program sources and writes this table (web_programs.cpp,
// generated). The web D3DCompile hands out the container whose source text,
// entry point and target match a call exactly.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct WebProgram {
    const char *target; // "vs_5_0" or "ps_5_0"
    const char *entry;
    const char *source; // the exact text the engine passes
    size_t source_size;
    const uint8_t *code; // the container the native D3DCompile wrote
    size_t code_size;
};

extern const WebProgram k_web_programs[];
extern const size_t k_web_program_count;
