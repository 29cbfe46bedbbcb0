#!/usr/bin/env python3
"""Engine creation and quality changes of two bench_content binaries, run in
turns so both see the same machine load; prints the median of each figure
over the rounds, side by side.

    bench/compare_content.py OLD NEW [ROUNDS = 7]

Build OLD from the commit before a change (a second worktree, say) and NEW
from the change; both must have the engine/ benchmarks of this source."""
import json
import os
import statistics
import subprocess
import sys

FIGURES = ["real_time", "cpu_ms", "pf", "stars_ms", "belt_ms", "galaxy_ms", "disk_ms", "rocks_ms", "sets_cpu_ms",
           "sets_pf", "buffer_ms", "buffer_cpu_ms", "buffer_pf", "copy_ms", "release_ms"]


def run(binary):
    out = subprocess.run([binary, "--benchmark_filter=^engine/(create|quality|breakdown)",
                          "--benchmark_format=json"], capture_output=True, text=True, check=True).stdout
    return {b["name"].split("/iterations")[0]: b for b in json.loads(out)["benchmarks"]}


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    binaries = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    seen = [{}, {}]  # per binary: {(benchmark, figure): [values]}
    for r in range(rounds):
        for k in ((0, 1) if r % 2 == 0 else (1, 0)):
            for name, b in run(binaries[k]).items():
                for f in FIGURES:
                    if f in b:
                        seen[k].setdefault((name, f), []).append(float(b[f]))
    print(f"{rounds} rounds, load average {os.getloadavg()[0]:.1f} at the end; medians (ms of wall time, cpu_ms of the thread's CPU time, page faults)")
    print(f"{'figure':44} {'old':>10} {'new':>10}")
    for key in sorted(seen[0], key=lambda k: (k[0], FIGURES.index(k[1]))):
        old = statistics.median(seen[0][key])
        new = statistics.median(seen[1][key]) if key in seen[1] else float("nan")
        print(f"{key[0] + ' ' + key[1]:44} {old:10.1f} {new:10.1f}")


if __name__ == "__main__":
    main()
