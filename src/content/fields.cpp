// Star field, asteroid belt, galaxy and accretion-disk records. Every value is
// single precision, one rounding per operation in the written order (the
// build forbids contraction), so records are bit-identical across builds.
#include <math.h>

#include "content/content.h"

static const float k_two_pi = 6.2831855f;

void make_star(QuadInstance *o) {
    float k = rng_range(-1.0f, 1.0f); // uniform height: uniform directions
    float phi = rng_range(0.0f, k_two_pi);
    float s = sqrtf(1.0f - k * k);
    float sin_phi = sinf(phi);
    float cos_phi = cosf(phi);
    float radius = rng_range(8000.0f, 16000.0f);
    float v = rng_range(0.2f, 0.7f);
    float cls = rng_float();
    float r = v, g = v, b = v;
    if (cls < 0.12f) {
        g = 0.8f * v;
        b = 0.6f * v;
    } else if (cls < 0.2f) {
        r = 0.7f * v;
        g = 0.8f * v;
    }
    float size = rng_range(10.0f, 20.0f);
    o->ipos[0] = (cos_phi * s) * radius;
    o->ipos[1] = k * radius;
    o->ipos[2] = (s * sin_phi) * radius;
    o->icol[0] = r;
    o->icol[1] = g;
    o->icol[2] = b;
    o->icol[3] = 1.0f;
    o->isize = size;
}

void make_asteroid(QuadInstance *o) {
    float theta = rng_float() * k_two_pi;
    float sin_t = sinf(theta);
    float cos_t = cosf(theta);
    float rho = rng_range(62.0f, 84.0f);
    float y = rng_range(-2.5f, 2.5f);
    float v = rng_range(0.15f, 0.4f);
    float size = rng_range(0.4f, 0.9f);
    o->ipos[0] = cos_t * rho;
    o->ipos[1] = y;
    o->ipos[2] = rho * sin_t;
    o->icol[0] = v;
    o->icol[1] = 0.92f * v;
    o->icol[2] = 0.8f * v;
    o->icol[3] = 1.0f;
    o->isize = size;
}

// The vertex program winds, rotates and scatters the particle; only its
// parameters are stored. Float 7 is read by no layout element and left alone.
void make_galaxy_particle(ParticleInstance *o) {
    float u = rng_float();
    float r = (u * 54.0f) * u + 1.0f; // r - 1 ~ u^2: dense core
    float arm = rng_float() < 0.5f ? 0.0f : 1.0f;
    float angle = rng_float() * k_two_pi;
    float size = rng_range(0.5f, 1.0f);
    float seed = rng_float();
    o->f[0] = r;
    o->f[1] = arm;
    o->f[2] = angle;
    o->f[3] = size;
    o->f[4] = 0.0f;
    o->f[5] = seed;
    o->f[6] = 1.0f;
}

void make_disk_particle(ParticleInstance *o) {
    float r = powf(rng_float(), 0.6f) * 4.5f + 1.5f; // leans outwards
    float angle = rng_float() * k_two_pi;
    float size = rng_range(0.06f, 0.14f);
    float omega = 4.8f / (r * r);
    o->f[0] = angle;
    o->f[1] = r;
    o->f[2] = omega;
    o->f[3] = size;
    o->f[4] = 0.0f;
    o->f[5] = 0.0f;
    o->f[6] = 1.0f;
}

void fill_stars(QuadInstance *out, int n) {
    rng_seed = 0x5eed5eed;
    for (int i = 0; i < n; i++) make_star(&out[i]);
}

void fill_belt(QuadInstance *out, int n) {
    rng_seed = 0xb347;
    for (int i = 0; i < n; i++) make_asteroid(&out[i]);
}

void fill_galaxy(ParticleInstance *out, int n) {
    rng_seed = 0x5a1b47;
    for (int i = 0; i < n; i++) make_galaxy_particle(&out[i]);
}

void fill_disk(ParticleInstance *out, int n) {
    rng_seed = 0xd157;
    for (int i = 0; i < n; i++) make_disk_particle(&out[i]);
}
