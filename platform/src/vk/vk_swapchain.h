// Window presentation through VK_KHR_xcb_surface. The back buffers stay
// ordinary images of the front end; Present copies the current one (or the
// image whose copy into it is still pending) into an acquired swapchain
// image, so the window's size and format never leak into rendering. The
// window is never asked for its size per frame: the swapchain is rebuilt when
// the host resizes the back buffers or Vulkan reports it out of date.
//
// Each swapchain talks to the X server over an XCB connection of its own,
// opened at creation and closed at destroy. XCB returns errors with the
// request that caused them, so the library installs no process-wide error
// handler and leaves no X state behind once the swapchain is gone.
#pragma once
#include "vk/vk_core.h"

struct xcb_connection_t;

struct VkcSwapchain {
    xcb_connection_t *conn = nullptr;
    unsigned long window = 0;
    VkSurfaceKHR surface = VK_NULL_HANDLE;
    VkSwapchainKHR swapchain = VK_NULL_HANDLE; // null while the window has no area
    VkFormat format = VK_FORMAT_UNDEFINED;
    VkExtent2D extent = {0, 0};
    VkPresentModeKHR mode = VK_PRESENT_MODE_FIFO_KHR;
    bool blit = false; // the device can blit into the swapchain's format (scale, swizzle)
    bool vsync = true; // the mode was chosen for this
    bool stale = false; // rebuild at the next present
    std::vector<VkImage> images;
    std::vector<VkSemaphore> acquired; // ring; acquired_seq is the submission that waited
    std::vector<uint64_t> acquired_seq;
    std::vector<VkSemaphore> rendered; // per swapchain image
    uint32_t next = 0;
};

// The window's current size; false when the window is gone.
bool vkc_window_size(const VkcSwapchain *s, uint32_t *w, uint32_t *h);

// VK_ERROR_SURFACE_LOST_KHR: no X server to connect to, or no such window.
VkResult vkc_swapchain_create(VkcCore *c, unsigned long window, bool vsync, VkcSwapchain *out);
void vkc_swapchain_destroy(VkcCore *c, VkcSwapchain *s);
// Submit the recorded frame, copying back (or what is pending to be copied
// into it) into the next swapchain image, and queue that for display. A
// window without area or an out-of-date swapchain drops the picture, never
// the frame's work. Out-of-date or suboptimal swapchains are rebuilt at the
// next present.
VkResult vkc_swapchain_present(VkcCore *c, VkcSwapchain *s, VkcImage *back, bool vsync);
