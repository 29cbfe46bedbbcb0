// Readback and screenshots of the last rendered frame.
#pragma once
#include "engine/engine.h"

int engine_readback(Engine *e, const unsigned char **pixels, int *width, int *height, int *stride);
int engine_screenshot(Engine *e, const char *path);
// Waits until the device has finished all work sent so far (Direct3D 11 has
// no wait without queries: a readback of the render texture, dropped).
// 0, or -1 without an error text.
int engine_wait_device(Engine *e);

// The zlib stream of a PNG's filtered rows, for stb_image_write's
// STBIW_ZLIB_COMPRESS hook (the Linux build; Windows keeps stb's own).
// malloc'd, as stb frees it; null on failure.
unsigned char *galaxy_png_deflate(unsigned char *data, int data_len, int *out_len, int quality);
