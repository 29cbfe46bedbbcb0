// 4x4 matrices: sixteen floats row by row, transforming column vectors
// (component i of a point is row i . (x, y, z, 1)); uploaded untransposed.
#pragma once

struct Mat4 {
    float m[16];
};

void m4_identity(Mat4 *out);
void m4_multiply(Mat4 *out, const Mat4 *a, const Mat4 *b); // out = b * a; out may alias
void m4_perspective_fov(Mat4 *out, float fovy, float aspect, float zn, float zf);
void m4_look_at(Mat4 *out, float ex, float ey, float ez, float tx, float ty, float tz);
void m4_orbit_view(Mat4 *out, float yaw, float pitch, float dist, float tx, float ty, float tz);
