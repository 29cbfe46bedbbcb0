#include "sw/sw_present.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <dlfcn.h>
#include <mutex>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>

namespace {

// The executor's own connection, opened at the first window and kept for
// the life of the process; X errors on it are counted, never fatal.
Display *g_display = nullptr;
int g_errors = 0;
XErrorHandler g_previous = nullptr;

int on_error(Display *d, XErrorEvent *e) {
    if (d == g_display) {
        g_errors++;
        return 0;
    }
    return g_previous ? g_previous(d, e) : 0;
}

Display *display() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_display = XOpenDisplay(nullptr);
        if (g_display) g_previous = XSetErrorHandler(on_error);
    });
    return g_display;
}

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

// The screen's refresh rate through XRandR, opened at run time so the build
// needs no XRandR headers; 0 when unknown. Asked once: the library stays
// loaded, as it keeps what it learnt about the display in its globals.
double refresh_rate(Display *d) {
    static double hz = 0;
    static std::once_flag once;
    std::call_once(once, [d] {
        void *lib = dlopen("libXrandr.so.2", RTLD_LAZY | RTLD_LOCAL);
        if (!lib) return;
        typedef int (*Query)(Display *, int *, int *);
        typedef void *(*GetInfo)(Display *, Window);
        typedef short (*Rate)(void *);
        typedef void (*FreeInfo)(void *);
        Query query = (Query)dlsym(lib, "XRRQueryExtension");
        GetInfo get = (GetInfo)dlsym(lib, "XRRGetScreenInfo");
        Rate rate = (Rate)dlsym(lib, "XRRConfigCurrentRate");
        FreeInfo free_info = (FreeInfo)dlsym(lib, "XRRFreeScreenConfigInfo");
        int events = 0, errors = 0;
        if (!query || !get || !rate || !free_info || !query(d, &events, &errors)) return;
        void *info = get(d, DefaultRootWindow(d));
        if (!info) return;
        hz = rate(info);
        free_info(info);
    });
    return hz;
}

void free_image(SwPresenter *p) {
    Display *d = g_display;
    if (p->shm) {
        XShmSegmentInfo *info = (XShmSegmentInfo *)p->shm;
        XShmDetach(d, info);
        XSync(d, False);
        shmdt(info->shmaddr);
        delete info;
        p->shm = nullptr;
    }
    if (p->image) {
        XImage *img = (XImage *)p->image;
        img->data = nullptr; // not Xlib's to free
        XDestroyImage(img);
        p->image = nullptr;
    }
    p->pixels.clear();
    p->width = p->height = 0;
}

// An image of w x h in the window's visual: shared memory first.
bool make_image(SwPresenter *p, uint32_t w, uint32_t h) {
    Display *d = g_display;
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, p->window, &a)) return false;
    if (XShmQueryExtension(d)) {
        XShmSegmentInfo *info = new XShmSegmentInfo();
        XImage *img = XShmCreateImage(d, a.visual, (unsigned)a.depth, ZPixmap, nullptr, info, w, h);
        if (img) {
            info->shmid = shmget(IPC_PRIVATE, (size_t)img->bytes_per_line * h, IPC_CREAT | 0600);
            if (info->shmid >= 0) {
                info->shmaddr = img->data = (char *)shmat(info->shmid, nullptr, 0);
                info->readOnly = False;
                int errors = g_errors;
                bool ok = info->shmaddr != (char *)-1 && XShmAttach(d, info);
                XSync(d, False);
                shmctl(info->shmid, IPC_RMID, nullptr); // gone once both sides detach
                if (ok && g_errors == errors) {
                    p->image = img;
                    p->shm = info;
                    p->width = w;
                    p->height = h;
                    return true;
                }
                if (info->shmaddr != (char *)-1) shmdt(info->shmaddr);
            }
            img->data = nullptr;
            XDestroyImage(img);
        }
        delete info; // a remote server or no segment: plain XPutImage
    }
    XImage *img = XCreateImage(d, a.visual, (unsigned)a.depth, ZPixmap, 0, nullptr, w, h, 32, 0);
    if (!img) return false;
    p->pixels.assign((size_t)img->bytes_per_line * h, 0);
    img->data = (char *)p->pixels.data();
    p->image = img;
    p->width = w;
    p->height = h;
    return true;
}

int mask_shift(unsigned long mask) {
    int s = 0;
    while (mask && !(mask & 1)) mask >>= 1, s++;
    return s;
}

// Nearest-neighbour stretch of src into the image, in the visual's layout.
void fill_image(XImage *img, const SwImage *src) {
    const uint32_t w = (uint32_t)img->width, h = (uint32_t)img->height;
    const int rs = mask_shift(img->red_mask), gs = mask_shift(img->green_mask), bs = mask_shift(img->blue_mask);
    const bool bgra = src->format == SW_FORMAT_BGRA8;
    const bool fast = img->bits_per_pixel == 32 && img->byte_order == LSBFirst;
    for (uint32_t y = 0; y < h; y++) {
        const uint32_t *row = (const uint32_t *)((const uint8_t *)src->bytes.data() +
                                                 (size_t)(y * (uint64_t)src->height / h) * src->pitch);
        uint32_t *out = (uint32_t *)(img->data + (size_t)y * img->bytes_per_line);
        for (uint32_t x = 0; x < w; x++) {
            uint32_t v = row[x * (uint64_t)src->width / w];
            uint32_t r = bgra ? (v >> 16) & 255 : v & 255, g = (v >> 8) & 255, b = bgra ? v & 255 : (v >> 16) & 255;
            unsigned long px = (unsigned long)r << rs | (unsigned long)g << gs | (unsigned long)b << bs;
            if (fast) out[x] = (uint32_t)px;
            else XPutPixel(img, (int)x, (int)y, px);
        }
    }
}

} // namespace

bool sw_window_size(unsigned long window, uint32_t *w, uint32_t *h) {
    Display *d = display();
    if (!d || !window) return false;
    XSync(d, False);
    int errors = g_errors;
    XWindowAttributes a;
    Status ok = XGetWindowAttributes(d, window, &a);
    XSync(d, False);
    if (!ok || g_errors != errors) return false;
    *w = (uint32_t)a.width;
    *h = (uint32_t)a.height;
    return true;
}

bool sw_present_init(SwPresenter *p, unsigned long window) {
    uint32_t w, h;
    if (!sw_window_size(window, &w, &h)) return false;
    p->window = window;
    GC gc = XCreateGC(g_display, window, 0, nullptr);
    if (!gc) return false;
    p->gc = gc;
    double hz = refresh_rate(g_display);
    p->period = 1.0 / (hz >= 20 && hz <= 500 ? hz : 60.0);
    p->next_tick = 0;
    return true;
}

void sw_present_release(SwPresenter *p) {
    if (!g_display) return;
    free_image(p);
    if (p->gc) XFreeGC(g_display, (GC)p->gc);
    p->gc = nullptr;
    XSync(g_display, False);
}

bool sw_present(SwPresenter *p, const SwImage *src, bool vsync) {
    uint32_t w, h;
    if (!p->gc || !sw_window_size(p->window, &w, &h)) return false;
    if (w == 0 || h == 0) return true;
    if (w != p->width || h != p->height) {
        free_image(p);
        if (!make_image(p, w, h)) return false;
    }
    XImage *img = (XImage *)p->image;
    fill_image(img, src);
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
    int errors = g_errors;
    if (p->shm) XShmPutImage(g_display, p->window, (GC)p->gc, img, 0, 0, 0, 0, w, h, False);
    else XPutImage(g_display, p->window, (GC)p->gc, img, 0, 0, 0, 0, w, h);
    XSync(g_display, False); // the image memory is ours again, errors are in
    return g_errors == errors;
}
