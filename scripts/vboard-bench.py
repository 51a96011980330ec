#!/usr/bin/env python3
"""Times the virtual board's four speed-critical runs on two builds side by side.

  python3 scripts/vboard-bench.py NEW_VBOARD OLD_VBOARD --front front_lamp.elf --rear rear_lamp.elf [-n 5]

The runs: the rear image for 100 s (idle skipping on), the front image for 5 s
without idle skipping, the front image for 5 s fed a 20 kHz pulse train, and
the rear image for 10 s writing a VCD trace (about 190 MB, in a temporary
folder removed at the end). Each run of the new build is
followed by the same run of the old one (A B A B ...), so a drift of the
machine's speed hits both alike; the CPU time (user + system) of each run is
taken from the operating system. Prints per run the median, minimum and
maximum of both and the median of the pairwise ratios old/new (above 1: the
new build is faster), and the machine's load average before and after.
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile


def cpu_seconds(cmd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("new")
    ap.add_argument("old")
    ap.add_argument("--front", required=True)
    ap.add_argument("--rear", required=True)
    ap.add_argument("-n", type=int, default=5, help="runs of each build per case (default 5)")
    a = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="vboard-bench-")  # removed at the end
    cases = [
        ("rear, 100 s", [a.rear, "--for", "100s"]),
        ("front, 5 s without idle skipping", [a.front, "--for", "5s", "--no-idle-skip"]),
        ("front, 5 s of a 20 kHz pulse train", [a.front, "--for", "5s", "--pulse", "PA0=25us@0,period=50us"]),
        ("rear, 10 s with --vcd", [a.rear, "--for", "10s", "--vcd", os.path.join(tmp, "trace.vcd")]),
    ]
    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"{'run':36} {'new s (median min..max)':>26} {'old s (median min..max)':>26} {'old/new':>8}")
    for name, args in cases:
        cpu_seconds([a.new] + args)  # warm-up: page cache and the like
        new, old = [], []
        for _ in range(a.n):
            new.append(cpu_seconds([a.new] + args))
            old.append(cpu_seconds([a.old] + args))
        ratio = statistics.median(o / n for n, o in zip(new, old))
        fmt = lambda v: f"{statistics.median(v):.3f} ({min(v):.3f}..{max(v):.3f})"
        print(f"{name:36} {fmt(new):>26} {fmt(old):>26} {ratio:8.2f}")
    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
