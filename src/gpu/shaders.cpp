// The nine programs, compiled from source once per engine. Plain shader
// model 5 HLSL that both the platform compiler and glslang accept.
#include <string.h>

#include "gpu/gpu.h"

// Globals at b0 of every vertex program; the frame writes its 156 bytes.
#define HLSL_GLOBALS                                                                       \
    "struct GlobalsData { float4x4 View; float4x4 Proj; float3 CamPos; float Time; float3 _pad1; };\n" \
    "cbuffer Globals : register(b0) { GlobalsData G; };\n"

// Corner v = 0..3 of an instance's square: (-1,-1), (1,-1), (-1,1), (1,1).
#define HLSL_CORNER                                                      \
    "float2 corner(uint v) {\n"                                          \
    "    return float2((float)(2 * (int)(v & 1u) - 1), (float)(2 * (int)(v >> 1) - 1));\n" \
    "}\n"

// A square of half-width s facing the camera: the offset is added in view space.
#define HLSL_BILLBOARD                                                   \
    "float4 billboard(float3 world, float2 c, float s) {\n"              \
    "    float3 vp = mul(float4(world, 1.0), G.View).xyz;\n"             \
    "    return mul(float4(vp + float3(c.x * s, c.y * s, 0.0), 1.0), G.Proj);\n" \
    "}\n"

const char *const k_src_vs_quad = HLSL_GLOBALS HLSL_CORNER HLSL_BILLBOARD R"(
cbuffer Kind : register(b1) { float4 KindP; };
struct VSIn {
    float3 ipos : TEXCOORD0;
    float4 icol : TEXCOORD1;
    float isize : TEXCOORD2;
    uint vid : SV_VertexID;
    uint iid : SV_InstanceID;
};
struct VSOut { float4 pos : SV_POSITION; float4 uv : COLOR; float4 icol : TEXCOORD0; };
VSOut main(VSIn i) {
    VSOut o;
    float2 c = corner(i.vid);
    o.pos = billboard(i.ipos, c, i.isize);
    o.uv = float4(c, 0.0, 1.0);
    o.icol = i.icol;
    return o;
}
)";

const char *const k_src_ps_quad = R"(
cbuffer Kind : register(b0) { float4 KindP; };
struct PSIn { float4 pos : SV_POSITION; float4 uv : COLOR; float4 icol : TEXCOORD0; };
float4 main(PSIn i) : SV_Target {
    float2 u = i.uv.xy;
    float r2 = dot(u, u);
    if (r2 > 1.0) discard;
    float k = KindP.x;
    if (k < 0.5) { // glow
        float a = exp(-3.2 * r2);
        return float4(i.icol.rgb * a, a);
    }
    if (k < 1.5) { // dot
        float a = exp(-6.0 * r2);
        return float4(i.icol.rgb * a, a);
    }
    if (k < 2.5) { // planet: opaque, rim darkened to 0.45
        float limb = 1.0 - 0.55 * r2;
        return float4(i.icol.rgb * limb, 1.0);
    }
    float d = abs(sqrt(r2) - 0.55); // ring
    float ra = exp(-140.0 * (d * d));
    return float4(i.icol.rgb * ra, ra);
}
)";

const char *const k_src_vs_par = HLSL_GLOBALS HLSL_CORNER HLSL_BILLBOARD R"(
cbuffer Spiral : register(b1) { float4 SpiralP; };
struct VSIn {
    float4 ia : TEXCOORD0; // r, arm, phi, s
    float4 ib : TEXCOORD1; // s, -, seed, -
    uint vid : SV_VertexID;
    uint iid : SV_InstanceID;
};
struct VSOut { float4 pos : SV_POSITION; float4 uv : COLOR; float4 col : TEXCOORD0; };
VSOut main(VSIn i) {
    VSOut o;
    float2 c = corner(i.vid);
    float r = i.ia.x;
    float arm = i.ia.y;
    float phi = i.ia.z;
    float seed = i.ib.z;
    // Odd instances turn a further half turn: four arms a quarter turn apart.
    float ang = phi + (arm + 2.0 * (float)(i.iid % 2u)) * 1.5707963 + 0.21 * r;
    float spread = 0.10 + 0.016 * r;
    float g1 = 2.0 * (seed - 0.5);
    float g2 = 2.0 * (frac(7.31 * seed) - 0.5);
    float rr = max(0.5, r * (1.0 + 0.18 * g1));
    float aa = ang + spread * g2 + SpiralP.x;
    float3 w = float3(cos(aa) * rr, (frac(13.7 * seed) - 0.5) * (0.3 + 0.015 * r), sin(aa) * rr);
    o.pos = billboard(w, c, i.ib.x);
    o.uv = float4(c, 0.0, 1.0);
    // The colour is the particle's own, the same at every pixel: worked out
    // at its four corners instead of at each of its pixels.
    float t = clamp(0.018 * r, 0.0, 1.0);
    float3 core_col = float3(1.00, 0.95, 0.82);
    float3 mid_col = float3(0.95, 0.72, 0.55);
    float3 arm_col = float3(0.45, 0.62, 1.00);
    // A select, not a branch: the instance's part of the program then runs
    // once per instance on a CPU device instead of once per corner.
    float3 col = t < 0.5 ? lerp(core_col, mid_col, 2.0 * t) : lerp(mid_col, arm_col, 2.0 * (t - 0.5));
    float dim = 1.0 / (1.0 + 0.0025 * (r * r));
    o.col = float4(col * dim, 0.0);
    return o;
}
)";

const char *const k_src_ps_par = R"(
struct PSIn { float4 pos : SV_POSITION; float4 uv : COLOR; float4 col : TEXCOORD0; };
float4 main(PSIn i) : SV_Target {
    float2 u = i.uv.xy;
    float r2 = dot(u, u);
    if (r2 > 1.0) discard;
    float a = 0.30 * exp(-7.0 * r2);
    return float4(i.col.rgb * a, a);
}
)";

const char *const k_src_vs_disk = HLSL_GLOBALS HLSL_CORNER HLSL_BILLBOARD R"(
cbuffer Disk : register(b1) { float4 DiskP; };
struct VSIn {
    float4 ia : TEXCOORD0; // a0, r, omega, s
    float4 ib : TEXCOORD1; // s, -, -, -
    uint vid : SV_VertexID;
};
struct VSOut { float4 pos : SV_POSITION; float4 uv : COLOR; float4 col : TEXCOORD0; };
VSOut main(VSIn i) {
    VSOut o;
    float2 c = corner(i.vid);
    float r = i.ia.y;
    float a = i.ia.x + i.ia.z * G.Time * DiskP.x;
    float sy = sin(a);
    // The far half (negative z) rises over the centre; the near half sinks a little.
    float lift = 2.5 * exp(-1.1 * r);
    float y = lift * (sy * sy) * (sy < 0.0 ? 1.0 : -0.18);
    o.pos = billboard(float3(cos(a) * r, y, sy * r), c, i.ib.x);
    o.uv = float4(c, 0.0, 1.0);
    // The particle's colour, the same at all its pixels: worked out here.
    float tn = clamp((r - 1.4) / 4.6, 0.0, 1.0);
    float3 col = lerp(float3(1.00, 0.98, 0.92), float3(0.55, 0.16, 0.05), tn * tn);
    float dop = 1.0 + DiskP.y * 0.9 * sy; // Doppler tint
    col = col * dop;
    float dim = 1.0 / (1.0 + 0.06 * (r - 1.4));
    o.col = float4(col * dim, 0.0);
    return o;
}
)";

const char *const k_src_ps_disk = R"(
struct PSIn { float4 pos : SV_POSITION; float4 uv : COLOR; float4 col : TEXCOORD0; };
float4 main(PSIn i) : SV_Target {
    float2 u = i.uv.xy;
    float r2 = dot(u, u);
    if (r2 > 1.0) discard;
    float a = 0.55 * exp(-7.0 * r2);
    return float4(i.col.rgb * a, a);
}
)";

const char *const k_src_vs_rock = HLSL_GLOBALS R"(
cbuffer RockLight : register(b1) { float4 RockL; };
struct VSIn {
    float3 p : POSITION;
    float3 n : NORMAL;
    float3 ipos : TEXCOORD0;
    float3 irot : TEXCOORD1;
    float2 idata : TEXCOORD2; // scale, phase
};
struct VSOut { float4 pos : SV_POSITION; float4 col : COLOR; };
float3 rotAxis(float3 v, float3 ax, float th) {
    float c = cos(th);
    float s = sin(th);
    return v * c + cross(ax, v) * s + ax * dot(ax, v) * (1.0 - c);
}
VSOut main(VSIn i) {
    VSOut o;
    // The phase doubles as the seed of the spin rate: 0.1 to 0.4 rad/s.
    float ang = i.idata.y + G.Time * (0.1 + 0.3 * frac(0.37 * i.idata.y));
    float3 rp = rotAxis(i.p * i.idata.x, i.irot, ang);
    float3 rn = normalize(rotAxis(i.n, i.irot, ang));
    float3 vp = mul(float4(rp + i.ipos, 1.0), G.View).xyz;
    o.pos = mul(float4(vp, 1.0), G.Proj);
    float ndl = 0.85 * max(0.0, dot(rn, RockL.xyz)) + 0.15;
    o.col = float4(ndl, ndl, ndl, 1.0);
    return o;
}
)";

const char *const k_src_ps_flat = R"(
struct PSIn { float4 pos : SV_POSITION; float4 col : COLOR; };
float4 main(PSIn i) : SV_Target {
    return float4(i.col.rgb * 0.62 + float3(0.015, 0.02, 0.03), 1.0);
}
)";

const char *const k_src_vs_line = HLSL_GLOBALS R"(
struct VSIn { float3 p : POSITION; float4 vcol : COLOR; };
struct VSOut { float4 pos : SV_POSITION; float4 col : COLOR; };
VSOut main(VSIn i) {
    VSOut o;
    float3 vp = mul(float4(i.p, 1.0), G.View).xyz;
    o.pos = mul(float4(vp, 1.0), G.Proj);
    o.col = i.vcol;
    return o;
}
)";

// Compiles one program for target "vs_5_0" or "ps_5_0". A failure stores
// "HLSL <stage> <program>: <compiler text>", or the status code when the
// compiler gave no text.
static HRESULT compile(const char *src, const char *target, const char *stage, const char *name, ID3DBlob **code) {
    ID3DBlob *msgs = nullptr;
    *code = nullptr;
    HRESULT hr = D3DCompile(src, strlen(src), "galaxy.hlsl", nullptr, nullptr, "main", target, 0, 0, code, &msgs);
    if (FAILED(hr) && msgs) {
        char text[2048];
        memset(text, 0, sizeof text);
        size_t n = msgs->GetBufferSize();
        if (n > sizeof text - 1) n = sizeof text - 1;
        memcpy(text, msgs->GetBufferPointer(), n);
        set_error("HLSL %s %s: %s", stage, name, text);
    } else if (FAILED(hr)) {
        set_error("D3DCompile(%s %s) failed: 0x%08lX", stage, name, hr_code(hr));
    }
    safe_release(msgs);
    if (FAILED(hr)) safe_release(*code);
    return hr;
}

HRESULT make_vs(Engine *e, const char *src, const char *name, ID3D11VertexShader **out) {
    ID3DBlob *code = nullptr;
    HRESULT hr = compile(src, "vs_5_0", "vs", name, &code);
    if (FAILED(hr)) return hr;
    hr = e->device->CreateVertexShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, out);
    code->Release();
    if (FAILED(hr)) set_error("CreateVertexShader %s failed: 0x%08lX", name, hr_code(hr));
    return hr;
}

HRESULT make_ps(Engine *e, const char *src, const char *name, ID3D11PixelShader **out) {
    ID3DBlob *code = nullptr;
    HRESULT hr = compile(src, "ps_5_0", "ps", name, &code);
    if (FAILED(hr)) return hr;
    hr = e->device->CreatePixelShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, out);
    code->Release();
    if (FAILED(hr)) set_error("CreatePixelShader %s failed: 0x%08lX", name, hr_code(hr));
    return hr;
}

int create_programs(Engine *e) {
    if (make_vs(e, k_src_vs_quad, "quad", &e->vs_quad) != 0) return -1;
    if (make_ps(e, k_src_ps_quad, "quad", &e->ps_quad) != 0) return -1;
    if (make_vs(e, k_src_vs_par, "par", &e->vs_par) != 0) return -1;
    if (make_ps(e, k_src_ps_par, "par", &e->ps_par) != 0) return -1;
    if (make_vs(e, k_src_vs_disk, "disk", &e->vs_disk) != 0) return -1;
    if (make_ps(e, k_src_ps_disk, "disk", &e->ps_disk) != 0) return -1;
    if (make_vs(e, k_src_vs_rock, "rock", &e->vs_rock) != 0) return -1;
    if (make_ps(e, k_src_ps_flat, "flat", &e->ps_flat) != 0) return -1;
    if (make_vs(e, k_src_vs_line, "line", &e->vs_line) != 0) return -1;
    return 0;
}
