#!/usr/bin/env bash
# The web stage: builds the page (scripts/web.sh --build), renders the test
# states with the native library, runs the module in Node against them, then
# the page in Debian's chromium (headless, driven by puppeteer-core from npm,
# installed under build-web/; no browser is downloaded).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=${JOBS:-$(nproc)}

bash "$ROOT/scripts/install-deps.sh" web-test
bash "$ROOT/scripts/web.sh" --build
cmake --build "$ROOT/build" -j"$JOBS" --target halvenor-galaxy

WORK=$(mktemp -d)
# The servers' ids go to files: serve runs in a command substitution's
# subshell, whose variables never reach this shell.
cleanup() {
  for f in "$WORK"/*.pid; do [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT

export WEB_DIST="$ROOT/build-web/dist" WEB_NATIVE="$WORK/native"
python3 "$ROOT/tests/web/native_frames.py" "$ROOT/build/libhalvenor-galaxy.so" "$WEB_NATIVE"
echo "== web: the module in Node"
node --test "$ROOT/tests/web/offscreen.test.mjs"

# npm pack makes a package that installs (from the tarball alone) and renders.
echo "== web: the npm package"
mkdir -p "$WORK/pack/app"
(cd "$WEB_DIST" && npm pack --pack-destination "$WORK/pack" --loglevel=error >/dev/null)
echo '{"name": "app", "private": true}' > "$WORK/pack/app/package.json"
(cd "$WORK/pack/app" && npm install --offline --no-audit --no-fund --loglevel=error "$WORK"/pack/halvenor-galaxy-*.tgz >/dev/null &&
 node --input-type=module -e "
import {createGalaxyOffscreen} from 'halvenor-galaxy';
const g = await createGalaxyOffscreen(64, 36, {timeScale: 0});
await g.frame();
const img = await g.readback();
if (img.width !== 64 || img.height !== 36 || !img.data.some((v, i) => i % 4 !== 3 && v > 0))
  throw new Error('the installed package renders no frame');
await g.destroy();
console.log('installed package', g.version, 'renders');")

DRIVER=$(bash "$ROOT/scripts/web-driver.sh")

# Two servers on ports the system picks: with and without isolation headers.
serve() {
  python3 "$ROOT/web/serve.py" --port 0 "$@" "$WEB_DIST" > "$WORK/$1.log" 2>&1 &
  echo $! > "$WORK/$1.pid"
  for _ in $(seq 100); do
    grep -q "^serving" "$WORK/$1.log" && break
    sleep 0.1
  done
  sed -n 's/^serving .* on \(http[^ ]*\)$/\1/p' "$WORK/$1.log"
}
WEB_URL=$(serve --isolation) WEB_URL_PLAIN=$(serve --no-isolation)
export WEB_URL WEB_URL_PLAIN WEB_DRIVER="$DRIVER"
echo "== web: the page in chromium ($WEB_URL)"
node --test "$ROOT/tests/web/browser.test.mjs"
