#!/usr/bin/env python3
"""Checks that every file of the virtual board includes only from its own layer
and the layers below it, and third-party headers only where that layer uses them.

  layers_check.py VBOARD_DIR          check vboard/src, vboard/include and vboard/tools
  layers_check.py --self-test         show that an upward include is caught

Each layer is a CMake target (vboard/CMakeLists.txt); LAYERS says which layers a
layer may include from. A file the tables do not place in a layer is an error too,
so a new file has to be given its layer. Exit status: 0 clean, 1 violations, 64 usage.
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
    "gdb": ["core", "machine"],
    "serve": ["core", "chip", "world", "machine", "outputs"],
    "cli": ["core", "chip", "world", "machine", "outputs", "serve"],
    "main": ["core", "chip", "world", "machine", "outputs", "gdb", "serve", "cli"],
    "png": [],
}

# Folders of vboard/src whose files all belong to one layer.
FOLDERS = {"src/core": "core", "src/chip": "chip", "src/world": "world", "src/gdb": "gdb", "src/serve": "serve"}

# The other files, one by one.
FILES = {
    "include/vboard/device.h": "core",
    "include/vboard/image.h": "core",
    "include/vboard/coverage.h": "core",
    "include/vboard/strip.h": "core",
    "include/vboard/run_result.h": "core",
    "src/image.cpp": "core",
    "src/coverage.cpp": "core",
    "src/durations.cpp": "core",
    "include/vboard/chip.h": "chip",
    "include/vboard/board.h": "world",
    "include/vboard/values.h": "world",
    "src/board_file.cpp": "world",
    "src/yaml_file.h": "world",
    "src/yaml_file.cpp": "world",
    "src/values.cpp": "world",
    "include/vboard/machine.h": "machine",
    "src/machine.cpp": "machine",
    "include/vboard/report.h": "outputs",
    "include/vboard/svg.h": "outputs",
    "src/report.cpp": "outputs",
    "src/strip_report.cpp": "outputs",
    "src/svg.cpp": "outputs",
    "src/png.cpp": "outputs",
    "src/figures.h": "outputs",
    "src/figures.cpp": "outputs",
    "include/vboard/cli.h": "cli",
    "include/vboard/scenario.h": "cli",
    "include/vboard/workbench.h": "cli",
    "src/cli.cpp": "cli",
    "src/scenario.cpp": "cli",
    "src/scenario_run.cpp": "cli",
    "src/workbench.cpp": "cli",
    "src/lamp_figures.cpp": "cli",
    "src/main.cpp": "main",
    "tools/png_main.cpp": "png",
}

# Third-party headers (by the first part of their path) and the layers that may use them:
# JSON only where JSON is written (reports, the live page's messages), CLI11 only in the command
# line, YAML only in the loaders, civetweb only in the live board's server.
THIRD_PARTY = {
    "nlohmann": {"outputs", "serve"},
    "civetweb.h": {"serve"},
    "CLI": {"cli"},
    "yaml-cpp": {"world", "cli"},
    "unicorn": {"core", "machine", "gdb"},
    "librsvg": {"png"},
    "cairo": {"png"},
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
        return [f"{rel}: in no layer (give it one in layers_check.py)"]
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
        else:
            top = name.split("/")[0]
            if top in THIRD_PARTY and layer not in THIRD_PARTY[top]:
                problems.append(f"{rel}:{number}: {layer} includes <{name}>, which only "
                                f"{', '.join(sorted(THIRD_PARTY[top]))} may use")
    return problems


def check_tree(root):
    problems = []
    files = sorted(p for d in ("include", "src", "tools") for p in (root / d).rglob("*")
                   if p.suffix in (".h", ".cpp"))
    for path in files:
        problems += check_text(str(path.relative_to(root)), path.read_text(encoding="utf-8"))
    return problems, len(files)


def self_test():
    cases = [
        ("src/core/nvic.h", '#include "vboard/machine.h"\n', 1),
        ("src/core/nvic.h", '#include "vboard/run_result.h"\n', 0),
        ("include/vboard/strip.h", "#include <nlohmann/json.hpp>\n", 1),
        ("src/chip/gpio.cpp", '#include "world/ws2815.h"\n', 1),
        ("src/machine.cpp", '#include "chip/models.h"\n', 1),
        ("src/report.cpp", '#include "chip/stm32g431_desc.h"\n#include <nlohmann/json.hpp>\n', 0),
        ("src/gdb/run.cpp", '#include "vboard/cli.h"\n', 1),
        ("src/serve/engine.cpp", '#include "vboard/workbench.h"\n', 1),
        ("src/serve/server.cpp", '#include <civetweb.h>\n#include "vboard/report.h"\n', 0),
        ("src/report.cpp", "#include <civetweb.h>\n", 1),
        ("src/new_file.cpp", "", 1),
    ]
    bad = 0
    for rel, text, expected in cases:
        got = len(check_text(rel, text))
        if got != expected:
            print(f"self-test: {rel} with {text.strip()!r}: {got} violations, expected {expected}")
            bad += 1
    return bad


def main(argv):
    if len(argv) == 2 and argv[1] == "--self-test":
        return 1 if self_test() else 0
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[0], file=sys.stderr)
        return 64
    if self_test():
        return 1
    problems, count = check_tree(Path(argv[1]))
    for p in problems:
        print(p)
    print(f"{count} files, {len(problems)} includes across layers")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
