// Windowed presentation for the CPU executor: the back buffer goes into an
// X11 window through MIT-SHM (shm PutImage) when the server offers it, else
// through plain PutImage; a synchronized present waits for the next refresh
// tick (the screen's rate from RandR, 60 Hz when unknown).
//
// Each presenter owns its own XCB connection, opened at init and closed at
// release. XCB hands errors back per request, so nothing process-wide (no
// Xlib error handler, no shared Display) is touched and the library can be
// unloaded cleanly.
#pragma once
#include <stdint.h>
#include <vector>

#include "sw/sw_device.h"

struct xcb_connection_t;

struct SwPresenter {
    xcb_connection_t *conn = nullptr;
    uint32_t window = 0;
    uint32_t gc = 0;
    uint8_t depth = 0;                       // the window's depth
    uint32_t red_mask = 0, green_mask = 0, blue_mask = 0;
    uint32_t win_width = 0, win_height = 0;  // the window's size: asked at init and resize, then followed by events
    uint32_t width = 0, height = 0;          // of the image below
    uint32_t shm_seg = 0;                    // server id of the shared segment, 0 without MIT-SHM
    uint8_t *shm_addr = nullptr;             // our mapping of it
    std::vector<uint8_t> pixels;             // the image when it is not shared
    uint32_t max_request = 0;                // bytes one request may carry
    double period = 1.0 / 60.0;              // seconds per refresh
    double next_tick = 0;                    // monotonic seconds of the next refresh
};

// False when there is no display or no such window.
bool sw_present_init(SwPresenter *p, unsigned long window);
void sw_present_release(SwPresenter *p);
// Asks the server for the window's size (one round trip) and presents at that
// size; the swap chain calls it on resize only. Between calls the size follows
// the window's configure events, read without a round trip at each present.
bool sw_present_window_size(SwPresenter *p, uint32_t *w, uint32_t *h);
// Shows src stretched over the window. False when the window is gone or the
// image cannot be made; a window without area shows nothing and succeeds.
bool sw_present(SwPresenter *p, const SwImage *src, bool vsync);
