// D3DCompile over glslang's HLSL front end.
#include <d3dcompiler.h>

#include <map>
#include <mutex>
#include <string.h>
#include <string>
#include <vector>

// Debian's glslang is built with HLSL; its headers hide the HLSL setters
// unless told so.
#ifndef ENABLE_HLSL
#define ENABLE_HLSL 1
#endif
#include <glslang/Public/ResourceLimits.h>
#include <glslang/Public/ShaderLang.h>
#include <glslang/MachineIndependent/localintermediate.h>
#include <glslang/SPIRV/GlslangToSpv.h>
#include <spirv-tools/optimizer.hpp>

#include "common/shader_blob.h"
#include "hlsl/blob.h"
#include "hlsl/spirv_reflect.h"

namespace {

std::mutex g_compile_lock; // glslang's process state is not built for concurrent use
bool g_glslang_ready = false;

struct Target {
    const char *name;
    ShaderStage stage;
};
const Target k_targets[] = {
    {"vs_4_0", SHADER_STAGE_VERTEX}, {"vs_4_1", SHADER_STAGE_VERTEX}, {"vs_5_0", SHADER_STAGE_VERTEX},
    {"ps_4_0", SHADER_STAGE_PIXEL},  {"ps_4_1", SHADER_STAGE_PIXEL},  {"ps_5_0", SHADER_STAGE_PIXEL},
};

const Target *find_target(const char *name) {
    for (const Target &t : k_targets)
        if (strcmp(t.name, name) == 0) return &t;
    return nullptr;
}

// glslang writes "ERROR: name:line: msg"; make it "name:line: error: msg",
// the shape compilers print and editors jump to. Every line names the source.
std::string format_log(const std::string &log, const std::string &name) {
    std::string out;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find('\n', pos);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(pos, end - pos);
        pos = end + 1;
        const char *kind = "";
        if (line.compare(0, 7, "ERROR: ") == 0) {
            kind = "error: ";
            line.erase(0, 7);
        } else if (line.compare(0, 9, "WARNING: ") == 0) {
            kind = "warning: ";
            line.erase(0, 9);
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        if (line.find("compilation errors.  No code generated.") != std::string::npos) continue;
        // The HLSL parser's summary: "name(line): error at column c, ...".
        if (line.compare(0, name.size() + 1, name + "(") == 0) {
            size_t close = line.find("): error at column ", name.size());
            if (close != std::string::npos) {
                std::string num = line.substr(name.size() + 1, close - name.size() - 1);
                line = name + ":" + num + ": error: " + line.substr(close + 9);
                kind = "";
            }
        }
        size_t at = std::string::npos; // just past "name:line: "
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            size_t d = name.size() + 1, e = d;
            while (e < line.size() && line[e] >= '0' && line[e] <= '9') e++;
            if (e > d && e + 1 < line.size() && line[e] == ':' && line[e + 1] == ' ') at = e + 2;
        }
        if (at == std::string::npos) {
            line.insert(0, name + ": " + kind);
        } else {
            line.insert(at, kind);
        }
        out += line;
        out += '\n';
    }
    return out;
}

std::string preamble_for(const D3D_SHADER_MACRO *defines, UINT flags) {
    std::string s;
    // glslang's HLSL front end knows the pragma the flags stand for.
    if (flags & D3DCOMPILE_PACK_MATRIX_ROW_MAJOR) s += "#pragma pack_matrix(row_major)\n";
    if (flags & D3DCOMPILE_PACK_MATRIX_COLUMN_MAJOR) s += "#pragma pack_matrix(column_major)\n";
    for (; defines && defines->Name; defines++) {
        s += "#define ";
        s += defines->Name;
        s += ' ';
        s += defines->Definition ? defines->Definition : "1";
        s += '\n';
    }
    return s;
}

// HLSL output needs these passes before Vulkan accepts it (struct copies
// holding resources, early returns, ...).
bool legalize(std::vector<uint32_t> *spirv, std::string *err) {
    std::string first;
    spvtools::Optimizer opt(SPV_ENV_VULKAN_1_1);
    opt.SetMessageConsumer([&first](spv_message_level_t level, const char *, const spv_position_t &, const char *m) {
        if (level <= SPV_MSG_ERROR && first.empty()) first = m;
    });
    opt.RegisterLegalizationPasses();
    spvtools::OptimizerOptions o;
    o.set_run_validator(false);
    std::vector<uint32_t> out;
    if (!opt.Run(spirv->data(), spirv->size(), &out, o)) {
        *err = "error: SPIR-V legalization failed: " + first;
        return false;
    }
    spirv->swap(out);
    return true;
}

// Layout of common/shader_blob.h: header, input records, SPIR-V.
void write_container(ShaderStage stage, const std::vector<ShaderBlobInput> &inputs, uint32_t cbuffer_mask,
                     const std::vector<uint32_t> &spirv, std::vector<uint32_t> *out) {
    ShaderBlobHeader h = {};
    h.magic = SHADER_BLOB_MAGIC;
    h.version = SHADER_BLOB_VERSION;
    h.stage = stage;
    h.input_count = (uint32_t)inputs.size();
    h.cbuffer_mask = cbuffer_mask;
    h.spirv_words = (uint32_t)spirv.size();
    static_assert(sizeof h % 4 == 0 && sizeof(ShaderBlobInput) % 4 == 0, "container is made of words");
    out->resize(sizeof h / 4 + inputs.size() * sizeof(ShaderBlobInput) / 4 + spirv.size());
    uint8_t *p = reinterpret_cast<uint8_t *>(out->data());
    memcpy(p, &h, sizeof h);
    p += sizeof h;
    if (!inputs.empty()) memcpy(p, inputs.data(), inputs.size() * sizeof(ShaderBlobInput));
    p += inputs.size() * sizeof(ShaderBlobInput);
    memcpy(p, spirv.data(), spirv.size() * 4);
}

HRESULT compile(const char *src, size_t size, const std::string &name, const D3D_SHADER_MACRO *defines,
                UINT flags, const char *entry, ShaderStage stage, std::vector<uint32_t> *container, std::string *log) {
    std::lock_guard<std::mutex> lock(g_compile_lock);
    if (!g_glslang_ready) g_glslang_ready = glslang::InitializeProcess();
    if (!g_glslang_ready) {
        *log = "error: glslang failed to initialize\n";
        return E_FAIL;
    }

    const EShLanguage lang = stage == SHADER_STAGE_VERTEX ? EShLangVertex : EShLangFragment;
    while (size > 0 && src[size - 1] == '\0') size--; // callers often count the terminator
    const char *strings[] = {src};
    const int lengths[] = {(int)size};
    const char *names[] = {name.c_str()};
    const std::string preamble = preamble_for(defines, flags);

    glslang::TShader shader(lang);
    shader.setStringsWithLengthsAndNames(strings, lengths, names, 1);
    if (!preamble.empty()) shader.setPreamble(preamble.c_str());
    shader.setEntryPoint("main");
    shader.setSourceEntryPoint(entry);
    shader.setEnvInput(glslang::EShSourceHlsl, lang, glslang::EShClientVulkan, 100);
    shader.setEnvClient(glslang::EShClientVulkan, glslang::EShTargetVulkan_1_1);
    shader.setEnvTarget(glslang::EShTargetSpv, glslang::EShTargetSpv_1_0);
    shader.setEnvTargetHlslFunctionality1(); // semantics survive as UserSemantic decorations
    shader.setDxPositionW(true); // pixel SV_Position.w is clip w, not gl_FragCoord's 1/w
    // Clip-space y stays Direct3D's (up); the device flips it with the viewport.
    shader.setHlslIoMapping(true);
    shader.setAutoMapLocations(true);
    shader.setAutoMapBindings(true);
    // Register b<i> becomes binding i (vertex) or SHADER_PS_CBUFFER_BINDING_BASE + i
    // (pixel), set 0.
    shader.setShiftBinding(glslang::EResUbo, stage == SHADER_STAGE_PIXEL ? SHADER_PS_CBUFFER_BINDING_BASE : 0);

    const EShMessages msgs =
        (EShMessages)(EShMsgSpvRules | EShMsgVulkanRules | EShMsgReadHlsl | EShMsgHlslOffsets);
    bool ok = shader.parse(GetDefaultResources(), 100, false, msgs);
    std::string raw = shader.getInfoLog();
    glslang::TProgram program;
    if (ok) {
        program.addShader(&shader);
        ok = program.link(msgs) && program.mapIO();
        raw += program.getInfoLog();
        // glslang only warns about a missing HLSL entry point.
        if (shader.getIntermediate()->getNumEntryPoints() < 1) {
            raw += std::string("ERROR: entry point '") + entry + "' not found\n";
            ok = false;
        }
    }
    if (!ok) {
        *log = format_log(raw, name);
        if (log->empty()) *log = name + ": error: compilation failed\n";
        return E_FAIL;
    }

    std::vector<uint32_t> spirv;
    spv::SpvBuildLogger spv_log;
    glslang::SpvOptions opts; // optimizer off: the interface is read before legalization
    glslang::GlslangToSpv(*program.getIntermediate(lang), spirv, &spv_log, &opts);
    raw += spv_log.getAllMessages();
    *log = format_log(raw, name);

    // The signature lists every declared input, as Direct3D's does, so it is
    // read before legalization drops unused ones; the constant-buffer mask
    // is what the final program reads.
    SpirvInterface declared, used;
    std::string err;
    bool ok_io = spirv_read_interface(spirv, stage, &declared, &err) && legalize(&spirv, &err) &&
                 spirv_read_interface(spirv, stage, &used, &err);
    if (!ok_io) {
        *log += name + ": " + err + "\n";
        return E_FAIL;
    }
    spirv_strip_hlsl_info(&spirv);
    write_container(stage, declared.inputs, used.cbuffer_mask, spirv, container);
    return S_OK;
}

// Successful results by everything that shapes them. A process that creates
// one device after another (a host recreating its engine, a test suite)
// compiles the same few programs each time; glslang and the legalizer take
// far longer than the lookup. Bounded: a host compiling endless variants
// starts over instead of growing without end.
struct CachedResult {
    std::vector<uint32_t> container;
    std::string log;
};
std::mutex g_cache_lock;
std::map<std::string, CachedResult> g_cache;
enum { CACHE_ENTRIES = 64 };

std::string cache_key(const char *src, size_t size, const std::string &name, const D3D_SHADER_MACRO *defines,
                      UINT flags, const char *entry, ShaderStage stage) {
    std::string key = preamble_for(defines, flags);
    key += '\0';
    key += name;
    key += '\0';
    key += entry;
    key += '\0';
    key += stage == SHADER_STAGE_VERTEX ? 'v' : 'p';
    key += '\0';
    key.append(src, size);
    return key;
}

bool cache_find(const std::string &key, std::vector<uint32_t> *container, std::string *log) {
    std::lock_guard<std::mutex> lock(g_cache_lock);
    auto it = g_cache.find(key);
    if (it == g_cache.end()) return false;
    *container = it->second.container;
    *log = it->second.log;
    return true;
}

void cache_store(const std::string &key, const std::vector<uint32_t> &container, const std::string &log) {
    std::lock_guard<std::mutex> lock(g_cache_lock);
    if (g_cache.size() >= CACHE_ENTRIES) g_cache.clear();
    g_cache[key] = CachedResult{container, log};
}

} // namespace

HRESULT WINAPI D3DCompile(LPCVOID pSrcData, SIZE_T SrcDataSize, LPCSTR pSourceName,
                          const D3D_SHADER_MACRO *pDefines, ID3DInclude *pInclude,
                          LPCSTR pEntrypoint, LPCSTR pTarget, UINT Flags1, UINT Flags2,
                          ID3DBlob **ppCode, ID3DBlob **ppErrorMsgs) {
    (void)pInclude;
    (void)Flags2;
    const std::string name = pSourceName ? pSourceName : "source";
    HRESULT hr = hlsl_compile_begin(pSrcData, name, pEntrypoint, pTarget, ppCode, ppErrorMsgs);
    if (FAILED(hr)) return hr;
    const Target *target = find_target(pTarget);
    if (!target) {
        hlsl_blob_messages(ppErrorMsgs, name + ": error: unsupported target '" + pTarget + "'\n");
        return E_INVALIDARG;
    }
    if ((Flags1 & D3DCOMPILE_PACK_MATRIX_ROW_MAJOR) && (Flags1 & D3DCOMPILE_PACK_MATRIX_COLUMN_MAJOR)) {
        hlsl_blob_messages(ppErrorMsgs, name + ": error: both matrix packing flags given\n");
        return E_INVALIDARG;
    }
    if (SrcDataSize > 0x7fffffff) {
        hlsl_blob_messages(ppErrorMsgs, name + ": error: source too large\n");
        return E_INVALIDARG;
    }

    std::vector<uint32_t> container;
    std::string log;
    const std::string key =
        cache_key((const char *)pSrcData, SrcDataSize, name, pDefines, Flags1, pEntrypoint, target->stage);
    if (!cache_find(key, &container, &log)) {
        hr = compile((const char *)pSrcData, SrcDataSize, name, pDefines, Flags1, pEntrypoint, target->stage,
                     &container, &log);
        if (FAILED(hr)) {
            hlsl_blob_messages(ppErrorMsgs, log);
            return hr;
        }
        cache_store(key, container, log);
    }
    *ppCode = hlsl_blob_create(container.data(), container.size() * 4);
    if (!*ppCode) return E_OUTOFMEMORY;
    hlsl_blob_messages(ppErrorMsgs, log);
    return S_OK;
}
