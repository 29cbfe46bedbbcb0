// The eight orbit ellipses as dimmed line strips, sampled once per creation.
#include <math.h>
#include <stdlib.h>

#include "content/content.h"
#include "gpu/gpu.h"

// Same ellipses as PLANETS; kept here so the lines never depend on the
// planet record layout.
static const float a_axes[8] = {18, 30, 42, 55, 105, 145, 180, 210};
static const float ecc[8] = {0.007f, 0.009f, 0.017f, 0.093f, 0.048f, 0.056f, 0.046f, 0.035f};
static const float inc[8] = {0.0f, 0.009f, 0.0f, 0.041f, 0.032f, 0.048f, 0.029f, 0.031f};
static const float col[8][3] = {
    {0.75f, 0.65f, 0.45f}, {0.8f, 0.7f, 0.5f}, {0.35f, 0.55f, 0.95f}, {0.95f, 0.45f, 0.3f},
    {0.9f, 0.55f, 0.3f},   {0.9f, 0.75f, 0.55f}, {0.8f, 0.85f, 0.95f}, {0.7f, 0.85f, 0.95f},
};

// Polar form about the focus, uniform in true anomaly: denser near periapsis.
// Sample 160 closes the loop onto sample 0.
void fill_orbit_lines(LineVertex out[ORBIT_VERTICES]) {
    for (int k = 0; k < 8; k++) {
        float a = a_axes[k], e = ecc[k];
        float l = (1.0f - e * e) * a;
        float sin_i = sinf(inc[k]);
        float cos_i = cosf(inc[k]);
        for (int j = 0; j < ORBIT_SAMPLES; j++) {
            LineVertex *v = &out[ORBIT_SAMPLES * k + j];
            float theta = ((float)j / 160.0f) * 6.2831855f;
            float cos_t = cosf(theta);
            float rho = l / (e * cos_t + 1.0f);
            float h = sinf(theta) * rho;
            v->p[0] = rho * cos_t;
            v->p[1] = -h * sin_i;
            v->p[2] = h * cos_i;
            v->vcol[0] = 0.45f * col[k][0];
            v->vcol[1] = 0.45f * col[k][1];
            v->vcol[2] = 0.45f * col[k][2];
            v->vcol[3] = 1.0f;
        }
    }
}

// No message on a failed allocation: the scene simply has no orbit lines.
// A failed buffer leaves them empty (count 0).
void engine_build_orbit_lines(Engine *e) {
    LineVertex *lines = (LineVertex *)calloc(ORBIT_VERTICES, sizeof(LineVertex));
    if (!lines) return;
    fill_orbit_lines(lines);
    safe_release(e->lines_vb);
    e->line_vertex_count = 0;
    if (e->device &&
        make_buffer_init(e->device, (int)sizeof(LineVertex) * ORBIT_VERTICES, lines, &e->lines_vb) == 0)
        e->line_vertex_count = ORBIT_VERTICES;
    free(lines);
}
