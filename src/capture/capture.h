// Readback and screenshots of the last rendered frame.
#pragma once
#include "engine/engine.h"

int engine_readback(Engine *e, const unsigned char **pixels, int *width, int *height, int *stride);
int engine_screenshot(Engine *e, const char *path);

// The zlib stream of a PNG's filtered rows, for stb_image_write's
// STBIW_ZLIB_COMPRESS hook (the Linux build; Windows keeps stb's own).
// malloc'd, as stb frees it; null on failure.
unsigned char *galaxy_png_deflate(unsigned char *data, int data_len, int *out_len, int quality);
