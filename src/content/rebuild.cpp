// The quality setter and the one replace step shared by the five
// quality-dependent sets.
#include <stdlib.h>
#include <string.h>

#include "content/content.h"
#include "gpu/gpu.h"

struct ContentSet {
    const char *name; // for "out of memory (%s)"
    int counts[3];    // records at quality 0, 1, anything else
    void (*fill)(void *records, int n); // seeds the source, then n records
    void (*make)(void *record);         // the next record from the source as it stands
};

static const ContentSet k_stars = {"stars", {100000, 500000, 2000000},
                                   [](void *p, int n) { fill_stars((QuadInstance *)p, n); },
                                   [](void *p) { make_star((QuadInstance *)p); }};
static const ContentSet k_belt = {"belt", {25000, 150000, 500000},
                                  [](void *p, int n) { fill_belt((QuadInstance *)p, n); },
                                  [](void *p) { make_asteroid((QuadInstance *)p); }};
static const ContentSet k_galaxy = {"galaxy", {100000, 500000, 2000000},
                                    [](void *p, int n) { fill_galaxy((ParticleInstance *)p, n); },
                                    [](void *p) { make_galaxy_particle((ParticleInstance *)p); }};
static const ContentSet k_disk = {"disk", {8000, 24000, 48000},
                                  [](void *p, int n) { fill_disk((ParticleInstance *)p, n); },
                                  [](void *p) { make_disk_particle((ParticleInstance *)p); }};
static const ContentSet k_rocks = {"rocks", {300, 900, 1800},
                                   [](void *p, int n) { fill_rocks((RockInstance *)p, n); },
                                   [](void *p) { make_rock((RockInstance *)p); }};

// Every level's records begin with the records of the levels below it (one
// seed, drawn in order), so a set that keeps its array never draws a record
// again: the records both levels share are copied, and only those beyond the
// old count are drawn, from the state saved after them. How many of the old
// records the new array takes; 0 when it starts from the seed.
static int shared_records(const ContentSet &set, int n, const void *old, int old_count, const uint64_t rng[3]) {
    if (!old || !rng || old_count <= 0) return 0;
    if (n <= old_count) return n;
    for (int level = 0; level < 3; level++)
        if (old_count == set.counts[level] && rng[level] != 0) return old_count;
    return 0;
}

// Records [from, n): from the seed when from is 0, else from the state saved
// after record from. The state at each level's count is saved on the way.
static void generate(const ContentSet &set, uint8_t *records, int from, int n, uint64_t rng[3]) {
    if (from == 0) set.fill(records, 0); // the seed alone
    for (int level = 0, i = from; level < 3 && i < n; level++) {
        if (from > 0 && from == set.counts[level]) rng_seed = rng[level];
        int end = set.counts[level] < n ? set.counts[level] : n;
        for (; i < end; i++) set.make(records + (size_t)i * 32);
        if (rng && i == set.counts[level]) rng[level] = rng_seed;
    }
}

// All records are 32 bytes. copy is null for sets that drop their array once
// uploaded (rng too). An allocation failure keeps the old set drawable; a
// buffer failure leaves it empty (no buffer, no array, count 0) until the next
// successful rebuild.
static void rebuild_set(Engine *e, const ContentSet &set, ID3D11Buffer **vb, int *count, void **copy,
                        uint64_t rng[3]) {
    int n = set.counts[e->quality == 0 ? 0 : e->quality == 1 ? 1 : 2];
    uint8_t *records = (uint8_t *)malloc((size_t)n * 32);
    if (!records) {
        set_error("out of memory (%s)", set.name);
        return;
    }
    int shared = shared_records(set, n, copy ? *copy : nullptr, *count, rng);
    if (shared > 0) memcpy(records, *copy, (size_t)shared * 32);
    if (shared < n) generate(set, records, shared, n, rng);
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
    rebuild_set(e, k_stars, &e->stars_vb, &e->star_count, &copy, e->stars_rng);
    e->stars = (QuadInstance *)copy;
}

void engine_rebuild_belt(Engine *e) {
    void *copy = e->belt;
    rebuild_set(e, k_belt, &e->belt_vb, &e->belt_count, &copy, e->belt_rng);
    e->belt = (QuadInstance *)copy;
}

void engine_rebuild_galaxy(Engine *e) {
    rebuild_set(e, k_galaxy, &e->galaxy_vb, &e->galaxy_count, nullptr, nullptr);
}

void engine_rebuild_disk(Engine *e) { rebuild_set(e, k_disk, &e->disk_vb, &e->disk_count, nullptr, nullptr); }

void engine_rebuild_rocks(Engine *e) {
    if (!e->rock_mesh_vb) engine_build_rock_mesh(e);
    void *copy = e->rocks;
    rebuild_set(e, k_rocks, &e->rock_inst_vb, &e->rock_count, &copy, e->rocks_rng);
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
