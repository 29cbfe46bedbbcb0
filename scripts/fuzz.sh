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
# it a minute before calling it a hang.
echo "fuzz: ${SECONDS_TO_RUN}s over the exports"
build-fuzz/fuzz_exports -max_total_time="$SECONDS_TO_RUN" -timeout=60 -max_len=256 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ "$CORPUS" 2>&1 |
  grep -E '^vulkan: |^#|^stat::|ERROR|SUMMARY|fuzz_exports:|runtime error|Done|crash|leak|timeout' || true
exit "${PIPESTATUS[0]}"
