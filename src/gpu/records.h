// The five GPU record formats: little-endian 32-bit floats, the record size
// is the vertex-buffer stride, records lie back to back.
#pragma once

struct QuadInstance { // one billboard, slot 1 per instance
    float ipos[3];
    float icol[4]; // a is carried but never read
    float isize;   // half-width in world units
};

// One galaxy or disk particle. The par layout reads ia = floats 0..3 and
// ib = floats 3..6, so f[3] is both ia.w and ib.x: the half-width.
struct ParticleInstance {
    float f[8];
};

struct RockVertex { // shared rock mesh, slot 0 per vertex
    float p[3];
    float n[3];
    float spare; // no layout element reads it
};

struct RockInstance { // slot 1 per instance
    float ipos[3];
    float irot[3];  // unit spin axis
    float idata[2]; // scale, phase
};

struct LineVertex { // orbit lines, slot 0 per vertex
    float p[3];
    float vcol[4];
};

static_assert(sizeof(QuadInstance) == 32, "QuadInstance is 32 bytes");
static_assert(sizeof(ParticleInstance) == 32, "ParticleInstance is 32 bytes");
static_assert(sizeof(RockVertex) == 28, "RockVertex is 28 bytes");
static_assert(sizeof(RockInstance) == 32, "RockInstance is 32 bytes");
static_assert(sizeof(LineVertex) == 28, "LineVertex is 28 bytes");
