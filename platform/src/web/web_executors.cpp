// The web build has no Vulkan: a hardware device is unsupported, and the
// engine falls back to the CPU executor for windows as it does offscreen.
#include "common/executor.h"

HRESULT vk_executor_create(bool, Executor **out) {
    *out = nullptr;
    return DXGI_ERROR_UNSUPPORTED;
}
