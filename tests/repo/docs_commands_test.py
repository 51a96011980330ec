#!/usr/bin/env python3
"""Runs the commands of the documents as written: every line of each fenced
```sh block of README.md and docs/boards.md, from the top of the source tree,
after the two README commands have built everything.

- "(gdb) CMD" lines are a debugger session: CMD goes to the gdb-multiarch of the
  line before (batch mode), attached to the block's `vboard ... --gdb PORT`.
- A `vboard ... --gdb PORT` without such lines gets a debugger that continues
  until the run ends (its first continue stops at --for's end, the second ends it).
- "# prints: TEXT" after a command: TEXT must be in what the command printed;
  "# exits: N": its exit status is N (otherwise 0).
- PORT is replaced by a free port (other runs may hold 3333); nothing else changes.

Not run, by this list only: blocks that need an ST-LINK (openocd, st-flash,
the flash targets), and commands that run this very test (test.sh, ctest).

  docs_commands_test.py SOURCE_DIR
"""
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DOCUMENTS = ("README.md", "docs/boards.md")
HARDWARE = ("openocd", "st-flash", "--target flash-")  # a block with one of these needs a board
SKIP = {  # command (as written, comment cut) -> why it is not run here
    "./scripts/test.sh": "runs every test, this one among them",
    "./scripts/demo.sh": "one of the two commands this test runs after",
    "cmake --preset host && cmake --build --preset host && ctest --preset host": "runs the host tests",
    "ctest --preset host-long": "runs this test",
    "./scripts/coverage.sh": "runs every virtual-board test, this one among them, with coverage on",
    "./scripts/coverage.sh --image": "runs every virtual-board test, this one among them, with coverage on",
    "./scripts/mutate.sh --sample 20": "builds and tests 20 copies of the tree (the ctest mutation_tool runs one)",
}
TIMEOUT = 300
failures = []


def blocks(text):
    return re.findall(r"^```sh\n(.*?)^```", text, re.S | re.M)


def strip_comment(line):
    return re.sub(r"\s+#\s.*$", "", line).strip()


def run_shell(command, cwd):
    cmd_cwd = cwd if not command.startswith(("cmake", "ctest")) else SOURCE
    p = subprocess.run(["bash", "-c", command], cwd=cmd_cwd, capture_output=True, text=True, timeout=TIMEOUT)
    return p.returncode, p.stdout + p.stderr


def run_with_debugger(command, gdb_commands, cwd):
    """Starts the board, waits for its port, drives it with gdb-multiarch."""
    command = re.sub(r"--gdb(-on-fail)? \d+", r"--gdb\1 0", command)
    board = subprocess.Popen(["bash", "-c", "exec " + command], cwd=cwd, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    err, port = "", None
    deadline = time.monotonic() + 30
    while port is None and time.monotonic() < deadline and board.poll() is None:
        if select.select([board.stderr], [], [], 0.5)[0]:
            line = board.stderr.readline()
            err += line
            m = re.search(r"127\.0\.0\.1:(\d+)", line)
            port = int(m.group(1)) if m else None
    if port is None:
        board.kill()
        return 1, err + board.communicate()[1]
    elf = re.search(r"\S+\.elf", command).group(0)
    args = ["gdb-multiarch", "--batch", "-nx", elf]
    for c in gdb_commands or ["target remote :3333", "continue", "continue"]:
        args += ["-ex", re.sub(r":3333\b", ":%d" % port, c)]
    gdb = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=TIMEOUT)
    if board.poll() is None and not any(c.split()[0] in ("kill", "detach") for c in gdb_commands):
        gdb_kill = subprocess.run(["gdb-multiarch", "--batch", "-nx", "-ex", "target remote :%d" % port,
                                   "-ex", "kill"], capture_output=True, text=True, timeout=TIMEOUT)
        gdb.stdout += gdb_kill.stdout
    out, rest = board.communicate(timeout=TIMEOUT)
    if "Remote communication error" in gdb.stdout:
        return 1, gdb.stdout
    return board.returncode, gdb.stdout + gdb.stderr + out + err + rest


def main():
    global SOURCE
    SOURCE = Path(sys.argv[1]).resolve()
    work = Path(tempfile.mkdtemp(prefix="docs_commands_"))
    for name in ("build", "scenarios", "scripts", "docs", "boards", "tests"):  # files the commands write land in work/
        os.symlink(SOURCE / name, work / name)
    count = skipped = 0
    for doc in DOCUMENTS:
        for block in blocks((SOURCE / doc).read_text()):
            lines = [l for l in block.splitlines() if l.strip()]
            if any(h in block for h in HARDWARE):
                skipped += len(lines)
                continue
            i = 0
            while i < len(lines):
                command = strip_comment(lines[i])
                i += 1
                gdb, prints, expected = [], [], 0
                while i < len(lines) and lines[i].startswith(("(gdb) ", "gdb-multiarch ", "# prints: ", "# exits: ")):
                    if lines[i].startswith("(gdb) "):
                        gdb.append(strip_comment(lines[i][6:]))
                    elif lines[i].startswith("# prints: "):
                        prints.append(lines[i][10:].strip())
                    elif lines[i].startswith("# exits: "):
                        expected = int(lines[i][9:])
                    i += 1
                if command in SKIP:
                    skipped += 1
                    continue
                count += 1
                if "--gdb" in command:
                    status, out = run_with_debugger(command, gdb, work)
                else:
                    status, out = run_shell(command, work)
                if status != expected:
                    failures.append("%s: `%s` failed (%d):\n%s" % (doc, command, status, out[-2000:]))
                for text in prints:
                    if text not in out:
                        failures.append("%s: `%s` does not print %r; it printed:\n%s" % (doc, command, text, out))
    shutil.rmtree(work)
    for f in failures:
        print("FAIL", f)
    print("%d commands run, %d skipped (hardware or this test itself)" % (count, skipped))
    return 1 if failures or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
