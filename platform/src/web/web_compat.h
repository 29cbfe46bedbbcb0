// Included ahead of every engine source in the web build. Clang has no
// __builtin_sincosf for WebAssembly; the C library's sincosf is the same
// function GCC's builtin calls on Linux.
#pragma once
#include <math.h>
#define __builtin_sincosf sincosf
