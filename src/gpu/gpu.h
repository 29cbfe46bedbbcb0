// GPU pipeline: the nine programs, input layouts, fixed states, buffers and
// the two instanced billboard draws.
#pragma once
#include <d3dcompiler.h>

#include "engine/engine.h"

// Per-draw parameter values (one float4 in cb_params).
extern const float k_glow[4];
extern const float k_dot[4];
extern const float k_planet[4];
extern const float k_ring[4];
extern const float blendFA[4];

// HLSL source of the nine programs.
extern const char *const k_src_vs_quad;
extern const char *const k_src_ps_quad;
extern const char *const k_src_vs_par;
extern const char *const k_src_ps_par;
extern const char *const k_src_vs_disk;
extern const char *const k_src_ps_disk;
extern const char *const k_src_vs_rock;
extern const char *const k_src_ps_flat;
extern const char *const k_src_vs_line;

// name: the program's name in messages ("quad", "par", ...).
HRESULT make_vs(Engine *e, const char *src, const char *name, ID3D11VertexShader **out);
HRESULT make_ps(Engine *e, const char *src, const char *name, ID3D11PixelShader **out);
int create_programs(Engine *e); // the nine, in creation order
int create_layouts(Engine *e);
int create_states(Engine *e);

HRESULT make_buffer_dyn(ID3D11Device *device, int size, UINT bind, ID3D11Buffer **out);
HRESULT make_buffer_init(ID3D11Device *device, int size, const void *data, ID3D11Buffer **out);
void upload(ID3D11DeviceContext *context, ID3D11Buffer *buffer, const void *data, int size);
void draw_quads(Engine *e, ID3D11Buffer *instances, int count, ID3D11VertexShader *vs,
                ID3D11PixelShader *ps, ID3D11InputLayout *layout, const float kind[4]);
void draw_par_quads(Engine *e, ID3D11Buffer *instances, int count, ID3D11VertexShader *vs,
                    ID3D11PixelShader *ps, const float params[4]);
