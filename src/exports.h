// The library's one engine and its ready flag, visible to tests.
#pragma once
#include "engine/engine.h"

extern Engine g_eng;
extern int g_ready;
