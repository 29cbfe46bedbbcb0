// Test-only controls of the Linux platform layer. Not part of the library's
// interface: the shared library exports none of these; tests link the static
// platform library and reach them directly.
#pragma once
#include <stddef.h>
#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// Make the n-th call (1 = the next one) of the named platform operation fail
// with hr. Names are the plain operation names: "D3D11CreateDevice",
// "D3DCompile", "CreateBuffer", "CreateTexture2D", "CreateRenderTargetView",
// "CreateInputLayout", "CreateVertexShader", "CreatePixelShader",
// "CreateBlendState", "CreateRasterizerState", "QueryInterface", "GetAdapter",
// "GetParent", "CreateSwapChainForHwnd", "GetBuffer", "ResizeBuffers",
// "Present", "Map", "GetImmediateContext" (fails by yielding null), and the
// Vulkan calls "vkBeginCommandBuffer", "vkQueueSubmit", "vkWaitForFences",
// whose armed failure loses the device (any hr).
// "SwAlloc" is the n-th growth of the CPU executor's draw memory: it fails as
// that allocation would, and the device is then removed with E_OUTOFMEMORY.
// Several faults may be armed at once; each fires once.
void plat_fail_call(const char *op, int nth, HRESULT hr);
void plat_fail_clear(void);
// How many armed faults have fired since the last plat_fail_clear.
int plat_fail_fired(void);

// Count how many times each operation has been called since the last reset
// (recording or not), so a sweep can find every call position. The executor
// also counts its own work here (no faults can be armed on these):
// "QueueSubmit" (each submission), "FenceWait" (each submission waited for
// and retired; submissions minus these are the ones still in flight) and
// "AllocateMemory" (each device allocation) and "CopyImage" (each image to
// image copy or blit, the one into the window included).
int plat_call_count(const char *op);
void plat_call_count_reset(void);

// Live platform objects (devices, contexts, resources, views, shaders,
// layouts, states, swap chains, blobs, DXGI objects, and the executor's
// buffers, images, programs and presenters behind them). 0 when all is
// released.
int plat_live_objects(void);

// Call record: while recording, every device, context, swap-chain and DXGI
// call appends one line "Op arg arg ...", e.g. "DrawInstanced 4 1000 0 0",
// "OMSetBlendState null", "OMSetBlendState state", "IASetPrimitiveTopology 5",
// "Draw 161 322", "Present 1 0", "PSSetConstantBuffers 1 1".
void plat_record_begin(void);
void plat_record_end(void);
int plat_record_count(void);
const char *plat_record_line(int i); // valid until the next plat_record_begin

// Vulkan validation messages seen since the last reset (the layer is on when
// HALVENOR_VK_VALIDATION=1). Each message is also printed to stderr.
int plat_validation_messages(void);
void plat_validation_reset(void);

// The clock: a nonzero value makes QueryPerformanceCounter (or the frequency)
// return it instead of the real reading, so clock rules can be tested exactly.
void plat_set_fake_counter(long long value);   // 0 returns to the real clock
void plat_set_fake_frequency(long long value); // 0 returns to the real frequency

// Work of the CPU executor over all its devices since the process began:
// fragments shaded and the wall time of the vertex stage in nanoseconds.
void plat_cpu_executor_work(unsigned long long *fragments, unsigned long long *vertex_ns);
// The most memory one draw has held at once in binned primitives, over
// all the CPU executor's devices since the process began (or the last reset).
unsigned long long plat_cpu_executor_bin_peak(int reset);
// The binning memory a draw of the CPU executor may hold at once, from the
// next draw on (0: the default). A draw needing more is drawn in parts.
void plat_cpu_executor_bin_cap(unsigned long long bytes);

#ifdef __cplusplus
}
#endif
