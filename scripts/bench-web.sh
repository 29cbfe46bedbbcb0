#!/usr/bin/env bash
# The web page's frame times beside the native CPU executor's, in one run:
# prints a table (every mode, quality 1, 1280x720), the time from page load
# to the first frame and the module's size. FRAMES and ROUNDS set the sample.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=${JOBS:-$(nproc)}
bash "$ROOT/scripts/install-deps.sh" web-test
bash "$ROOT/scripts/web.sh" --build >/dev/null
cmake --build "$ROOT/build" -j"$JOBS" --target halvenor-galaxy >/dev/null
WEB_DRIVER=$(bash "$ROOT/scripts/web-driver.sh")
WORK=$(mktemp -d)
python3 "$ROOT/web/serve.py" --port 0 "$ROOT/build-web/dist" > "$WORK/serve.log" 2>&1 &
SERVER=$!
trap 'kill $SERVER 2>/dev/null || true; rm -rf "$WORK"' EXIT
for _ in $(seq 100); do grep -q "^serving" "$WORK/serve.log" && break; sleep 0.1; done
WEB_URL=$(sed -n 's/^serving .* on \(http[^ ]*\)$/\1/p' "$WORK/serve.log")
WEB_DRIVER="$WEB_DRIVER" WEB_URL="$WEB_URL" WEB_DIST="$ROOT/build-web/dist" \
  NATIVE_LIB="$ROOT/build/libhalvenor-galaxy.so" node "$ROOT/bench/web/bench.mjs"
