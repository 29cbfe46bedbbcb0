// Vulkan entry points, loaded at run time from libvulkan.so.1 so that a
// machine without a Vulkan loader gets a failed device creation, not a
// library that cannot be loaded. Everything in the platform layer includes
// Vulkan through this header (VK_NO_PROTOTYPES is set for the whole layer).
#pragma once
#ifndef VK_NO_PROTOTYPES
#define VK_NO_PROTOTYPES
#endif
#include <vulkan/vulkan.h>
#include <X11/Xlib.h>
#include <vulkan/vulkan_xlib.h>

// Core and WSI functions the loader exports by name. Extension functions
// (push descriptors, debug utils) are fetched through vkGet*ProcAddr.
#define VKL_FUNCTIONS(X)                                                                          \
    X(vkGetInstanceProcAddr) X(vkGetDeviceProcAddr) X(vkCreateInstance) X(vkDestroyInstance)      \
    X(vkEnumerateInstanceExtensionProperties) X(vkEnumerateInstanceLayerProperties)               \
    X(vkEnumeratePhysicalDevices) X(vkEnumerateDeviceExtensionProperties)                         \
    X(vkGetPhysicalDeviceProperties) X(vkGetPhysicalDeviceMemoryProperties)                       \
    X(vkGetPhysicalDeviceQueueFamilyProperties) X(vkCreateDevice) X(vkDestroyDevice)              \
    X(vkGetDeviceQueue) X(vkDeviceWaitIdle) X(vkQueueSubmit) X(vkCreateCommandPool)               \
    X(vkDestroyCommandPool) X(vkAllocateCommandBuffers) X(vkBeginCommandBuffer)                   \
    X(vkEndCommandBuffer) X(vkResetCommandBuffer) X(vkCreateFence) X(vkDestroyFence)              \
    X(vkResetFences) X(vkWaitForFences) X(vkGetFenceStatus) X(vkCreateSemaphore)                  \
    X(vkDestroySemaphore) X(vkAllocateMemory) X(vkFreeMemory) X(vkMapMemory)                      \
    X(vkCreateBuffer) X(vkDestroyBuffer) X(vkBindBufferMemory) X(vkGetBufferMemoryRequirements)   \
    X(vkCreateImage) X(vkDestroyImage) X(vkBindImageMemory) X(vkGetImageMemoryRequirements)       \
    X(vkCreateImageView) X(vkDestroyImageView) X(vkCreateShaderModule) X(vkDestroyShaderModule)   \
    X(vkCreateDescriptorSetLayout) X(vkDestroyDescriptorSetLayout) X(vkCreatePipelineLayout)      \
    X(vkDestroyPipelineLayout) X(vkCreateGraphicsPipelines) X(vkDestroyPipeline)                  \
    X(vkCmdBeginRendering) X(vkCmdEndRendering) X(vkCmdBindPipeline) X(vkCmdBindVertexBuffers)   \
    X(vkCmdBlitImage) X(vkCmdClearColorImage) X(vkCmdClearDepthStencilImage) X(vkCmdCopyBuffer) X(vkCmdCopyBufferToImage)        \
    X(vkCmdCopyImage) X(vkCmdCopyImageToBuffer) X(vkCmdDraw) X(vkCmdPipelineBarrier)             \
    X(vkCmdSetBlendConstants) X(vkCmdSetScissor) X(vkCmdSetViewport)                              \
    X(vkCreateXlibSurfaceKHR) X(vkDestroySurfaceKHR) X(vkGetPhysicalDeviceSurfaceSupportKHR)      \
    X(vkGetPhysicalDeviceSurfaceCapabilitiesKHR) X(vkGetPhysicalDeviceSurfaceFormatsKHR)          \
    X(vkGetPhysicalDeviceSurfacePresentModesKHR) X(vkCreateSwapchainKHR) X(vkDestroySwapchainKHR) \
    X(vkGetSwapchainImagesKHR) X(vkAcquireNextImageKHR) X(vkQueuePresentKHR)

#define VKL_DECLARE(name) extern PFN_##name name;
VKL_FUNCTIONS(VKL_DECLARE)
#undef VKL_DECLARE

// Loads libvulkan.so.1 and every entry point above, once. False when the
// loader or any of them is missing; the caller reports a failed device.
bool vkl_load(void);
