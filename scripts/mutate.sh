#!/usr/bin/env bash
# Mutation sweep, run by hand (not in CI): applies each fault of
# scripts/mutants.txt on its own to a scratch copy of the tree, builds, runs
# the suite without the soak, and prints which faults no test caught.
#   scripts/mutate.sh [NAME...]   (default: every fault of the list)
# MUTATE_QUICK=1 builds and runs only the C++ test programs (platform tests on
# both executors, CPU executor, engine; the engine tests on the CPU executor,
# or on lavapipe for faults in platform/src/vk), without the fault sweep
# (about a minute a fault instead of several): a first pass whose survivors
# the full run then confirms. MUTATE_TESTS=REGEX runs only the CTest
# entries matching REGEX (ctest -R), e.g. 'cli|viewer|python' for faults of
# the host programs: a fault those kill, the whole suite kills too.
# Faults in the web build's files (web/, platform/src/web/, tests/web/) run
# the web stage (scripts/test-web.sh) instead of the CTest suite.
# Needs an X display for the window tests (DISPLAY, or Xvfb on PATH). Builds
# with -j${JOBS:-1}: the sweep is long, keep it off a busy machine's cores.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
LIST=$ROOT/scripts/mutants.txt
JOBS=${JOBS:-1}
QUICK=${MUTATE_QUICK:-0}
TESTS=${MUTATE_TESTS:-}
TARGETS=()
[ "$QUICK" = 1 ] && TARGETS=(--target engine_tests platform_tests sw_tests)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/halvenor-mutate-XXXXXX")
XVFB_PID=""
cleanup() {
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
  for n in $(seq 201 240); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
      XVFB_PID=$!
      export DISPLAY=":$n"
      sleep 1
      break
    fi
  done
fi
export HALVENOR_VK_VALIDATION=1

# One scratch copy and one build, reused: each fault is applied, tested and
# taken back, so every build after the first is incremental.
SRC=$WORK/src
mkdir -p "$SRC"
tar -C "$ROOT" --exclude='./build*' --exclude='./.git' -cf - . | tar -C "$SRC" -xf -

# Faults in the web build's own files are caught by the web stage
# (scripts/test-web.sh, which builds the scratch copy's build/ and build-web/),
# every other fault by the CTest suite; each suite runs only when a chosen
# fault needs it.
is_web() { case "$1" in web/*|platform/src/web/*|tests/web/*) return 0 ;; *) return 1 ;; esac; }
NEED_CTEST=0; NEED_WEB=0
while IFS= read -r line; do
  case "$line" in ''|'#'*) continue ;; esac
  name=${line%% ||| *}; rest=${line#* ||| }; file=${rest%% ||| *}
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  if is_web "$file"; then NEED_WEB=1; else NEED_CTEST=1; fi
done <"$LIST"

if [ "$NEED_CTEST" = 1 ]; then
  cmake -S "$SRC" -B "$WORK/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGALAXY_BENCH=OFF >/dev/null || exit 1
  cmake --build "$WORK/build" -j"$JOBS" "${TARGETS[@]}" >/dev/null || { echo "mutate: the unchanged tree does not build"; exit 1; }
fi

run_web() { JOBS=$JOBS bash "$SRC/scripts/test-web.sh" >"$WORK/ctest.log" 2>&1; }
# run_ctest [FILE]: FILE, the fault's file, picks the engine tests' executor
# in the quick pass.
run_ctest() {
  if [ "$QUICK" = 1 ]; then
    # The platform tests on both executors (a few seconds); the engine
    # tests on lavapipe for faults of the Vulkan executor, which show there only.
    local executor=cpu
    case "${1:-}" in platform/src/vk/*) executor=vulkan ;; esac
    { HALVENOR_EXECUTOR=cpu "$WORK/build/tests/platform_tests" --gtest_brief=1 &&
      HALVENOR_EXECUTOR=vulkan "$WORK/build/tests/platform_tests" --gtest_brief=1 &&
      "$WORK/build/tests/sw_tests" --gtest_brief=1 &&
      HALVENOR_SW_SIMD=generic "$WORK/build/tests/platform_tests" --gtest_brief=1 --gtest_filter='ArithTest.*' &&
      HALVENOR_EXECUTOR=$executor "$WORK/build/tests/engine_tests" --gtest_brief=1 --gtest_filter='-FaultSweep.*'; } >"$WORK/ctest.log" 2>&1
  else
    ctest --test-dir "$WORK/build" -E '^soak$' ${TESTS:+-R "$TESTS"} -j1 --timeout 900 >"$WORK/ctest.log" 2>&1
  fi
}
# run_suite [FILE]: 0 when every test of the suite that covers FILE passes;
# without FILE, of every suite a chosen fault needs.
run_suite() {
  if [ -n "${1:-}" ]; then
    if is_web "$1"; then run_web; else run_ctest "$1"; fi
    return
  fi
  { [ "$NEED_WEB" = 0 ] || run_web; } && { [ "$NEED_CTEST" = 0 ] || run_ctest; }
}
run_suite || { echo "mutate: the unchanged tree fails its tests:"; tail -20 "$WORK/ctest.log"; exit 1; }

# apply FILE ORIGINAL REPLACEMENT: exits 2 when ORIGINAL does not occur exactly once.
apply() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path).read()
n = text.count(old)
if n != 1:
    sys.exit(2 if n == 0 else 3)
open(path, "w").write(text.replace(old, new))
PY
}

killed=0; survived=(); stale=(); broken=(); total=0
while IFS= read -r line; do
  case "$line" in ''|'#'*) continue ;; esac
  name=${line%% ||| *}; rest=${line#* ||| }
  file=${rest%% ||| *}; rest=${rest#* ||| }
  old=${rest%% ||| *}; rest=${rest#* ||| }
  new=${rest%% ||| *}; effect=${rest#* ||| }
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  total=$((total + 1))
  cp "$SRC/$file" "$WORK/original"
  apply "$SRC/$file" "$old" "$new"
  case $? in
    0) ;;
    2) echo "STALE    $name: the original text no longer occurs in $file"; stale+=("$name"); continue ;;
    *) echo "STALE    $name: the original text occurs more than once in $file"; stale+=("$name"); continue ;;
  esac
  if ! is_web "$file" && ! cmake --build "$WORK/build" -j"$JOBS" "${TARGETS[@]}" >"$WORK/build.log" 2>&1; then
    echo "NOBUILD  $name"; broken+=("$name")
  elif run_suite "$file"; then
    echo "SURVIVED $name ($file): $effect"; survived+=("$name")
  else
    echo "killed   $name by: $(grep -E '^\[  FAILED  \]|Failed|\*\*\*|^not ok' "$WORK/ctest.log" | head -3 | tr '\n' ' ')"
    killed=$((killed + 1))
  fi
  cp "$WORK/original" "$SRC/$file"
done <"$LIST"

echo "mutate: $total faults, $killed killed, ${#survived[@]} survived, ${#stale[@]} stale, ${#broken[@]} did not build"
[ ${#survived[@]} -eq 0 ] || echo "survivors: ${survived[*]}"
[ ${#stale[@]} -eq 0 ] || echo "stale (update scripts/mutants.txt): ${stale[*]}"
[ ${#survived[@]} -eq 0 ] && [ ${#stale[@]} -eq 0 ]
