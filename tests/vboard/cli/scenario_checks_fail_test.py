#!/usr/bin/env python3
"""A shipped scenario's violation checks can fail.

Plays one scenario file of scenarios/ against something broken and requires
exit 4 from every broken run, with every expect-no-violations step of the file
named as FILE:LINE by at least one of them; then plays it against the other
board's image and requires that it is refused before anything runs (exit 65,
one line naming the board: line).

How each scenario is broken is in BREAKS, one or more runs each: the clock
mutant (rear_lamp_clock_mutant.elf: rule findings at start-up, which only a
check over the whole run sees), a push-pull output driven from outside (a
pin_contention finding), or a pickier strip (a board file whose strip misreads
the 960 ns low phase of every 0 bit; the 8-LED board has one of its own). The 400-second runs are shortened (lines of the file
replaced; the checks keep their lines), so that this stays cheap.
Usage: scenario_checks_fail_test.py VBOARD FIRMWARE_DIR SCENARIO_FILE
"""
import os
import re
import subprocess
import sys
import tempfile

SHORT_FRONT = [(": 250s}", ": 1s}"), (": 150s}", ": 1s}")]
SHORT_REAR = [("delay: 215s", "delay: 1s"), ("delay: 185s", "delay: 1s")]
CONTENTION = {"image": "front_lamp.elf", "args": ["--set", "PA8=1@2ms"]}
MUTANT = {"image": "rear_lamp_clock_mutant.elf", "args": []}
PICKY_STRIP = {"image": "rear_lamp.elf",
               "args": ["--board", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "fixtures",
                                                "rear_picky_strip.yaml")]}

STRIP8_PICKY = {"image": "test_strip8.elf",
                "args": ["--board", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support",
                                                 "fixtures", "strip8_picky_strip.yaml")]}

BREAKS = {
    "front_lamp/decisions.yaml": [CONTENTION],
    "front_lamp/lost_signal.yaml": [CONTENTION],
    "front_lamp/threshold.yaml": [CONTENTION],
    "front_lamp/long_run.yaml": [dict(CONTENTION, replace=SHORT_FRONT)],
    "rear_lamp/colours.yaml": [MUTANT, PICKY_STRIP],
    "rear_lamp/bounce.yaml": [MUTANT, PICKY_STRIP],
    "rear_lamp/torn_frame.yaml": [PICKY_STRIP],
    "rear_lamp/long_run.yaml": [dict(MUTANT, replace=SHORT_REAR), dict(PICKY_STRIP, replace=SHORT_REAR)],
    "strip8/green.yaml": [STRIP8_PICKY],
}
# The image of another board for each board's folder: a scenario for BOARD on it is refused.
OTHER = {"front_lamp": "rear_lamp.elf", "rear_lamp": "front_lamp.elf", "strip8": "rear_lamp.elf"}


def main():
    vboard, firmware, path = sys.argv[1:4]
    board = os.path.basename(os.path.dirname(path))
    key = board + "/" + os.path.basename(path)
    if key not in BREAKS:
        sys.exit(f"{key}: no way to break it in BREAKS: add one")
    original = open(path, encoding="utf-8").read()
    checks = [i + 1 for i, line in enumerate(original.splitlines()) if re.match(r"\s*- expect-no-violations:", line)]
    if not checks:
        sys.exit(f"{key}: no expect-no-violations step")
    failed, named, shown = [], set(), ""
    with tempfile.TemporaryDirectory() as tmp:
        for n, brk in enumerate(BREAKS[key]):
            text = original
            for old, new in brk.get("replace", []):
                if old not in text:
                    sys.exit(f"{key}: {old!r} is no longer in the file: update BREAKS")
                text = text.replace(old, new)
            variant = os.path.join(tmp, f"{n}_{os.path.basename(path)}")
            with open(variant, "w", encoding="utf-8") as f:
                f.write(text)
            cmd = [vboard, os.path.join(firmware, brk["image"]), "--scenario", variant, "--no-color", *brk["args"]]
            run = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
            named |= set(int(m) for m in re.findall(re.escape(variant) + r":(\d+): expect-no-violations", run.stdout))
            shown += " ".join(cmd[1:]) + f"\n  exit {run.returncode}\n" + "\n".join(
                line for line in run.stdout.splitlines() if "FAIL" in line) + "\n" + run.stderr[:1000]
            if run.returncode != 4:
                failed.append(f"{brk['image']} {' '.join(brk['args'])}: exit {run.returncode}, expected 4")
        failed += [f"the check on line {line} failed in no broken run" for line in checks if line not in named]
        # The other board's image: refused before anything runs.
        wrong = subprocess.run([vboard, os.path.join(firmware, OTHER[board]), "--scenario", path, "--no-color"],
                               capture_output=True, text=True, timeout=60)
        board_line = next(i + 1 for i, line in enumerate(original.splitlines()) if line.startswith("board:"))
        want = f"{path}:{board_line}: board: the scenario is for {board}, but "
        if wrong.returncode != 65 or wrong.stdout or wrong.stderr.count("\n") != 1 or \
                not wrong.stderr.startswith(want):
            failed.append(f"other board's image: exit {wrong.returncode}, stderr {wrong.stderr!r}; "
                          f"expected 65 and one line starting {want!r}")
    if failed:
        print("\n".join(failed))
        print("--- the broken runs:\n" + shown)
        sys.exit(1)
    print(f"{key}: {len(checks)} checks, each failed in a broken run (exit 4); refused on {OTHER[board]} (exit 65)")


if __name__ == "__main__":
    main()
