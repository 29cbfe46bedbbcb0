#include "vk/vk_core.h"

#include "common/hooks.h"

#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

VKAPI_ATTR VkBool32 VKAPI_CALL debug_message(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                             VkDebugUtilsMessageTypeFlagsEXT,
                                             const VkDebugUtilsMessengerCallbackDataEXT *data, void *) {
    if (severity >= VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT) {
        fprintf(stderr, "vulkan: %s\n", data->pMessage);
        hook_validation_message();
    }
    return VK_FALSE;
}

bool validation_wanted() {
    const char *v = getenv("HALVENOR_VK_VALIDATION");
    return v && strcmp(v, "1") == 0;
}

bool has_name(const std::vector<VkExtensionProperties> &list, const char *name) {
    for (const VkExtensionProperties &e : list)
        if (strcmp(e.extensionName, name) == 0) return true;
    return false;
}

bool has_layer(const char *name) {
    std::vector<VkLayerProperties> layers;
    vkc_enumerate(&layers, [](uint32_t *n, VkLayerProperties *p) { return vkEnumerateInstanceLayerProperties(n, p); });
    for (const VkLayerProperties &l : layers)
        if (strcmp(l.layerName, name) == 0) return true;
    return false;
}

// A fault armed for op through the test hooks (platform_test.h) makes this
// Vulkan call report a lost device, so that path can be tested.
VkResult injected(const char *op) { return FAILED(hook_enter(op)) ? VK_ERROR_DEVICE_LOST : VK_SUCCESS; }

VkDebugUtilsMessengerCreateInfoEXT messenger_info() {
    VkDebugUtilsMessengerCreateInfoEXT mi{VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT};
    mi.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
    mi.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                     VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
    mi.pfnUserCallback = debug_message;
    return mi;
}

int add_module_name(dl_phdr_info *info, size_t, void *names) {
    if (info->dlpi_name && info->dlpi_name[0]) ((std::vector<std::string> *)names)->emplace_back(info->dlpi_name);
    return 0;
}

std::vector<std::string> loaded_modules() {
    std::vector<std::string> names;
    dl_iterate_phdr(add_module_name, &names); // no dlopen inside: it holds the loader's lock
    return names;
}

// The loader unloads the driver with the last instance, and what the driver
// keeps in its globals (allocated once per load) is lost with it: a leak per
// device lifetime. Keep what instance creation loaded (the driver and its
// dependencies) resident; the host's own modules stay unloadable.
void pin_new_modules(const std::vector<std::string> &before) {
    for (const std::string &n : loaded_modules()) {
        bool known = false;
        for (const std::string &b : before) known = known || b == n;
        if (!known) dlopen(n.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
}

VkResult create_instance(VkcCore *c) {
    std::vector<std::string> before = loaded_modules(); // the enumerations below load drivers too
    bool validate = validation_wanted();
    std::vector<VkExtensionProperties> exts;
    VkResult r = vkc_enumerate(&exts, [](uint32_t *n, VkExtensionProperties *p) {
        return vkEnumerateInstanceExtensionProperties(nullptr, n, p);
    });
    if (r != VK_SUCCESS) return r;

    const char *enabled[4];
    uint32_t count = 0;
    if (has_name(exts, VK_KHR_SURFACE_EXTENSION_NAME) && has_name(exts, VK_KHR_XCB_SURFACE_EXTENSION_NAME)) {
        enabled[count++] = VK_KHR_SURFACE_EXTENSION_NAME;
        enabled[count++] = VK_KHR_XCB_SURFACE_EXTENSION_NAME;
        c->has_xcb = true;
    }
    const char *layer = "VK_LAYER_KHRONOS_validation";
    bool debug = validate && has_name(exts, VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
    if (debug) enabled[count++] = VK_EXT_DEBUG_UTILS_EXTENSION_NAME;
    bool layered = validate && has_layer(layer);

    VkApplicationInfo app{VK_STRUCTURE_TYPE_APPLICATION_INFO};
    app.pApplicationName = "halvenor";
    app.pEngineName = "halvenor";
    app.apiVersion = VK_API_VERSION_1_3;
    VkInstanceCreateInfo ci{VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO};
    VkDebugUtilsMessengerCreateInfoEXT mi = messenger_info();
    if (debug) ci.pNext = &mi; // also catches instance creation and teardown
    ci.pApplicationInfo = &app;
    ci.enabledExtensionCount = count;
    ci.ppEnabledExtensionNames = enabled;
    ci.enabledLayerCount = layered ? 1 : 0;
    ci.ppEnabledLayerNames = &layer;
    r = vkCreateInstance(&ci, nullptr, &c->instance);
    if (r != VK_SUCCESS) return r;
    pin_new_modules(before);
    if (debug) {
        auto create = (PFN_vkCreateDebugUtilsMessengerEXT)vkGetInstanceProcAddr(c->instance,
                                                                                "vkCreateDebugUtilsMessengerEXT");
        if (create) create(c->instance, &mi, nullptr, &c->messenger);
    }
    return VK_SUCCESS;
}

// CPU devices serve WARP/REFERENCE, anything else HARDWARE. Both need Vulkan
// 1.3 (dynamic rendering) and push descriptors.
VkResult pick_physical_device(VkcCore *c, VkcDeviceKind kind) {
    std::vector<VkPhysicalDevice> devs;
    VkResult r = vkc_enumerate(&devs, [c](uint32_t *n, VkPhysicalDevice *p) {
        return vkEnumeratePhysicalDevices(c->instance, n, p);
    });
    if (r != VK_SUCCESS) return r;
    for (VkPhysicalDevice pd : devs) {
        VkPhysicalDeviceProperties p;
        vkGetPhysicalDeviceProperties(pd, &p);
        bool cpu = p.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU;
        if (cpu != (kind == VKC_DEVICE_CPU) || p.apiVersion < VK_API_VERSION_1_3) continue;
        std::vector<VkExtensionProperties> exts;
        if (vkc_enumerate(&exts, [pd](uint32_t *n, VkExtensionProperties *p) {
                return vkEnumerateDeviceExtensionProperties(pd, nullptr, n, p);
            }) != VK_SUCCESS)
            continue;
        if (!has_name(exts, VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME)) continue;
        uint32_t nq = 0;
        vkGetPhysicalDeviceQueueFamilyProperties(pd, &nq, nullptr);
        std::vector<VkQueueFamilyProperties> qs(nq);
        vkGetPhysicalDeviceQueueFamilyProperties(pd, &nq, qs.data());
        for (uint32_t q = 0; q < nq; q++) {
            if (!(qs[q].queueFlags & VK_QUEUE_GRAPHICS_BIT)) continue;
            c->phys = pd;
            c->queue_family = q;
            c->has_swapchain = c->has_xcb && has_name(exts, VK_KHR_SWAPCHAIN_EXTENSION_NAME);
            c->robust_zero = has_name(exts, VK_EXT_ROBUSTNESS_2_EXTENSION_NAME);
            c->uniform_align = p.limits.minUniformBufferOffsetAlignment;
            vkGetPhysicalDeviceMemoryProperties(pd, &c->memprops);
            c->static_via_staging = vkc_mappable_vram_is_small(c->memprops);
            return VK_SUCCESS;
        }
    }
    return VK_ERROR_INCOMPATIBLE_DRIVER;
}

VkResult create_device(VkcCore *c) {
    float prio = 1.0f;
    VkDeviceQueueCreateInfo qi{VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO};
    qi.queueFamilyIndex = c->queue_family;
    qi.queueCount = 1;
    qi.pQueuePriorities = &prio;
    // Direct3D reads zero past the end of a vertex buffer. robustBufferAccess
    // keeps such reads inside the bound range; robustBufferAccess2 makes them
    // zero. Both where the device offers them.
    VkPhysicalDeviceRobustness2FeaturesEXT offered2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ROBUSTNESS_2_FEATURES_EXT};
    VkPhysicalDeviceFeatures2 offered{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2};
    if (c->robust_zero) offered.pNext = &offered2;
    vkGetPhysicalDeviceFeatures2(c->phys, &offered);
    c->robust_zero = c->robust_zero && offered.features.robustBufferAccess && offered2.robustBufferAccess2;

    const char *exts[3] = {VK_KHR_PUSH_DESCRIPTOR_EXTENSION_NAME};
    uint32_t nexts = 1;
    if (c->has_swapchain) exts[nexts++] = VK_KHR_SWAPCHAIN_EXTENSION_NAME;
    if (c->robust_zero) exts[nexts++] = VK_EXT_ROBUSTNESS_2_EXTENSION_NAME;
    VkPhysicalDeviceRobustness2FeaturesEXT robust2{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ROBUSTNESS_2_FEATURES_EXT};
    robust2.robustBufferAccess2 = VK_TRUE;
    VkPhysicalDeviceVulkan13Features f13{VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES};
    f13.dynamicRendering = VK_TRUE;
    if (c->robust_zero) f13.pNext = &robust2;
    VkPhysicalDeviceFeatures features{};
    features.robustBufferAccess = offered.features.robustBufferAccess;
    // Direct3D's DepthClipEnable = FALSE is Vulkan's depth clamp.
    features.depthClamp = offered.features.depthClamp;
    c->depth_clamp = offered.features.depthClamp;
    VkDeviceCreateInfo ci{VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO};
    ci.pNext = &f13;
    ci.queueCreateInfoCount = 1;
    ci.pQueueCreateInfos = &qi;
    ci.enabledExtensionCount = nexts;
    ci.ppEnabledExtensionNames = exts;
    ci.pEnabledFeatures = &features;
    VkResult r = vkCreateDevice(c->phys, &ci, nullptr, &c->dev);
    if (r != VK_SUCCESS) return r;
    vkGetDeviceQueue(c->dev, c->queue_family, 0, &c->queue);
    c->push_descriptors = (PFN_vkCmdPushDescriptorSetKHR)vkGetDeviceProcAddr(c->dev, "vkCmdPushDescriptorSetKHR");
    return c->push_descriptors ? VK_SUCCESS : VK_ERROR_INITIALIZATION_FAILED;
}

VkResult create_shared_objects(VkcCore *c) {
    VkCommandPoolCreateInfo pi{VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO};
    pi.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
    pi.queueFamilyIndex = c->queue_family;
    VkResult r = vkCreateCommandPool(c->dev, &pi, nullptr, &c->pool);
    if (r != VK_SUCCESS) return r;
    for (VkcFrame &f : c->frames) {
        VkCommandBufferAllocateInfo ai{VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO};
        ai.commandPool = c->pool;
        ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
        ai.commandBufferCount = 1;
        if ((r = vkAllocateCommandBuffers(c->dev, &ai, &f.cmd)) != VK_SUCCESS) return r;
        VkFenceCreateInfo fi{VK_STRUCTURE_TYPE_FENCE_CREATE_INFO};
        if ((r = vkCreateFence(c->dev, &fi, nullptr, &f.fence)) != VK_SUCCESS) return r;
    }

    // One layout for every pipeline: vertex-program b<i> at binding i,
    // pixel-program b<i> at binding SHADER_PS_CBUFFER_BINDING_BASE + i, pushed
    // per draw.
    VkDescriptorSetLayoutBinding b[VKC_UNIFORM_BINDINGS];
    for (uint32_t i = 0; i < VKC_UNIFORM_BINDINGS; i++) {
        b[i] = {};
        b[i].binding = i;
        b[i].descriptorType = VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER;
        b[i].descriptorCount = 1;
        b[i].stageFlags = i < SHADER_PS_CBUFFER_BINDING_BASE ? VK_SHADER_STAGE_VERTEX_BIT : VK_SHADER_STAGE_FRAGMENT_BIT;
    }
    VkDescriptorSetLayoutCreateInfo li{VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO};
    li.flags = VK_DESCRIPTOR_SET_LAYOUT_CREATE_PUSH_DESCRIPTOR_BIT_KHR;
    li.bindingCount = VKC_UNIFORM_BINDINGS;
    li.pBindings = b;
    if ((r = vkCreateDescriptorSetLayout(c->dev, &li, nullptr, &c->set_layout)) != VK_SUCCESS) return r;
    VkPipelineLayoutCreateInfo pli{VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO};
    pli.setLayoutCount = 1;
    pli.pSetLayouts = &c->set_layout;
    if ((r = vkCreatePipelineLayout(c->dev, &pli, nullptr, &c->pipeline_layout)) != VK_SUCCESS) return r;

    r = vkc_buffer_create(c, VKC_ZERO_BYTES, VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT | VK_BUFFER_USAGE_VERTEX_BUFFER_BIT,
                          VKC_MEMORY_UPLOAD, &c->zero);
    if (r == VK_SUCCESS) memset(c->zero.map, 0, VKC_ZERO_BYTES);
    return r;
}

uint32_t memory_type(const VkcCore *c, uint32_t bits, VkMemoryPropertyFlags need, VkMemoryPropertyFlags want) {
    for (int pass = 0; pass < 2; pass++) {
        VkMemoryPropertyFlags flags = pass == 0 ? need | want : need;
        for (uint32_t i = 0; i < c->memprops.memoryTypeCount; i++)
            if ((bits & (1u << i)) && (c->memprops.memoryTypes[i].propertyFlags & flags) == flags) return i;
    }
    return UINT32_MAX;
}

void destroy_garbage(VkcCore *c, const VkcGarbage &g) {
    if (g.view) vkDestroyImageView(c->dev, g.view, nullptr);
    if (g.img) vkDestroyImage(c->dev, g.img, nullptr);
    if (g.buf) vkDestroyBuffer(c->dev, g.buf, nullptr);
    if (g.module) vkDestroyShaderModule(c->dev, g.module, nullptr);
    if (g.mem) vkFreeMemory(c->dev, g.mem, nullptr);
}

// Destroy now when no work can reference the handles, else once the
// recording submission has finished.
void retire(VkcCore *c, const VkcGarbage &g) {
    bool idle = !c->recording && c->completed_seq + 1 == c->next_seq;
    if (idle) destroy_garbage(c, g);
    else c->garbage.push_back(g);
}

// Waits for a frame's submission. A lost device is no completion: the
// caller gets the failure and the frame stays unfinished.
VkResult frame_retire(VkcCore *c, VkcFrame &f) {
    if (!f.seq) return VK_SUCCESS;
    if (c->lost) return VK_ERROR_DEVICE_LOST;
    hook_count("FenceWait");
    VkResult r = injected("vkWaitForFences");
    if (r == VK_SUCCESS) r = vkWaitForFences(c->dev, 1, &f.fence, VK_TRUE, UINT64_MAX);
    if (r == VK_SUCCESS) r = vkResetFences(c->dev, 1, &f.fence);
    if (r != VK_SUCCESS) return vkc_lose(c, r);
    if (f.seq > c->completed_seq) c->completed_seq = f.seq;
    f.seq = 0;
    return VK_SUCCESS;
}

void collect_garbage(VkcCore *c) {
    size_t keep = 0;
    for (size_t i = 0; i < c->garbage.size(); i++) {
        if (c->garbage[i].seq <= c->completed_seq) destroy_garbage(c, c->garbage[i]);
        else c->garbage[keep++] = c->garbage[i];
    }
    c->garbage.resize(keep);
}

// A buffer of bytes over memory at offset; null (the caller keeps the whole
// chunk) when the memory does not suit it.
VkBuffer exact_buffer(VkcCore *c, VkDeviceMemory mem, VkDeviceSize offset, VkDeviceSize bytes,
                      VkBufferUsageFlags usage) {
    VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    bi.size = bytes;
    bi.usage = usage | VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT;
    VkBuffer b = VK_NULL_HANDLE;
    if (vkCreateBuffer(c->dev, &bi, nullptr, &b) != VK_SUCCESS) return VK_NULL_HANDLE;
    VkMemoryRequirements req;
    vkGetBufferMemoryRequirements(c->dev, b, &req);
    if (offset % req.alignment != 0 || vkBindBufferMemory(c->dev, b, mem, offset) != VK_SUCCESS) {
        vkDestroyBuffer(c->dev, b, nullptr);
        return VK_NULL_HANDLE;
    }
    return b;
}

VkResult ring_grow(VkcCore *c, VkcRing *r, uint32_t n, uint32_t at) {
    VkcBuffer chunk;
    VkResult res = vkc_buffer_create(c, r->slice_size * n, r->usage, r->use, &chunk);
    if (res != VK_SUCCESS) return res;
    r->chunks.push_back(chunk);
    std::vector<VkcSlice> fresh(n);
    for (uint32_t i = 0; i < n; i++) {
        fresh[i] = {chunk.buf, r->slice_size * i, chunk.map ? chunk.map + r->slice_size * i : nullptr, 0};
        VkBuffer exact = c->robust_zero && (r->usage & VK_BUFFER_USAGE_VERTEX_BUFFER_BIT)
                             ? exact_buffer(c, chunk.mem, r->slice_size * i, r->bytes, r->usage)
                             : VK_NULL_HANDLE;
        if (exact) {
            r->exact.push_back(exact);
            fresh[i].buf = exact;
            fresh[i].offset = 0;
        }
    }
    r->slices.insert(r->slices.begin() + at, fresh.begin(), fresh.end());
    return VK_SUCCESS;
}

// Records the pending copy, if any, before either image is used.
void record_later_copy(VkcCore *c) {
    VkcImage *src = c->later_src, *dst = c->later_dst;
    if (!dst) return;
    c->later_src = c->later_dst = nullptr;
    vkc_copy_image(c, src, dst);
    vkc_memory_barrier(c);
}

} // namespace

VkResult vkc_init(VkcCore *c, VkcDeviceKind kind) {
    if (!vkl_load()) return VK_ERROR_INITIALIZATION_FAILED; // no Vulkan loader on this machine
    VkResult r = create_instance(c);
    if (r == VK_SUCCESS) r = pick_physical_device(c, kind);
    if (r == VK_SUCCESS) r = create_device(c);
    if (r == VK_SUCCESS) r = create_shared_objects(c);
    if (r != VK_SUCCESS) vkc_shutdown(c);
    return r;
}

void vkc_shutdown(VkcCore *c) {
    if (c->dev) {
        vkDeviceWaitIdle(c->dev);
        for (VkcFrame &f : c->frames) {
            if (f.fence) vkDestroyFence(c->dev, f.fence, nullptr);
            f = VkcFrame{};
        }
        c->recording = false;
        for (const VkcGarbage &g : c->garbage) destroy_garbage(c, g);
        c->garbage.clear();
        for (auto &p : c->pipelines) vkDestroyPipeline(c->dev, p.second, nullptr);
        c->pipelines.clear();
        if (c->zero.buf) destroy_garbage(c, {0, c->zero.buf, VK_NULL_HANDLE, VK_NULL_HANDLE, c->zero.mem, VK_NULL_HANDLE});
        c->zero = VkcBuffer{};
        if (c->pipeline_layout) vkDestroyPipelineLayout(c->dev, c->pipeline_layout, nullptr);
        if (c->set_layout) vkDestroyDescriptorSetLayout(c->dev, c->set_layout, nullptr);
        if (c->pool) vkDestroyCommandPool(c->dev, c->pool, nullptr);
        vkDestroyDevice(c->dev, nullptr);
    }
    if (c->messenger) {
        auto destroy = (PFN_vkDestroyDebugUtilsMessengerEXT)vkGetInstanceProcAddr(c->instance,
                                                                                  "vkDestroyDebugUtilsMessengerEXT");
        if (destroy) destroy(c->instance, c->messenger, nullptr);
    }
    if (c->instance) vkDestroyInstance(c->instance, nullptr);
    *c = VkcCore{};
}

VkResult vkc_buffer_create(VkcCore *c, VkDeviceSize size, VkBufferUsageFlags usage, VkcMemoryUse use,
                           VkcBuffer *out) {
    *out = VkcBuffer{};
    VkBufferCreateInfo bi{VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO};
    bi.size = size;
    bi.usage = usage | VK_BUFFER_USAGE_TRANSFER_SRC_BIT | VK_BUFFER_USAGE_TRANSFER_DST_BIT;
    VkResult r = vkCreateBuffer(c->dev, &bi, nullptr, &out->buf);
    if (r != VK_SUCCESS) return r;
    VkMemoryRequirements req;
    vkGetBufferMemoryRequirements(c->dev, out->buf, &req);
    const VkcMemoryPlan plan = vkc_memory_plan(c->memprops, req.memoryTypeBits, use);
    r = VK_ERROR_OUT_OF_DEVICE_MEMORY;
    uint32_t type = 0;
    for (uint32_t i = 0; i < plan.count && r != VK_SUCCESS; i++) {
        VkMemoryAllocateInfo ai{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
        ai.allocationSize = req.size;
        ai.memoryTypeIndex = type = plan.types[i];
        hook_count("AllocateMemory");
        r = vkAllocateMemory(c->dev, &ai, nullptr, &out->mem);
        if (r != VK_ERROR_OUT_OF_DEVICE_MEMORY && r != VK_ERROR_OUT_OF_HOST_MEMORY) break; // no use trying on
    }
    if (r == VK_SUCCESS) r = vkBindBufferMemory(c->dev, out->buf, out->mem, 0);
    const bool mappable = (c->memprops.memoryTypes[type].propertyFlags & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT) &&
                          !(use == VKC_MEMORY_STATIC && c->static_via_staging);
    void *p = nullptr;
    if (r == VK_SUCCESS && mappable) r = vkMapMemory(c->dev, out->mem, 0, VK_WHOLE_SIZE, 0, &p);
    if (r != VK_SUCCESS) {
        destroy_garbage(c, {0, out->buf, VK_NULL_HANDLE, VK_NULL_HANDLE, out->mem, VK_NULL_HANDLE});
        *out = VkcBuffer{};
        return r;
    }
    out->map = (uint8_t *)p;
    out->size = size;
    return VK_SUCCESS;
}

VkResult vkc_buffer_upload(VkcCore *c, VkBuffer dst, VkDeviceSize offset, const void *data, VkDeviceSize size) {
    VkcBuffer tmp;
    VkResult r = vkc_buffer_create(c, size, 0, VKC_MEMORY_UPLOAD, &tmp);
    if (r != VK_SUCCESS) return r;
    if (data) memcpy(tmp.map, data, size);
    else memset(tmp.map, 0, size);
    vkc_end_rendering(c);
    VkCommandBuffer cmd = vkc_cmd(c);
    if (!c->lost) {
        VkBufferCopy region = {0, offset, size};
        vkCmdCopyBuffer(cmd, tmp.buf, dst, 1, &region);
    }
    vkc_buffer_destroy(c, &tmp); // freed once the copy has run
    vkc_memory_barrier(c);
    return c->lost ? VK_ERROR_DEVICE_LOST : VK_SUCCESS;
}

void vkc_buffer_destroy(VkcCore *c, VkcBuffer *b) {
    if (b->buf) retire(c, {c->next_seq, b->buf, VK_NULL_HANDLE, VK_NULL_HANDLE, b->mem, VK_NULL_HANDLE});
    *b = VkcBuffer{};
}

VkResult vkc_image_create(VkcCore *c, uint32_t w, uint32_t h, VkFormat format, VkImageUsageFlags usage,
                          VkcImage *out) {
    *out = VkcImage{};
    const VkImageAspectFlags aspect = format == VK_FORMAT_D32_SFLOAT ? VK_IMAGE_ASPECT_DEPTH_BIT : VK_IMAGE_ASPECT_COLOR_BIT;
    VkImageCreateInfo ii{VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO};
    ii.imageType = VK_IMAGE_TYPE_2D;
    ii.format = format;
    ii.extent = {w, h, 1};
    ii.mipLevels = 1;
    ii.arrayLayers = 1;
    ii.samples = VK_SAMPLE_COUNT_1_BIT;
    ii.tiling = VK_IMAGE_TILING_OPTIMAL;
    ii.usage = usage;
    ii.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    VkResult r = vkCreateImage(c->dev, &ii, nullptr, &out->img);
    if (r != VK_SUCCESS) return r;
    VkMemoryRequirements req;
    vkGetImageMemoryRequirements(c->dev, out->img, &req);
    uint32_t type = memory_type(c, req.memoryTypeBits, 0, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
    VkMemoryAllocateInfo ai{VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO};
    ai.allocationSize = req.size;
    ai.memoryTypeIndex = type;
    hook_count("AllocateMemory");
    r = type == UINT32_MAX ? VK_ERROR_OUT_OF_DEVICE_MEMORY : vkAllocateMemory(c->dev, &ai, nullptr, &out->mem);
    if (r == VK_SUCCESS) r = vkBindImageMemory(c->dev, out->img, out->mem, 0);
    if (r == VK_SUCCESS) {
        VkImageViewCreateInfo vi{VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO};
        vi.image = out->img;
        vi.viewType = VK_IMAGE_VIEW_TYPE_2D;
        vi.format = format;
        vi.subresourceRange = {aspect, 0, 1, 0, 1};
        r = vkCreateImageView(c->dev, &vi, nullptr, &out->view);
    }
    if (r != VK_SUCCESS) {
        destroy_garbage(c, {0, VK_NULL_HANDLE, out->img, out->view, out->mem, VK_NULL_HANDLE});
        *out = VkcImage{};
        return r;
    }
    out->format = format;
    out->aspect = aspect;
    out->width = w;
    out->height = h;
    return VK_SUCCESS;
}

void vkc_image_destroy(VkcCore *c, VkcImage *img) {
    if (c->rendering == img || c->rendering_depth == img) vkc_end_rendering(c);
    if (c->later_dst == img) c->later_src = c->later_dst = nullptr; // nobody can see it any more
    if (c->later_src == img) record_later_copy(c);
    if (img->img) retire(c, {c->next_seq, VK_NULL_HANDLE, img->img, img->view, img->mem, VK_NULL_HANDLE});
    *img = VkcImage{};
}

VkResult vkc_shader_create(VkcCore *c, const uint32_t *words, size_t count, VkShaderModule *out) {
    VkShaderModuleCreateInfo si{VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO};
    si.codeSize = count * 4;
    si.pCode = words;
    return vkCreateShaderModule(c->dev, &si, nullptr, out);
}

void vkc_shader_destroy(VkcCore *c, VkShaderModule m) {
    if (m) retire(c, {c->next_seq, VK_NULL_HANDLE, VK_NULL_HANDLE, VK_NULL_HANDLE, VK_NULL_HANDLE, m});
}

VkResult vkc_ring_init(VkcCore *c, VkcRing *r, VkDeviceSize bytes, VkBufferUsageFlags usage, VkcMemoryUse use) {
    VkDeviceSize align = c->uniform_align > 256 ? c->uniform_align : 256;
    r->slice_size = (bytes + align - 1) / align * align;
    r->bytes = bytes;
    r->usage = usage;
    r->use = use;
    r->cur = 0;
    return ring_grow(c, r, 1, 0);
}

void vkc_ring_destroy(VkcCore *c, VkcRing *r) {
    for (VkBuffer b : r->exact) retire(c, {c->next_seq, b, VK_NULL_HANDLE, VK_NULL_HANDLE, VK_NULL_HANDLE, VK_NULL_HANDLE});
    r->exact.clear();
    for (VkcBuffer &b : r->chunks) vkc_buffer_destroy(c, &b);
    r->chunks.clear();
    r->slices.clear();
}

VkResult vkc_ring_discard(VkcCore *c, VkcRing *r) {
    enum { MAX_SLICES = 1024, MAX_BYTES = 64 << 20 };
    uint32_t next = (r->cur + 1) % r->slices.size();
    if (r->slices[next].seq > c->completed_seq) vkc_poll(c);
    if (r->slices[next].seq > c->completed_seq) {
        uint32_t n = (uint32_t)r->slices.size();
        if (n < MAX_SLICES && r->slice_size * n * 2 <= MAX_BYTES) {
            // Every slice is in flight: add as many again, right after the current one.
            VkResult res = ring_grow(c, r, n, r->cur + 1);
            if (res != VK_SUCCESS) return res;
            next = r->cur + 1;
        } else {
            VkResult res = vkc_wait(c, r->slices[next].seq);
            if (res != VK_SUCCESS) return res;
        }
    }
    r->cur = next;
    return VK_SUCCESS;
}

VkResult vkc_lose(VkcCore *c, VkResult r) {
    c->lost = true;
    return r;
}

VkCommandBuffer vkc_cmd(VkcCore *c) {
    VkcFrame &f = c->frames[c->frame];
    if (!c->recording && !c->lost) {
        VkResult r = injected("vkBeginCommandBuffer");
        if (r == VK_SUCCESS) r = vkResetCommandBuffer(f.cmd, 0);
        VkCommandBufferBeginInfo bi{VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO};
        bi.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
        if (r == VK_SUCCESS) r = vkBeginCommandBuffer(f.cmd, &bi);
        // Without a recording buffer no command can be kept: the device is
        // as good as removed (the recorders check lost before recording).
        if (r != VK_SUCCESS) vkc_lose(c, r);
        else c->recording = true;
        c->commands = 0;
    }
    c->commands++;
    return f.cmd;
}

VkResult vkc_submit(VkcCore *c, VkSemaphore wait, VkPipelineStageFlags wait_stage, VkSemaphore signal) {
    vkc_end_rendering(c);
    if (c->lost) return VK_ERROR_DEVICE_LOST;
    if (!c->recording && !wait && !signal) return VK_SUCCESS;
    VkcFrame &f = c->frames[c->frame];
    VkCommandBuffer cmd = vkc_cmd(c);
    if (c->lost) return VK_ERROR_DEVICE_LOST;
    VkResult r = vkEndCommandBuffer(cmd);
    c->recording = false;
    c->commands = 0;
    c->bound_pipeline = VK_NULL_HANDLE;
    if (r != VK_SUCCESS) return vkc_lose(c, r); // the recorded work is gone
    VkSubmitInfo si{VK_STRUCTURE_TYPE_SUBMIT_INFO};
    si.waitSemaphoreCount = wait ? 1 : 0;
    si.pWaitSemaphores = &wait;
    si.pWaitDstStageMask = &wait_stage;
    si.commandBufferCount = 1;
    si.pCommandBuffers = &cmd;
    si.signalSemaphoreCount = signal ? 1 : 0;
    si.pSignalSemaphores = &signal;
    hook_count("QueueSubmit");
    r = injected("vkQueueSubmit");
    if (r == VK_SUCCESS) r = vkQueueSubmit(c->queue, 1, &si, f.fence);
    if (r != VK_SUCCESS) return vkc_lose(c, r); // work the application counts on never ran
    f.seq = c->next_seq++;
    // Pacing: the next buffer to record into carries the submission
    // VKC_FRAMES_IN_FLIGHT back; waiting for it is the only wait a frame makes.
    c->frame = (c->frame + 1) % VKC_FRAMES;
    r = frame_retire(c, c->frames[c->frame]); // the next buffer to record into must be idle
    if (r != VK_SUCCESS) return r;
    vkc_poll(c);
    return c->lost ? VK_ERROR_DEVICE_LOST : VK_SUCCESS;
}

VkResult vkc_wait(VkcCore *c, uint64_t seq) {
    if (seq <= c->completed_seq) return VK_SUCCESS;
    if (seq >= c->next_seq) {
        VkResult r = vkc_submit(c, VK_NULL_HANDLE, 0, VK_NULL_HANDLE);
        if (r != VK_SUCCESS) return r;
    }
    for (VkcFrame &f : c->frames) {
        if (!f.seq || f.seq > seq) continue;
        VkResult r = frame_retire(c, f);
        if (r != VK_SUCCESS) return r;
    }
    if (c->completed_seq < seq && seq < c->next_seq) c->completed_seq = seq;
    collect_garbage(c);
    return VK_SUCCESS;
}

VkResult vkc_finish(VkcCore *c) {
    VkResult r = vkc_submit(c, VK_NULL_HANDLE, 0, VK_NULL_HANDLE);
    if (r != VK_SUCCESS) return r;
    return vkc_wait(c, c->next_seq - 1);
}

void vkc_poll(VkcCore *c) {
    if (c->lost) return;
    for (VkcFrame &f : c->frames) {
        if (!f.seq) continue;
        VkResult r = vkGetFenceStatus(c->dev, f.fence);
        if (r == VK_SUCCESS) r = frame_retire(c, f);
        if (r != VK_SUCCESS && r != VK_NOT_READY) {
            vkc_lose(c, r);
            return;
        }
    }
    collect_garbage(c);
}

void vkc_image_barrier(VkCommandBuffer cmd, VkImage img, VkImageLayout from, VkImageLayout to,
                       VkImageAspectFlags aspect) {
    VkImageMemoryBarrier b{VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER};
    b.srcAccessMask = VK_ACCESS_MEMORY_WRITE_BIT;
    b.dstAccessMask = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT;
    b.oldLayout = from;
    b.newLayout = to;
    b.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    b.image = img;
    b.subresourceRange = {aspect, 0, 1, 0, 1};
    vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT, 0, 0, nullptr,
                         0, nullptr, 1, &b);
}

void vkc_image_use(VkcCore *c, VkcImage *img, VkImageLayout layout) {
    if (img == c->later_src || img == c->later_dst) record_later_copy(c);
    vkc_end_rendering(c);
    VkCommandBuffer cmd = vkc_cmd(c);
    if (c->lost) return;
    vkc_image_barrier(cmd, img->img, img->layout, layout, img->aspect);
    img->layout = layout;
}

void vkc_memory_barrier(VkcCore *c) {
    vkc_end_rendering(c);
    VkCommandBuffer cmd = vkc_cmd(c);
    if (c->lost) return;
    VkMemoryBarrier b{VK_STRUCTURE_TYPE_MEMORY_BARRIER};
    b.srcAccessMask = VK_ACCESS_MEMORY_WRITE_BIT;
    b.dstAccessMask = VK_ACCESS_MEMORY_READ_BIT | VK_ACCESS_MEMORY_WRITE_BIT | VK_ACCESS_HOST_READ_BIT;
    vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ALL_COMMANDS_BIT,
                         VK_PIPELINE_STAGE_ALL_COMMANDS_BIT | VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &b, 0, nullptr, 0,
                         nullptr);
}

static VkRenderingAttachmentInfo attachment(VkcImage *img, VkImageLayout layout) {
    VkRenderingAttachmentInfo att{VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO};
    att.imageView = img->view;
    att.imageLayout = layout;
    att.loadOp = VK_ATTACHMENT_LOAD_OP_LOAD;
    att.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
    return att;
}

void vkc_begin_rendering(VkcCore *c, VkcImage *target, VkcImage *depth) {
    if (c->rendering == target && c->rendering_depth == depth) return;
    vkc_end_rendering(c);
    if (c->lost) return;
    vkc_image_use(c, target, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
    if (depth) vkc_image_use(c, depth, VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL);
    VkRenderingAttachmentInfo color = attachment(target, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
    VkRenderingAttachmentInfo depth_att{};
    VkRenderingInfo ri{VK_STRUCTURE_TYPE_RENDERING_INFO};
    ri.renderArea = {{0, 0}, {target->width, target->height}};
    ri.layerCount = 1;
    ri.colorAttachmentCount = 1;
    ri.pColorAttachments = &color;
    if (depth) {
        depth_att = attachment(depth, VK_IMAGE_LAYOUT_DEPTH_ATTACHMENT_OPTIMAL);
        ri.pDepthAttachment = &depth_att;
    }
    VkCommandBuffer cmd = vkc_cmd(c);
    if (c->lost) return;
    vkCmdBeginRendering(cmd, &ri);
    c->rendering = target;
    c->rendering_depth = depth;
    c->bound_pipeline = VK_NULL_HANDLE;
}

void vkc_end_rendering(VkcCore *c) {
    if (!c->rendering) return;
    VkCommandBuffer cmd = vkc_cmd(c);
    if (!c->lost) vkCmdEndRendering(cmd);
    c->rendering = nullptr;
    c->rendering_depth = nullptr;
}

void vkc_copy_image(VkcCore *c, VkcImage *src, VkcImage *dst) {
    vkc_image_use(c, src, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL);
    vkc_image_use(c, dst, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
    VkImageCopy region{};
    region.srcSubresource = region.dstSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.extent = {dst->width, dst->height, 1};
    hook_count("CopyImage");
    VkCommandBuffer cmd = vkc_cmd(c);
    if (c->lost) return;
    vkCmdCopyImage(cmd, src->img, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, dst->img,
                   VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
}

void vkc_copy_image_later(VkcCore *c, VkcImage *src, VkcImage *dst) {
    record_later_copy(c);
    c->later_src = src;
    c->later_dst = dst;
}

VkcImage *vkc_take_later_copy(VkcCore *c, VkcImage *dst) {
    if (!dst || c->later_dst != dst) return nullptr;
    VkcImage *src = c->later_src;
    c->later_src = c->later_dst = nullptr;
    return src;
}

VkFormat vkc_format_from_dxgi(uint32_t f) {
    switch (f) {
    case 2: return VK_FORMAT_R32G32B32A32_SFLOAT;
    case 3: return VK_FORMAT_R32G32B32A32_UINT;
    case 6: return VK_FORMAT_R32G32B32_SFLOAT;
    case 7: return VK_FORMAT_R32G32B32_UINT;
    case 10: return VK_FORMAT_R16G16B16A16_SFLOAT;
    case 16: return VK_FORMAT_R32G32_SFLOAT;
    case 17: return VK_FORMAT_R32G32_UINT;
    case 28: return VK_FORMAT_R8G8B8A8_UNORM;
    case 29: return VK_FORMAT_R8G8B8A8_SRGB;
    case 30: return VK_FORMAT_R8G8B8A8_UINT;
    case 34: return VK_FORMAT_R16G16_SFLOAT;
    case 40: return VK_FORMAT_D32_SFLOAT;
    case 41: return VK_FORMAT_R32_SFLOAT;
    case 42: return VK_FORMAT_R32_UINT;
    case 87: return VK_FORMAT_B8G8R8A8_UNORM;
    default: return VK_FORMAT_UNDEFINED;
    }
}
