// Content on an offscreen engine: what creation, quality changes and failures
// leave in the engine record and its buffers.
#include <gtest/gtest.h>
#include <halvenor/platform_test.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "alloc_fail.h"
#include "content/content.h"

namespace {

UINT byte_width(ID3D11Buffer *b) {
    D3D11_BUFFER_DESC d;
    memset(&d, 0, sizeof d);
    b->GetDesc(&d);
    return d.ByteWidth;
}

// The first `bytes` of a default-usage buffer, through a staging copy.
std::vector<unsigned char> read_buffer(Engine &e, ID3D11Buffer *src, UINT bytes) {
    D3D11_BUFFER_DESC d;
    memset(&d, 0, sizeof d);
    d.ByteWidth = byte_width(src);
    d.Usage = D3D11_USAGE_STAGING;
    d.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ID3D11Buffer *staging = nullptr;
    std::vector<unsigned char> out;
    if (FAILED(e.device->CreateBuffer(&d, nullptr, &staging))) return out;
    e.context->CopyResource(staging, src);
    D3D11_MAPPED_SUBRESOURCE m;
    if (SUCCEEDED(e.context->Map(staging, 0, D3D11_MAP_READ, 0, &m))) {
        out.assign((const unsigned char *)m.pData, (const unsigned char *)m.pData + bytes);
        e.context->Unmap(staging, 0);
    }
    staging->Release();
    return out;
}

struct Snapshot {
    std::vector<QuadInstance> stars, belt;
    std::vector<RockInstance> rocks;
    int counts[5];
};

Snapshot snapshot(const Engine &e) {
    Snapshot s;
    s.stars.assign(e.stars, e.stars + e.star_count);
    s.belt.assign(e.belt, e.belt + e.belt_count);
    s.rocks.assign(e.rocks, e.rocks + e.rock_count);
    int c[5] = {e.star_count, e.belt_count, e.galaxy_count, e.disk_count, e.rock_count};
    memcpy(s.counts, c, sizeof c);
    return s;
}

bool same(const Snapshot &a, const Snapshot &b) {
    return memcmp(a.counts, b.counts, sizeof a.counts) == 0 && a.stars.size() == b.stars.size() &&
           memcmp(a.stars.data(), b.stars.data(), a.stars.size() * 32) == 0 && a.belt.size() == b.belt.size() &&
           memcmp(a.belt.data(), b.belt.data(), a.belt.size() * 32) == 0 && a.rocks.size() == b.rocks.size() &&
           memcmp(a.rocks.data(), b.rocks.data(), a.rocks.size() * 32) == 0;
}

// One quality-dependent set as seen through the engine record.
struct SetFields {
    const char *name;
    void (*rebuild)(Engine *);
    ID3D11Buffer *Engine::*vb;
    int Engine::*count;
    void *(*copy)(Engine &); // null: no CPU copy is kept
    int n[3];
};

const SetFields SETS[] = {
    {"stars", engine_rebuild_stars, &Engine::stars_vb, &Engine::star_count,
     [](Engine &e) { return (void *)e.stars; }, {100000, 500000, 2000000}},
    {"belt", engine_rebuild_belt, &Engine::belt_vb, &Engine::belt_count,
     [](Engine &e) { return (void *)e.belt; }, {25000, 150000, 500000}},
    {"galaxy", engine_rebuild_galaxy, &Engine::galaxy_vb, &Engine::galaxy_count, nullptr, {100000, 500000, 2000000}},
    {"disk", engine_rebuild_disk, &Engine::disk_vb, &Engine::disk_count, nullptr, {8000, 24000, 48000}},
    {"rocks", engine_rebuild_rocks, &Engine::rock_inst_vb, &Engine::rock_count,
     [](Engine &e) { return (void *)e.rocks; }, {300, 900, 1800}},
};

// Every set's buffer, count and CPU copy, as pointers: what a rebuild replaces.
struct SetView {
    const void *p[15];
    bool operator==(const SetView &o) const { return memcmp(p, o.p, sizeof p) == 0; }
};

SetView view(Engine &e) {
    SetView v;
    for (int i = 0; i < 5; i++) {
        v.p[3 * i] = e.*SETS[i].vb;
        v.p[3 * i + 1] = (const void *)(intptr_t)(e.*SETS[i].count);
        v.p[3 * i + 2] = SETS[i].copy ? SETS[i].copy(e) : nullptr;
    }
    return v;
}

struct ContentDevice : ::testing::Test {
    Engine e;
    void SetUp() override {
        memset(&e, 0, sizeof e);
        plat_fail_clear();
        alloc_fail_clear();
        ASSERT_EQ(engine_create_offscreen(&e, 64, 64), 0) << galaxy_error_get();
    }
    void TearDown() override {
        plat_fail_clear();
        alloc_fail_clear();
        engine_destroy(&e);
        free(e.readback_buf);
    }
};

} // namespace

TEST_F(ContentDevice, CreationMakesEverySetAtLevelOne) {
    EXPECT_EQ(e.quality, 1);
    for (const SetFields &s : SETS) {
        SCOPED_TRACE(s.name);
        ASSERT_NE(e.*s.vb, nullptr);
        EXPECT_EQ(e.*s.count, s.n[1]);
        EXPECT_EQ(byte_width(e.*s.vb), (UINT)(32 * s.n[1]));
        if (s.copy) {
            EXPECT_NE(s.copy(e), nullptr);
        }
    }
    ASSERT_NE(e.rock_mesh_vb, nullptr);
    EXPECT_EQ(e.rock_vertex_count, 240);
    EXPECT_EQ(byte_width(e.rock_mesh_vb), 6720u);
    ASSERT_NE(e.lines_vb, nullptr);
    EXPECT_EQ(e.line_vertex_count, 1288);
    EXPECT_EQ(byte_width(e.lines_vb), 36064u);

    std::vector<QuadInstance> stars(500000);
    fill_stars(stars.data(), 500000);
    EXPECT_EQ(memcmp(e.stars, stars.data(), stars.size() * 32), 0) << "the copy is the generated array";
}

TEST_F(ContentDevice, BuffersHoldTheGeneratedRecords) {
    std::vector<ParticleInstance> disk(24000);
    fill_disk(disk.data(), 24000);
    std::vector<unsigned char> got = read_buffer(e, e.disk_vb, 24000 * 32);
    ASSERT_EQ(got.size(), 24000u * 32);
    for (int i : {0, 23999}) // float 7 is never written, so compare the seven others
        EXPECT_EQ(memcmp(&got[32 * i], &disk[i], 28), 0) << i;
    RockVertex mesh[ROCK_MESH_VERTICES];
    fill_rock_mesh(mesh);
    got = read_buffer(e, e.rock_mesh_vb, sizeof mesh);
    ASSERT_EQ(got.size(), sizeof mesh);
    EXPECT_EQ(memcmp(got.data(), mesh, sizeof mesh), 0);
    std::vector<LineVertex> lines(ORBIT_VERTICES);
    fill_orbit_lines(lines.data());
    got = read_buffer(e, e.lines_vb, 36064);
    ASSERT_EQ(got.size(), 36064u);
    EXPECT_EQ(memcmp(got.data(), lines.data(), 36064), 0);
}

TEST_F(ContentDevice, QualityRoundTripRestoresTheFirstRecords) {
    Snapshot first = snapshot(e);
    ID3D11Buffer *mesh = e.rock_mesh_vb, *lines = e.lines_vb;
    engine_set_quality(&e, 2);
    for (const SetFields &s : SETS) EXPECT_EQ(e.*s.count, s.n[2]) << s.name;
    EXPECT_EQ(byte_width(e.stars_vb), 64000000u);
    EXPECT_EQ(memcmp(e.stars, first.stars.data(), first.stars.size() * 32), 0) << "level 1 is a prefix of level 2";
    engine_set_quality(&e, 1);
    EXPECT_TRUE(same(snapshot(e), first));
    EXPECT_EQ(e.rock_mesh_vb, mesh) << "the mesh is not remade";
    EXPECT_EQ(e.lines_vb, lines) << "the orbit lines are not rebuilt";
    EXPECT_EQ(e.line_vertex_count, 1288);
}

TEST_F(ContentDevice, LevelZeroIsThePrefixOfLevelTwo) {
    engine_set_quality(&e, 0);
    Snapshot low = snapshot(e);
    for (const SetFields &s : SETS) EXPECT_EQ(e.*s.count, s.n[0]) << s.name;
    engine_set_quality(&e, 2);
    EXPECT_EQ(memcmp(e.stars, low.stars.data(), low.stars.size() * 32), 0);
    EXPECT_EQ(memcmp(e.belt, low.belt.data(), low.belt.size() * 32), 0);
    EXPECT_EQ(memcmp(e.rocks, low.rocks.data(), low.rocks.size() * 32), 0);
}

// A quality change keeps the records the two levels share and draws only the
// rest, from where the shared ones ended: whatever the way taken to a level,
// the kept arrays and their buffers hold what drawing it afresh gives.
TEST_F(ContentDevice, EveryWayToALevelGivesTheFreshRecords) {
    std::vector<QuadInstance> stars(2000000), belt(500000);
    std::vector<RockInstance> rocks(1800);
    fill_stars(stars.data(), 2000000);
    fill_belt(belt.data(), 500000);
    fill_rocks(rocks.data(), 1800);
    for (int q : {2, 0, 1, 0, 2, 1}) {
        SCOPED_TRACE(q);
        engine_set_quality(&e, q);
        ASSERT_EQ(e.star_count, SETS[0].n[q]);
        EXPECT_EQ(memcmp(e.stars, stars.data(), (size_t)e.star_count * 32), 0);
        EXPECT_EQ(memcmp(e.belt, belt.data(), (size_t)e.belt_count * 32), 0);
        EXPECT_EQ(memcmp(e.rocks, rocks.data(), (size_t)e.rock_count * 32), 0);
        // The buffer is made from the same array: its last star is the fresh one.
        std::vector<unsigned char> got = read_buffer(e, e.stars_vb, 32 * e.star_count);
        ASSERT_EQ(got.size(), 32u * e.star_count);
        EXPECT_EQ(memcmp(&got[got.size() - 32], &stars[e.star_count - 1], 32), 0);
    }
}

// Levels outside 0..2 and the current level are ignored: no buffer or CPU
// copy is made again.
TEST_F(ContentDevice, IgnoredLevelsRebuildNothing) {
    ID3D11Buffer *vbs[5];
    void *copies[5];
    for (int i = 0; i < 5; i++) {
        vbs[i] = e.*SETS[i].vb;
        copies[i] = SETS[i].copy ? SETS[i].copy(e) : nullptr;
    }
    for (int q : {3, -1, 1, 100}) {
        engine_set_quality(&e, q);
        EXPECT_EQ(e.quality, 1);
        for (int i = 0; i < 5; i++) {
            EXPECT_EQ(e.*SETS[i].vb, vbs[i]) << SETS[i].name << " q=" << q;
            if (SETS[i].copy) {
                EXPECT_EQ(SETS[i].copy(e), copies[i]) << SETS[i].name << " q=" << q;
            }
        }
    }
}

TEST_F(ContentDevice, BufferFailureEmptiesOnlyThatSet) {
    engine_set_quality(&e, 0); // every set at level 0; each is then rebuilt alone at level 1
    for (const SetFields &s : SETS) {
        SCOPED_TRACE(s.name);
        plat_fail_call("CreateBuffer", 1, E_OUTOFMEMORY);
        e.quality = 1;
        s.rebuild(&e);
        EXPECT_EQ(plat_fail_fired(), 1);
        char want[80];
        snprintf(want, sizeof want, "CreateBuffer(%d) failed: 0x8007000E", 32 * s.n[1]);
        EXPECT_STREQ(galaxy_error_get(), want);
        EXPECT_EQ(e.*s.vb, nullptr);
        if (s.copy) {
            EXPECT_EQ(s.copy(e), nullptr);
        }
        EXPECT_EQ(e.*s.count, 0) << "no buffer, nothing to draw";
        EXPECT_NE(e.rock_mesh_vb, nullptr);
        plat_fail_clear();
        s.rebuild(&e); // the next rebuild recovers
        EXPECT_NE(e.*s.vb, nullptr);
        EXPECT_EQ(e.*s.count, s.n[1]);
        e.quality = 0;
    }
}

// A failed allocation for the new level keeps the set drawn now: its count,
// buffer and CPU copy, with the error text naming the set. Going down and up.
TEST_F(ContentDevice, AllocationFailureKeepsTheDrawnSet) {
    for (int level : {0, 2})
        for (const SetFields &s : SETS) {
            SCOPED_TRACE(testing::Message() << s.name << " to level " << level);
            clear_error();
            const SetView before = view(e);
            e.quality = level;
            alloc_fail_size((size_t)32 * s.n[level]);
            s.rebuild(&e);
            EXPECT_EQ(alloc_fail_fired(), 1);
            char want[64];
            snprintf(want, sizeof want, "out of memory (%s)", s.name);
            EXPECT_STREQ(galaxy_error_get(), want);
            EXPECT_TRUE(view(e) == before) << "every set as it was";
            EXPECT_EQ(e.*s.count, s.n[1]);
            alloc_fail_clear();
            e.quality = 1;
        }
}

TEST_F(ContentDevice, RockMeshFailureIsRetriedByTheNextRebuild) {
    safe_release(e.rock_mesh_vb);
    plat_fail_call("CreateBuffer", 1, E_OUTOFMEMORY); // the mesh goes first
    engine_rebuild_rocks(&e);
    EXPECT_STREQ(galaxy_error_get(), "CreateBuffer(6720) failed: 0x8007000E");
    EXPECT_EQ(e.rock_mesh_vb, nullptr);
    EXPECT_EQ(e.rock_vertex_count, 0);
    EXPECT_NE(e.rock_inst_vb, nullptr) << "instances do not depend on the mesh";
    plat_fail_clear();
    engine_set_quality(&e, 0);
    ASSERT_NE(e.rock_mesh_vb, nullptr);
    RockVertex mesh[ROCK_MESH_VERTICES];
    fill_rock_mesh(mesh);
    std::vector<unsigned char> got = read_buffer(e, e.rock_mesh_vb, sizeof mesh);
    ASSERT_EQ(got.size(), sizeof mesh);
    EXPECT_EQ(memcmp(got.data(), mesh, sizeof mesh), 0);
}

TEST_F(ContentDevice, RockMeshAllocationFailureStillMakesInstances) {
    safe_release(e.rock_mesh_vb);
    e.rock_vertex_count = 0;
    e.quality = 0;
    clear_error();
    alloc_fail_size(sizeof(RockVertex) * ROCK_MESH_VERTICES);
    engine_rebuild_rocks(&e);
    EXPECT_EQ(alloc_fail_fired(), 1);
    EXPECT_STREQ(galaxy_error_get(), "out of memory (rocks)");
    EXPECT_EQ(e.rock_mesh_vb, nullptr);
    EXPECT_EQ(e.rock_vertex_count, 0);
    // The instances of the new level are made all the same, in the array and the buffer.
    ASSERT_EQ(e.rock_count, 300);
    ASSERT_NE(e.rocks, nullptr);
    ASSERT_NE(e.rock_inst_vb, nullptr);
    EXPECT_EQ(byte_width(e.rock_inst_vb), 300u * 32u);
    std::vector<RockInstance> want(300);
    fill_rocks(want.data(), 300);
    EXPECT_EQ(memcmp(e.rocks, want.data(), 300 * 32), 0);
    std::vector<unsigned char> got = read_buffer(e, e.rock_inst_vb, 300 * 32);
    ASSERT_EQ(got.size(), 300u * 32u);
    EXPECT_EQ(memcmp(got.data(), want.data(), got.size()), 0);
}

TEST_F(ContentDevice, OrbitLineFailures) {
    ID3D11Buffer *lines = e.lines_vb;
    clear_error();
    alloc_fail_size(36064);
    engine_build_orbit_lines(&e);
    EXPECT_EQ(alloc_fail_fired(), 1);
    EXPECT_EQ(e.lines_vb, lines) << "no array: the old buffer stays";
    EXPECT_STREQ(galaxy_error_get(), "no error");
    plat_fail_call("CreateBuffer", 1, E_OUTOFMEMORY);
    engine_build_orbit_lines(&e);
    EXPECT_EQ(e.lines_vb, nullptr);
    EXPECT_EQ(e.line_vertex_count, 0);
    EXPECT_STREQ(galaxy_error_get(), "CreateBuffer(36064) failed: 0x8007000E");
}

// A content buffer that cannot be made at creation leaves only its own set
// empty, with no CPU copy kept; creation still succeeds and clears the error
// text. The generators make the last seven buffers of creation, in this order.
TEST_F(ContentDevice, BufferFailureAtCreationEmptiesOnlyThatSet) {
    plat_call_count_reset();
    engine_destroy(&e);
    ASSERT_EQ(engine_create_offscreen(&e, 64, 64), 0);
    const int calls = plat_call_count("CreateBuffer");
    const struct {
        const char *name;
        ID3D11Buffer *Engine::*vb;
        int Engine::*count;
        void *(*copy)(Engine &); // null: no CPU copy is kept
    } sets[] = {
        {"stars", &Engine::stars_vb, &Engine::star_count, SETS[0].copy},
        {"belt", &Engine::belt_vb, &Engine::belt_count, SETS[1].copy},
        {"galaxy", &Engine::galaxy_vb, &Engine::galaxy_count, nullptr},
        {"disk", &Engine::disk_vb, &Engine::disk_count, nullptr},
        {"rock mesh", &Engine::rock_mesh_vb, &Engine::rock_vertex_count, nullptr},
        {"rocks", &Engine::rock_inst_vb, &Engine::rock_count, SETS[4].copy},
        {"lines", &Engine::lines_vb, &Engine::line_vertex_count, nullptr},
    };
    for (int k = 0; k < 7; k++) {
        SCOPED_TRACE(sets[k].name);
        engine_destroy(&e);
        plat_fail_call("CreateBuffer", calls - 6 + k, E_OUTOFMEMORY);
        ASSERT_EQ(engine_create_offscreen(&e, 64, 64), 0) << galaxy_error_get();
        EXPECT_EQ(plat_fail_fired(), 1);
        plat_fail_clear();
        EXPECT_EQ(e.created, 1);
        EXPECT_STREQ(galaxy_error_get(), "no error");
        for (const auto &s : sets) {
            const bool failed = &s == &sets[k];
            EXPECT_EQ(e.*s.vb == nullptr, failed) << s.name;
            EXPECT_EQ(e.*s.count == 0, failed) << s.name;
            if (s.copy) {
                EXPECT_EQ(s.copy(e) == nullptr, failed) << s.name;
            }
        }
    }
}

TEST_F(ContentDevice, LevelSetBeforeCreationIsReset) {
    engine_destroy(&e);
    e.created = 0;
    engine_set_quality(&e, 2);
    EXPECT_EQ(e.quality, 2);
    EXPECT_EQ(e.stars_vb, nullptr) << "not created: only stored";
    ASSERT_EQ(engine_create_offscreen(&e, 64, 64), 0);
    EXPECT_EQ(e.quality, 1);
    EXPECT_EQ(e.star_count, 500000);
}
