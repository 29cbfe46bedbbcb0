// Windowed presentation for the CPU executor: the back buffer goes into an
// X11 window through MIT-SHM (XShmPutImage) when the server offers it, else
// through XPutImage; a synchronized present waits for the next refresh tick
// (the screen's rate from XRandR, 60 Hz when unknown).
#pragma once
#include <stdint.h>
#include <vector>

#include "sw/sw_device.h"

struct SwPresenter {
    unsigned long window = 0;
    uint32_t width = 0, height = 0; // of the image below, the window's size at the last present
    void *image = nullptr;          // XImage
    void *shm = nullptr;            // XShmSegmentInfo, when the image lives in shared memory
    void *gc = nullptr;             // GC
    std::vector<uint8_t> pixels;    // XPutImage's image memory
    double period = 1.0 / 60.0;     // seconds per refresh
    double next_tick = 0;           // monotonic seconds of the next refresh
};

// False when there is no display or no such window.
bool sw_present_init(SwPresenter *p, unsigned long window);
void sw_present_release(SwPresenter *p);
// Shows src stretched over the window. False when the window is gone or the
// image cannot be made; a window without area shows nothing and succeeds.
bool sw_present(SwPresenter *p, const SwImage *src, bool vsync);
// The window's current size, false when there is no display or no such window.
bool sw_window_size(unsigned long window, uint32_t *w, uint32_t *h);
