// Where buffers live: the choice of memory types, as a pure function of the
// device's memory properties so it can be checked against devices this
// machine does not have.
#pragma once
#include "vk/vk_loader.h"

#include <stdint.h>

enum VkcMemoryUse {
    VKC_MEMORY_STATIC,   // written once at creation, then read by the GPU only
    VKC_MEMORY_UPLOAD,   // written by the CPU, read by the GPU (dynamic, staging for uploads)
    VKC_MEMORY_READBACK, // written by the GPU, read by the CPU
};

// Memory types to try for a buffer, best first; the next one is the fallback
// when an allocation fails. UPLOAD and READBACK list only host-visible,
// coherent types. A STATIC type without HOST_VISIBLE is filled by a staging
// copy.
struct VkcMemoryPlan {
    uint32_t count;
    uint32_t types[VK_MAX_MEMORY_TYPES];
};
VkcMemoryPlan vkc_memory_plan(const VkPhysicalDeviceMemoryProperties &mp, uint32_t type_bits, VkcMemoryUse use);

// True when device-local memory the CPU can map is a small window onto a
// larger device-local heap (a discrete GPU without resizable BAR): static
// data then belongs in the rest of video memory, uploaded through staging.
bool vkc_mappable_vram_is_small(const VkPhysicalDeviceMemoryProperties &mp);
