#include "vk/vk_swapchain.h"

#include "common/hooks.h"

#include <X11/Xlib.h>
#include <vulkan/vulkan_xlib.h>

#include <algorithm>
#include <mutex>

namespace {

// The layer's own connection, opened at the first swap chain and kept for
// the life of the process.
Display *g_display = nullptr;
int g_x_errors = 0;
XErrorHandler g_previous_handler = nullptr;

int on_x_error(Display *d, XErrorEvent *e) {
    if (d == g_display) {
        g_x_errors++;
        return 0;
    }
    return g_previous_handler ? g_previous_handler(d, e) : 0;
}

Display *display() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_display = XOpenDisplay(nullptr);
        if (g_display) g_previous_handler = XSetErrorHandler(on_x_error);
    });
    return g_display;
}

VkPresentModeKHR choose_mode(VkcCore *c, VkSurfaceKHR surface, bool vsync) {
    if (vsync) return VK_PRESENT_MODE_FIFO_KHR;
    uint32_t n = 0;
    vkGetPhysicalDeviceSurfacePresentModesKHR(c->phys, surface, &n, nullptr);
    std::vector<VkPresentModeKHR> modes(n);
    vkGetPhysicalDeviceSurfacePresentModesKHR(c->phys, surface, &n, modes.data());
    VkPresentModeKHR best = VK_PRESENT_MODE_FIFO_KHR;
    for (VkPresentModeKHR m : modes) {
        if (m == VK_PRESENT_MODE_IMMEDIATE_KHR) return m;
        if (m == VK_PRESENT_MODE_MAILBOX_KHR) best = m;
    }
    return best;
}

VkSurfaceFormatKHR choose_format(VkcCore *c, VkSurfaceKHR surface) {
    uint32_t n = 0;
    vkGetPhysicalDeviceSurfaceFormatsKHR(c->phys, surface, &n, nullptr);
    std::vector<VkSurfaceFormatKHR> formats(n);
    vkGetPhysicalDeviceSurfaceFormatsKHR(c->phys, surface, &n, formats.data());
    // The back buffers' own format first: a plain copy instead of a blit.
    for (VkFormat want : {VK_FORMAT_R8G8B8A8_UNORM, VK_FORMAT_B8G8R8A8_UNORM})
        for (const VkSurfaceFormatKHR &f : formats)
            if (f.format == want && f.colorSpace == VK_COLOR_SPACE_SRGB_NONLINEAR_KHR) return f;
    return n ? formats[0] : VkSurfaceFormatKHR{VK_FORMAT_UNDEFINED, VK_COLOR_SPACE_SRGB_NONLINEAR_KHR};
}

void destroy_semaphores(VkcCore *c, std::vector<VkSemaphore> &list) {
    for (VkSemaphore s : list) vkDestroySemaphore(c->dev, s, nullptr);
    list.clear();
}

VkResult make_semaphores(VkcCore *c, std::vector<VkSemaphore> &list, size_t n) {
    VkSemaphoreCreateInfo si{VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO};
    while (list.size() < n) {
        VkSemaphore s;
        VkResult r = vkCreateSemaphore(c->dev, &si, nullptr, &s);
        if (r != VK_SUCCESS) return r;
        list.push_back(s);
    }
    return VK_SUCCESS;
}

// (Re)creates the swapchain for the window's current size, or for the back
// buffers' (wanted) where the surface leaves it open. Rare: waits for the
// device so nothing in flight still uses the old images or semaphores.
VkResult rebuild(VkcCore *c, VkcSwapchain *s, bool vsync, VkExtent2D wanted) {
    vkc_finish(c);
    vkDeviceWaitIdle(c->dev);
    VkSurfaceCapabilitiesKHR caps;
    VkResult r = vkGetPhysicalDeviceSurfaceCapabilitiesKHR(c->phys, s->surface, &caps);
    if (r != VK_SUCCESS) return r;
    VkExtent2D extent = caps.currentExtent;
    if (extent.width == UINT32_MAX) {
        extent.width = std::min(std::max(wanted.width, caps.minImageExtent.width), caps.maxImageExtent.width);
        extent.height = std::min(std::max(wanted.height, caps.minImageExtent.height), caps.maxImageExtent.height);
    }
    s->stale = false;
    VkSwapchainKHR old = s->swapchain;
    s->swapchain = VK_NULL_HANDLE;
    s->images.clear();
    s->extent = extent;
    s->mode = choose_mode(c, s->surface, vsync);
    s->vsync = vsync;
    if (extent.width == 0 || extent.height == 0) { // minimised: nothing to show
        if (old) vkDestroySwapchainKHR(c->dev, old, nullptr);
        return VK_SUCCESS;
    }
    VkSurfaceFormatKHR format = choose_format(c, s->surface);
    uint32_t count = caps.minImageCount + 1;
    if (caps.maxImageCount && count > caps.maxImageCount) count = caps.maxImageCount;
    VkSwapchainCreateInfoKHR ci{VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR};
    ci.surface = s->surface;
    ci.minImageCount = count;
    ci.imageFormat = format.format;
    ci.imageColorSpace = format.colorSpace;
    ci.imageExtent = extent;
    ci.imageArrayLayers = 1;
    ci.imageUsage = VK_IMAGE_USAGE_TRANSFER_DST_BIT;
    ci.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
    ci.preTransform = caps.currentTransform;
    ci.compositeAlpha = (caps.supportedCompositeAlpha & VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR)
                            ? VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR
                            : (VkCompositeAlphaFlagBitsKHR)(caps.supportedCompositeAlpha & -caps.supportedCompositeAlpha);
    ci.presentMode = s->mode;
    ci.clipped = VK_TRUE;
    ci.oldSwapchain = old;
    r = vkCreateSwapchainKHR(c->dev, &ci, nullptr, &s->swapchain);
    if (old) vkDestroySwapchainKHR(c->dev, old, nullptr);
    if (r != VK_SUCCESS) {
        s->swapchain = VK_NULL_HANDLE;
        return r;
    }
    s->format = format.format;
    uint32_t n = 0;
    vkGetSwapchainImagesKHR(c->dev, s->swapchain, &n, nullptr);
    s->images.resize(n);
    vkGetSwapchainImagesKHR(c->dev, s->swapchain, &n, s->images.data());
    // Fresh semaphores: an out-of-date acquire may have left one pending.
    destroy_semaphores(c, s->acquired);
    destroy_semaphores(c, s->rendered);
    s->acquired_seq.assign(n + 1, 0);
    s->next = 0;
    r = make_semaphores(c, s->acquired, n + 1);
    if (r == VK_SUCCESS) r = make_semaphores(c, s->rendered, n);
    return r;
}

void copy_to_swapchain_image(VkcCore *c, VkcSwapchain *s, VkcImage *src, VkImage dst) {
    vkc_image_use(c, src, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL);
    VkCommandBuffer cmd = vkc_cmd(c);
    vkc_image_barrier(cmd, dst, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
    VkImageSubresourceLayers layers = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    hook_count("CopyImage");
    if (src->format == s->format && src->width == s->extent.width && src->height == s->extent.height) {
        VkImageCopy region{};
        region.srcSubresource = region.dstSubresource = layers;
        region.extent = {src->width, src->height, 1};
        vkCmdCopyImage(cmd, src->img, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, dst, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                       1, &region);
    } else {
        // DXGI_SCALING_STRETCH; the blit also swizzles RGBA into BGRA.
        VkImageBlit region{};
        region.srcSubresource = region.dstSubresource = layers;
        region.srcOffsets[1] = {(int32_t)src->width, (int32_t)src->height, 1};
        region.dstOffsets[1] = {(int32_t)s->extent.width, (int32_t)s->extent.height, 1};
        vkCmdBlitImage(cmd, src->img, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, dst, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL,
                       1, &region, VK_FILTER_LINEAR);
    }
    vkc_image_barrier(cmd, dst, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_PRESENT_SRC_KHR);
}

} // namespace

bool vkc_window_size(unsigned long window, uint32_t *w, uint32_t *h) {
    Display *d = display();
    if (!d || !window) return false;
    XSync(d, False);
    int errors = g_x_errors;
    XWindowAttributes a;
    Status ok = XGetWindowAttributes(d, (Window)window, &a);
    XSync(d, False);
    if (!ok || g_x_errors != errors) return false;
    *w = (uint32_t)a.width;
    *h = (uint32_t)a.height;
    return true;
}

VkResult vkc_swapchain_create(VkcCore *c, unsigned long window, bool vsync, VkcSwapchain *out) {
    uint32_t w, h;
    if (!c->has_swapchain) return VK_ERROR_EXTENSION_NOT_PRESENT;
    if (!vkc_window_size(window, &w, &h)) return VK_ERROR_SURFACE_LOST_KHR;
    out->window = window;
    VkXlibSurfaceCreateInfoKHR si{VK_STRUCTURE_TYPE_XLIB_SURFACE_CREATE_INFO_KHR};
    si.dpy = display();
    si.window = (Window)window;
    VkResult r = vkCreateXlibSurfaceKHR(c->instance, &si, nullptr, &out->surface);
    VkBool32 supported = VK_FALSE;
    if (r == VK_SUCCESS)
        r = vkGetPhysicalDeviceSurfaceSupportKHR(c->phys, c->queue_family, out->surface, &supported);
    if (r == VK_SUCCESS && !supported) r = VK_ERROR_INCOMPATIBLE_DISPLAY_KHR;
    if (r == VK_SUCCESS) r = rebuild(c, out, vsync, {w, h});
    if (r != VK_SUCCESS) vkc_swapchain_destroy(c, out);
    return r;
}

void vkc_swapchain_destroy(VkcCore *c, VkcSwapchain *s) {
    if (c->dev) {
        vkc_finish(c);
        vkDeviceWaitIdle(c->dev);
        destroy_semaphores(c, s->acquired);
        destroy_semaphores(c, s->rendered);
        if (s->swapchain) vkDestroySwapchainKHR(c->dev, s->swapchain, nullptr);
    }
    if (s->surface) vkDestroySurfaceKHR(c->instance, s->surface, nullptr);
    *s = VkcSwapchain{};
}

// Submits the recorded frame without showing it.
static VkResult drop_picture(VkcCore *c) { return vkc_submit(c, VK_NULL_HANDLE, 0, VK_NULL_HANDLE); }

VkResult vkc_swapchain_present(VkcCore *c, VkcSwapchain *s, VkcImage *back, bool vsync) {
    VkcImage *src = vkc_take_later_copy(c, back);
    if (!src) src = back;
    VkResult r;
    if (!s->swapchain || s->stale || s->vsync != vsync) {
        if ((r = rebuild(c, s, vsync, {src->width, src->height})) != VK_SUCCESS) {
            drop_picture(c);
            return r;
        }
    }
    if (!s->swapchain) return drop_picture(c); // a window without area
    uint32_t slot = s->next;
    if ((r = vkc_wait(c, s->acquired_seq[slot])) != VK_SUCCESS) return r;
    uint32_t index = 0;
    r = vkAcquireNextImageKHR(c->dev, s->swapchain, UINT64_MAX, s->acquired[slot], VK_NULL_HANDLE, &index);
    if (r == VK_ERROR_OUT_OF_DATE_KHR) {
        s->stale = true;
        return drop_picture(c);
    }
    if (r != VK_SUCCESS && r != VK_SUBOPTIMAL_KHR) { // a lost surface, say: try afresh next time
        s->stale = true;
        drop_picture(c);
        return r;
    }
    if (r == VK_SUBOPTIMAL_KHR) s->stale = true;
    s->next = (slot + 1) % s->acquired.size();

    copy_to_swapchain_image(c, s, src, s->images[index]);
    r = vkc_submit(c, s->acquired[slot], VK_PIPELINE_STAGE_TRANSFER_BIT, s->rendered[index]);
    if (r != VK_SUCCESS) return r;
    s->acquired_seq[slot] = c->next_seq - 1;

    VkPresentInfoKHR pi{VK_STRUCTURE_TYPE_PRESENT_INFO_KHR};
    pi.waitSemaphoreCount = 1;
    pi.pWaitSemaphores = &s->rendered[index];
    pi.swapchainCount = 1;
    pi.pSwapchains = &s->swapchain;
    pi.pImageIndices = &index;
    r = vkQueuePresentKHR(c->queue, &pi);
    if (r == VK_ERROR_OUT_OF_DATE_KHR || r == VK_SUBOPTIMAL_KHR) {
        s->stale = true;
        return VK_SUCCESS;
    }
    if (r == VK_ERROR_DEVICE_LOST) c->lost = true;
    return r;
}
