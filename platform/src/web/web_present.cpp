// Windowed presentation for the CPU executor in a web page: the back buffer
// goes into a canvas through putImageData. The page's script gives the module
// its canvas (an OffscreenCanvas in the worker the engine runs in, or a
// canvas element) as Module.galaxyCanvas before it creates a windowed
// engine; any nonzero window value then names that canvas.
//
// Pacing belongs to the page: it calls galaxy_frame from requestAnimationFrame,
// so a synchronized present does not wait here. The SwPresenter record is
// the X11 presenter's; only the sizes and the pixel array are used.
#include "sw/sw_present.h"

#include <emscripten.h>

namespace {

// clang-format off
EM_JS(int, web_canvas_size, (uint32_t *w, uint32_t *h), {
    var c = Module['galaxyCanvas'];
    if (!c) return 0;
    HEAPU32[w >> 2] = c.width;
    HEAPU32[h >> 2] = c.height;
    return 1;
});

// ImageData cannot view shared memory: the pixels are copied into one of
// the canvas's size, kept from frame to frame (a new one each frame is
// megabytes of garbage per frame).
EM_JS(int, web_canvas_put, (const uint8_t *rgba, uint32_t w, uint32_t h), {
    var c = Module['galaxyCanvas'];
    if (!c) return 0;
    var ctx = Module['galaxyContext'];
    if (!ctx || ctx.canvas !== c) ctx = Module['galaxyContext'] = c.getContext('2d', {alpha: false});
    if (!ctx) return 0;
    var img = Module['galaxyImage'];
    if (!img || img.width !== w || img.height !== h) img = Module['galaxyImage'] = new ImageData(w, h);
    img.data.set(HEAPU8.subarray(rgba, rgba + w * h * 4));
    ctx.putImageData(img, 0, 0);
    return 1;
});
// clang-format on

// Nearest-neighbour stretch of src into the presenter's w x h RGBA pixels,
// opaque: the canvas would otherwise blend the frame with the page.
void fill_image(SwPresenter *p, const SwImage *src) {
    const uint32_t w = p->width, h = p->height;
    const bool bgra = src->format == SW_FORMAT_BGRA8;
    for (uint32_t y = 0; y < h; y++) {
        const uint32_t *row = (const uint32_t *)((const uint8_t *)src->bytes.data() +
                                                 (size_t)(y * (uint64_t)src->height / h) * src->pitch);
        uint32_t *out = (uint32_t *)(p->pixels.data() + (size_t)y * w * 4);
        for (uint32_t x = 0; x < w; x++) {
            uint32_t v = row[w == src->width ? x : (uint32_t)(x * (uint64_t)src->width / w)];
            if (bgra) v = (v & 0x0000ff00u) | (v >> 16 & 0xffu) | (v & 0xffu) << 16;
            out[x] = v | 0xff000000u;
        }
    }
}

} // namespace

bool sw_present_init(SwPresenter *p, unsigned long window) {
    uint32_t w, h;
    if (!window || !web_canvas_size(&w, &h)) return false;
    p->window = (uint32_t)window;
    p->win_width = w;
    p->win_height = h;
    return true;
}

void sw_present_release(SwPresenter *p) { *p = SwPresenter(); }

bool sw_present_window_size(SwPresenter *p, uint32_t *w, uint32_t *h) {
    if (!p->window || !web_canvas_size(w, h)) return false;
    p->win_width = *w;
    p->win_height = *h;
    return true;
}

bool sw_present(SwPresenter *p, const SwImage *src, bool) {
    uint32_t w, h;
    if (!p->window || !web_canvas_size(&w, &h)) return false;
    p->win_width = w;
    p->win_height = h;
    if (w == 0 || h == 0) return true;
    if (w != p->width || h != p->height) {
        p->pixels.assign((size_t)w * h * 4, 0);
        p->width = w;
        p->height = h;
    }
    fill_image(p, src);
    return web_canvas_put(p->pixels.data(), w, h) != 0;
}
