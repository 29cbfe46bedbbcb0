// D3DCompile for the Linux platform layer: HLSL (vs_5_0, ps_5_0) through
// glslang to SPIR-V, wrapped in the container of src/common/shader_blob.h
// (input signature + constant-buffer mask + SPIR-V, entry point "main").
//
// Differences from d3dcompiler_47 worth knowing:
// - Compile errors give E_FAIL and an error blob of "<name>:<line>: error: ..."
//   lines (fxc prints "<name>(<line>,<col>): error X....").
// - Unknown targets, a null source or entry point give E_INVALIDARG.
// - Flags: the two PACK_MATRIX flags are honoured (both at once is
//   E_INVALIDARG); every other flag is accepted and ignored.
// - pInclude is not used: #include in the source is a compile error.
// - SV_InstanceID is Vulkan's InstanceIndex, which counts from the draw's
//   first instance: equal to Direct3D's only for StartInstanceLocation 0.
// - The signature lists every declared vertex input; cbuffer_mask only the
//   registers the program still reads after optimisation.
#pragma once
#include "windows.h"
#include "d3dcommon.h"

#define D3DCOMPILE_DEBUG                          (1u << 0)
#define D3DCOMPILE_SKIP_VALIDATION                (1u << 1)
#define D3DCOMPILE_SKIP_OPTIMIZATION              (1u << 2)
#define D3DCOMPILE_PACK_MATRIX_ROW_MAJOR          (1u << 3)
#define D3DCOMPILE_PACK_MATRIX_COLUMN_MAJOR       (1u << 4)
#define D3DCOMPILE_PARTIAL_PRECISION              (1u << 5)
#define D3DCOMPILE_NO_PRESHADER                   (1u << 8)
#define D3DCOMPILE_AVOID_FLOW_CONTROL             (1u << 9)
#define D3DCOMPILE_PREFER_FLOW_CONTROL            (1u << 10)
#define D3DCOMPILE_ENABLE_STRICTNESS              (1u << 11)
#define D3DCOMPILE_ENABLE_BACKWARDS_COMPATIBILITY (1u << 12)
#define D3DCOMPILE_IEEE_STRICTNESS                (1u << 13)
#define D3DCOMPILE_OPTIMIZATION_LEVEL0            (1u << 14)
#define D3DCOMPILE_OPTIMIZATION_LEVEL1            0u
#define D3DCOMPILE_OPTIMIZATION_LEVEL2            ((1u << 14) | (1u << 15))
#define D3DCOMPILE_OPTIMIZATION_LEVEL3            (1u << 15)
#define D3DCOMPILE_WARNINGS_ARE_ERRORS            (1u << 18)

#ifdef __cplusplus
extern "C" {
#endif

HRESULT WINAPI D3DCompile(LPCVOID pSrcData, SIZE_T SrcDataSize, LPCSTR pSourceName,
                          const D3D_SHADER_MACRO *pDefines, ID3DInclude *pInclude,
                          LPCSTR pEntrypoint, LPCSTR pTarget, UINT Flags1, UINT Flags2,
                          ID3DBlob **ppCode, ID3DBlob **ppErrorMsgs);

#ifdef __cplusplus
}
#endif
