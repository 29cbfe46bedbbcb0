// The per-frame driver: clock, camera constants, per-frame instances and the
// fixed draw order. Only the rock pass tests depth; for everything else the
// order below is the picture.
#include "frame/frame.h"
#include <math.h>
#include "capture/capture.h"
#include "content/content.h"
#include "gpu/gpu.h"

static const float k_clear[4] = {0.004f, 0.006f, 0.012f, 1.0f};
static const float k_disk_params[4] = {1.0f, 0.9f, 0.0f, 0.0f};
// Points roughly from the origin toward the mode-3 glow at (400, 150, -600).
static const float k_rock_light[4] = {0.55f, 0.21f, -0.81f, 0.0f};
static const int k_orbit_vertices = 161; // one closed ellipse per orbit

static void set_quad(QuadInstance *q, float x, float y, float z, float r, float g, float b,
                     float size) {
    q->ipos[0] = x;
    q->ipos[1] = y;
    q->ipos[2] = z;
    q->icol[0] = r;
    q->icol[1] = g;
    q->icol[2] = b;
    q->icol[3] = 1.0f;
    q->isize = size;
}

// Advances sim_time by the wall time since the last frame: at most 0.1 s, so a
// stall never makes the scene jump, and never backwards.
static void advance_clock(Engine *e) {
    LARGE_INTEGER freq, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    int64_t delta = (int64_t)now.QuadPart - e->last_counter;
    e->last_counter = now.QuadPart;
    float dt = (float)((double)delta / (double)freq.QuadPart);
    if (dt > 0.1f) dt = 0.1f;
    else if (dt < 0.0f) dt = 0.0f;
    e->sim_time = dt * e->time_scale + e->sim_time;
}

void frame_globals(const Engine *e, Globals *out) {
    Globals &g = *out;
    m4_orbit_view(&g.View, e->cam_yaw, e->cam_pitch, e->cam_dist, 0.0f, 0.0f, 0.0f);
    float aspect = (float)e->width / (float)e->height;
    // The black hole is small and seen from close up: tighter planes.
    float zn = e->mode == 2 ? 0.05f : 0.5f;
    float zf = e->mode == 2 ? 600.0f : 40000.0f;
    m4_perspective_fov(&g.Proj, 1.05f, aspect, zn, zf);

    float cy = cosf(e->cam_yaw), sy = sinf(e->cam_yaw);
    float cp = cosf(e->cam_pitch), sp = sinf(e->cam_pitch);
    float horiz = e->cam_dist * cp;
    g.CamPos[0] = cy * horiz;
    g.CamPos[1] = horiz * sy;
    g.CamPos[2] = sp * e->cam_dist;
    g.Time = e->sim_time;
    g._pad1[0] = g._pad1[1] = g._pad1[2] = 0.0f;
}

static void bind_target(Engine *e) {
    ID3D11DeviceContext *c = e->context;
    c->OMSetRenderTargets(1, &e->rtv, nullptr);
    c->ClearRenderTargetView(e->rtv, k_clear);
    D3D11_VIEWPORT vp;
    vp.TopLeftX = 0.0f;
    vp.TopLeftY = 0.0f;
    vp.Width = (float)e->width;
    vp.Height = (float)e->height;
    vp.MinDepth = 0.0f;
    vp.MaxDepth = 1.0f;
    c->RSSetViewports(1, &vp);
    c->RSSetState(e->raster);
}

static void update_solar_system(Engine *e) {
    float t = e->sim_time;
    QuadInstance *b = e->bodies;
    set_quad(&b[0], 0.0f, 0.0f, 0.0f, 1.0f, 0.85f, 0.5f, 20.0f);
    for (int i = 0; i < 8; i++) {
        const Planet *p = &PLANETS[i];
        float x, y, z;
        kepler_position(p, t, &x, &y, &z);
        set_quad(&b[1 + i], x, y, z, p->color[0], p->color[1], p->color[2], p->size);
    }
    // The moon circles planet 2, which sits in bodies[3].
    float th = 1.5f * t + 1.0f;
    const float *q = b[3].ipos;
    set_quad(&b[9], q[0] + 6.0f * cosf(th), q[1] + 1.5f * sinf(0.9f * th), q[2] + 6.0f * sinf(th),
             0.6f, 0.6f, 0.62f, 1.1f);
    upload(e->context, e->bodies_vb, b, e->body_count * (int)sizeof(QuadInstance));

    // Three concentric haloes around the sun, pale yellow to orange.
    for (int i = 0; i < 3; i++) {
        float fi = (float)i;
        set_quad(&e->glows[i], 0.0f, 0.0f, 0.0f, 1.0f, 0.9f - 0.15f * fi, 0.55f - 0.2f * fi,
                 14.0f + 12.0f * fi);
    }
    upload(e->context, e->glow_vb, e->glows, 3 * (int)sizeof(QuadInstance));
    e->glow_count = 3;

    // The ring sits on planet 5, bodies[6].
    const float *r = b[6].ipos;
    set_quad(&e->rings[0], r[0], r[1], r[2], 0.85f, 0.75f, 0.6f, 10.5f);
    upload(e->context, e->ring_vb, e->rings, (int)sizeof(QuadInstance));
    e->ring_count = 1;
}

static void update_instances(Engine *e) {
    QuadInstance *g = e->glows;
    switch (e->mode) {
    case 0:
        update_solar_system(e);
        return;
    case 1:
        set_quad(&g[0], 0.0f, 0.0f, 0.0f, 1.0f, 0.95f, 0.8f, 6.0f);
        set_quad(&g[1], 0.0f, 0.0f, 0.0f, 1.0f, 0.8f, 0.55f, 14.0f);
        upload(e->context, e->glow_vb, g, 2 * (int)sizeof(QuadInstance));
        e->glow_count = 2;
        e->ring_count = 0; // rings keep stale contents; nothing reads them
        return;
    case 2:
        set_quad(&g[0], 0.0f, 0.0f, 0.0f, 1.0f, 0.9f, 0.7f, 1.3f);
        upload(e->context, e->glow_vb, g, (int)sizeof(QuadInstance));
        e->glow_count = 1;
        set_quad(&e->rings[0], 0.0f, 0.0f, 0.0f, 1.0f, 0.95f, 0.85f, 0.5f);
        upload(e->context, e->ring_vb, e->rings, (int)sizeof(QuadInstance));
        e->ring_count = 1;
        return;
    default:
        set_quad(&g[0], 400.0f, 150.0f, -600.0f, 1.0f, 0.95f, 0.85f, 14.0f);
        upload(e->context, e->glow_vb, g, (int)sizeof(QuadInstance));
        e->glow_count = 1;
        e->ring_count = 0;
        return;
    }
}

static void set_blend(Engine *e, ID3D11BlendState *state) {
    e->context->OMSetBlendState(state, blendFA, 0xFFFFFFFFu);
}

static void draw_orbit_lines(Engine *e) {
    if (!e->lines_vb || e->line_vertex_count == 0) return;
    ID3D11DeviceContext *c = e->context;
    set_blend(e, e->blend_add);
    c->VSSetShader(e->vs_line, nullptr, 0);
    c->PSSetShader(e->ps_flat, nullptr, 0);
    c->IASetInputLayout(e->il_line);
    UINT stride = sizeof(LineVertex), offset = 0;
    c->IASetVertexBuffers(0, 1, &e->lines_vb, &stride, &offset);
    c->VSSetConstantBuffers(0, 1, &e->cb_globals);
    c->PSSetConstantBuffers(0, 0, nullptr);
    // Each orbit is its own strip, so no segment joins one orbit to the next.
    c->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_LINESTRIP);
    int orbits = e->line_vertex_count / k_orbit_vertices;
    for (int k = 0; k < orbits; k++) c->Draw(k_orbit_vertices, (UINT)(k_orbit_vertices * k));
}

static void draw_rocks(Engine *e) {
    if (!e->rock_mesh_vb || !e->rock_inst_vb || e->rock_count == 0) return;
    ID3D11DeviceContext *c = e->context;
    set_blend(e, nullptr);
    upload(c, e->cb_params, k_rock_light, 16);
    c->VSSetShader(e->vs_rock, nullptr, 0);
    c->PSSetShader(e->ps_flat, nullptr, 0);
    c->IASetInputLayout(e->il_rock);
    ID3D11Buffer *vbs[2] = {e->rock_mesh_vb, e->rock_inst_vb};
    UINT strides[2] = {sizeof(RockVertex), sizeof(RockInstance)};
    UINT offsets[2] = {0, 0};
    c->IASetVertexBuffers(0, 2, vbs, strides, offsets);
    ID3D11Buffer *cbs[2] = {e->cb_globals, e->cb_params};
    c->VSSetConstantBuffers(0, 2, cbs);
    c->PSSetConstantBuffers(0, 0, nullptr);
    c->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    // Each rock shows its near surface and nearer rocks cover farther ones:
    // depth for this pass alone, cleared to the far plane first. The stars
    // and glow drawn before it stay behind every rock.
    c->OMSetRenderTargets(1, &e->rtv, e->dsv);
    c->ClearDepthStencilView(e->dsv, D3D11_CLEAR_DEPTH, 1.0f, 0);
    c->OMSetDepthStencilState(e->depth_less, 0);
    c->DrawInstanced((UINT)e->rock_vertex_count, (UINT)e->rock_count, 0, 0);
    c->OMSetDepthStencilState(nullptr, 0);
    c->OMSetRenderTargets(1, &e->rtv, nullptr);
}

static void draw_quads_of(Engine *e, ID3D11Buffer *vb, int count, const float kind[4]) {
    draw_quads(e, vb, count, e->vs_quad, e->ps_quad, e->il_quad, kind);
}

static void draw_scene(Engine *e) {
    // The blend state outlives the frame in the context, so set it every time.
    set_blend(e, e->blend_add);
    draw_quads_of(e, e->glow_vb, e->glow_count, k_glow);
    draw_quads_of(e, e->stars_vb, e->star_count, k_dot);

    switch (e->mode) {
    case 0:
        draw_quads_of(e, e->belt_vb, e->belt_count, k_dot);
        draw_orbit_lines(e);
        set_blend(e, nullptr); // bodies are opaque; array order decides overlaps
        draw_quads_of(e, e->bodies_vb, e->body_count, k_planet);
        set_blend(e, e->blend_add);
        draw_quads_of(e, e->ring_vb, e->ring_count, k_ring);
        break;
    case 1: {
        float spiral[4] = {0.02f * e->sim_time, 0.0f, 0.0f, 0.0f};
        draw_par_quads(e, e->galaxy_vb, e->galaxy_count, e->vs_par, e->ps_par, spiral);
        break;
    }
    case 2:
        draw_par_quads(e, e->disk_vb, e->disk_count, e->vs_disk, e->ps_disk, k_disk_params);
        draw_quads_of(e, e->ring_vb, e->ring_count, k_ring);
        break;
    default:
        draw_rocks(e);
        break;
    }
}

void engine_frame(Engine *e) {
    if (!e->created) return;
    advance_clock(e);
    // A failed resize can leave the engine created without a render target
    // or its depth; there is nothing to draw into until the next resize
    // succeeds.
    if (!e->rtv || !e->dsv) return;
    Globals g;
    frame_globals(e, &g);
    upload(e->context, e->cb_globals, &g, (int)sizeof g); // before anything is bound or drawn
    bind_target(e);
    update_instances(e);
    draw_scene(e);
    engine_present(e);
}

void engine_warm_pipelines(Engine *e) {
    if (!e->rtv || !e->dsv) return;
    int *counts[] = {&e->star_count,   &e->belt_count, &e->body_count, &e->glow_count,
                     &e->ring_count,   &e->galaxy_count, &e->disk_count, &e->rock_count};
    int saved[sizeof counts / sizeof counts[0]];
    for (size_t i = 0; i < sizeof counts / sizeof counts[0]; i++) {
        saved[i] = *counts[i];
        if (*counts[i] > 1) *counts[i] = 1;
    }
    const int lines = e->line_vertex_count, mode = e->mode;
    if (lines > k_orbit_vertices) e->line_vertex_count = k_orbit_vertices;

    Globals g;
    frame_globals(e, &g);
    upload(e->context, e->cb_globals, &g, (int)sizeof g);
    bind_target(e);
    D3D11_VIEWPORT pixel = {0.0f, 0.0f, 1.0f, 1.0f, 0.0f, 1.0f};
    e->context->RSSetViewports(1, &pixel);
    for (int m = 0; m < 4; m++) {
        e->mode = m;
        draw_scene(e);
    }
    e->context->ClearRenderTargetView(e->rtv, k_clear);

    e->mode = mode;
    e->line_vertex_count = lines;
    for (size_t i = 0; i < sizeof counts / sizeof counts[0]; i++) *counts[i] = saved[i];
    engine_wait_device(e);
}
