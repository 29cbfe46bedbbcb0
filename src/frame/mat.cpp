// Matrix constructions. Every expression keeps its written operand order and
// the build disables contraction, so results are bit-identical everywhere.
#include "frame/mat.h"
#include <math.h>
#include <string.h>

void m4_identity(Mat4 *out) {
    memset(out->m, 0, sizeof out->m);
    out->m[0] = out->m[5] = out->m[10] = out->m[15] = 1.0f;
}

void m4_multiply(Mat4 *out, const Mat4 *a, const Mat4 *b) {
    // Built in a temporary so out may be a or b.
    Mat4 r;
    for (int i = 0; i < 4; i++) {
        for (int j = 0; j < 4; j++) {
            float s = b->m[4 * i] * a->m[j];
            for (int k = 1; k < 4; k++) s = s + b->m[4 * i + k] * a->m[4 * k + j];
            r.m[4 * i + j] = s;
        }
    }
    *out = r;
}

void m4_perspective_fov(Mat4 *out, float fovy, float aspect, float zn, float zf) {
    float t = tanf(fovy * 0.5f);
    float inv_t = 1.0f / t;
    m4_identity(out);
    out->m[0] = inv_t / aspect;
    out->m[5] = inv_t;
    out->m[10] = zf / (zn - zf);
    out->m[11] = zn * zf / (zn - zf);
    out->m[14] = -1.0f;
    out->m[15] = 0.0f; // w = -z: depth 0 at the near plane, 1 at the far plane
}

void m4_look_at(Mat4 *out, float ex, float ey, float ez, float tx, float ty, float tz) {
    float dx = tx - ex, dy = ty - ey, dz = tz - ez;
    float len = sqrtf(dx * dx + dy * dy + dz * dz);
    if (len < 1e-8f) len = 1e-8f;
    float fx = dx / len, fy = dy / len, fz = dz / len;

    // s = normalize(f x +y); straight up or down has no such axis, so take +x.
    float r = sqrtf(fz * fz + fx * fx);
    float sx = 1.0f, sy = 0.0f, sz = 0.0f;
    if (!(r < 1e-8f)) {
        sx = -fz / r;
        sz = fx / r;
    }
    float ux = sy * fz - sz * fy;
    float uy = sz * fx - sx * fz;
    float uz = sx * fy - sy * fx;

    float *m = out->m;
    m[0] = sx;  m[1] = sy;  m[2] = sz;  m[3] = -(sx * ex + sy * ey + sz * ez);
    m[4] = ux;  m[5] = uy;  m[6] = uz;  m[7] = -(ux * ex + uy * ey + uz * ez);
    m[8] = -fx; m[9] = -fy; m[10] = -fz; m[11] = fx * ex + fy * ey + fz * ez;
    m[12] = 0.0f; m[13] = 0.0f; m[14] = 0.0f; m[15] = 1.0f;
}

void m4_orbit_view(Mat4 *out, float yaw, float pitch, float dist, float tx, float ty, float tz) {
    float sy, cy;
    __builtin_sincosf(yaw, &sy, &cy); // one call for both; mingw's math.h lacks sincosf
    float sp = sinf(pitch);
    float cp = cosf(pitch);
    float ex = tx + dist * (cy * cp);
    float ey = ty + dist * (sy * cp);
    float ez = tz + dist * sp;
    m4_look_at(out, ex, ey, ez, tx, ty, tz);
}
