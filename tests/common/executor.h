// Which executor software devices run on in this test process: the CPU
// executor unless HALVENOR_EXECUTOR=vulkan picks lavapipe (as the platform
// layer decides). Tests of Vulkan-only behaviour ask before they look.
#pragma once
#include <stdlib.h>
#include <string.h>

inline bool cpu_executor() {
    const char *e = getenv("HALVENOR_EXECUTOR");
    return !e || strcmp(e, "vulkan") != 0;
}
