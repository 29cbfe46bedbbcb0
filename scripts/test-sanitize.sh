#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer (+ LeakSanitizer) build of the
# library and its tests. Called by scripts/test.sh; runs on its own too.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DGALAXY_SANITIZE=ON -DGALAXY_BENCH=OFF >/dev/null
cmake --build build-asan -j"$JOBS" --target engine_tests platform_tests

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_odr_violation=0"
export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "sanitizer build: platform_tests"
build-asan/tests/platform_tests --gtest_brief=1
echo "sanitizer build: engine_tests"
build-asan/tests/engine_tests --gtest_brief=1
