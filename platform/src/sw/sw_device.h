// The CPU executor: what the Direct3D 11 front hands it, and what it does
// with it. Draws run to completion inside sw_draw on the device's workers
// (the calling thread is one of them); the result never depends on how the
// work was shared out: every pixel sees its fragments in draw order.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <vector>

#include "common/host_memory.h"
#include "sw/sw_program.h"

enum SwFormat { SW_FORMAT_RGBA8 = 0, SW_FORMAT_BGRA8 = 1, SW_FORMAT_D32 = 2 };

// A two-dimensional image in memory: rows of pitch bytes, top row first.
struct SwImage {
    uint32_t width = 0, height = 0, pitch = 0;
    SwFormat format = SW_FORMAT_RGBA8;
    HostBytes bytes;
    uint8_t *row(uint32_t y) { return bytes.data() + (size_t)y * pitch; }
    const uint8_t *row(uint32_t y) const { return bytes.data() + (size_t)y * pitch; }
};

// False when the size is zero or the allocation fails.
bool sw_image_init(SwImage *img, uint32_t width, uint32_t height, SwFormat format);

struct SwVertexElement {
    uint32_t location, slot, format, offset; // format: DXGI_FORMAT value
    bool per_instance;
};

// Vertex-buffer slots, as many as Direct3D 11 has.
const uint32_t SW_VERTEX_SLOTS = 32;

struct SwVertexStream {
    const uint8_t *data = nullptr;
    uint32_t size = 0, stride = 0, offset = 0;
};

enum SwTopology { SW_TRIANGLE_LIST, SW_TRIANGLE_STRIP, SW_LINE_LIST, SW_LINE_STRIP };
enum SwBlend { SW_BLEND_REPLACE, SW_BLEND_ADD };
enum SwCull { SW_CULL_NONE, SW_CULL_FRONT, SW_CULL_BACK };

struct SwViewport {
    float x, y, width, height, min_depth, max_depth;
};

// One draw, fully described. Element formats the executor does not read
// (anything but 32-bit float vectors and RGBA8 UNORM) read as zero.
struct SwDraw {
    const SwProgram *vs = nullptr, *ps = nullptr;
    const SwVertexElement *elements = nullptr;
    uint32_t element_count = 0;
    SwVertexStream streams[SW_VERTEX_SLOTS];
    const void *vs_cb[SW_CBUFFER_SLOTS] = {};
    uint32_t vs_cb_size[SW_CBUFFER_SLOTS] = {};
    const void *ps_cb[SW_CBUFFER_SLOTS] = {};
    uint32_t ps_cb_size[SW_CBUFFER_SLOTS] = {};
    SwTopology topology = SW_TRIANGLE_LIST;
    SwViewport viewport = {};
    SwCull cull = SW_CULL_NONE;
    bool front_ccw = false;
    bool depth_clip = true; // clip at near and far
    SwBlend blend = SW_BLEND_REPLACE;
    SwImage *target = nullptr;
    SwImage *depth = nullptr; // D32, as large as the target
    bool depth_test = false, depth_write = false;
    uint32_t depth_func = 2;  // D3D11_COMPARISON_FUNC: 1 never ... 2 less ... 8 always
    uint32_t vertex_count = 0, instance_count = 1, first_vertex = 0, first_instance = 0;
};

struct SwDevice;

// threads: workers including the calling thread; 0 means one per core.
// Null when a thread cannot be started.
SwDevice *sw_device_create(int threads);
void sw_device_destroy(SwDevice *dev); // joins the workers
int sw_device_threads(const SwDevice *dev);

// False when the draw ran out of memory: it then drew nothing or part of
// itself, and the device's workers are ready for the next draw.
bool sw_draw(SwDevice *dev, const SwDraw *draw);

// Work counters since the device was made: fragments shaded, the wall time
// of the vertex stage (vertex programs, clipping, setup and binning), and
// the last draw's binning memory.
struct SwStats {
    uint64_t fragments = 0;
    uint64_t vertex_ns = 0;
    uint64_t bin_bytes = 0; // the most the last draw held at once in binned primitives
};
SwStats sw_device_stats(const SwDevice *dev);
// The binning memory a draw may hold at once (0: the default, 64 MiB); a
// draw that needs more is rasterized in parts, with the same result.
void sw_device_set_bin_cap(SwDevice *dev, uint64_t bytes);
// Clears and copies run on the device's workers. A copy is between images of
// one size and format.
void sw_clear_color(SwDevice *dev, SwImage *img, const float rgba[4]);
void sw_clear_depth(SwDevice *dev, SwImage *img, float depth);
void sw_copy_image(SwDevice *dev, SwImage *dst, const SwImage *src);

// Float to 8-bit UNORM as Direct3D 11 converts: NaN and below 0 give 0,
// above 1 gives 255, otherwise the nearest level.
static inline uint32_t sw_unorm8(float v) {
    v = v > 0.0f ? v : 0.0f; // NaN fails the comparison
    v = v < 1.0f ? v : 1.0f;
    return (uint32_t)(int32_t)(v * 255.0f + 0.5f); // a signed conversion vectorizes
}
