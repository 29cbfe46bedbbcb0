// The shared rock mesh (a lumpy, once-subdivided icosahedron) and the rock
// instances that place, scale and spin it.
#include <math.h>
#include <stdlib.h>

#include "content/content.h"
#include "gpu/gpu.h"

struct Vec3 {
    float x, y, z;
};

static float length3(Vec3 v) { return sqrtf((v.x * v.x + v.y * v.y) + v.z * v.z); }

// Divide first, then scale: the rounding depends on that order.
static Vec3 to_length(Vec3 v, float k) {
    float len = length3(v);
    Vec3 r = {(v.x / len) * k, (v.y / len) * k, (v.z / len) * k};
    return r;
}

static Vec3 midpoint(Vec3 a, Vec3 b) {
    Vec3 r = {(a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f, (a.z + b.z) * 0.5f};
    return r;
}

static const float k_t = 1.618034f;
static const Vec3 k_ico[12] = {
    {-1, k_t, 0}, {1, k_t, 0}, {-1, -k_t, 0}, {1, -k_t, 0}, {0, -1, k_t}, {0, 1, k_t},
    {0, -1, -k_t}, {0, 1, -k_t}, {k_t, 0, -1}, {k_t, 0, 1}, {-k_t, 0, -1}, {-k_t, 0, 1},
};
static const unsigned char F[20][3] = {
    {0, 11, 5}, {0, 5, 1}, {0, 1, 7}, {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
    {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4}, {3, 4, 2}, {3, 2, 6}, {3, 6, 8},
    {3, 8, 9}, {4, 9, 5}, {2, 4, 11}, {6, 2, 10}, {8, 6, 7}, {9, 8, 1},
};

static void emit(RockVertex *o, Vec3 p) {
    float len = length3(p);
    o->p[0] = p.x;
    o->p[1] = p.y;
    o->p[2] = p.z;
    // Radial normals: the rock shades like a smooth, slightly lumpy sphere.
    o->n[0] = p.x / len;
    o->n[1] = p.y / len;
    o->n[2] = p.z / len;
    o->spare = 1.0f;
}

// Raw state bits, no rng_float: 12 base states (the first is the start state
// itself) and 60 midpoint states, 72 in all.
void fill_rock_mesh(RockVertex out[ROCK_MESH_VERTICES]) {
    Vec3 V[72];
    rng_seed = 0x305e1eb48171c11eull;
    for (int i = 0; i < 12; i++) {
        uint64_t s = i == 0 ? rng_seed : rng_next();
        float b = (float)((s >> 32) & 255);
        float k = ((b / 255.0f) - 0.5f) * 0.3f + 1.0f; // 0.85 .. 1.15
        V[i] = to_length(k_ico[i], k);
    }
    for (int f = 0; f < 20; f++) {
        int q1 = F[f][0], q2 = F[f][1], q3 = F[f][2];
        // Each face displaces its own midpoints, so shared edges may crack.
        Vec3 m[3] = {midpoint(V[q2], V[q1]), midpoint(V[q2], V[q3]), midpoint(V[q3], V[q1])};
        for (int j = 0; j < 3; j++) {
            float b = (float)((rng_next() >> 32) & 127);
            float k = ((b / 127.0f) - 0.5f) * 0.2f + 1.0f; // 0.9 .. 1.1
            V[12 + 3 * f + j] = to_length(m[j], k);
        }
        int m12 = 12 + 3 * f, m23 = m12 + 1, m31 = m12 + 2;
        const int tri[12] = {q1, m12, m31, q2, m23, m12, q3, m31, m23, m12, m23, m31};
        for (int c = 0; c < 12; c++) emit(&out[12 * f + c], V[tri[c]]);
    }
}

void make_rock(RockInstance *o) {
    float x = rng_range(-220.0f, 220.0f);
    float y = rng_range(-220.0f, 220.0f);
    float z = rng_range(-220.0f, 220.0f);
    Vec3 w;
    w.x = rng_range(-1.0f, 1.0f);
    w.y = rng_range(-1.0f, 1.0f);
    w.z = rng_range(-1.0f, 1.0f);
    float len = length3(w);
    o->ipos[0] = x;
    o->ipos[1] = y;
    o->ipos[2] = z;
    if (len >= 0.0001f) {
        o->irot[0] = w.x / len;
        o->irot[1] = w.y / len;
        o->irot[2] = w.z / len;
    } else { // a point at the cube's centre has no direction
        o->irot[0] = 1.0f;
        o->irot[1] = 0.0f;
        o->irot[2] = 0.0f;
    }
    o->idata[0] = rng_range(1.5f, 14.0f);
    o->idata[1] = rng_float() * 6.2831855f;
}

void fill_rocks(RockInstance *out, int n) {
    rng_seed = 0xa570;
    for (int i = 0; i < n; i++) make_rock(&out[i]);
}

// Quality-independent: made once per creation, or again after its buffer
// failed. A missing array or buffer leaves the mesh empty (count 0), which
// the frame skips.
void engine_build_rock_mesh(Engine *e) {
    RockVertex *mesh = (RockVertex *)malloc(sizeof(RockVertex) * ROCK_MESH_VERTICES);
    if (!mesh) {
        set_error("out of memory (rocks)");
        return;
    }
    fill_rock_mesh(mesh);
    e->rock_vertex_count = 0;
    if (e->device &&
        make_buffer_init(e->device, (int)sizeof(RockVertex) * ROCK_MESH_VERTICES, mesh, &e->rock_mesh_vb) == 0)
        e->rock_vertex_count = ROCK_MESH_VERTICES;
    free(mesh);
}
