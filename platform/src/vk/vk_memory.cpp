#include "vk/vk_memory.h"

namespace {

const VkMemoryPropertyFlags DL = VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT;
const VkMemoryPropertyFlags MAPPABLE = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
const VkMemoryPropertyFlags CACHED = VK_MEMORY_PROPERTY_HOST_CACHED_BIT;

struct Preference {
    VkMemoryPropertyFlags need, refuse;
};

void add_matching(const VkPhysicalDeviceMemoryProperties &mp, uint32_t bits, Preference p, VkcMemoryPlan *plan) {
    for (uint32_t i = 0; i < mp.memoryTypeCount; i++) {
        VkMemoryPropertyFlags f = mp.memoryTypes[i].propertyFlags;
        if (!(bits & (1u << i)) || (f & p.need) != p.need || (f & p.refuse)) continue;
        bool listed = false;
        for (uint32_t k = 0; k < plan->count; k++) listed = listed || plan->types[k] == i;
        if (!listed) plan->types[plan->count++] = i;
    }
}

} // namespace

bool vkc_mappable_vram_is_small(const VkPhysicalDeviceMemoryProperties &mp) {
    VkDeviceSize largest_local = 0, mappable_local = 0;
    for (uint32_t i = 0; i < mp.memoryTypeCount; i++) {
        const VkMemoryType &t = mp.memoryTypes[i];
        if (!(t.propertyFlags & DL)) continue;
        VkDeviceSize size = mp.memoryHeaps[t.heapIndex].size;
        if (size > largest_local) largest_local = size;
        if ((t.propertyFlags & MAPPABLE) == MAPPABLE && size > mappable_local) mappable_local = size;
    }
    return mappable_local > 0 && mappable_local < largest_local / 2;
}

VkcMemoryPlan vkc_memory_plan(const VkPhysicalDeviceMemoryProperties &mp, uint32_t type_bits, VkcMemoryUse use) {
    VkcMemoryPlan plan = {};
    Preference order[4];
    int n = 0;
    switch (use) {
    case VKC_MEMORY_STATIC:
        if (vkc_mappable_vram_is_small(mp)) {
            // Keep the small window for what the CPU writes every frame.
            order[n++] = {DL, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT};
            order[n++] = {DL, 0};
        } else {
            order[n++] = {DL | MAPPABLE, 0}; // written in place: no staging copy
            order[n++] = {DL, 0};
        }
        order[n++] = {MAPPABLE, 0};
        order[n++] = {0, 0};
        break;
    case VKC_MEMORY_UPLOAD:
        order[n++] = {DL | MAPPABLE, 0};
        order[n++] = {MAPPABLE, 0};
        break;
    case VKC_MEMORY_READBACK:
        order[n++] = {MAPPABLE | CACHED, 0};
        order[n++] = {MAPPABLE, 0};
        break;
    }
    for (int i = 0; i < n; i++) add_matching(mp, type_bits, order[i], &plan);
    return plan;
}
