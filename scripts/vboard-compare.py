#!/usr/bin/env python3
"""Compares two builds of the virtual board on the real images.

  vboard-compare.py capture VBOARD OUTDIR --front F.elf --rear R.elf
      runs every scenario below with --json and keeps each document and exit status
  vboard-compare.py same DIR_A DIR_B
      says whether the runs agree: pins, strip frames and violations, registers, halt,
      exceptions, instruction count, virtual and idle time, faults, exit status
  vboard-compare.py speed VBOARD_A VBOARD_B --front F.elf --rear R.elf [--rounds 3]
      runs `--figures` of both builds alternately and prints virtual seconds per wall
      second side by side (median of the rounds, every round listed)

Used to show that a change made for speed leaves every run exactly as it was. A run on
a board without a strip (no "strip" member) compares as a strip that latched nothing
and saw no violation; `same` notes each such run.
Exit status: 0 agree, 1 differ (or a run failed to start), 64 usage.
"""
import argparse
import json
import re
import resource
import statistics
import subprocess
import sys
from pathlib import Path

# name, image, arguments. Odd times on purpose: colour changes land inside a
# strip frame (a torn frame), bounces, a fault, an injected interrupt, a slower core.
SCENARIOS = [
    ("front_pulse", "front", ["--for", "300ms", "--pulse", "PA0=1500us@20ms,period=20ms"]),
    ("front_switch", "front", ["--for", "1s", "--pulse", "PA0=1500us@20ms,period=20ms,stop=500ms,jitter=30us",
                               "--pulse", "PA0=1000us@510ms,period=20ms,stop=800ms"]),
    ("front_bounce", "front", ["--for", "400ms", "--set", "PA0=1@100ms,bounce=5x200us",
                               "--set", "PA0=0@102500us,bounce=3x90us"]),
    ("front_pll_fault", "front", ["--for", "50ms", "--fault", "pll_never_locks"]),
    ("front_irq", "front", ["--for", "100ms", "--inject-irq", "25@50ms"]),
    ("front_cpi", "front", ["--for", "200ms", "--cpi", "1.5", "--pulse", "PA0=1500us@20ms"]),
    ("front_no_idle", "front", ["--for", "30ms", "--no-idle-skip", "--pulse", "PA0=1500us@10ms,period=5ms"]),
    ("rear_plain", "rear", ["--for", "50ms"]),
    ("rear_bounce", "rear", ["--for", "50ms", "--set", "PB5=0@10ms,bounce=5x200us"]),
    ("rear_torn", "rear", ["--for", "80ms", "--set", "PB5=0@10.3ms", "--set", "PB6=0@23457us",
                           "--set", "PB4=0@37777us", "--set", "PB5=z@41100us",
                           "--set", "PB6=1@55555us,bounce=4x37us"]),
    ("rear_pll_fault", "rear", ["--for", "50ms", "--fault", "pll_never_locks"]),
    ("rear_irq", "rear", ["--for", "60ms", "--inject-irq", "26@30ms"]),
    ("rear_cpi", "rear", ["--for", "60ms", "--cpi", "2", "--set", "PB4=0@20ms"]),
    ("rear_no_idle", "rear", ["--for", "20ms", "--no-idle-skip", "--set", "PB5=0@5ms"]),
    ("rear_1s", "rear", ["--for", "1s"] + sum(
        [["--set", f"{'PB5' if k % 2 else 'PB6'}={'z' if (k // 2) % 2 else '0'}@{k * 50}ms"]
         for k in range(1, 20)], [])),
]

# Summary lines a capped violation list ends with ("T1L: 14400 violations in total, ...").
SUMMARY = re.compile(r"^\w+: \d+ violations in total")


def capture(args):
    out = Path(args.outdir)
    out.mkdir(parents=True, exist_ok=True)
    images = {"front": args.front, "rear": args.rear}
    for name, image, extra in SCENARIOS:
        p = subprocess.run([args.vboard, images[image], *extra, "--json"], capture_output=True, text=True)
        (out / f"{name}.json").write_text(p.stdout)
        (out / f"{name}.rc").write_text(f"{p.returncode}\n")
        print(f"{name}: exit {p.returncode}, {len(p.stdout)} bytes")
    return 0


def pin_history(doc, name):
    return [tuple(c) for c in doc["pins"][name]]


# What a strip that saw nothing reports: a run without a strip compares as this.
NO_STRIP = {"frames": [], "violations": [], "latch_min_ns": 0, **{f"{k}_{m}_ns": 0 for k in
            ("t0h", "t1h", "t0l", "t1l") for m in ("min", "max")}}


def canonical(doc):
    """What must not change: everything but wall-clock time and the way caps are reported."""
    strip = doc.get("strip", NO_STRIP)
    return {
        "virtual_ns": doc["virtual_ns"],
        "instructions": doc["instructions"],
        "idle_ns": doc["idle_ns"],
        "ok": doc["ok"],
        "frames": strip["frames"],
        "violations": [v for v in strip["violations"] if not SUMMARY.match(v["what"])],
        "timing": {k: v for k, v in strip.items() if k.endswith("_ns")},
        "halt": doc["halt"],
        "registers": doc["registers"],
        "unmodelled": doc["unmodelled"],
        "faults": doc["faults"],
        "notes": doc["notes"],
        "exceptions": doc["exceptions"],
        "first_write_ns": doc["first_write_ns"],
    }


def compare_pins(a, b, name, problems, remarks):
    pa, pb = a["pins"], b["pins"]
    if set(pa) != set(pb):
        problems.append(f"{name}: pins differ: {sorted(set(pa) ^ set(pb))}")
        return
    for pin in pa:
        ha, hb = pin_history(a, pin), pin_history(b, pin)
        if ha == hb:
            continue
        n = min(len(ha), len(hb))
        if ha[:n] == hb[:n]:
            # One side kept more of a long history; the common part is identical.
            remarks.append(f"{name}: {pin}: {len(ha)} vs {len(hb)} changes listed, the first {n} identical")
        else:
            i = next(k for k in range(n) if ha[k] != hb[k])
            problems.append(f"{name}: {pin} differs at change {i}: {ha[i]} vs {hb[i]}")


def same(args):
    da, db = Path(args.a), Path(args.b)
    problems, remarks = [], []
    for name, _, _ in SCENARIOS:
        fa, fb = da / f"{name}.json", db / f"{name}.json"
        if not fa.exists() or not fb.exists():
            problems.append(f"{name}: missing in one directory")
            continue
        ra, rb = (da / f"{name}.rc").read_text().strip(), (db / f"{name}.rc").read_text().strip()
        if ra != rb:
            problems.append(f"{name}: exit status {ra} vs {rb}")
        try:
            a, b = json.loads(fa.read_text()), json.loads(fb.read_text())
        except json.JSONDecodeError as e:
            problems.append(f"{name}: not JSON: {e}")
            continue
        if ("strip" in a) != ("strip" in b):
            remarks.append(f"{name}: a strip in one run only, compared as a strip that latched nothing")
        # Members the canonical form leaves out are named, not dropped silently.
        for side, only in (("first", set(a) - set(b)), ("second", set(b) - set(a))):
            if only:
                remarks.append(f"{name}: members only in the {side} run (not compared): {', '.join(sorted(only))}")
        ca, cb = canonical(a), canonical(b)
        for key in ca:
            if ca[key] != cb[key]:
                problems.append(f"{name}: {key} differs")
        compare_pins(a, b, name, problems, remarks)
        edges = sum(len(h) for h in a["pins"].values())
        print(f"{name}: {len(a.get('strip', NO_STRIP)['frames'])} frames, {edges} pin changes listed, "
              f"{a['instructions']} instructions, exit {ra}")
    for r in remarks:
        print("note:", r)
    for p in problems:
        print("DIFFERS:", p)
    print("identical" if not problems else f"{len(problems)} differences")
    return 0 if not problems else 1


FIGURE = re.compile(r"^(front|rear)(?: without idle skipping)?: .* ([0-9.]+) virtual s per wall s")


def rear_cpu_seconds(vboard, rear):
    """CPU time (user + system) of one 1 s rear run with colour changes: less
    sensitive than wall time to other work on the machine."""
    args = ["--for", "1s"]
    for k in range(1, 20):
        args += ["--set", f"{'PB5' if k % 2 else 'PB6'}={'z' if (k // 2) % 2 else '0'}@{k * 50}ms"]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([vboard, rear, *args, "--no-color"], capture_output=True, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def figures(vboard, front, rear):
    p = subprocess.run([vboard, "--figures", front, rear], capture_output=True, text=True)
    out = {}
    for line in p.stdout.splitlines():
        m = FIGURE.match(line)
        if m:
            key = m.group(1) + (" no idle skip" if "without idle" in line else "")
            out[key] = float(m.group(2))
    if p.returncode != 0 or len(out) != 4:
        sys.exit(f"{vboard} --figures failed (exit {p.returncode}): {p.stderr.strip() or p.stdout[-400:]}")
    out["rear cpu"] = rear_cpu_seconds(vboard, rear)
    return out


def speed(args):
    rounds = {"A": [], "B": []}
    for _ in range(args.rounds):
        rounds["A"].append(figures(args.vboard_a, args.front, args.rear))
        rounds["B"].append(figures(args.vboard_b, args.front, args.rear))
    print(f"A = {args.vboard_a}\nB = {args.vboard_b}\n"
          f"virtual s per wall s from --figures, median of {args.rounds} alternating rounds\n")
    print(f"| {'run':<32} | {'A':>8} | {'B':>8} | {'B / A':>6} | rounds A ; B")
    print(f"|{'-' * 34}|{'-' * 10}|{'-' * 10}|{'-' * 8}|")
    labels = {"front": "front, 1 s (pulse every 20 ms)", "rear": "rear, 1 s (colour every 50 ms)",
              "front no idle skip": "front, 100 ms, no idle skip",
              "rear no idle skip": "rear, 100 ms, no idle skip"}
    for key, label in labels.items():
        a = [r[key] for r in rounds["A"]]
        b = [r[key] for r in rounds["B"]]
        ma, mb = statistics.median(a), statistics.median(b)
        print(f"| {label:<32} | {ma:8.2f} | {mb:8.2f} | {mb / ma:6.2f} | "
              f"{' '.join(f'{x:.1f}' for x in a)} ; {' '.join(f'{x:.1f}' for x in b)}")
    a = [r["rear cpu"] for r in rounds["A"]]
    b = [r["rear cpu"] for r in rounds["B"]]
    ma, mb = statistics.median(a), statistics.median(b)
    print(f"| {'rear, 1 s: CPU s of the process':<32} | {ma:8.3f} | {mb:8.3f} | {ma / mb:6.2f} | "
          f"{' '.join(f'{x:.3f}' for x in a)} ; {' '.join(f'{x:.3f}' for x in b)}")
    print("\n(last row: CPU seconds, lower is faster; its ratio is A / B, the speed-up)")
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    c = sub.add_parser("capture")
    c.add_argument("vboard")
    c.add_argument("outdir")
    c.add_argument("--front", required=True)
    c.add_argument("--rear", required=True)
    s = sub.add_parser("same")
    s.add_argument("a")
    s.add_argument("b")
    p = sub.add_parser("speed")
    p.add_argument("vboard_a")
    p.add_argument("vboard_b")
    p.add_argument("--front", required=True)
    p.add_argument("--rear", required=True)
    p.add_argument("--rounds", type=int, default=3)
    try:
        args = ap.parse_args()
    except SystemExit as e:
        return 0 if e.code == 0 else 64
    return {"capture": capture, "same": same, "speed": speed}[args.cmd](args)


if __name__ == "__main__":
    sys.exit(main())
