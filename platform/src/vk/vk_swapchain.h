// Window presentation through VK_KHR_xlib_surface. The back buffers stay
// ordinary images of the front end; Present copies the current one (or the
// image whose copy into it is still pending) into an acquired swapchain
// image, so the window's size and format never leak into rendering. The
// window is never asked for its size per frame: the swapchain is rebuilt when
// the host resizes the back buffers or Vulkan reports it out of date.
#pragma once
#include "vk/vk_core.h"

struct VkcSwapchain {
    unsigned long window = 0;
    VkSurfaceKHR surface = VK_NULL_HANDLE;
    VkSwapchainKHR swapchain = VK_NULL_HANDLE; // null while the window has no area
    VkFormat format = VK_FORMAT_UNDEFINED;
    VkExtent2D extent = {0, 0};
    VkPresentModeKHR mode = VK_PRESENT_MODE_FIFO_KHR;
    bool vsync = true; // the mode was chosen for this
    bool stale = false; // rebuild at the next present
    std::vector<VkImage> images;
    std::vector<VkSemaphore> acquired; // ring; acquired_seq is the submission that waited
    std::vector<uint64_t> acquired_seq;
    std::vector<VkSemaphore> rendered; // per swapchain image
    uint32_t next = 0;
};

// The window's current size, false when there is no display or no such window.
// A bad id raises an X error, which is caught: it cannot end the process.
bool vkc_window_size(unsigned long window, uint32_t *w, uint32_t *h);

VkResult vkc_swapchain_create(VkcCore *c, unsigned long window, bool vsync, VkcSwapchain *out);
void vkc_swapchain_destroy(VkcCore *c, VkcSwapchain *s);
// Submit the recorded frame, copying back (or what is pending to be copied
// into it) into the next swapchain image, and queue that for display. A
// window without area or an out-of-date swapchain drops the picture, never
// the frame's work. Out-of-date or suboptimal swapchains are rebuilt at the
// next present.
VkResult vkc_swapchain_present(VkcCore *c, VkcSwapchain *s, VkcImage *back, bool vsync);
