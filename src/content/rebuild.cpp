// The quality setter and the one replace step shared by the five
// quality-dependent sets.
#include <stdlib.h>

#include "content/content.h"
#include "gpu/gpu.h"

struct ContentSet {
    const char *name; // for "out of memory (%s)"
    int counts[3];    // records at quality 0, 1, anything else
    void (*fill)(void *records, int n);
};

static const ContentSet k_stars = {
    "stars", {100000, 500000, 2000000}, [](void *p, int n) { fill_stars((QuadInstance *)p, n); }};
static const ContentSet k_belt = {
    "belt", {25000, 150000, 500000}, [](void *p, int n) { fill_belt((QuadInstance *)p, n); }};
static const ContentSet k_galaxy = {
    "galaxy", {100000, 500000, 2000000}, [](void *p, int n) { fill_galaxy((ParticleInstance *)p, n); }};
static const ContentSet k_disk = {
    "disk", {8000, 24000, 48000}, [](void *p, int n) { fill_disk((ParticleInstance *)p, n); }};
static const ContentSet k_rocks = {
    "rocks", {300, 900, 1800}, [](void *p, int n) { fill_rocks((RockInstance *)p, n); }};

// All records are 32 bytes. copy is null for sets that drop their array once
// uploaded. An allocation failure keeps the old set drawable; a buffer failure
// leaves it empty (no buffer, no array, count 0) until the next successful
// rebuild.
static void rebuild_set(Engine *e, const ContentSet &set, ID3D11Buffer **vb, int *count, void **copy) {
    int n = set.counts[e->quality == 0 ? 0 : e->quality == 1 ? 1 : 2];
    void *records = malloc((size_t)n * 32);
    if (!records) {
        set_error("out of memory (%s)", set.name);
        return;
    }
    set.fill(records, n);
    safe_release(*vb);
    if (copy) {
        free(*copy);
        *copy = nullptr;
    }
    if (!e->device || make_buffer_init(e->device, 32 * n, records, vb) != 0) {
        free(records);
        *count = 0;
        return;
    }
    *count = n;
    if (copy)
        *copy = records;
    else
        free(records);
}

void engine_rebuild_stars(Engine *e) {
    void *copy = e->stars;
    rebuild_set(e, k_stars, &e->stars_vb, &e->star_count, &copy);
    e->stars = (QuadInstance *)copy;
}

void engine_rebuild_belt(Engine *e) {
    void *copy = e->belt;
    rebuild_set(e, k_belt, &e->belt_vb, &e->belt_count, &copy);
    e->belt = (QuadInstance *)copy;
}

void engine_rebuild_galaxy(Engine *e) { rebuild_set(e, k_galaxy, &e->galaxy_vb, &e->galaxy_count, nullptr); }

void engine_rebuild_disk(Engine *e) { rebuild_set(e, k_disk, &e->disk_vb, &e->disk_count, nullptr); }

void engine_rebuild_rocks(Engine *e) {
    if (!e->rock_mesh_vb) engine_build_rock_mesh(e);
    void *copy = e->rocks;
    rebuild_set(e, k_rocks, &e->rock_inst_vb, &e->rock_count, &copy);
    e->rocks = (RockInstance *)copy;
}

// Orbit lines and the rock mesh do not depend on the level and stay.
void engine_set_quality(Engine *e, int quality) {
    if (quality < 0 || quality > 2 || quality == e->quality) return;
    e->quality = quality;
    if (!e->created) return; // creation resets the level anyway
    engine_rebuild_stars(e);
    engine_rebuild_belt(e);
    engine_rebuild_galaxy(e);
    engine_rebuild_disk(e);
    engine_rebuild_rocks(e);
}
