// Readback and screenshots of the last rendered frame.
#pragma once
#include "engine/engine.h"

int engine_readback(Engine *e, const unsigned char **pixels, int *width, int *height, int *stride);
int engine_screenshot(Engine *e, const char *path);
