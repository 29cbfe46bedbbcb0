#!/usr/bin/env bash
# What a processor without AVX2 costs the CPU executor, measured on an x86-64
# machine: bench_frame on the CPU executor with its AVX2 builds (the default)
# and with HALVENOR_SW_SIMD=generic (the portable build, the one aarch64
# runs), in turns, ROUNDS times each; prints the medians per scene.
#   bench/generic_vs_avx2.sh [BUILD_DIR=build] [ROUNDS=5] [QUALITY=1]
# Each turn is one bench_frame process at 1280x720 (3 samples and 400 ms per
# case at least), so a change in the host's load falls on both builds alike.
# total: wall time of frame + readback; proc: the process's CPU time for it
# (all workers), steadier than wall time on a shared machine.
set -euo pipefail
BUILD=${1:-build}
ROUNDS=${2:-5}
QUALITY=${3:-1}
BENCH=$BUILD/bench/bench_frame
[ -x "$BENCH" ] || { echo "no $BENCH (cmake --build $BUILD --target bench_frame)" >&2; exit 1; }
OUT=$(mktemp)
trap 'rm -f "$OUT"' EXIT

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for _ in $(seq "$ROUNDS"); do
  for build in avx2 generic; do
    if [ "$build" = generic ]; then export HALVENOR_SW_SIMD=generic; else unset HALVENOR_SW_SIMD; fi
    # q mode executor total frame cpu proc ...: keep this quality's CPU executor lines.
    "$BENCH" 3 400 "$QUALITY" cpu | awk -v b="$build" -v q="$QUALITY" '$1 == q && $3 == "cpu" { print b, $2, $4, $7 }' >>"$OUT"
  done
done
unset HALVENOR_SW_SIMD
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$OUT" "$QUALITY" "$ROUNDS" <<'EOF'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
names = ["solar system", "galaxy", "black hole", "asteroid field"]
print(f"quality {sys.argv[2]}, 1280x720, medians of {sys.argv[3]} runs each, ms")
print("| mode | AVX2 total | generic total | generic / AVX2 | AVX2 proc | generic proc | generic / AVX2 |")
print("|---|---|---|---|---|---|---|")
for mode in range(4):
    pick = lambda b, col: statistics.median(float(r[col]) for r in rows if r[0] == b and int(r[1]) == mode)
    a, g = pick("avx2", 2), pick("generic", 2)
    pa, pg = pick("avx2", 3), pick("generic", 3)
    print(f"| {names[mode]} | {a:.1f} | {g:.1f} | {g / a:.2f}x | {pa:.1f} | {pg:.1f} | {pg / pa:.2f}x |")
EOF
