#!/usr/bin/env bash
# Runs every test. Usage: scripts/test.sh [--quick]
# Installs what is missing, builds the Windows DLL (mingw-w64) and the Linux
# library, hosts and tests, then, in order:
#   1. the whole CTest suite under the Vulkan validation layer;
#   2. a job array on a private one-node Slurm (scripts/test-slurm.sh);
#   3. the ARM64 stage: an aarch64 cross-build under qemu-aarch64 (scripts/arm64.sh --test);
#   4. the Windows stage: the DLL, the kit and the tools under Wine 10
#      (scripts/test-windows.sh, in a Debian 13 root that scripts/wine-env.sh makes);
#   5. the web stage: the WebAssembly build in Node and in chromium (scripts/test-web.sh);
#   6. the sanitizer builds (scripts/test-sanitize.sh) and a short fuzz run.
#   --quick  stops after step 2 (for a fast local loop)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
QUICK=0
[ "${1:-}" = "--quick" ] && QUICK=1

bash scripts/install-deps.sh

# Windows: the DLL on the real Direct3D 11, from the same sources.
source scripts/configure-win.sh
cmake --build build-win --target halvenor-galaxy -j"$JOBS"

# Linux: library, hosts, tests and benchmarks.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGALAXY_TESTS=ON -DGALAXY_BENCH=ON \
      -DGALAXY_WINDOWS_DLL="$ROOT/build-win/halvenor-galaxy.dll" >/dev/null
cmake --build build -j"$JOBS"

# Window tests need an X server; start a private Xvfb when none is given.
source scripts/xvfb.sh

# Any validation message fails the test that caused it.
export HALVENOR_VK_VALIDATION=1
ctest --test-dir build --output-on-failure -j1

# A sequence as a job array on a real one-node Slurm, started here (root).
bash scripts/test-slurm.sh

# Linux on ARM64: the library, programs and tests cross-built for aarch64
# (build-arm64/) and run under qemu-aarch64, the four scenes compared with
# the x86-64 pictures (scripts/arm64.sh, scripts/arm64-test.sh).
if [ "$QUICK" = 0 ]; then
  bash scripts/arm64.sh --test
fi

if [ "$QUICK" = 0 ]; then
  bash scripts/test-windows.sh
fi

# The web stage: the WebAssembly build in Node and in headless chromium.
if [ "$QUICK" = 0 ]; then
  bash scripts/test-web.sh
fi

if [ "$QUICK" = 0 ] && [ -x scripts/test-sanitize.sh ]; then
  bash scripts/test-sanitize.sh
fi

# A minute of libFuzzer over the exports (ASan + UBSan, clang).
if [ "$QUICK" = 0 ] && [ -x scripts/fuzz.sh ]; then
  # A minute on lavapipe, where an input's frames are cheapest, so the
  # interface sees the most calls; then half a minute on the CPU executor,
  # the default for offscreen engines, so its paths are fuzzed too.
  HALVENOR_EXECUTOR=vulkan bash scripts/fuzz.sh 60
  bash scripts/fuzz.sh 30
fi
