// Scene content: the random source, the quality setter, every generator, the
// planet table and Kepler motion.
#pragma once
#include <stdint.h>

// Generated content must round every operation on its own. The build passes
// -ffp-contract=off; these keep compilers that honour a pragma from fusing
// even without it.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(_MSC_VER)
#pragma fp_contract(off)
#endif
#include "engine/engine.h"

extern uint64_t rng_seed;
uint64_t rng_next(void);
float rng_float(void);
float rng_range(float lo, float hi);

void engine_set_quality(Engine *e, int quality);
void engine_rebuild_stars(Engine *e);
void engine_rebuild_belt(Engine *e);
void engine_rebuild_galaxy(Engine *e);
void engine_rebuild_disk(Engine *e);
void engine_rebuild_rocks(Engine *e);
void engine_build_orbit_lines(Engine *e);
void engine_build_rock_mesh(Engine *e); // engine_rebuild_rocks calls it while rock_mesh_vb is empty

// Pure generation, no GPU: each fill seeds rng_seed with its set's constant and
// writes n records; each make_* draws one record from the current state, so a
// test can place the generator anywhere in the sequence.
void fill_stars(QuadInstance *out, int n);
void fill_belt(QuadInstance *out, int n);
void fill_galaxy(ParticleInstance *out, int n);
void fill_disk(ParticleInstance *out, int n);
void fill_rocks(RockInstance *out, int n);
void make_star(QuadInstance *out);
void make_asteroid(QuadInstance *out);
void make_galaxy_particle(ParticleInstance *out);
void make_disk_particle(ParticleInstance *out);
void make_rock(RockInstance *out);

enum { ROCK_MESH_VERTICES = 240, ORBIT_SAMPLES = 161, ORBIT_VERTICES = 8 * 161 };
void fill_rock_mesh(RockVertex out[ROCK_MESH_VERTICES]);
void fill_orbit_lines(LineVertex out[ORBIT_VERTICES]);

struct Planet {
    float a;      // semi-major axis
    float e;      // eccentricity
    float inc;    // inclination about x, radians
    float period; // seconds of simulated time
    float phase;  // revolutions at t = 0
    float size;   // billboard half-size
    float color[3];
};
extern const Planet PLANETS[8];
void kepler_position(const Planet *planet, float t, float *x, float *y, float *z);
