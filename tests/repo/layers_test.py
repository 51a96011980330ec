#!/usr/bin/env python3
"""Checks that every file of the virtual board includes only from its own layer
and the layers below it, and third-party headers only where that layer uses them,
and that the generic files name no particular kind of part.

  layers_test.py VBOARD_DIR          check vboard/src, vboard/include and vboard/tools
  layers_test.py --quiet VBOARD_DIR  the same, silent when clean (the build runs it)
  layers_test.py --self-test         show that an upward include is caught

Each layer is a CMake target (vboard/CMakeLists.txt); LAYERS says which layers a
layer may include from, FACES which headers of a layer other layers may include. A
file the tables do not place in a layer is an error too, so a new file has to be
given its layer. GENERIC lists the files that know parts
only through vboard/part.h and src/part_outputs.h; a word naming a kind of part
in them (code or comment) is an error too, but for the phrases ALLOWED_PHRASES
lets through with their reason. Exit status: 0 clean, 1 violations, 64 usage.
"""
import re
import sys
from pathlib import Path

# layer -> the layers below it that it may include from (its CMake target links them).
LAYERS = {
    "core": [],
    "chip": ["core"],
    "world": ["core", "chip"],
    "machine": ["core"],
    "outputs": ["core", "chip", "world", "machine"],
    "gdb": ["core", "chip", "machine"],
    "serve": ["core", "chip", "world", "machine", "outputs"],
    "cli": ["core", "chip", "world", "machine", "outputs", "serve"],
    "main": ["core", "chip", "world", "machine", "outputs", "gdb", "serve", "cli"],
    "png": [],
}

# One folder per layer: every file of a folder belongs to its layer.
FOLDERS = {
    "src/core": "core",
    "src/chip": "chip",
    "src/world": "world",
    "src/machine": "machine",
    "src/outputs": "outputs",
    "src/gdb": "gdb",
    "src/serve": "serve",
    "src/cli": "cli",
    "tools": "png",
}

# The embedding contract (include/vboard) and the program: the core's public face,
# the machine's, and main.
FILES = {
    "include/vboard/device.h": "core",
    "include/vboard/image.h": "core",
    "include/vboard/chip_facts.h": "core",
    "include/vboard/part.h": "core",
    "include/vboard/run_result.h": "core",
    "include/vboard/state.h": "core",
    "include/vboard/machine.h": "machine",
    "tools/timetravel_figures.cpp": "main",
    "src/main.cpp": "main",
}

# Each layer's face: the headers of src/ that another layer may include, and which
# layers may. Every other header of a layer is private to it (the include path
# would reach it; this check does not let it). The chip's description is the
# chip's and the world's (a board's parts are checked against it); above them the
# chip is known through chip/chip.h, and to the debugger and the live page
# through chip/reg_view.h (registers by name). include/vboard is the public contract.
FACES = {
    "src/core/address_space.h": {"machine"},
    "src/core/armv7m_regs.h": {"machine", "outputs"},
    "src/core/blocks.h": {"machine"},
    "src/core/clock.h": {"machine"},
    "src/core/cpu.h": {"machine"},
    "src/core/debugger.h": {"machine"},
    "src/core/exceptions.h": {"machine"},
    "src/core/layout.h": {"machine"},
    "src/core/nvic.h": {"machine"},
    "src/core/profiler.h": {"machine"},
    "src/core/run_log.h": {"machine"},
    "src/core/scb.h": {"machine"},
    "src/core/systick.h": {"machine"},
    "src/core/reg_field.h": {"chip"},
    "src/core/registers.h": {"chip"},
    "src/chip/chip.h": {"world", "outputs", "cli", "main"},
    "src/chip/models.h": {"world"},
    "src/chip/reg_view.h": {"gdb", "serve"},
    "src/chip/stm32g431.h": {"world"},
    "src/chip/stm32g431_desc.h": {"world"},
    "src/world/board.h": {"serve", "cli", "main"},
    "src/world/recognise.h": {"serve", "cli"},
    "src/world/strip.h": {"outputs", "cli"},
    "src/world/values.h": {"outputs", "serve", "cli"},
    "src/world/yaml_file.h": {"cli"},
    "src/outputs/coverage.h": {"main"},
    "src/outputs/figures.h": {"cli"},
    "src/outputs/report.h": {"serve", "cli", "main"},
    "src/outputs/stack_bound.h": {"cli", "main", "serve"},
    "src/outputs/strip_outputs.h": {"serve"},
    "src/outputs/svg.h": {"cli", "main"},
    "src/outputs/vcd_timescale.h": {"serve", "cli"},
    "src/machine/history.h": {"gdb", "serve", "cli", "main"},
    "src/gdb/run.h": {"main", "cli"},
    "src/gdb/server.h": {"main"},
    "src/serve/server.h": {"main"},
    "src/cli/board_choice.h": {"main"},
    "src/cli/cli.h": {"main"},
    "src/cli/workbench.h": {"main"},
}

# Third-party headers (by the first part of their path) and the layers that may use them:
# JSON only where JSON is written (reports, the live page's messages), CLI11 only in the command
# line, YAML only in the loaders, civetweb only in the live board's server.
THIRD_PARTY = {
    "nlohmann": {"outputs", "serve"},
    "civetweb.h": {"serve"},
    "CLI": {"cli"},
    "yaml-cpp": {"world", "cli"},
    "unicorn": {"core", "machine"},
    "capstone": {"outputs"},
    "librsvg": {"png"},
    "cairo": {"png"},
}

# The generic files: the machine, the run's result, the reports, the picture,
# the figures and the command line. Each kind of part lives in the world layer
# and in writers of its own (src/outputs/strip_*.cpp) that part_kinds.cpp lists.
GENERIC = [
    "include/vboard/device.h",
    "include/vboard/part.h",
    "include/vboard/machine.h",
    "include/vboard/run_result.h",
    "src/outputs/report.h",
    "src/outputs/vcd_timescale.h",
    "src/outputs/svg.h",
    "src/cli/cli.h",
    "src/outputs/part_outputs.h",
    "src/machine/machine_impl.h",
    "src/machine/machine.cpp",
    "src/machine/bus.cpp",
    "src/machine/cpu_hooks.cpp",
    "src/machine/debug.cpp",
    "src/machine/emulator_faults.cpp",
    "src/machine/result.cpp",
    "src/machine/run_loop.cpp",
    "src/outputs/report.cpp",
    "src/outputs/svg.cpp",
    "src/outputs/svg_picture.h",
    "src/outputs/svg_pins.cpp",
    "src/outputs/svg_lanes.cpp",
    "src/outputs/figures.h",
    "src/outputs/figures.cpp",
    "src/cli/cli.cpp",
]

# Words that name a kind of part, as whole words ("stripped", "modelled" and
# "led there" are not), also inside identifiers: a line is matched with its
# identifiers split into words (strip_view, StripView, kLedRow). LED as a
# name only: "led" is a verb.
KIND_WORDS = re.compile(r"(?i:\b(strips?|ws2815|lamps?|pulse[-_ ]inputs?)\b)|\b(LED|Led)s?\b")

# Phrases of generic files that name a kind for a reason of their own.
ALLOWED_PHRASES = {
    ("src/outputs/vcd_timescale.h", "keeps the strip's bits"): "why the VCD's default time unit is 10 ns",
}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(rel):
    if rel in FILES:
        return FILES[rel]
    parent = str(Path(rel).parent)
    return FOLDERS.get(parent)


def resolve(name, rel):
    """The file (relative to vboard/) a quoted include names, or None when it is not ours."""
    for candidate in ("include/" + name, "src/" + name, str(Path(rel).parent / name)):
        if candidate in FILES or layer_of(candidate) is not None:
            return candidate
    return None


def below(layer):
    """The layer and every layer it may reach through the ones it links."""
    seen, todo = set(), [layer]
    while todo:
        current = todo.pop()
        if current not in seen:
            seen.add(current)
            todo.extend(LAYERS[current])
    return seen


def check_text(rel, text):
    """The violations of one file's include lines, as messages."""
    layer = layer_of(rel)
    if layer is None:
        return [f"{rel}: in no layer (give it one in layers_test.py)"]
    allowed = below(layer)
    problems = []
    for number, line in enumerate(text.splitlines(), 1):
        m = INCLUDE.match(line)
        if not m:
            continue
        kind, name = m.groups()
        if kind == '"':
            target = resolve(name, rel)
            if target is None:
                if not name.endswith(".inc"):
                    problems.append(f"{rel}:{number}: includes {name}, which is in no layer")
                continue
            other = layer_of(target)
            if other not in allowed:
                problems.append(f"{rel}:{number}: {layer} includes {name} of the {other} layer above it")
            elif other != layer and target.startswith("src/") and layer not in FACES.get(target, set()):
                problems.append(f"{rel}:{number}: {layer} includes {name}, which is private to the {other} "
                                f"layer" + (f" (its face for {', '.join(sorted(FACES[target]))})"
                                            if target in FACES else ""))
        else:
            top = name.split("/")[0]
            if top in THIRD_PARTY and layer not in THIRD_PARTY[top]:
                problems.append(f"{rel}:{number}: {layer} includes <{name}>, which only "
                                f"{', '.join(sorted(THIRD_PARTY[top]))} may use")
    return problems


def check_kinds(rel, text):
    """The words of a generic file that name a kind of part, as messages."""
    if rel not in GENERIC:
        return []
    problems = []
    for number, line in enumerate(text.splitlines(), 1):
        for (where, phrase) in ALLOWED_PHRASES:
            if where == rel:
                line = line.replace(phrase, "")
        words = re.sub(r"([a-z0-9])([A-Z])", r"\1 \2", line).replace("_", " ")
        for m in KIND_WORDS.finditer(words):
            problems.append(f"{rel}:{number}: names a kind of part ('{m.group(0)}'), which a generic file "
                            "reaches only through vboard/part.h and outputs/part_outputs.h")
    return problems


def check_tree(root):
    problems = []
    files = sorted(p for d in ("include", "src", "tools") for p in (root / d).rglob("*")
                   if p.suffix in (".h", ".cpp"))
    for path in files:
        rel, text = str(path.relative_to(root)), path.read_text(encoding="utf-8")
        problems += check_text(rel, text) + check_kinds(rel, text)
    # A generic file renamed or removed would leave the list checking nothing.
    problems += [f"{rel}: listed in GENERIC but not found" for rel in GENERIC if not (root / rel).is_file()]
    return problems, len(files)


def self_test():
    cases = [
        ("src/core/nvic.h", '#include "vboard/machine.h"\n', 1),
        ("src/core/nvic.h", '#include "vboard/run_result.h"\n', 0),
        ("src/world/strip.h", "#include <nlohmann/json.hpp>\n", 1),
        ("src/chip/gpio.cpp", '#include "world/strip_ws2815.h"\n', 1),
        ("src/machine/machine.cpp", '#include "chip/models.h"\n', 1),
        ("src/outputs/report.cpp", '#include "chip/chip.h"\n#include <nlohmann/json.hpp>\n', 0),
        ("src/outputs/report.cpp", '#include "chip/stm32g431_desc.h"\n', 1),
        ("src/serve/messages.cpp", '#include "chip/stm32g431_desc.h"\n', 1),
        ("src/world/board_file.cpp", '#include "chip/stm32g431_desc.h"\n', 0),
        ("src/chip/regblock.h", '#include "chip/stm32g431_desc.h"\n', 0),
        ("src/world/sources.cpp", '#include "chip/timer.h"\n', 1),
        ("src/cli/scenario_run.cpp", '#include "outputs/part_outputs.h"\n', 1),
        ("src/machine/bus.cpp", '#include "core/nvic.h"\n', 0),
        ("src/cli/cli.cpp", '#include "core/nvic.h"\n', 1),
        ("src/gdb/run.cpp", '#include "cli/cli.h"\n', 1),
        ("src/gdb/machine_target.cpp", '#include "chip/reg_view.h"\n', 0),
        ("src/gdb/machine_target.cpp", '#include "chip/stm32g431_desc.h"\n', 1),
        ("src/serve/engine.cpp", '#include "cli/workbench.h"\n', 1),
        ("src/serve/server.cpp", '#include <civetweb.h>\n#include "outputs/report.h"\n', 0),
        ("src/outputs/report.cpp", "#include <civetweb.h>\n", 1),
        ("src/new_file.cpp", "", 1),
        ("src/world/strip.cpp", '#include "outputs/report.h"\n', 1),
    ]
    kinds = [
        ("src/outputs/svg.cpp", "// each strip frame as a row of LEDs\n", 2),
        ("src/outputs/report.cpp", 'if (kind == "ws2815-strip") {}\n', 2),
        ("include/vboard/run_result.h", "std::optional<LampState> lamp;  // the lamp\n", 3),
        ("include/vboard/device.h", "virtual StripView* strip_view() { return nullptr; }\n", 2),
        ("src/outputs/svg.cpp", "constexpr double kLedRow = 4;\n", 1),
        ("src/cli/cli.cpp", "// the pulse-input's pull\n", 1),
        ("src/outputs/report.cpp", "// name the one that led there; stripped, unmodelled, failed\n", 0),
        ("src/outputs/vcd_timescale.h", "// 10 ns keeps the strip's bits apart\n", 0),
        ("src/cli/scenario_run.cpp", "// the strip's frames\n", 0),
    ]
    bad = 0
    for rel, text, expected in kinds:
        got = len(check_kinds(rel, text))
        if got != expected:
            print(f"self-test: kind words of {rel} in {text.strip()!r}: {got}, expected {expected}")
            bad += 1
    for rel, text, expected in cases:
        got = len(check_text(rel, text))
        if got != expected:
            print(f"self-test: {rel} with {text.strip()!r}: {got} violations, expected {expected}")
            bad += 1
    return bad


def main(argv):
    if len(argv) == 2 and argv[1] == "--self-test":
        return 1 if self_test() else 0
    quiet = len(argv) == 3 and argv[1] == "--quiet"
    if quiet:
        argv = argv[:1] + argv[2:]
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[0], file=sys.stderr)
        return 64
    if self_test():
        return 1
    problems, count = check_tree(Path(argv[1]))
    for p in problems:
        print(p)
    if problems or not quiet:
        print(f"{count} files, {len(problems)} includes across layers or kinds of part in generic files")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
