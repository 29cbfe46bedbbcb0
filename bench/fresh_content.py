#!/usr/bin/env python3
"""A user's first minute: engine creation and quality changes in fresh
processes, two builds of the library in turns; prints the median and the
spread of each figure.

    bench/fresh_content.py OLD.so NEW.so [ROUNDS = 9] [PAUSE = 3]

Each run is a new process that loads the library, creates an offscreen
1280x720 engine (CPU executor) at quality 1, sets quality 2, then 1 again.
For each step it reports the wall time, the process's CPU time (user and
system) and its minor page faults. The builds alternate ABBA so both see
the same drift in the machine's load.

Before each run the script waits PAUSE seconds. On virtual machines with
free page reporting the guest hands large free blocks back to the
hypervisor once they have been free a while (upstream kernels wait two
seconds), and the next touch of them waits for the host: a process started
seconds after the last one meets memory in the state a user's first start
does, while back-to-back runs can reuse what the previous one just freed
and look faster than a real start."""
import ctypes
import json
import os
import resource
import statistics
import subprocess
import sys
import time

STEPS = ["create", "1to2", "2to1"]
FIGURES = ["ms", "user_ms", "sys_ms", "pf"]


def child(lib_path):
    lib = ctypes.CDLL(os.path.abspath(lib_path))
    lib.galaxy_create_offscreen.argtypes = [ctypes.c_int, ctypes.c_int]
    lib.galaxy_set_quality.argtypes = [ctypes.c_int]
    lib.galaxy_get_error.restype = ctypes.c_char_p

    def snap():
        r = resource.getrusage(resource.RUSAGE_SELF)
        return time.perf_counter(), r.ru_utime, r.ru_stime, r.ru_minflt

    marks = [snap()]
    if lib.galaxy_create_offscreen(1280, 720) != 0:
        sys.exit("galaxy_create_offscreen failed: " + lib.galaxy_get_error().decode())
    marks.append(snap())
    lib.galaxy_set_quality(2)
    marks.append(snap())
    lib.galaxy_set_quality(1)
    marks.append(snap())
    out = {}
    for step, a, b in zip(STEPS, marks, marks[1:]):
        out[step] = {"ms": (b[0] - a[0]) * 1e3, "user_ms": (b[1] - a[1]) * 1e3, "sys_ms": (b[2] - a[2]) * 1e3,
                     "pf": b[3] - a[3]}
    lib.galaxy_destroy()
    print(json.dumps(out))


def run(lib_path):
    out = subprocess.run([sys.executable, __file__, "--child", lib_path], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        return child(sys.argv[2])
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    libs = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 9
    pause = float(sys.argv[4]) if len(sys.argv) > 4 else 3.0
    seen = [{}, {}]  # per build: {(step, figure): [values]}
    loads = []
    for r in range(rounds):
        for k in ((0, 1) if r % 2 == 0 else (1, 0)):
            time.sleep(pause)
            loads.append(os.getloadavg()[0])
            for step, figs in run(libs[k]).items():
                for f, v in figs.items():
                    seen[k].setdefault((step, f), []).append(v)
    print(f"{rounds} fresh processes per build, {pause:g} s apart; load average {min(loads):.1f}-{max(loads):.1f}")
    print("median [min-max]; ms of wall time, user and system CPU time of the process, minor page faults")
    print(f"{'figure':14} {'old':>22} {'new':>22}")
    for step in STEPS:
        for f in FIGURES:
            cells = []
            for k in (0, 1):
                v = seen[k][(step, f)]
                cells.append(f"{statistics.median(v):.0f} [{min(v):.0f}-{max(v):.0f}]")
            print(f"{step + ' ' + f:14} {cells[0]:>22} {cells[1]:>22}")


if __name__ == "__main__":
    main()
