// The engine record and its lifecycle. Everything the renderer owns lives in
// one Engine; the library holds exactly one (g_eng, in src/exports.cpp).
#pragma once
#include <stdint.h>
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>

#include "gpu/records.h"

struct Engine {
    ID3D11Device *device;
    ID3D11DeviceContext *context;
    IDXGISwapChain1 *swap_chain; // null for an offscreen engine
    ID3D11Texture2D *render_tex;
    ID3D11Texture2D *staging_tex;
    ID3D11RenderTargetView *rtv;
    ID3D11Texture2D *depth_tex; // the rock pass's depth, the render target's size
    ID3D11DepthStencilView *dsv;
    int width;
    int height;
    int offscreen; // informational: the present step tests swap_chain
    int created;

    ID3D11VertexShader *vs_quad, *vs_par, *vs_disk, *vs_rock, *vs_line;
    ID3D11PixelShader *ps_quad, *ps_par, *ps_disk, *ps_flat;
    ID3D11InputLayout *il_quad, *il_par, *il_rock, *il_line;
    ID3D11BlendState *blend_add;
    ID3D11RasterizerState *raster;
    ID3D11DepthStencilState *depth_less; // test and write, LESS: the rock pass only
    ID3D11Buffer *cb_globals; // 256 bytes, Globals
    ID3D11Buffer *cb_params;  // 16 bytes, one float4 per draw

    ID3D11Buffer *stars_vb;
    QuadInstance *stars;
    int star_count;
    // The random source's state after each quality level's count of records
    // of a set that keeps its array (0 until generation got there): a new
    // level keeps the records it shares with the old one and draws on from
    // there.
    uint64_t stars_rng[3];
    ID3D11Buffer *belt_vb;
    QuadInstance *belt;
    int belt_count;
    uint64_t belt_rng[3];
    ID3D11Buffer *bodies_vb; // sun, eight planets, moon; rewritten per frame
    QuadInstance *bodies;
    int body_count;
    ID3D11Buffer *glow_vb;
    QuadInstance *glows;
    int glow_count;
    ID3D11Buffer *ring_vb;
    QuadInstance *rings;
    int ring_count;
    ID3D11Buffer *galaxy_vb;
    int galaxy_count;
    ID3D11Buffer *disk_vb;
    int disk_count;
    ID3D11Buffer *rock_mesh_vb;
    int rock_vertex_count;
    ID3D11Buffer *rock_inst_vb;
    RockInstance *rocks;
    int rock_count;
    uint64_t rocks_rng[3];
    ID3D11Buffer *lines_vb;
    int line_vertex_count;

    int mode;
    int quality;
    float time_scale;
    float sim_time;
    float cam_yaw;
    float cam_pitch;
    float cam_dist;
    int64_t last_counter;

    // Owned by the engine but outlives release_all: the host may still hold
    // the pointer it last received.
    unsigned char *readback_buf;
    int readback_size;
};

void engine_init_defaults(Engine *e);
int engine_create(Engine *e, HWND window, int width, int height);
int engine_create_offscreen(Engine *e, int width, int height);
int create_common(Engine *e, int offscreen);
void release_all(Engine *e);
void engine_destroy(Engine *e);

// The single error text: one message, the latest, cut to 1023 characters.
void set_error(const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void clear_error(void);
const char *galaxy_error_get(void);
extern char g_error[1024];

// A status code for "%08lX": the 32 bits alone, whatever width long has.
inline unsigned long hr_code(HRESULT hr) { return (unsigned long)(uint32_t)hr; }

// Render target, resize and presentation.
int build_render_target(Engine *e, int width, int height);
void engine_resize(Engine *e, int width, int height);
void engine_present(Engine *e);

// Releases a COM pointer and nulls it; safe on null.
template <typename T> inline void safe_release(T *&p) {
    if (p) {
        p->Release();
        p = nullptr;
    }
}
