#!/usr/bin/env python3
"""Checks the README's memory budget of a long run on the virtual board.

    memory_budget_test.py --vboard VBOARD --rear REAR.elf --readme README.md

Runs the rear image past every kept list (250 s of virtual time: more frames,
pin changes and strip violations than the report keeps) with its JSON report
streamed to /dev/null, and checks that the process's peak resident memory stays
within the budget the README states on its line "peak resident memory ...
within N MB". Past the kept lists memory no longer grows with the run's length,
so the budget holds for any length. Exit status: 0 within, 1 over, 2 bad input
or the run failed.
"""

import argparse
import re
import resource
import subprocess
import sys

BUDGET = re.compile(r"peak resident memory .*? within (\d+) MB", re.S)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--vboard", required=True)
    ap.add_argument("--rear", required=True)
    ap.add_argument("--readme", required=True)
    ap.add_argument("--for", dest="length", default="250s")
    a = ap.parse_args()
    with open(a.readme, encoding="utf-8") as f:
        found = BUDGET.search(f.read())
    if not found:
        print("memory_budget: the README states no 'peak resident memory ... within N MB'", file=sys.stderr)
        return 2
    budget_mb = int(found.group(1))
    with open("/dev/null", "wb") as null:
        rc = subprocess.run([a.vboard, a.rear, "--for", a.length, "--json"], stdout=null).returncode
    if rc != 0:
        print("memory_budget: vboard exited %d" % rc, file=sys.stderr)
        return 2
    peak_mb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    print("rear --for %s --json: peak resident memory %.1f MB (budget %d MB)" % (a.length, peak_mb, budget_mb))
    return 0 if peak_mb <= budget_mb else 1


if __name__ == "__main__":
    sys.exit(main())
