#!/usr/bin/env bash
# The renderer in a web page.
#   scripts/web.sh            builds build-web/dist/ and serves it on http://127.0.0.1:8080/
#   scripts/web.sh --build    only builds build-web/dist/
# Installs what is missing (Debian's emscripten), builds the native
# galaxy-embed-programs in build/ (shared with render.sh and test.sh) to
# compile the engine's programs ahead of time, then the WebAssembly module.
# Emscripten's cache lives in $EM_CACHE (default /var/cache/halvenor-galaxy-emscripten),
# outside the tree, so only the first build pays for it.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=${JOBS:-$(nproc)}
PORT=${PORT:-8080}
BUILD_ONLY=0
case "${1:-}" in
  --build) BUILD_ONLY=1 ;;
  "") ;;
  *) echo "usage: $0 [--build]" >&2; exit 2 ;;
esac

bash "$ROOT/scripts/install-deps.sh" web

# The native compiler of the programs, in build/ configured as render.sh does.
if [ -f "$ROOT/build/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$ROOT/build" >/dev/null
else
  cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DGALAXY_TESTS=OFF -DGALAXY_BENCH=OFF >/dev/null
fi
cmake --build "$ROOT/build" -j"$JOBS" --target galaxy-embed-programs
OUT="$ROOT/build-web"
mkdir -p "$OUT"
"$ROOT/build/galaxy-embed-programs" "$OUT/web_programs.cpp.new"
# Rewritten only when it changed, so an unchanged table rebuilds nothing.
if cmp -s "$OUT/web_programs.cpp.new" "$OUT/web_programs.cpp"; then
  rm "$OUT/web_programs.cpp.new"
else
  mv "$OUT/web_programs.cpp.new" "$OUT/web_programs.cpp"
fi

# Debian's emscripten ships a read-only cache of prebuilt libraries; ours
# starts as a copy of it and may add what a setting needs.
export EM_CACHE=${EM_CACHE:-/var/cache/halvenor-galaxy-emscripten}
export EM_FROZEN_CACHE=0
# Debian keeps node-acorn where Debian's node looks; other node builds need told.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
if [ ! -f "$EM_CACHE/sysroot_install.stamp" ]; then
  mkdir -p "$(dirname "$EM_CACHE")"
  rm -rf "$EM_CACHE.tmp"
  cp -a /usr/share/emscripten/cache "$EM_CACHE.tmp"
  mv "$EM_CACHE.tmp" "$EM_CACHE"
fi

if [ ! -f "$OUT/wasm/CMakeCache.txt" ]; then
  emcmake cmake -S "$ROOT/web" -B "$OUT/wasm" -DCMAKE_BUILD_TYPE=Release \
          -DGALAXY_WEB_PROGRAMS="$OUT/web_programs.cpp" >/dev/null
fi
cmake --build "$OUT/wasm" -j"$JOBS"

DIST="$OUT/dist"
mkdir -p "$DIST"
cp "$OUT/wasm/halvenor-galaxy-core.js" "$OUT/wasm/halvenor-galaxy-core.wasm" \
   "$OUT/wasm/halvenor-galaxy-core.worker.js" \
   "$OUT/wasm/halvenor-galaxy-core-single.js" "$OUT/wasm/halvenor-galaxy-core-single.wasm" "$DIST/"
cp "$ROOT"/web/index.html "$ROOT"/web/page.mjs "$ROOT"/web/halvenor-galaxy.mjs "$ROOT"/web/halvenor-galaxy.d.ts \
   "$ROOT"/web/halvenor-galaxy-engine.js "$ROOT"/web/halvenor-galaxy-worker.js "$ROOT"/web/package.json "$DIST/"
echo "built $DIST ($(gzip -9c "$DIST/halvenor-galaxy-core.wasm" | wc -c) bytes of gzipped WebAssembly," \
     "$(gzip -9c "$DIST/halvenor-galaxy-core-single.wasm" | wc -c) for the build without threads)"

[ "$BUILD_ONLY" = 1 ] && exit 0
exec python3 "$ROOT/web/serve.py" --port "$PORT" "$DIST"
