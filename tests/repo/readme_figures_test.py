#!/usr/bin/env python3
"""Checks that the README's figures table is what `vboard --figures` prints.

    readme_figures_test.py --vboard VBOARD --front FRONT.elf --rear REAR.elf --readme README.md

Counted figures (bytes, instructions) must be equal, row for row; the rows per
wall second (values starting with "about") depend on the machine, so only their
presence is checked. Exit status: 0 equal, 1 the tables differ (each
difference on one line), 2 bad input or the command failed.
"""

import argparse
import re
import subprocess
import sys

ROW = re.compile(r"^\|\s*(.+?)\s*\|\s*(.+?)\s*\|\s*$")
HEADER = "| Figure | Value |"


def table_after(lines, start):
    """Rows {figure: value} of the Markdown table whose header line is at `start`."""
    rows = {}
    for line in lines[start + 2:]:
        m = ROW.match(line)
        if not m:
            break
        rows[m.group(1)] = m.group(2)
    return rows


def figures_table(text, what):
    lines = text.splitlines()
    starts = [i for i, line in enumerate(lines) if line.strip() == HEADER]
    if len(starts) != 1:
        raise ValueError(f"{what}: expected one '{HEADER}' table, found {len(starts)}")
    rows = table_after(lines, starts[0])
    if not rows:
        raise ValueError(f"{what}: the figures table has no rows")
    return rows


def wall_clock(value):
    return value.startswith("about")


def differences(readme, printed):
    out = []
    for figure, value in printed.items():
        if figure not in readme:
            out.append(f"README lacks the row '{figure}' (the command prints '{value}')")
        elif not wall_clock(value) and readme[figure] != value:
            out.append(f"'{figure}': README says '{readme[figure]}', the command prints '{value}'")
    for figure in readme:
        if figure not in printed:
            out.append(f"README row '{figure}' is not printed by the command")
    return out


def self_test(readme_text, printed):
    """The comparison must catch a changed count and ignore a changed wall-clock figure."""
    counted = next(f for f, v in printed.items() if not wall_clock(v))
    timed = next((f for f, v in printed.items() if wall_clock(v)), None)
    wrong = readme_text.replace(f"| {counted} | {printed[counted]} |", f"| {counted} | {printed[counted]}0 |")
    if not differences(figures_table(wrong, "altered README"), printed):
        return f"a changed count in '{counted}' went unnoticed"
    if timed is not None:
        other = re.sub(rf"^\| {re.escape(timed)} \|.*$", f"| {timed} | about 123.4 / 5.6 |", readme_text,
                       flags=re.M)
        if differences(figures_table(other, "altered README"), printed):
            return f"a changed wall-clock figure in '{timed}' was reported"
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--vboard", required=True)
    ap.add_argument("--front", required=True)
    ap.add_argument("--rear", required=True)
    ap.add_argument("--readme", required=True)
    ap.add_argument("--self-test", action="store_true", help="also check that the comparison catches a change")
    args = ap.parse_args()
    try:
        with open(args.readme, encoding="utf-8") as f:
            readme_text = f.read()
    except OSError as e:
        print(f"cannot read {args.readme}: {e.strerror}", file=sys.stderr)
        return 2
    run = subprocess.run([args.vboard, "--figures", args.front, args.rear], capture_output=True, text=True,
                         check=False)
    if run.returncode != 0:
        print(f"vboard --figures failed (status {run.returncode}): {run.stderr.strip()}", file=sys.stderr)
        return 2
    try:
        printed = figures_table(run.stdout, "vboard --figures output")
        readme = figures_table(readme_text, args.readme)
    except ValueError as e:
        print(e, file=sys.stderr)
        return 2
    diffs = differences(readme, printed)
    if args.self_test and not diffs:
        problem = self_test(readme_text, printed)
        if problem:
            print(f"self-test: {problem}", file=sys.stderr)
            return 1
    for d in diffs:
        print(d)
    if diffs:
        print(f"{len(diffs)} difference(s): paste the table `vboard --figures` prints into the README")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
