// The Vulkan executor (vk_executor.cpp): the front's executor interface over
// the Vulkan core. Only tests look through it at the core.
#pragma once
#include "common/executor.h"
#include "vk/vk_core.h"

// The core behind a Vulkan executor; null for any other executor.
VkcCore *vk_executor_core(Executor *e);
// The ring behind a buffer of a Vulkan executor.
VkcRing *vk_executor_ring(ExecBuffer *b);
