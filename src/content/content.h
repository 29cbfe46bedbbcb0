// Scene content: the random source, the quality setter, every generator, the
// planet table and Kepler motion.
#pragma once
#include <stdint.h>
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
