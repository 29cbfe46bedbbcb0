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

// How wide an angle the particles of one arm spread over before the vertex
// program adds its own scatter. The program already places every particle on
// one of four arms a quarter turn apart, so a whole-circle angle (2 pi) would
// fill the gaps between them and leave an even disc. At 0.3 rad the arms stay
// apart at every quality: quality 0 shows four thin bright arms, and at
// quality 2, where the additive light saturates inside r ~ 30, they still
// read as four dark lanes between bright arms. Wider windows (0.6 and more)
// lost the arms of quality 1 and 2 in that saturated core.
static const float k_arm_width = 0.3f;

// The vertex program winds a particle by 0.21 r but places it at the radius
// r (1 + 0.18 g1), g1 = 2 (seed - 0.5): up to 18% further in or out. Out
// there the winding is wrong by as much as 2 rad, more than the quarter turn
// between arms, and smears them into a ring. This term winds the particle
// for the radius it is drawn at instead.
static float arm_winding_fix(float r, float seed) {
    float g1 = 2.0f * (seed - 0.5f);
    return (0.21f * r) * (0.18f * g1);
}

// The vertex program winds, rotates and scatters the particle; only its
// parameters are stored. Float 7 is read by no layout element and left alone.
void make_galaxy_particle(ParticleInstance *o) {
    float u = rng_float();
    float r = (u * 54.0f) * u + 1.0f; // r - 1 ~ u^2: dense core
    float arm = rng_float() < 0.5f ? 0.0f : 1.0f;
    float angle = rng_float() * k_arm_width;
    float size = rng_range(0.5f, 1.0f);
    float seed = rng_float();
    angle = angle + arm_winding_fix(r, seed);
    if (angle < 0.0f) angle = angle + k_two_pi; // kept within 0 .. 2 pi
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
