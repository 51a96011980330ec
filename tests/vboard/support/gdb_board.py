"""`vboard IMAGE --gdb 0` in the background and batch sessions of Debian's
gdb-multiarch against it, for the GDB tests of this directory. Every child
process runs under a timeout; the board is given a free port by the system and
says which on stderr."""
import json
import re
import select
import shutil
import subprocess
import time

GDB = shutil.which("gdb-multiarch")
TIMEOUT = 60  # seconds for any one child process


class Board:
    """vboard with --gdb 0 in the background, the image held at reset."""

    def __init__(self, vboard, elf, args, env=None):
        self.proc = subprocess.Popen([vboard, elf, *args, "--json", "--gdb", "0"], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=env)
        self.err = ""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stderr], [], [], 0.2)
            if ready:
                line = self.proc.stderr.readline()
                self.err += line
                m = re.search(r"127\.0\.0\.1:(\d+)", line)
                if m:
                    self.port = int(m.group(1))
                    return
            if self.proc.poll() is not None:
                break
        self.proc.kill()
        self.proc.communicate()
        raise AssertionError("vboard did not announce its GDB port: " + self.err)

    def close(self):
        """Ends a board a failed test left waiting (for a debugger or its run)."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()

    def finish(self):
        """Waits for the run to end; returns (exit status, JSON report, stderr)."""
        try:
            out, err = self.proc.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
            raise
        return self.proc.returncode, json.loads(out), self.err + err


def gdb_batch(elf, port, commands, scripts=()):
    """One batch session: loads each script (-x), connects, runs the commands.
    Returns GDB's output, stdout and stderr together (console output of
    `monitor` commands goes to stderr in batch mode)."""
    if GDB is None:
        raise AssertionError("gdb-multiarch not found (scripts/deps.sh installs it)")
    args = [GDB, "--batch", "-nx", elf]
    for s in scripts:
        args += ["-x", s]
    args += ["-ex", "target remote 127.0.0.1:%d" % port]
    for c in commands:
        args += ["-ex", c]
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=TIMEOUT).stdout
