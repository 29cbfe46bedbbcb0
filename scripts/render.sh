#!/usr/bin/env bash
# Renders the scenes to PNG: installs what is missing, builds the library and
# galaxy-render into build/, then runs it with these arguments.
#   scripts/render.sh                 the four scenes into ./galaxy-out/
#   scripts/render.sh --help          every option
#   scripts/render.sh -m galaxy -s 1920x1080 -q 2 -o galaxy.png
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=${JOBS:-$(nproc)}

bash "$ROOT/scripts/install-deps.sh" render

# build/ is shared with scripts/test.sh: configure it the same way the first
# time, and never change options of an existing cache (that would rebuild all).
if [ -f "$ROOT/build/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$ROOT/build" >/dev/null
else
  # Tests and benchmarks stay off: their packages come with scripts/test.sh,
  # which turns them on in this same build directory.
  cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DGALAXY_TESTS=OFF -DGALAXY_BENCH=OFF >/dev/null
fi
cmake --build "$ROOT/build" -j"$JOBS" --target galaxy-render

# Relative output paths stay relative to where the user called us from.
exec "$ROOT/build/hosts/galaxy-render" "$@"
