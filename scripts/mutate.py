#!/usr/bin/env python3
"""Mutation testing of the firmware sources: single source mutants, each built and
tested in a copy of the tree (the checkout is never written).

Mutants: relational and arithmetic operator swaps, integer constants +-1, negated
if/while conditions, deleted statements, swapped arguments of two-argument calls,
in mid/, the boards' app/ and Core/Src, platform/common and platform/chip. For each mutant the
copy is rebuilt incrementally and the fast tests of what changed run, stopping at the
first failure, in stages from the cheapest: for regbits.h, its check against the
vendor's SVD (one host object); the platform conformance image alone and
its cases; the images the virtual-board tests run, and those tests; the rest of the
build; then the image checks and that board's shipped scenarios for a changed image
(the third board's scenario for its image), and for a changed host test executable its
unit tests (the ones the host preset leaves to host-long last).

Outcomes: killed, survived (its diff is printed), build-failed, timed-out,
same-code (no image and no host test executable differs from the unmutated
build, debug sections aside: nothing could tell it apart), and equivalent
(listed in tests/mutation/equivalent.txt with the reason; not run). With --work,
each outcome is journalled there; --resume takes the journal's outcomes for the
same tree and virtual board instead of running those mutants again.
Exit status: 0 when every mutant run was killed, failed to build or was marked
equivalent (or with --survivors-ok), 1 when one survived or an --expect-killed
mutant was not killed, 2 on bad usage, a mark of equivalent.txt that matches no
mutant, or a broken copy (the unmutated tree must build and pass first).
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ["mid", "front_lamp/app", "rear_lamp/app", "front_lamp/Core/Src", "rear_lamp/Core/Src", "platform/common", "platform/chip"]
EQUIVALENT = "tests/mutation/equivalent.txt"
# same-code: the images and the host test executables came out as without the
# mutant (dead code, a folded constant): nothing can tell them apart.
OUTCOMES = ("killed", "survived", "equivalent", "same-code", "build-failed", "timed-out")
# The virtual-board tests that run the images: the lamp images and the platform
# conformance image (the emulator's own tests, the edge storms and the debugger
# sessions are left out: they test the virtual board more than the images, and
# cost the most).
# The virtual-board test executables (in the host build) and the suites of each that run the images.
VBOARD_SUITES = {"tests/vboard/system/vboard_system_tests": "FrontLamp.*:RearLamp.*:BothLamps.*:Cases/PlatformChip.*:PlatformChipClocks.*",
                 "tests/vboard/cli/vboard_cli_tests": "Scenario*"}
# A first look before the whole build: the platform conformance image alone (one
# link instead of every image's) and its cases, which catch most mutants of the
# platform layers; a mutant they catch is killed without the other images.
FIRST_LOOK_IMAGE = "platform_conformance"
# Files with a host check of their own, one object to build and a run of well
# under a second: a mutant of such a file meets that check before anything else.
FIRST_LOOK_HOST = {"platform/chip/src/regbits.h": "tests/conformance/regbits_svd_test"}
FIRST_LOOK_SUITE = {"tests/vboard/system/vboard_system_tests": "Cases/PlatformChip.*:PlatformChipClocks.*"}
# The images those virtual-board tests run; the others (the runtime probe, the
# third board's image) are linked only for a mutant the tests do not catch.
VBOARD_IMAGES = ("front_lamp", "rear_lamp", "rear_lamp_clock_mutant", "platform_conformance")
# Images of other boards, each with its board description and scenario: the third
# board's image is the rear firmware built with one colour line and 8 LEDs.
BOARD_SCENARIOS = [("test_strip8", "boards/strip8.yaml", "scenarios/strip8/green.yaml")]


@dataclass(frozen=True)
class Mutant:
    path: str  # relative to the tree
    line: int  # 1-based
    op: str
    original: str  # the whole line
    mutated: str  # the whole line after the change ("" deletes it)

    @property
    def text(self) -> str:
        """The mutated line as equivalent.txt and --mutant write it."""
        return self.mutated.strip() or "<deleted> " + self.original.strip()

    @property
    def key(self) -> str:
        return f"{self.path} | {self.text}"

    @property
    def line_key(self) -> str:
        """The key with the line number, for a mutated line the file holds more than once."""
        return f"{self.path}:{self.line} | {self.text}"

    @property
    def ident(self) -> str:
        return digest(f"{self.key}|{self.line}|{self.op}".encode())

    def diff(self) -> str:
        return f"--- {self.path}:{self.line} ({self.op})\n-{self.original.rstrip()}\n+{self.mutated.rstrip()}\n"


# ------------------------------------------------------------------ mutants
SWAPS = {
    "relational": {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="},
    "arithmetic": {"+": "-", "-": "+", "*": "/", "/": "*", "%": "*", "<<": ">>", ">>": "<<", "&": "|", "|": "&",
                   "^": "|", "+=": "-=", "-=": "+=", "|=": "&=", "&=": "|=", "&&": "||", "||": "&&"},
}
OPS = sorted({k for table in SWAPS.values() for k in table}, key=len, reverse=True)
# A binary operator as clang-format writes it: spaces on both sides.
BINOP = re.compile(r"(?<=\s)(" + "|".join(re.escape(o) for o in OPS) + r")(?=\s)")
INT = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uU]?[lL]{0,2})(?![\w.])")
COND = re.compile(r"\b(if|while) \((.*)\)( \{| [^;]*;)?\s*$")
CALL2 = re.compile(r"\b([A-Za-z_]\w*)\(([A-Za-z_][\w.>\-]*|\d+[uUlL]*), ([A-Za-z_][\w.>\-]*|\d+[uUlL]*)\)")
STATEMENT = re.compile(r"^\s*(?:[A-Za-z_][\w.:>\[\]-]*(?:\(.*\))?\s*(?:[-+|&^]?=|<<=|>>=)\s*.+|[A-Za-z_][\w.:>-]*\(.*\));\s*$")
SKIP_LINE = re.compile(r"^\s*(#|//|\*|/\*)|static_assert|constexpr|template|case .*:|^\s*(return|namespace|using)\b")


def code_part(line: str) -> str:
    """The line without a trailing // comment and with string literals blanked."""
    out = re.sub(r'"(\\.|[^"\\])*"', lambda m: '"' + " " * (len(m.group(0)) - 2) + '"', line)
    cut = out.find("//")
    return out if cut < 0 else out[:cut]


def line_mutants(path: str, no: int, line: str) -> list[Mutant]:
    if SKIP_LINE.search(line):
        return []
    code = code_part(line)
    found: list[Mutant] = []

    def add(op: str, start: int, end: int, text: str) -> None:
        found.append(Mutant(path, no, op, line, line[:start] + text + line[end:]))

    for m in BINOP.finditer(code):
        for op, table in SWAPS.items():
            if m.group(1) in table:
                add(op, m.start(1), m.end(1), table[m.group(1)])
    if not re.search(r"\[\s*\d+\s*\]\s*[;={]|alignas|\bbits?\b", code):  # array sizes and bit widths only break the build
        for m in INT.finditer(code):
            value = int(m.group(1), 0)
            text = m.group(1)
            fmt = (lambda v: hex(v)) if text.lower().startswith("0x") else str
            add("constant+1", m.start(1), m.end(1), fmt(value + 1))
            if value > 0:
                add("constant-1", m.start(1), m.end(1), fmt(value - 1))
    m = COND.search(code)
    if m and m.group(2).count("(") == m.group(2).count(")"):
        add("negated-condition", m.start(2), m.end(2), f"!({m.group(2)})")
    if STATEMENT.match(code) and not re.match(r"^\s*(const |auto |static |u?int\d+_t |bool |float |[A-Z]\w* \w)", code):
        # The line stays, emptied: later lines keep their numbers (and __LINE__).
        found.append(Mutant(path, no, "deleted-statement", line, "\n" if line.endswith("\n") else ""))
    for m in CALL2.finditer(code):
        if m.group(1) not in ("if", "while", "for", "switch", "return", "sizeof", "static_cast") and m.group(2) != m.group(3):
            add("swapped-arguments", m.start(2), m.end(3), f"{m.group(3)}, {m.group(2)}")
    return found


# ------------------------------------------------------------------ constants
# The second class (--only constants): the values of named constants and of
# configuration records, which the operator class leaves alone (it skips every
# constexpr line and reads no header). Each integer literal of a constexpr or
# const definition, of a brace initialiser (a table or a record), and of a
# record field set to a literal (htim7.Init.Prescaler = 169;) becomes one more
# and one less, twice and half, the next power of two, and a changed unit (x1000,
# /1000) where the literal is a power of 1000 or its name carries a unit (Ms, Us,
# Hz, ...). Bit positions (after a shift, in bit() or a Field{pos, width}) only
# move by one. Left out: what cannot compile (a value past its declared type),
# a named constant nothing else names (an unused pin of the table: the same
# code), and a mutated line the operator class makes too.
CLASSES = ("operators", "constants")
CONST_DEF = re.compile(r"^\s*(?:(?:static|inline)\s+)*(?:constexpr|const)\b([^;(=]*?)\b([A-Za-z_]\w*)\s*(?:\[\w*\]\s*)?(=|\{)")
BRACE_OPEN = re.compile(r"^\s*(?:(?:static|inline|constexpr|const)\s+)*(?!(?:class|struct|union|enum|namespace|extern)\b)"
                        r"[A-Za-z_][\w:<>]*\s+[A-Za-z_]\w*(?:\[\w*\])?\s*=?\s*\{\s*$")
FIELD_SET = re.compile(r"^\s*[A-Za-z_]\w*(?:\[\w+\])?(?:\.([A-Za-z_]\w*))+\s*=\s*(?:0[xX][0-9a-fA-F]+|\d+)[uUlL]*;\s*$")
CONST_SKIP = re.compile(r"^\s*(#|//|\*|/\*)|static_assert|template|case .*:|^\s*(return|namespace|using)\b")
POSITION = re.compile(r"(<<|>>)\s*$|\bbit\(\s*$|\bField\{\s*$")
UNIT_WORDS = {"ms", "us", "ns", "hz", "khz", "mhz", "msec", "usec"}
TYPE_MAX = {"uint8_t": 0xFF, "int8_t": 0x7F, "uint16_t": 0xFFFF, "int16_t": 0x7FFF, "int32_t": 0x7FFFFFFF,
            "uint64_t": (1 << 64) - 1, "int64_t": (1 << 63) - 1}


def class_of(m: Mutant) -> str:
    return "constants" if m.op.startswith("value") else "operators"


def names_unit(name: str) -> bool:
    """Whether a name such as kPassMs, HSI_TIMEOUT_MS or length_us says its unit."""
    return any(w.lower() in UNIT_WORDS for w in re.findall(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|\d+", name))


def new_values(value: int, position: bool, unit: bool) -> list[tuple[str, int]]:
    found = [("value+1", value + 1), ("value-1", value - 1)]
    if not position:
        found += [("value*2", value * 2), ("value/2", value // 2)]
        if value > 2 and value & (value - 1):
            found.append(("value-next-power-of-two", 1 << value.bit_length()))
        if unit or value in (1000, 1000000, 1000000000):
            found += [("value*1000", value * 1000), ("value/1000", value // 1000)]
    out, seen = [], {value}
    for op, v in found:
        if v >= 0 and v not in seen:
            seen.add(v)
            out.append((op, v))
    return out


def constant_mutants(path: str, no: int, line: str, name: str, type_text: str) -> list[Mutant]:
    """The constants class's mutants of one line of a definition, a table or a record."""
    code = code_part(line)
    words = re.findall(r"\w+", type_text)
    limit = next((TYPE_MAX[w] for w in words if w in TYPE_MAX), 0xFFFFFFFF)
    unit = names_unit(name)
    found: list[Mutant] = []
    for m in INT.finditer(code):
        if re.search(r"\[\s*$", code[:m.start()]):  # an array's size: a changed one cannot compile or is unused
            continue
        value = int(m.group(1), 0)
        fmt = hex if m.group(1).lower().startswith("0x") else str
        position = bool(POSITION.search(code[:m.start()])) or bool(re.search(r"\bField\{\s*\w+,\s*$", code[:m.start()]))
        # The name says the unit of the value it is given, not of every literal of an expression.
        alone = bool(re.search(r"=\s*$", code[:m.start()])) and re.match(r"[uUlL]*;", code[m.end(1):].strip()) is not None
        for op, v in new_values(value, position, unit and alone):
            if v <= limit and (v > 0 or op == "value-1"):
                found.append(Mutant(path, no, op, line, line[:m.start(1)] + fmt(v) + line[m.end(1):]))
    return found


def firmware_words(tree: Path) -> dict[str, int]:
    """How often each identifier occurs in the firmware's sources and headers."""
    counts: dict[str, int] = {}
    for top in ("mid", "front_lamp", "rear_lamp", "platform"):
        for f in (tree / top).rglob("*"):
            if f.suffix in (".cpp", ".h", ".c") and f.is_file():
                code = re.sub(r"/\*.*?\*/", " ", f.read_text(errors="replace"), flags=re.S)  # comments name nothing
                for line in code.splitlines():
                    for w in re.findall(r"[A-Za-z_]\w*", code_part(line)):
                        counts[w] = counts.get(w, 0) + 1
    return counts


def file_constant_mutants(rel: str, lines: list[tuple[int, str]], words: dict[str, int]) -> list[Mutant]:
    out: list[Mutant] = []
    block: tuple[str, str] | None = None  # (name, type) of the brace initialiser the lines are in
    for no, line in lines:
        code = code_part(line)
        if block is not None:
            out.extend(constant_mutants(rel, no, line, block[0], block[1]))
            if "};" in code:
                block = None
            continue
        if CONST_SKIP.search(line):
            continue
        d = CONST_DEF.search(code)
        if d and re.search(r"\[[&=]?\]\s*\(", code):  # a lambda: code, not a value
            continue
        if d:
            if words.get(d.group(2), 0) > 1:  # a constant nothing names is the same code whatever its value
                out.extend(constant_mutants(rel, no, line, d.group(2), d.group(1)))
            if code.rstrip().endswith("{") and "}" not in code:
                block = (d.group(2), d.group(1))
            continue
        if BRACE_OPEN.search(code):
            block = ("", code)
            continue
        f = FIELD_SET.search(code)
        if f:
            out.extend(constant_mutants(rel, no, line, f.group(1), ""))
    return out


def source_lines(f: Path) -> list[tuple[int, str]]:
    """The numbered lines of a source outside /* ... */ comments."""
    out = []
    in_block_comment = False
    for no, line in enumerate(f.read_text().splitlines(keepends=True), 1):
        if "/*" in line and "*/" not in line:
            in_block_comment = True
        if in_block_comment:
            in_block_comment = "*/" not in line
            continue
        out.append((no, line))
    return out


def all_mutants(tree: Path, classes: tuple[str, ...] = ("operators",)) -> list[Mutant]:
    """The mutants of the classes asked for; the operator class alone by default (the fixed draw)."""
    out: list[Mutant] = []
    words = firmware_words(tree) if "constants" in classes else {}
    for folder in FOLDERS:
        for f in sorted((tree / folder).rglob("*.cpp")):
            rel = f.relative_to(tree).as_posix()
            lines = source_lines(f)
            operators = [m for no, line in lines for m in line_mutants(rel, no, line)]
            if "operators" in classes:
                out.extend(operators)
            if "constants" in classes:
                made = {(m.line, m.mutated) for m in operators}
                out.extend(m for m in file_constant_mutants(rel, lines, words) if (m.line, m.mutated) not in made)
        if "constants" in classes:  # the operator class reads no header
            for f in sorted((tree / folder).rglob("*.h")):
                out.extend(file_constant_mutants(f.relative_to(tree).as_posix(), source_lines(f), words))
    return out


def read_equivalent(tree: Path) -> dict[str, str]:
    """`path | mutated line | reason` per line; `<deleted> line` for a deleted statement."""
    marks: dict[str, str] = {}
    f = tree / EQUIVALENT
    if not f.exists():
        return marks
    for no, raw in enumerate(f.read_text().splitlines(), 1):
        if not raw.strip() or raw.startswith("#"):
            continue
        # The mutated line may hold " | " itself: the path ends at the first, the
        # reason starts after the last.
        head, _, rest = raw.partition(" | ")
        line, _, reason = rest.rpartition(" | ")
        parts = [head.strip(), line.strip(), reason.strip()]
        if not all(parts):
            raise SystemExit(f"mutate: {EQUIVALENT}:{no}: expected 'path | mutated line | reason'")
        marks[f"{parts[0]} | {parts[1]}"] = parts[2]
    return marks


def mark_of(m: Mutant, marks: dict[str, str]) -> str | None:
    """The reason `m` is marked equivalent, by its line or by its text, or None."""
    return marks.get(m.line_key, marks.get(m.key))


def pick(mutants: list[Mutant], sample: int | None, seed: int) -> list[Mutant]:
    # Stable order first, so that the seed alone fixes the sample.
    mutants = sorted(mutants, key=lambda m: m.ident)
    random.Random(seed).shuffle(mutants)
    return mutants if sample is None else mutants[:sample]


# ------------------------------------------------------------------ running
def run(cmd: list[str], cwd: Path, timeout: float, log: Path) -> str:
    """'ok', 'fail' or 'timeout'; the whole process group is ended on a timeout."""
    with open(log, "ab") as out:
        out.write(f"\n$ {' '.join(cmd)}\n".encode())
        out.flush()
        p = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return "ok" if p.wait(timeout=timeout) == 0 else "fail"
        except subprocess.TimeoutExpired:
            return "timeout"
        finally:  # a timeout or an interruption ends the whole group
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()


def build(tree: Path, jobs: int, log: Path, timeout: float, dirs: tuple[str, ...]) -> str:
    for d in dirs:
        r = run(["cmake", "--build", d, "-j", str(jobs)], tree, timeout, log)
        if r != "ok":
            return r
    return "ok"


def run_parallel(cmds: list[list[str]], cwd: Path, env: dict, timeout: float, log: Path) -> str:
    """Runs the commands at once; 'fail' as soon as one fails (the others are ended)."""
    deadline = time.monotonic() + timeout
    with open(log, "ab") as out:
        procs = []
        for cmd in cmds:
            out.write(f"\n$ {' '.join(cmd)}\n".encode())
            out.flush()
            procs.append(subprocess.Popen(cmd, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
                                          start_new_session=True))
        outcome = "ok"
        try:
            while any(p.poll() is None for p in procs):
                if any(p.poll() not in (None, 0) for p in procs):
                    outcome = "fail"
                    break
                if time.monotonic() > deadline:
                    outcome = "timeout"
                    break
                time.sleep(0.05)
            if outcome == "ok" and any(p.returncode != 0 for p in procs):
                outcome = "fail"
        finally:
            for p in procs:
                if p.poll() is None:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait()
    return outcome


# ------------------------------------------------------------------ what a build changed
def digest(data: bytes) -> str:
    return hashlib.sha1(data).hexdigest()


def image_prints(tree: Path, scratch: Path, names: tuple[str, ...] = ()) -> dict[str, str]:
    """Per firmware image (all, or those named): its loaded bytes and its symbol table (debug sections left out)."""
    out = {}
    elves = [tree / f"build/firmware/{n}.elf" for n in names] or sorted((tree / "build/firmware").glob("*.elf"))
    for elf in elves:
        subprocess.run(["arm-none-eabi-objcopy", "-O", "binary", str(elf), str(scratch)], check=True)
        symbols = subprocess.run(["arm-none-eabi-nm", "-S", str(elf)], check=True, capture_output=True).stdout
        out[elf.stem] = digest(scratch.read_bytes() + symbols)
    return out


def host_tests(tree: Path) -> dict[str, str]:
    """The host unit tests by name, each with its executable."""
    listing = subprocess.run(["ctest", "--test-dir", "build/host", "--show-only=json-v1"], cwd=tree, check=True,
                             capture_output=True).stdout
    return {t["name"]: t["command"][0] for t in json.loads(listing)["tests"]}


def host_prints(executables: set[str], scratch: Path) -> dict[str, str]:
    """Per host test executable: the file without its debug sections and build id."""
    out = {}
    for exe in sorted(executables):
        subprocess.run(["objcopy", "--strip-debug", "--remove-section=.note.gnu.build-id", exe, str(scratch)],
                       check=True)
        out[exe] = digest(scratch.read_bytes())
    return out


@dataclass
class Baseline:
    images: dict[str, str]
    tests: dict[str, str]  # host test name -> executable
    executables: dict[str, str]
    slow: re.Pattern  # the host tests the host preset leaves to host-long


def slow_host_tests() -> re.Pattern:
    presets = json.loads((ROOT / "CMakePresets.json").read_text())
    long_run = next(p for p in presets["testPresets"] if p["name"] == "host-long")
    return re.compile(long_run["filter"]["include"]["name"])


def ctest_names(names: list[str]) -> str:
    """An anchored CTest regular expression that matches exactly these test names."""
    return "^(" + "|".join(re.sub(r"([][.*+?^$|()\\])", r"\\\1", n) for n in names) + ")$"


# ------------------------------------------------------------------ testing
def vboard_shards(tree: Path, vb: Path, jobs: int, suites: dict[str, str] = VBOARD_SUITES) -> list[list[str]]:
    """The virtual-board tests of the images, each executable in as many shards as jobs
    (GoogleTest takes its shard from the environment; an unknown flag would only print its help)."""
    return [["env", f"VBOARD_FIRMWARE_DIR={tree / 'build/firmware'}", f"GTEST_TOTAL_SHARDS={jobs}",
             f"GTEST_SHARD_INDEX={i}", str(vb / exe), f"--gtest_filter={suite}", "--gtest_fail_fast",
             "--gtest_brief=1"] for exe, suite in suites.items() for i in range(jobs)]


def test(tree: Path, vb: Path, jobs: int, log: Path, timeout: float, changed_images: set[str],
         host_names: list[str], slow: re.Pattern, vboard_done: bool = False) -> str:
    """The fast tests of what the build changed, cheapest first, stopping at the first failure:
    the virtual-board tests, the image checks and the shipped scenarios when an image changed
    (the scenarios of that board), the host tests of the executables that changed."""
    deadline = time.monotonic() + timeout
    fw = tree / "build/firmware"
    env = dict(os.environ, VBOARD_FIRMWARE_DIR=str(fw))
    scenarios = [[str(vb / "vboard/vboard"), str(fw / f"{f.parent.name}_lamp.elf"), "--scenario", str(f),
                  "--no-color"] for f in sorted((tree / "scenarios").glob("*/*.yaml"))
                 if f"{f.parent.name}_lamp" in changed_images]
    scenarios += [[str(vb / "vboard/vboard"), str(fw / f"{image}.elf"), "--board", str(tree / board), "--scenario",
                   str(tree / scenario), "--no-color"] for image, board, scenario in BOARD_SCENARIOS
                  if image in changed_images]
    fast = [n for n in host_names if not slow.search(n)]
    slow_names = [n for n in host_names if slow.search(n)]

    def host(names: list[str]) -> list[list[list[str]]]:
        if not names:
            return []
        return [[["ctest", "--test-dir", "build/host", "-j", str(jobs), "--stop-on-failure", "-R",
                  ctest_names(names)]]]

    steps: list[list[list[str]]] = []
    if changed_images:
        # The virtual-board tests of the images (under a second, and they kill most
        # mutants), unless they already ran, then the image checks.
        if not vboard_done:
            steps.append(vboard_shards(tree, vb, jobs))
        steps.append([["ctest", "--test-dir", "build/firmware", "-j", str(jobs), "--stop-on-failure"]])
    steps += host(fast)
    steps += [scenarios[i:i + jobs] for i in range(0, len(scenarios), jobs)]
    steps += host(slow_names)
    for step in steps:
        left = deadline - time.monotonic()
        if left <= 0:
            return "timeout"
        if len(step) == 1 and step[0][0] == "ctest":
            r = run(step[0], tree, left, log)
        else:
            r = run_parallel(step, tree, env, left, log)
        if r != "ok":
            return r
    return "ok"


def make_copy(dest: Path) -> str:
    """Brings the copy up to the checkout; returns a digest of every file's path and content."""
    whole = hashlib.sha1()
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                           check=True, capture_output=True).stdout.split(b"\0")
    for raw in files:
        if not raw:
            continue
        rel = raw.decode()
        src, dst = ROOT / rel, dest / rel
        if not src.is_file():
            continue
        data = src.read_bytes()
        whole.update(rel.encode() + b"\0" + data + b"\0")
        # Only what differs, with a fresh time stamp: a kept copy's build must
        # see every file that changed (also one a mutant left behind) as newer.
        if not dst.is_file() or dst.read_bytes() != data:
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(src, dst)
            os.utime(dst)
    return whole.hexdigest()


# A stage's result ('ok', 'fail' or 'timeout', from run()) as the mutant's outcome.
BUILD_OUTCOME = {"fail": "build-failed", "timeout": "timed-out"}
TEST_OUTCOME = {"ok": "survived", "fail": "killed", "timeout": "timed-out"}


def try_mutant(m: Mutant, tree: Path, vb: Path, a: argparse.Namespace, log: Path, scratch: Path,
               base: Baseline, dirs: tuple[str, ...]) -> str:
    """Builds and tests one mutant in the copy and puts the file back."""
    f = tree / m.path
    original = f.read_text()
    lines = original.splitlines(keepends=True)
    lines[m.line - 1] = m.mutated
    try:
        f.write_text("".join(lines))
        check = FIRST_LOOK_HOST.get(m.path)
        if check and "build/host" in dirs:
            b = run(["cmake", "--build", "build/host", "-j", str(a.jobs), "--target", Path(check).name], tree, 900, log)
            if b != "ok":
                return BUILD_OUTCOME[b]
            t = run([str(tree / "build/host" / check)], tree, a.timeout, log)
            if t != "ok":
                return TEST_OUTCOME[t]
        if FIRST_LOOK_IMAGE in base.images:
            b = run(["cmake", "--build", "build/firmware", "-j", str(a.jobs), "--target", FIRST_LOOK_IMAGE], tree, 900,
                    log)
            if b != "ok":
                return BUILD_OUTCOME[b]
            if image_prints(tree, scratch, (FIRST_LOOK_IMAGE,))[FIRST_LOOK_IMAGE] != base.images[FIRST_LOOK_IMAGE]:
                t = run_parallel(vboard_shards(tree, vb, 1, FIRST_LOOK_SUITE), tree, dict(os.environ), a.timeout, log)
                if t != "ok":
                    return TEST_OUTCOME[t]
        # Then the images the virtual-board tests run, and those tests: a mutant
        # they catch needs no other image and no host build. Only what the mutant
        # changed is tested: an image or a host test executable whose code is the
        # unmutated one behaves as it did.
        b = run(["cmake", "--build", "build/firmware", "-j", str(a.jobs), "--target", *VBOARD_IMAGES], tree, 900, log)
        if b != "ok":
            return BUILD_OUTCOME[b]
        if any(base.images[k] != v for k, v in image_prints(tree, scratch, VBOARD_IMAGES).items()):
            t = run_parallel(vboard_shards(tree, vb, a.jobs), tree, dict(os.environ), a.timeout, log)
            if t != "ok":
                return TEST_OUTCOME[t]
        b = build(tree, a.jobs, log, 900, dirs)
        if b != "ok":
            return BUILD_OUTCOME[b]
        images = {k for k, v in image_prints(tree, scratch).items() if base.images.get(k) != v}
        exes = {k for k, v in host_prints(set(base.executables), scratch).items() if base.executables[k] != v}
        if not images and not exes:
            return "same-code"
        names = sorted(n for n, exe in base.tests.items() if exe in exes)
        return TEST_OUTCOME[test(tree, vb, a.jobs, log, a.timeout, images, names, base.slow, vboard_done=True)]
    finally:
        f.write_text(original)


def interrupted(*_: object) -> None:
    raise KeyboardInterrupt


def main() -> int:
    signal.signal(signal.SIGTERM, interrupted)  # ended like Ctrl-C: the copy's file is put back
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sample", type=int, help="run N mutants drawn with the seed (default: all)")
    ap.add_argument("--sample-each", type=int, metavar="N",
                    help="run N mutants of each folder (mid/, each app/, Core/Src, platform/common, platform/chip),"
                         " drawn with the seed: a bounded run that still reaches every folder")
    ap.add_argument("--seed", type=int, default=20261208)
    ap.add_argument("--only", action="append", default=[],
                    help="only mutants in files under this path, or only those of this class: 'constants' (the values"
                         " of constants and configuration records; not in the default run) or 'operators' (the"
                         " default); repeatable, a class and paths together select the class's mutants there")
    ap.add_argument("--mutant", action="append", default=[],
                    help="only the mutant whose mutated line (stripped) is this text, or '<deleted> LINE' for a deleted"
                         " statement, as tests/mutation/equivalent.txt writes it (repeatable)")
    ap.add_argument("--expect-killed", action="append", default=[], metavar="LINE",
                    help="also run the mutant whose mutated line is LINE, and fail unless it is killed (repeatable)")
    ap.add_argument("--survivors-ok", action="store_true",
                    help="exit 0 even when a mutant survived (they are still listed): to keep the tool tested")
    ap.add_argument("--work", type=Path, help="folder for the copy, kept between runs (default: a temporary one)")
    ap.add_argument("--resume", action="store_true",
                    help="take the outcomes the work folder's journal holds for this same tree and virtual board")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--tree", type=Path,
                    help="mutate and test this checkout instead of the tool's own (a worktree of the commit a whole run"
                         " started at, to resume it with this tool)")
    ap.add_argument("--vboard-build", type=Path,
                    help="host build holding vboard and its test executables (default: the tree's build/host)")
    ap.add_argument("--timeout", type=float, default=600, help="seconds for one mutant's tests (default 600)")
    ap.add_argument("--list", action="store_true", help="only list the mutants that would run")
    ap.add_argument("--report", type=Path, help="also write the results to this file")
    a = ap.parse_args()
    global ROOT
    if a.tree is not None:
        if not (a.tree / EQUIVALENT).is_file():
            print(f"mutate: --tree: {a.tree} is not a checkout of this project", file=sys.stderr)
            return 2
        ROOT = a.tree.resolve()
    if a.vboard_build is None:
        a.vboard_build = ROOT / "build/host"
    if (a.sample is not None and a.sample < 1) or (a.sample_each is not None and a.sample_each < 1):
        print("mutate: --sample and --sample-each need a positive count", file=sys.stderr)
        return 2

    marks = read_equivalent(ROOT)
    classes = tuple(c for c in CLASSES if c in a.only) or ("operators",)
    paths = [o for o in a.only if o not in CLASSES]
    mutants = [m for m in all_mutants(ROOT, classes) if not paths or any(m.path.startswith(o) for o in paths)]
    if a.mutant:
        mutants = [m for m in mutants if m.mutated.strip() in a.mutant or m.text in a.mutant]
    chosen = pick(mutants, a.sample, a.seed)
    if a.sample_each is not None:
        chosen = [m for folder in FOLDERS
                  for m in pick([m for m in chosen if m.path.startswith(folder + "/")], a.sample_each, a.seed)]
    everything = all_mutants(ROOT, CLASSES)
    # A mark left behind by an edited line would silently mark nothing.
    stale = sorted(set(marks) - {k for m in everything for k in (m.key, m.line_key)})
    if stale:
        print(f"mutate: {EQUIVALENT}: {len(stale)} marks match no mutant of the tree: " + "; ".join(stale),
              file=sys.stderr)
        return 2
    for text in a.expect_killed:
        must = [m for m in everything if m.mutated.strip() == text.strip()]
        if len(must) != 1:
            print(f"mutate: --expect-killed: {len(must)} mutants have the line '{text}' (need exactly one)",
                  file=sys.stderr)
            return 2
        chosen = must + [m for m in chosen if m != must[0]]
    capped = f" (a sample of {len(chosen)} of {len(mutants)}, seed {a.seed})" if len(chosen) < len(mutants) else ""
    print(f"mutate: {len(chosen)} mutants{capped}")
    if not chosen:
        print("mutate: no mutant matches", file=sys.stderr)
        return 2
    if a.list:
        for m in chosen:
            print(m.diff(), end="")
        return 0

    tmp = None
    if a.work:
        work = a.work.resolve()
        work.mkdir(parents=True, exist_ok=True)
    else:
        tmp = tempfile.TemporaryDirectory(prefix="mutate-")
        work = Path(tmp.name)
    tree = work / "tree"
    log = work / "mutate.log"
    print(f"mutate: copy in {tree}, log in {log}")
    fingerprint = make_copy(tree)  # refreshes the sources; a kept copy keeps its build folders
    vb = a.vboard_build.resolve()
    if not (vb / "vboard/vboard").exists() or not all((vb / exe).exists() for exe in VBOARD_SUITES):
        print(f"mutate: {vb} holds no built virtual board and its tests (cmake --build --preset host)",
              file=sys.stderr)
        return 2
    # Each pattern of the suite filter has to name tests: one that matched none
    # would leave its tests out of every verdict without a word.
    for exe, suites in VBOARD_SUITES.items():
        for pattern in suites.split(":"):
            listed = subprocess.run([str(vb / exe), "--gtest_list_tests", f"--gtest_filter={pattern}"],
                                    capture_output=True, text=True).stdout
            if not any(line.startswith("  ") for line in listed.splitlines()):
                print(f"mutate: no virtual-board test of {exe} matches '{pattern}'", file=sys.stderr)
                return 2
    # The copy builds the images and the host unit tests; the virtual board
    # itself (which no mutant touches) comes from the checkout's host build.
    # Each mutant's build compiles its file twice: mutated, and as it was once the
    # file is put back. With ccache (when installed) the second is a cache hit;
    # its cache is kept in the work folder, unless CCACHE_DIR names one (a cache
    # shared with the checkout's builds spares the copy its first, cold build).
    launch = []
    if shutil.which("ccache"):
        os.environ.setdefault("CCACHE_DIR", str(work / "ccache"))
        launch = [f"-DCMAKE_{lang}_COMPILER_LAUNCHER=ccache" for lang in ("C", "CXX")]
    # The clock mutant image (a deliberately broken variant the virtual-board tests
    # run) is made from hal_rcc.cpp by text replacement; it is made from an unmutated
    # copy, so that a mutant of a replaced line is tested instead of stopping the configure.
    rcc = work / "clock_mutant_hal_rcc.cpp"
    shutil.copy(tree / "platform/chip/src/hal_rcc.cpp", rcc)
    subprocess.run(["cmake", "--preset", "firmware", f"-DCLOCK_MUTANT_RCC={rcc}", *launch], cwd=tree, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "-S", ".", "-B", "build/host", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                    "-DWITH_VBOARD=OFF", *launch], cwd=tree, check=True, stdout=subprocess.DEVNULL)
    # The host build and its tests only when a mutant to run is in one of its
    # sources: the others cannot change a host test executable.
    commands = json.loads((tree / "build/host/compile_commands.json").read_text())
    host_sources = {Path(c["file"]).resolve().relative_to(tree.resolve()).as_posix() for c in commands
                    if Path(c["file"]).resolve().is_relative_to(tree.resolve())}
    # A header (the constants class reads them) may reach the host build through any source.
    with_host = any(m.path in host_sources or m.path.endswith(".h") for m in chosen if mark_of(m, marks) is None)
    dirs = ("build/firmware", "build/host") if with_host else ("build/firmware",)
    if not with_host:
        print("mutate: no mutant in a source of the host build: the host build and its tests are left out")
    # The unmutated run may take longer than a mutant is given (a cold cache, a busy machine).
    scratch = work / "scratch.bin"
    if build(tree, a.jobs, log, 3600, dirs) != "ok":
        print(f"mutate: the unmutated tree does not build (see {log})", file=sys.stderr)
        return 2
    tests = host_tests(tree) if with_host else {}
    base = Baseline(image_prints(tree, scratch), tests, host_prints(set(tests.values()), scratch), slow_host_tests())
    missing = [n for n in VBOARD_IMAGES if n not in base.images]
    if missing:
        print(f"mutate: the firmware build makes no {', '.join(missing)} image", file=sys.stderr)
        return 2
    if test(tree, vb, a.jobs, log, max(a.timeout, 1800), set(base.images), sorted(tests), base.slow) != "ok":
        print(f"mutate: the unmutated tree does not pass its tests (see {log})", file=sys.stderr)
        return 2

    # Outcomes of this exact tree and virtual board, kept in the work folder so
    # that an interrupted whole run can go on (--resume).
    print_of_run = digest((fingerprint + digest((vb / "vboard/vboard").read_bytes())
                           + "".join(digest((vb / exe).read_bytes()) for exe in VBOARD_SUITES)).encode())
    journal = work / "journal.tsv"
    done: dict[str, str] = {}
    if a.resume and journal.exists():
        for row in journal.read_text().splitlines():
            if not row.strip() or row.startswith("#"):  # a kept journal may say what it records
                continue
            run_print, ident, outcome = row.split("\t")
            if run_print == print_of_run:
                done[ident] = outcome
        print(f"mutate: {sum(m.ident in done for m in chosen)} outcomes taken from {journal}")

    results: dict[str, list[Mutant]] = {k: [] for k in OUTCOMES}
    reasons: dict[Mutant, str] = {}
    try:
        for i, m in enumerate(chosen, 1):
            reason = mark_of(m, marks)
            if reason is not None:
                results["equivalent"].append(m)
                reasons[m] = reason
                continue
            started = time.monotonic()
            outcome = done.get(m.ident)
            if outcome is None:
                outcome = try_mutant(m, tree, vb, a, log, scratch, base, dirs)
                with open(journal, "a") as out:
                    out.write(f"{print_of_run}\t{m.ident}\t{outcome}\n")
            results[outcome].append(m)
            print(f"[{i}/{len(chosen)}] {outcome:12} {m.path}:{m.line} {m.op} ({time.monotonic() - started:.1f} s)",
                  flush=True)
            if outcome == "survived":  # shown at once, so that an interrupted run still says which
                print(m.diff(), end="", flush=True)
    except KeyboardInterrupt:
        print("mutate: interrupted; the copy was restored, the checkout was never written", file=sys.stderr)
        return 130
    finally:
        if tmp:
            tmp.cleanup()

    lines = [f"mutate: {len(chosen)} mutants{capped}"]
    for folder in FOLDERS:
        row = {k: sum(m.path.startswith(folder + "/") for m in v) for k, v in results.items()}
        if any(row.values()):
            lines.append(f"  {folder:22} " + "  ".join(f"{k} {n}" for k, n in row.items()))
    run_total = len(results["killed"]) + len(results["survived"]) + len(results["timed-out"])
    score = 100.0 * (len(results["killed"]) + len(results["timed-out"])) / run_total if run_total else 100.0
    lines.append("  total                  " + "  ".join(f"{k} {len(v)}" for k, v in results.items()))
    lines.append(f"  score {score:.1f} % of the mutants that built, changed the code and are not marked equivalent"
                 " (timed out counts as killed)")
    for m in results["survived"]:
        lines.append("survived:\n" + m.diff())
    for m in results["equivalent"]:
        lines.append(f"equivalent: {m.path}:{m.line} | {m.text} ({reasons[m]})")
    text = "\n".join(lines) + "\n"
    print(text, end="")
    if a.report:
        a.report.write_text(text)
    for text in a.expect_killed:
        if not any(m.mutated.strip() == text.strip() for m in results["killed"]):
            print(f"mutate: the mutant '{text}' was not killed", file=sys.stderr)
            return 1
    return 1 if results["survived"] and not a.survivors_ok else 0


if __name__ == "__main__":
    sys.exit(main())
