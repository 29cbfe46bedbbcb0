#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer (+ LeakSanitizer) build of the
# library and its tests, and a ThreadSanitizer build of the CPU executor's. Called by scripts/test.sh; runs on its own too.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DGALAXY_SANITIZE=ON -DGALAXY_BENCH=OFF >/dev/null
cmake --build build-asan -j"$JOBS" --target engine_tests platform_tests sw_tests

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_odr_violation=0"
export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
echo "sanitizer build: platform_tests"
build-asan/tests/platform_tests --gtest_brief=1
echo "sanitizer build: platform_tests on lavapipe"
HALVENOR_EXECUTOR=vulkan build-asan/tests/platform_tests --gtest_brief=1
echo "sanitizer build: sw_tests"
build-asan/tests/sw_tests --gtest_brief=1
echo "sanitizer build: engine_tests"
build-asan/tests/engine_tests --gtest_brief=1

# ThreadSanitizer on the CPU executor's own tests (its workers share tiles,
# bins and registers).
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGALAXY_BENCH=OFF \
    -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_C_FLAGS=-fsanitize=thread \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build build-tsan -j"$JOBS" --target sw_tests
echo "thread sanitizer build: sw_tests"
TSAN_OPTIONS="halt_on_error=1" build-tsan/tests/sw_tests --gtest_brief=1
