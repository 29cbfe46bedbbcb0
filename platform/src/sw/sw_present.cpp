#include "sw/sw_present.h"

#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

namespace {

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

// A checked request's outcome: true when the server reported no error.
bool request_ok(xcb_connection_t *c, xcb_void_cookie_t cookie) {
    xcb_generic_error_t *e = xcb_request_check(c, cookie);
    free(e);
    return e == nullptr;
}

// The screen's refresh rate through RandR; 0 when unknown.
double refresh_rate(xcb_connection_t *c, xcb_window_t root) {
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_randr_id);
    if (!ext || !ext->present) return 0;
    xcb_randr_get_screen_info_reply_t *info =
        xcb_randr_get_screen_info_reply(c, xcb_randr_get_screen_info(c, root), nullptr);
    if (!info) return 0;
    double hz = info->rate;
    free(info);
    return hz;
}

// Depth and colour masks of the window's visual, and the screen's root.
bool window_visual(SwPresenter *p, xcb_window_t *root) {
    xcb_connection_t *c = p->conn;
    xcb_get_window_attributes_reply_t *attr =
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, p->window), nullptr);
    xcb_get_geometry_reply_t *geo = xcb_get_geometry_reply(c, xcb_get_geometry(c, p->window), nullptr);
    bool found = false;
    if (attr && geo) {
        p->depth = geo->depth;
        *root = geo->root;
        for (xcb_screen_iterator_t s = xcb_setup_roots_iterator(xcb_get_setup(c)); s.rem && !found; xcb_screen_next(&s)) {
            for (xcb_depth_iterator_t d = xcb_screen_allowed_depths_iterator(s.data); d.rem && !found; xcb_depth_next(&d)) {
                for (xcb_visualtype_iterator_t v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
                    if (v.data->visual_id != attr->visual) continue;
                    p->red_mask = v.data->red_mask;
                    p->green_mask = v.data->green_mask;
                    p->blue_mask = v.data->blue_mask;
                    found = true;
                    break;
                }
            }
        }
    }
    free(attr);
    free(geo);
    return found;
}

// The image format must be 32 bits per pixel, least significant byte first:
// what every true-colour server of depth 24 or 32 uses. Others are refused.
bool pixel_format_ok(xcb_connection_t *c, uint8_t depth) {
    const xcb_setup_t *setup = xcb_get_setup(c);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
    for (xcb_format_iterator_t f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
        if (f.data->depth == depth) return f.data->bits_per_pixel == 32;
    return false;
}

void free_image(SwPresenter *p) {
    if (p->shm_seg) {
        request_ok(p->conn, xcb_shm_detach_checked(p->conn, p->shm_seg));
        p->shm_seg = 0;
    }
    if (p->shm_addr) {
        shmdt(p->shm_addr);
        p->shm_addr = nullptr;
    }
    p->pixels.clear();
    p->width = p->height = 0;
}

// An image of w x h: shared memory when the server offers it, else our own.
bool make_image(SwPresenter *p, uint32_t w, uint32_t h) {
    const size_t bytes = (size_t)w * h * 4;
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(p->conn, &xcb_shm_id);
    if (ext && ext->present) {
        int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id >= 0) {
            void *addr = shmat(id, nullptr, 0);
            uint32_t seg = xcb_generate_id(p->conn);
            bool ok = addr != (void *)-1 && request_ok(p->conn, xcb_shm_attach_checked(p->conn, seg, (uint32_t)id, 0));
            shmctl(id, IPC_RMID, nullptr); // gone once both sides detach
            if (ok) {
                p->shm_seg = seg;
                p->shm_addr = (uint8_t *)addr;
                p->width = w;
                p->height = h;
                return true;
            }
            if (addr != (void *)-1) shmdt(addr); // a remote server: plain PutImage
        }
    }
    p->pixels.assign(bytes, 0);
    p->width = w;
    p->height = h;
    return true;
}

int mask_shift(uint32_t mask) {
    int s = 0;
    while (mask && !(mask & 1)) mask >>= 1, s++;
    return s;
}

// Nearest-neighbour stretch of src into dst (w x h, 32-bit pixels in the
// visual's channel layout).
void fill_image(const SwPresenter *p, uint8_t *dst, const SwImage *src) {
    const uint32_t w = p->width, h = p->height;
    const int rs = mask_shift(p->red_mask), gs = mask_shift(p->green_mask), bs = mask_shift(p->blue_mask);
    const bool bgra = src->format == SW_FORMAT_BGRA8;
    for (uint32_t y = 0; y < h; y++) {
        const uint32_t *row = (const uint32_t *)((const uint8_t *)src->bytes.data() +
                                                 (size_t)(y * (uint64_t)src->height / h) * src->pitch);
        uint32_t *out = (uint32_t *)(dst + (size_t)y * w * 4);
        auto convert = [&](uint32_t v) {
            uint32_t r = bgra ? (v >> 16) & 255 : v & 255, g = (v >> 8) & 255, b = bgra ? v & 255 : (v >> 16) & 255;
            return r << rs | g << gs | b << bs;
        };
        if (w == src->width) { // the usual case: a loop that vectorizes, no division per pixel
            for (uint32_t x = 0; x < w; x++) out[x] = convert(row[x]);
            continue;
        }
        for (uint32_t x = 0; x < w; x++) out[x] = convert(row[x * (uint64_t)src->width / w]);
    }
}

// Plain PutImage in bands of rows that fit one request each.
bool put_rows(SwPresenter *p) {
    const uint32_t stride = p->width * 4;
    const uint32_t header = 32; // PutImage's fixed part, rounded up
    uint32_t rows = p->max_request > header + stride ? (p->max_request - header) / stride : 1;
    bool ok = true;
    for (uint32_t y = 0; y < p->height && ok; y += rows) {
        uint32_t n = p->height - y < rows ? p->height - y : rows;
        ok = request_ok(p->conn, xcb_put_image_checked(p->conn, XCB_IMAGE_FORMAT_Z_PIXMAP, p->window, p->gc,
                                                       (uint16_t)p->width, (uint16_t)n, 0, (int16_t)y, 0, p->depth,
                                                       n * stride, p->pixels.data() + (size_t)y * stride));
    }
    return ok;
}

// The window's size as the server last announced it. Watching structure
// events on our own connection (event masks are per client, so the host's
// are untouched) keeps presents free of round trips.
void take_resizes(SwPresenter *p) {
    while (xcb_generic_event_t *ev = xcb_poll_for_event(p->conn)) {
        if ((ev->response_type & 0x7f) == XCB_CONFIGURE_NOTIFY) {
            const xcb_configure_notify_event_t *c = (const xcb_configure_notify_event_t *)ev;
            if (c->window == p->window) {
                p->win_width = c->width;
                p->win_height = c->height;
            }
        }
        free(ev);
    }
}

} // namespace

bool sw_present_init(SwPresenter *p, unsigned long window) {
    if (!window || window > 0xFFFFFFFFul) return false;
    p->conn = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(p->conn)) {
        sw_present_release(p);
        return false;
    }
    p->window = (uint32_t)window;
    xcb_prefetch_extension_data(p->conn, &xcb_shm_id);
    xcb_prefetch_extension_data(p->conn, &xcb_randr_id);
    xcb_window_t root = 0;
    uint32_t w, h;
    if (!window_visual(p, &root) || !pixel_format_ok(p->conn, p->depth) || !sw_present_window_size(p, &w, &h)) {
        sw_present_release(p);
        return false;
    }
    const uint32_t events = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    p->gc = xcb_generate_id(p->conn);
    if (!request_ok(p->conn, xcb_change_window_attributes_checked(p->conn, p->window, XCB_CW_EVENT_MASK, &events)) ||
        !request_ok(p->conn, xcb_create_gc_checked(p->conn, p->gc, p->window, 0, nullptr))) {
        p->gc = 0;
        sw_present_release(p);
        return false;
    }
    p->max_request = xcb_get_maximum_request_length(p->conn) * 4;
    double hz = refresh_rate(p->conn, root);
    p->period = 1.0 / (hz >= 20 && hz <= 500 ? hz : 60.0);
    p->next_tick = 0;
    return true;
}

void sw_present_release(SwPresenter *p) {
    if (p->conn) {
        if (!xcb_connection_has_error(p->conn)) {
            free_image(p);
            if (p->gc) xcb_free_gc(p->conn, p->gc);
            xcb_flush(p->conn);
        }
        xcb_disconnect(p->conn);
    }
    if (p->shm_addr) shmdt(p->shm_addr);
    *p = SwPresenter();
}

bool sw_present_window_size(SwPresenter *p, uint32_t *w, uint32_t *h) {
    if (!p->conn) return false;
    xcb_get_geometry_reply_t *geo = xcb_get_geometry_reply(p->conn, xcb_get_geometry(p->conn, p->window), nullptr);
    if (!geo) return false;
    p->win_width = *w = geo->width;
    p->win_height = *h = geo->height;
    free(geo);
    return true;
}

bool sw_present(SwPresenter *p, const SwImage *src, bool vsync) {
    if (!p->conn || !p->gc || xcb_connection_has_error(p->conn)) return false;
    take_resizes(p);
    const uint32_t w = p->win_width, h = p->win_height;
    if (w == 0 || h == 0) return true;
    if (w != p->width || h != p->height) {
        free_image(p);
        if (!make_image(p, w, h)) return false;
    }
    fill_image(p, p->shm_addr ? p->shm_addr : p->pixels.data(), src);
    if (vsync) { // wait for the next refresh tick, as a flip would
        double t = now_seconds();
        if (p->next_tick < t - p->period) p->next_tick = t; // fell behind: start over
        double wait = p->next_tick - t;
        if (wait > 0) {
            timespec ts = {(time_t)wait, (long)((wait - (double)(time_t)wait) * 1e9)};
            nanosleep(&ts, nullptr);
        }
        p->next_tick += p->period;
    }
    // Checked requests wait for the server: the image memory is ours again
    // when they return, and an error (the window is gone) comes back here.
    if (p->shm_seg)
        return request_ok(p->conn, xcb_shm_put_image_checked(p->conn, p->window, p->gc, (uint16_t)w, (uint16_t)h, 0, 0,
                                                             (uint16_t)w, (uint16_t)h, 0, 0, p->depth,
                                                             XCB_IMAGE_FORMAT_Z_PIXMAP, 0, p->shm_seg, 0));
    return put_rows(p);
}
