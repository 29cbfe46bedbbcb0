#!/usr/bin/env bash
# Installs the browser tests' driver (puppeteer-core, from the committed lock
# file) into build-web/test-driver/ and prints its node_modules path. Only a
# changed lock file installs again; no browser is downloaded (Debian's
# chromium is the browser).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DRIVER="$ROOT/build-web/test-driver"
if ! cmp -s "$ROOT/tests/web/package-lock.json" "$DRIVER/package-lock.json"; then
  rm -rf "$DRIVER"
  mkdir -p "$DRIVER"
  cp "$ROOT/tests/web/package.json" "$DRIVER/"
  (cd "$DRIVER" && cp "$ROOT/tests/web/package-lock.json" . &&
   PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >&2)
fi
echo "$DRIVER/node_modules"
