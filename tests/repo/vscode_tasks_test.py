#!/usr/bin/env python3
"""Checks .vscode/tasks.json and launch.json against the keys VS Code knows and
against what vboard really prints: each task's command is run (on a free port),
its background begin/end patterns must match the banner lines in order, and its
error pattern must match vboard's error line for a taken port and none of the
lines of a good session.

  vscode_tasks_test.py SOURCE_DIR VBOARD FIRMWARE_DIR
"""
import json
import lzma
import re
import socket
import subprocess
import sys
from pathlib import Path

# Keys of VS Code's task and launch schemas that these files may use.
TASK_KEYS = {"label", "type", "command", "args", "isBackground", "problemMatcher", "options", "group",
             "presentation", "dependsOn", "detail"}
MATCHER_KEYS = {"owner", "source", "severity", "fileLocation", "pattern", "background", "applyTo", "base"}
PATTERN_KEYS = {"regexp", "kind", "file", "location", "line", "column", "endLine", "endColumn", "severity",
                "code", "message", "loop"}
GROUP_KEYS = {"file", "location", "line", "column", "endLine", "endColumn", "severity", "code", "message"}
BACKGROUND_KEYS = {"activeOnStart", "beginsPattern", "endsPattern"}
LAUNCH_KEYS = {
    "cortex-debug": {"name", "type", "request", "servertype", "gdbTarget", "gdbPath", "executable", "cwd",
                     "preLaunchTask", "svdFile", "runToEntryPoint", "showDevDebugOutput", "configFiles",
                     "preLaunchCommands", "preAttachCommands"},
    "cppdbg": {"name", "type", "request", "program", "cwd", "MIMode", "miDebuggerPath",
               "miDebuggerServerAddress", "stopAtConnect", "preLaunchTask", "setupCommands"},
}

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
    return ok


def jsonc(path):
    """JSON with // and /* */ comments (outside strings), as VS Code reads it."""
    text, out, i = path.read_text(), [], 0
    while i < len(text):
        c = text[i]
        if c == '"':
            j = i + 1
            while text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            i = text.index("\n", i)
        elif text.startswith("/*", i):
            i = text.index("*/", i) + 2
        else:
            out.append(c)
            i += 1
    return json.loads("".join(out))


def js_regex(pattern):
    """VS Code's regular expressions are JavaScript's; these use only what Python reads the same."""
    check(not re.search(r"\(\?<[^=!]|\\[uk]", pattern), f"pattern uses JavaScript-only syntax: {pattern}")
    return re.compile(pattern)


def check_task(task, workspace, vboard):
    label = task.get("label", "?")
    check(set(task) <= TASK_KEYS, f"{label}: unknown task keys {set(task) - TASK_KEYS}")
    matcher = task["problemMatcher"]
    check(set(matcher) <= MATCHER_KEYS, f"{label}: unknown problemMatcher keys {set(matcher) - MATCHER_KEYS}")
    pattern, background = matcher["pattern"], matcher["background"]
    check(set(pattern) <= PATTERN_KEYS, f"{label}: unknown pattern keys {set(pattern) - PATTERN_KEYS}")
    check(set(background) == BACKGROUND_KEYS, f"{label}: background keys {sorted(background)}")
    check(background.get("activeOnStart") is True, f"{label}: the task must start active")
    check(task.get("isBackground") is True, f"{label}: not a background task")
    error = js_regex(pattern["regexp"])
    for key in GROUP_KEYS & set(pattern):
        check(isinstance(pattern[key], int) and 0 <= pattern[key] <= error.groups,
              f"{label}: pattern.{key} names group {pattern[key]} of {error.groups}")
    check("file" in pattern and "message" in pattern, f"{label}: pattern needs file and message groups")
    begins, ends = js_regex(background["beginsPattern"]), js_regex(background["endsPattern"])
    args = [a.replace("${workspaceFolder}", str(workspace)) for a in task["args"]]
    check("--for" not in args, f"{label}: a --for ends the debug session at the first continue")
    port = args.index("--gdb") + 1
    args[port] = "0"  # a free port: tests run side by side

    first = subprocess.Popen([vboard, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        lines = [first.stderr.readline().rstrip("\n") for _ in range(2)]
        # VS Code tries the begin pattern first: a line it matches never ends the start phase.
        check(begins.search(lines[0]) and not ends.search(lines[0]), f"{label}: begins/ends on {lines[0]!r}")
        check(ends.search(lines[1]) and not begins.search(lines[1]), f"{label}: ends on {lines[1]!r}")
        server = re.search(r"127\.0\.0\.1:(\d+)", lines[0])
        if not check(server, f"{label}: vboard started no GDB server (is the image built?): {lines[0]!r}"):
            return task["label"], args[0]
        taken = int(server.group(1))
        args[port] = str(taken)
        second = subprocess.run([vboard, *args], capture_output=True, text=True, timeout=30)
        err = second.stderr.splitlines()
        check(second.returncode != 0 and any(error.search(l) for l in err),
              f"{label}: the error pattern misses {err}")
        with socket.create_connection(("127.0.0.1", taken), timeout=10) as s:
            s.sendall(b"+$k#6b")
        rest = first.stderr.read().splitlines()
        first.wait(timeout=30)
        for line in lines + rest:
            check(not error.search(line), f"{label}: a good session's line counts as an error: {line!r}")
    finally:
        if first.poll() is None:
            first.kill()
    return task["label"], args[0]


def main():
    source, vboard = Path(sys.argv[1]), sys.argv[2]
    firmware = Path(sys.argv[3])
    tasks = jsonc(source / ".vscode/tasks.json")
    launch = jsonc(source / ".vscode/launch.json")
    images = {}
    for task in tasks["tasks"]:
        task = json.loads(json.dumps(task).replace("${workspaceFolder}/build/firmware", str(firmware)))
        label, image = check_task(task, source, vboard)
        images[label] = image
    for conf in launch["configurations"]:
        name, kind = conf["name"], conf["type"]
        check(kind in LAUNCH_KEYS, f"{name}: unknown debugger type {kind}")
        check(set(conf) <= LAUNCH_KEYS.get(kind, set()), f"{name}: unknown keys {set(conf) - LAUNCH_KEYS[kind]}")
        # `step` goes past the C++ library headers: each configuration loads the repository's GDB settings.
        commands = (conf.get("preLaunchCommands", []) + conf.get("preAttachCommands", []) +
                    [c.get("text") for c in conf.get("setupCommands", [])])
        check("source ${workspaceFolder}/.gdbinit" in commands and (source / ".gdbinit").is_file(),
              f"{name}: does not source the repository's .gdbinit")
        if kind == "cortex-debug":
            # Peripheral views by name: the SVD the firmware build unpacks beside the images.
            svd = conf.get("svdFile", "").replace("${workspaceFolder}/build/firmware", str(firmware))
            check(svd == str(firmware / "STM32G431.svd"), f"{name}: svdFile {svd!r} is not the unpacked SVD")
        if conf.get("servertype") == "openocd":
            # A real board: the extension starts OpenOCD itself, with the ST-LINK and the chip's scripts.
            check(conf.get("configFiles") == ["interface/stlink.cfg", "target/stm32g4x.cfg"],
                  f"{name}: OpenOCD scripts {conf.get('configFiles')}")
            continue
        task = conf.get("preLaunchTask")
        check(task in images, f"{name}: preLaunchTask {task!r} is no task")
        program = (conf.get("executable") or conf.get("program", "")).replace("${workspaceFolder}/build/firmware",
                                                                             str(firmware))
        check(task not in images or program == images[task], f"{name}: debugs {program}, its task runs another")
    svd = firmware / "STM32G431.svd"
    reference = lzma.decompress((source / "tests/reference/STM32G431.svd.xz").read_bytes())
    check(svd.is_file() and svd.read_bytes() == reference, f"{svd}: not the chip's SVD (is the firmware built?)")
    for f in failures:
        print("FAIL", f)
    print(f"{len(tasks['tasks'])} tasks, {len(launch['configurations'])} launch configurations checked")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
