// D3DCompile for the web build: a lookup among the engine's precompiled
// programs (web_programs.h). The result is byte for byte what the native
// compiler gives for the same call, so the executor sees the same SPIR-V on
// both platforms. Any other source, entry point, target, define or flag is
// not compiled here and fails with E_FAIL and a message saying so.
#include "hlsl/blob.h"
#include "web/web_programs.h"

#include <string.h>
#include <string>

namespace {

const WebProgram *find_program(const char *src, size_t size, const char *entry, const char *target) {
    for (size_t i = 0; i < k_web_program_count; i++) {
        const WebProgram &p = k_web_programs[i];
        if (p.source_size == size && memcmp(p.source, src, size) == 0 && strcmp(p.entry, entry) == 0 &&
            strcmp(p.target, target) == 0)
            return &p;
    }
    return nullptr;
}

} // namespace

HRESULT WINAPI D3DCompile(LPCVOID pSrcData, SIZE_T SrcDataSize, LPCSTR pSourceName,
                          const D3D_SHADER_MACRO *pDefines, ID3DInclude *pInclude,
                          LPCSTR pEntrypoint, LPCSTR pTarget, UINT Flags1, UINT Flags2,
                          ID3DBlob **ppCode, ID3DBlob **ppErrorMsgs) {
    const std::string name = pSourceName ? pSourceName : "source";
    HRESULT hr = hlsl_compile_begin(pSrcData, name, pEntrypoint, pTarget, ppCode, ppErrorMsgs);
    if (FAILED(hr)) return hr;
    const WebProgram *p = nullptr;
    if (!pInclude && !Flags1 && !Flags2 && (!pDefines || !pDefines[0].Name))
        p = find_program((const char *)pSrcData, SrcDataSize, pEntrypoint, pTarget);
    if (!p) {
        hlsl_blob_messages(ppErrorMsgs, name + ": error: this build compiles no HLSL; it carries only the "
                                         "engine's own programs, compiled ahead of time\n");
        return E_FAIL;
    }
    *ppCode = hlsl_blob_create(p->code, p->code_size);
    return *ppCode ? S_OK : E_OUTOFMEMORY;
}
