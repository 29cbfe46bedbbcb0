#!/usr/bin/env bash
# libFuzzer run over the fourteen exports (tests/fuzz/fuzz_exports.cpp) with
# AddressSanitizer and UndefinedBehaviorSanitizer, starting from the committed
# seed corpus. Usage: scripts/fuzz.sh [seconds]   (default 60)
# New inputs go to a temporary copy of the corpus; a crash leaves its input in
# build-fuzz/artifacts/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-60}
JOBS=${JOBS:-$(nproc)}

if ! command -v clang++-14 >/dev/null; then
  bash scripts/install-deps.sh || true
fi
if ! command -v clang++-14 >/dev/null || ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "fuzz: clang-14 with libFuzzer is not available; skipped"
  exit 0
fi

cmake -S tests/fuzz -B build-fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build-fuzz --target fuzz_exports -j"$JOBS"

CORPUS=$(mktemp -d)
trap 'rm -rf "$CORPUS"' EXIT
cp tests/fuzz/corpus/* "$CORPUS"/
mkdir -p build-fuzz/artifacts

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_odr_violation=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# One input can hold a few level-1 frames on the software rasterizer: allow
# it a minute before calling it a hang. Level 2 content and the 16384-pixel
# render targets need more than the default 2 GB: an engine of 16384 x 16384
# holds a target, a depth buffer and a readback copy of 1 GiB each, all
# touched at creation (3.3 GB resident on either executor, over 4 GB with the
# sanitizers' shadow memory). 8 GB leaves room for that on a 24 GB machine
# while still stopping runaway growth. Long inputs are what make the calls
# many (the harness pays expensive calls with credit the cheap ones earn), so
# take full-length ones from the start. The engine lives across inputs, and
# the driver keeps memory where LeakSanitizer does not look while it does:
# leaks are checked once, at exit, after the last engine is gone.
echo "fuzz: ${SECONDS_TO_RUN}s over the exports"
LOG=build-fuzz/fuzz.log
set +e
build-fuzz/fuzz_exports -max_total_time="$SECONDS_TO_RUN" -timeout=60 -rss_limit_mb=8192 \
    -max_len=4096 -len_control=0 -detect_leaks=0 -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ "$CORPUS" >"$LOG" 2>&1
rc=$?
set -e
grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::|Done |fuzz_exports: )' "$LOG" || true
if [ "$rc" -ne 0 ]; then
  echo "fuzz: failed (exit $rc); the end of $LOG:"
  tail -80 "$LOG"
fi
exit "$rc"
