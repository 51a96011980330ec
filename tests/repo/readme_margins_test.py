#!/usr/bin/env python3
"""Checks that the README's margins table is what the virtual board measures.

    readme_margins_test.py --vboard VBOARD --front FRONT.elf --rear REAR.elf --readme README.md [--print]

Runs each image on its named scenario with --json, makes the table's rows from
the document's "margins" object, and compares them with the README's table
(header "| Margin | front | rear |"), row for row. Every figure is virtual
(bytes, cycles, virtual time), so all must be equal. It also checks that the
static stack bound covers every context's measured depth and stays 128 bytes
inside the stack reservation. --print prints the table
as it should read. Exit status: 0 equal, 1 the tables differ (each difference
on one line), 2 bad input or a run failed.
"""

import argparse
import json
import re
import subprocess
import sys

HEADER = "| Margin | front | rear |"
ROW = re.compile(r"^\|\s*(.+?)\s*\|\s*(.*?)\s*\|\s*(.*?)\s*\|\s*$")
SCENARIOS = {"front": "scenarios/front_lamp/decisions.yaml", "rear": "scenarios/rear_lamp/colours.yaml"}


def ms(ns):
    return f"{ns / 1e6:.3f} ms"


def longest(handlers, key):
    """The handler with the largest `key`, as 'VALUE (NAME)'."""
    if not handlers:
        return "none"
    name = max(handlers, key=lambda n: (handlers[n][key], n))
    return name, handlers[name][key]


def cells(m, virtual_ns):
    """The column of one image: {row name: value}."""
    stack, heap = m["stack"], m["heap"]
    ctx = stack["contexts"]
    handlers = {n: c for n, c in ctx.items() if n != "thread"}
    deepest_handler = max(handlers, key=lambda n: (handlers[n]["bytes"], n)) if handlers else None
    run_name, _ = longest(m["handlers"], "longest_cycles")
    run = m["handlers"][run_name]
    wait_name, wait = longest(m["handlers"], "longest_wait_ns")
    rows = {
        "stack: deepest, bytes below the initial SP (of the reservation)":
            f"{stack['deepest_bytes']} of {stack['reserve_bytes']}",
        "stack: thread, bytes": str(ctx["thread"]["bytes"]),
        "stack: static bound from the code, bytes (the worst nesting)":
            str(max(stack["static_bound"].values())) if stack["static_bound"] else "not computed",
        "stack: deepest handler, bytes": (f"{handlers[deepest_handler]['bytes']} ({deepest_handler}"
                                          f"{', nested' if handlers[deepest_handler]['nested'] else ''})"),
        "heap: bytes in use at most (of the room below the stack reservation)":
            f"{heap['break']['high_water_bytes']:,} of {heap['room_bytes']:,}",
        "longest handler run, cycles (pre-empting handlers left out)":
            f"{run['longest_cycles']} ({run_name}, {run['longest_ns']} ns)",
        "longest wait from pended to entered": f"{wait} ns ({wait_name})",
        "core busy (not in WFI, not in a skipped idle loop)": f"{100 * m['busy_ns'] / virtual_ns:.2f} %",
    }
    for p in m["promises"]:
        rows[f"promise: {p['name']}, min / median / max"] = (
            f"{ms(p['min_ns'])} / {ms(p['median_ns'])} / {ms(p['max_ns'])} ({p['samples']} samples)")
    return rows


# The static bound must hold every measured depth and stay this far inside the reservation.
BOUND_MARGIN_BYTES = 128
BOUND_PROBLEMS = []


def check_bound(image, stack):
    """Notes in BOUND_PROBLEMS each context whose measured depth the static bound does not cover."""
    bound = stack["static_bound"] or {}
    for name, c in stack["contexts"].items():
        if name not in bound or bound[name] < c["bytes"]:
            BOUND_PROBLEMS.append(f"{image}: {name} reached {c['bytes']} bytes, static bound {bound.get(name)}")
    worst = max(bound.values(), default=None)
    if worst is None or worst > stack["reserve_bytes"] - BOUND_MARGIN_BYTES:
        BOUND_PROBLEMS.append(f"{image}: static bound {worst} is not {BOUND_MARGIN_BYTES} bytes inside the "
                              f"{stack['reserve_bytes']}-byte reservation")


def measured(args):
    cols = {}
    for image, path in (("front", args.front), ("rear", args.rear)):
        p = subprocess.run([args.vboard, path, "--scenario", SCENARIOS[image], "--json"], capture_output=True,
                           text=True, cwd=args.root)
        if p.returncode != 0:
            raise RuntimeError(f"{image}: exit {p.returncode}: {p.stderr.strip()}")
        doc = json.loads(p.stdout)
        cols[image] = cells(doc["margins"], doc["virtual_ns"])
        check_bound(image, doc["margins"]["stack"])
    names = list(dict.fromkeys([*cols["front"], *cols["rear"]]))
    return {n: (cols["front"].get(n, "-"), cols["rear"].get(n, "-")) for n in names}


def readme_table(text):
    lines = text.splitlines()
    starts = [i for i, line in enumerate(lines) if line.strip() == HEADER]
    if len(starts) != 1:
        raise ValueError(f"README: expected one '{HEADER}' table, found {len(starts)}")
    rows = {}
    for line in lines[starts[0] + 2:]:
        m = ROW.match(line)
        if not m:
            break
        rows[m.group(1)] = (m.group(2), m.group(3))
    return rows


def differences(readme, printed):
    out = [f"README lacks the row '{n}' ({v[0]} | {v[1]})" for n, v in printed.items() if n not in readme]
    out += [f"'{n}': README says {readme[n]}, measured {v}" for n, v in printed.items()
            if n in readme and readme[n] != v]
    out += [f"README row '{n}' is not measured" for n in readme if n not in printed]
    return out


def table(rows):
    return "\n".join([HEADER, "|---|---|---|"] + [f"| {n} | {f} | {r} |" for n, (f, r) in rows.items()])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--vboard", required=True)
    ap.add_argument("--front", required=True)
    ap.add_argument("--rear", required=True)
    ap.add_argument("--readme", required=True)
    ap.add_argument("--root", default=".", help="the repository root (the scenarios' paths start there)")
    ap.add_argument("--print", action="store_true", help="print the table as it should read")
    args = ap.parse_args()
    try:
        rows = measured(args)
        if args.print:
            print(table(rows))
            return 0
        text = open(args.readme, encoding="utf-8").read()
        readme = readme_table(text)
        # The comparison must see a changed figure: the first row, one digit more.
        first = next(iter(rows))
        altered = dict(readme)
        altered[first] = (readme.get(first, ("", ""))[0] + "0", readme.get(first, ("", ""))[1])
        if not differences(altered, rows):
            print(f"self-test: a changed figure in '{first}' went unnoticed")
            return 2
    except (OSError, ValueError, RuntimeError, KeyError, json.JSONDecodeError) as e:
        print(f"readme_margins_test: {e}", file=sys.stderr)
        return 2
    diff = differences(readme, rows) + BOUND_PROBLEMS
    for d in diff:
        print(d)
    print("README margins table: " + ("as measured" if not diff else f"{len(diff)} differences"))
    return 1 if diff else 0


if __name__ == "__main__":
    sys.exit(main())
