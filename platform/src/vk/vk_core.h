// Vulkan execution core behind the Direct3D 11 front: device selection,
// memory, buffer rings, images and barriers, command submission, pipelines.
// Knows nothing about COM; the front end owns the objects and state.
#pragma once
#include "common/shader_blob.h"
#include "vk/vk_loader.h"
#include "vk/vk_memory.h"

#include <stdint.h>
#include <unordered_map>
#include <vector>

enum VkcDeviceKind { VKC_DEVICE_CPU, VKC_DEVICE_GPU };

struct VkcBuffer {
    VkBuffer buf = VK_NULL_HANDLE;
    VkDeviceMemory mem = VK_NULL_HANDLE;
    uint8_t *map = nullptr; // persistently mapped; null for static data filled by vkc_buffer_upload
    VkDeviceSize size = 0;
};

struct VkcImage {
    VkImage img = VK_NULL_HANDLE;
    VkDeviceMemory mem = VK_NULL_HANDLE;
    VkImageView view = VK_NULL_HANDLE;
    VkFormat format = VK_FORMAT_UNDEFINED;
    VkImageAspectFlags aspect = VK_IMAGE_ASPECT_COLOR_BIT; // depth for depth formats
    uint32_t width = 0, height = 0;
    VkImageLayout layout = VK_IMAGE_LAYOUT_UNDEFINED; // as of the end of recorded work
};

// One renamable piece of a dynamic buffer; seq is the last submission that read it.
struct VkcSlice {
    VkBuffer buf;
    VkDeviceSize offset;
    uint8_t *map;
    uint64_t seq;
};

// Dynamic buffer renamed on every discard map: draws already recorded keep the
// slice they saw. Grows while every slice is in flight, up to a cap; past it
// the oldest slice is waited for. Submissions are paced, so a ring settles at
// what VKC_FRAMES slices' worth of frames upload and stops growing.
struct VkcRing {
    std::vector<VkcBuffer> chunks;
    std::vector<VkcSlice> slices;
    // Vertex rings: one buffer per slice over the chunk's memory, exactly as
    // long as the Direct3D buffer, so robust fetches past its end read zero
    // rather than the rest of the slice.
    std::vector<VkBuffer> exact;
    uint32_t cur = 0;
    VkDeviceSize bytes = 0; // the Direct3D buffer's size
    VkDeviceSize slice_size = 0;
    VkBufferUsageFlags usage = 0;
    VkcMemoryUse use = VKC_MEMORY_UPLOAD;
};

// What tells graphics pipelines apart, filled per draw from values the front
// resolved when its state objects were created: program and layout ids, the
// fixed-function state packed as it is, and the strides of the slots the
// layout reads (0 elsewhere). Plain words with no padding, so hashing and
// comparing it are a few word operations.
struct VkcPipelineKey {
    uint64_t vs_id, ps_id, layout_id;
    uint64_t blend;    // the ExecBlend bytes
    uint32_t raster;   // fill | cull << 8 | front_ccw << 16 | depth clamped (clip off) << 24
    uint32_t topology; // VkPrimitiveTopology
    uint32_t color_format, depth_format; // VkFormat; VK_FORMAT_UNDEFINED without depth
    uint32_t depth;    // test | write << 1 | VkCompareOp << 2; 0 when the test is off
    uint32_t pad;
    uint32_t strides[32]; // per vertex-buffer slot: Direct3D 11 has 32
};
static_assert(sizeof(VkcPipelineKey) % 8 == 0, "the hash reads whole words");

// Everything a pipeline is built from, made only when the key is new.
struct VkcPipelineDesc {
    VkShaderModule vs, ps;
    const char *vs_entry, *ps_entry;
    VkPrimitiveTopology topology;
    VkFormat color_format, depth_format;
    VkPipelineColorBlendAttachmentState blend;
    VkCullModeFlags cull;
    VkFrontFace front;
    VkPolygonMode fill;
    bool depth_clamp; // depth clip off: no near and far planes, depth clamped to the viewport's range
    bool depth_test, depth_write;
    VkCompareOp depth_compare;
    uint32_t nattrs, nbindings;
    VkVertexInputAttributeDescription attrs[16];
    VkVertexInputBindingDescription bindings[16];
};

struct VkcKeyHash {
    size_t operator()(const VkcPipelineKey &k) const;
};
struct VkcKeyEq {
    bool operator()(const VkcPipelineKey &a, const VkcPipelineKey &b) const;
};

// Submissions the device may hold unfinished. Each frame submits at its end
// without waiting, so the device works while the host prepares the next one;
// the frame after that waits for the one this many back. One more command
// buffer is the one being recorded.
enum { VKC_FRAMES_IN_FLIGHT = 2, VKC_FRAMES = VKC_FRAMES_IN_FLIGHT + 1 };
// Both stages' constant-buffer bindings (see shader_blob.h).
enum { VKC_UNIFORM_BINDINGS = 2 * SHADER_PS_CBUFFER_BINDING_BASE, VKC_ZERO_BYTES = 65536 };

struct VkcFrame {
    VkCommandBuffer cmd = VK_NULL_HANDLE;
    VkFence fence = VK_NULL_HANDLE;
    uint64_t seq = 0; // submission this frame carries; 0 when idle
};

struct VkcGarbage {
    uint64_t seq;
    VkBuffer buf;
    VkImage img;
    VkImageView view;
    VkDeviceMemory mem;
    VkShaderModule module;
};

struct VkcCore {
    VkInstance instance = VK_NULL_HANDLE;
    VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
    VkPhysicalDevice phys = VK_NULL_HANDLE;
    VkDevice dev = VK_NULL_HANDLE;
    VkQueue queue = VK_NULL_HANDLE;
    uint32_t queue_family = 0;
    VkPhysicalDeviceMemoryProperties memprops{};
    bool static_via_staging = false; // static buffers unmapped, filled by staging copies (vkc_mappable_vram_is_small)
    VkDeviceSize uniform_align = 256;
    bool has_xcb = false, has_swapchain = false;
    bool robust_zero = false; // out-of-range vertex fetches read zero (robustBufferAccess2)
    bool depth_clamp = false; // the depthClamp feature, which turning depth clipping off needs
    // A lost device, or one that failed to record or submit work it was
    // given: every later use fails as a removed device, nothing is recorded.
    bool lost = false;
    PFN_vkCmdPushDescriptorSetKHR push_descriptors = nullptr;

    VkCommandPool pool = VK_NULL_HANDLE;
    VkcFrame frames[VKC_FRAMES];
    uint32_t frame = 0;         // index of the recording frame
    bool recording = false;     // frames[frame].cmd has begun
    uint32_t commands = 0;      // commands in the recording buffer
    uint64_t next_seq = 1;      // seq of the recording submission
    uint64_t completed_seq = 0; // every submission <= this has finished
    std::vector<VkcGarbage> garbage;

    VkcImage *rendering = nullptr;       // target of the open dynamic-rendering pass
    VkcImage *rendering_depth = nullptr; // its depth attachment, or null
    // A whole-image copy not recorded yet (see vkc_copy_image_later).
    VkcImage *later_src = nullptr, *later_dst = nullptr;
    VkPipeline bound_pipeline = VK_NULL_HANDLE;

    VkDescriptorSetLayout set_layout = VK_NULL_HANDLE;
    VkPipelineLayout pipeline_layout = VK_NULL_HANDLE;
    VkcBuffer zero; // unbound constant and vertex buffers read from here
    std::unordered_map<VkcPipelineKey, VkPipeline, VkcKeyHash, VkcKeyEq> pipelines;
};

// Submitting the recording buffer once it holds this many commands keeps a
// host that never reads back from accumulating unbounded work.
enum { VKC_AUTO_SUBMIT_COMMANDS = 4096 };

// Both calls of a Vulkan enumeration, checked, asking again while the list
// grows between them (VK_INCOMPLETE). call(count, data) forwards to the function.
template <typename T, typename Call> VkResult vkc_enumerate(std::vector<T> *out, Call call) {
    for (;;) {
        uint32_t n = 0;
        VkResult r = call(&n, nullptr);
        if (r != VK_SUCCESS) return r;
        out->resize(n);
        r = call(&n, out->data());
        if (r == VK_INCOMPLETE) continue;
        out->resize(r == VK_SUCCESS ? n : 0);
        return r;
    }
}

// Marks the device removed (see VkcCore::lost) and passes r on.
VkResult vkc_lose(VkcCore *c, VkResult r);

VkResult vkc_init(VkcCore *c, VkcDeviceKind kind);
void vkc_shutdown(VkcCore *c);

// Allocation failures fall back along vkc_memory_plan; only when every
// candidate fails does the call fail (VK_ERROR_OUT_OF_*_MEMORY).
VkResult vkc_buffer_create(VkcCore *c, VkDeviceSize size, VkBufferUsageFlags usage, VkcMemoryUse use,
                           VkcBuffer *out);
// Fills size bytes of dst at offset with data (zeros when null) through a
// staging buffer and a recorded copy; later work sees the result.
VkResult vkc_buffer_upload(VkcCore *c, VkBuffer dst, VkDeviceSize offset, const void *data, VkDeviceSize size);
void vkc_buffer_destroy(VkcCore *c, VkcBuffer *b);
VkResult vkc_image_create(VkcCore *c, uint32_t w, uint32_t h, VkFormat format, VkImageUsageFlags usage,
                          VkcImage *out);
void vkc_image_destroy(VkcCore *c, VkcImage *img);
VkResult vkc_shader_create(VkcCore *c, const uint32_t *words, size_t count, VkShaderModule *out);
void vkc_shader_destroy(VkcCore *c, VkShaderModule m);

VkResult vkc_ring_init(VkcCore *c, VkcRing *r, VkDeviceSize bytes, VkBufferUsageFlags usage, VkcMemoryUse use);
void vkc_ring_destroy(VkcCore *c, VkcRing *r);
// Rename: make a slice no submitted or recorded work reads current.
VkResult vkc_ring_discard(VkcCore *c, VkcRing *r);
inline VkcSlice *vkc_ring_current(VkcRing *r) { return &r->slices[r->cur]; }
// The recording submission reads the current slice.
inline void vkc_ring_use(VkcCore *c, VkcRing *r) { r->slices[r->cur].seq = c->next_seq; }

// The recording command buffer, begun on demand; counts one command.
VkCommandBuffer vkc_cmd(VkcCore *c);
VkResult vkc_submit(VkcCore *c, VkSemaphore wait, VkPipelineStageFlags wait_stage, VkSemaphore signal);
// Wait until submission seq has finished (submitting it first if it is the recording one).
VkResult vkc_wait(VkcCore *c, uint64_t seq);
VkResult vkc_finish(VkcCore *c); // submit and wait for everything
void vkc_poll(VkcCore *c);

// Layout transition with a full execution and memory dependency on prior work.
void vkc_image_use(VkcCore *c, VkcImage *img, VkImageLayout layout);
void vkc_image_barrier(VkCommandBuffer cmd, VkImage img, VkImageLayout from, VkImageLayout to,
                       VkImageAspectFlags aspect = VK_IMAGE_ASPECT_COLOR_BIT);
void vkc_memory_barrier(VkcCore *c);
// Opens a pass on target, with depth as its depth attachment when not null.
void vkc_begin_rendering(VkcCore *c, VkcImage *target, VkcImage *depth);
void vkc_end_rendering(VkcCore *c);

// The cached pipeline for key, or VK_NULL_HANDLE when there is none yet.
VkPipeline vkc_pipeline_find(VkcCore *c, const VkcPipelineKey &key);
// Builds the pipeline d describes and caches it under key; null on failure.
VkPipeline vkc_pipeline_add(VkcCore *c, const VkcPipelineKey &key, const VkcPipelineDesc &d);

// Same-size, same-format image copy, recorded now.
void vkc_copy_image(VkcCore *c, VkcImage *src, VkcImage *dst);
// The same copy, recorded only when either image is next used (vkc_image_use)
// or destroyed. A presentation that takes it (vkc_take_later_copy) reads src
// straight into the window and the copy never happens. One at a time: a
// second one records the first.
void vkc_copy_image_later(VkcCore *c, VkcImage *src, VkcImage *dst);
// The source of the pending copy into dst, which is dropped; null when none.
VkcImage *vkc_take_later_copy(VkcCore *c, VkcImage *dst);

VkFormat vkc_format_from_dxgi(uint32_t dxgi_format);
