// Where buffers live, on memory layouts this machine does not have, and the
// staging path for static data on the device it does have.
#include "test_d3d11_fixture.h"

#include "d3d11/objects.h"
#include "vk/vk_executor.h"
#include "vk/vk_memory.h"

#include <string.h>

namespace {

const VkMemoryPropertyFlags DL = VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT;
const VkMemoryPropertyFlags HV = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
const VkMemoryPropertyFlags CACHED = VK_MEMORY_PROPERTY_HOST_CACHED_BIT;
const VkDeviceSize MiB = 1 << 20, GiB = 1 << 30;

struct Layout {
    const char *name;
    std::vector<VkDeviceSize> heaps;
    std::vector<std::pair<VkMemoryPropertyFlags, uint32_t>> types; // flags, heap
    VkPhysicalDeviceMemoryProperties props() const {
        VkPhysicalDeviceMemoryProperties p = {};
        p.memoryHeapCount = (uint32_t)heaps.size();
        for (size_t i = 0; i < heaps.size(); i++) p.memoryHeaps[i] = {heaps[i], 0};
        p.memoryTypeCount = (uint32_t)types.size();
        for (size_t i = 0; i < types.size(); i++) p.memoryTypes[i] = {types[i].first, types[i].second};
        return p;
    }
};

// A discrete GPU without resizable BAR: 8 GiB of video memory, 256 MiB of it
// mappable, system memory beside it.
const Layout k_discrete = {"discrete", {8 * GiB, 16 * GiB, 256 * MiB},
                           {{0, 1}, {DL, 0}, {HV, 1}, {HV | CACHED, 1}, {DL | HV, 2}}};
// The same with resizable BAR: all of video memory is mappable.
const Layout k_rebar = {"resizable BAR", {8 * GiB, 16 * GiB, 8 * GiB},
                        {{0, 1}, {DL, 0}, {HV, 1}, {HV | CACHED, 1}, {DL | HV, 2}}};
// Another vendor's order of types over the same heaps.
const Layout k_discrete2 = {"discrete, other order", {8 * GiB, 16 * GiB, 256 * MiB},
                            {{DL, 0}, {HV, 1}, {DL | HV, 2}, {HV | CACHED, 1}}};
// Integrated GPUs and lavapipe: one heap, mapped and device-local.
const Layout k_unified = {"unified", {16 * GiB}, {{DL | HV | CACHED, 0}}};

std::vector<uint32_t> plan(const Layout &l, VkcMemoryUse use, uint32_t bits = ~0u) {
    VkcMemoryPlan p = vkc_memory_plan(l.props(), bits, use);
    return std::vector<uint32_t>(p.types, p.types + p.count);
}

} // namespace

TEST(MemoryPlan, StaticDataAvoidsASmallMappableWindow) {
    struct Case {
        const Layout *layout;
        bool small;
        std::vector<uint32_t> stat, upload, readback;
    } cases[] = {
        // Static: video memory the CPU cannot see first, the window only as a
        // fallback. Uploads: the window, then system memory.
        {&k_discrete, true, {1, 4, 2, 3, 0}, {4, 2, 3}, {3, 2, 4}},
        {&k_rebar, false, {4, 1, 2, 3, 0}, {4, 2, 3}, {3, 2, 4}},
        {&k_discrete2, true, {0, 2, 1, 3}, {2, 1, 3}, {3, 1, 2}},
        {&k_unified, false, {0}, {0}, {0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.layout->name);
        EXPECT_EQ(c.small, vkc_mappable_vram_is_small(c.layout->props()));
        EXPECT_EQ(c.stat, plan(*c.layout, VKC_MEMORY_STATIC));
        EXPECT_EQ(c.upload, plan(*c.layout, VKC_MEMORY_UPLOAD));
        EXPECT_EQ(c.readback, plan(*c.layout, VKC_MEMORY_READBACK));
    }
    // The buffer's own type bits come first: types it cannot use are never tried.
    EXPECT_EQ((std::vector<uint32_t>{4, 2, 3}), plan(k_discrete, VKC_MEMORY_STATIC, 0x1c));
    EXPECT_TRUE(plan(k_discrete, VKC_MEMORY_UPLOAD, 0x03).empty());
}

// Static buffers that go through staging copies hold what they were given
// (zeros without initial data), read back by the GPU.
TEST_F(D3D11Test, StaticBuffersThroughStagingKeepTheirContents) {
    if (cpu_executor()) GTEST_SKIP() << "Vulkan memory";
    vk_executor_core(static_cast<Device *>(dev)->exec)->static_via_staging = true; // as on a discrete GPU
    uint32_t words[64];
    for (int i = 0; i < 64; i++) words[i] = 0x01020304u * (i + 1);
    D3D11_SUBRESOURCE_DATA init = {words, 0, 0};
    D3D11_BUFFER_DESC imm = {sizeof words, D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
    D3D11_BUFFER_DESC def = {sizeof words, D3D11_USAGE_DEFAULT, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
    D3D11_BUFFER_DESC stage = {sizeof words, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ, 0, 0};
    ID3D11Buffer *a = nullptr, *b = nullptr, *st = nullptr;
    ASSERT_EQ(S_OK, dev->CreateBuffer(&imm, &init, &a));
    ASSERT_EQ(S_OK, dev->CreateBuffer(&def, nullptr, &b));
    ASSERT_EQ(S_OK, dev->CreateBuffer(&stage, nullptr, &st));
    EXPECT_EQ(nullptr, vkc_ring_current(vk_executor_ring(static_cast<Buffer *>(a)->exec))->map) << "not mapped: uploaded";
    struct {
        ID3D11Buffer *src;
        bool zero;
    } cases[] = {{a, false}, {b, true}};
    for (auto c : cases) {
        ctx->CopyResource(st, c.src);
        D3D11_MAPPED_SUBRESOURCE m;
        ASSERT_EQ(S_OK, ctx->Map(st, 0, D3D11_MAP_READ, 0, &m));
        if (c.zero) {
            uint32_t zeros[64] = {};
            EXPECT_EQ(0, memcmp(m.pData, zeros, sizeof zeros));
        } else {
            EXPECT_EQ(0, memcmp(m.pData, words, sizeof words));
        }
        ctx->Unmap(st, 0);
    }
    release(st);
    release(b);
    release(a);
}
