#!/usr/bin/env python3
"""GDB sessions against `vboard IMAGE --gdb 0` with Debian's gdb-multiarch (and
a raw socket for what a batch GDB cannot do: interrupts, bad packets, a second
client). Every run of the board is compared with the same run without a
debugger: stopping, stepping and reading must not change what the pins did.

usage: gdb_session_test.py VBOARD FIRMWARE_DIR [unittest args]
Every child process runs under a timeout; the board is given a free port by
the system (--gdb 0) and says which on stderr.
"""
import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gdb_board
from gdb_board import TIMEOUT, gdb_batch

VBOARD = ""
FIRMWARE = ""
SOURCE_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))
GDBINIT = os.path.join(SOURCE_DIR, ".gdbinit")
OBJDUMP = shutil.which("arm-none-eabi-objdump") or "arm-none-eabi-objdump"

FRONT_ARGS = ["--for", "400ms", "--pulse", "PA0=1500us@20ms,period=20ms"]
# Registers the front image touches, for GDB expressions: GDB reaches no C++
# name, so these are the chip description's base plus the register's offset
# (vboard/src/chip/stm32g431_desc.cpp, stm32g431_regs.h: gpio::BSRR, exti::PR1).
GPIOA = 0x48000000
GPIOA_BSRR = GPIOA + 0x18
EXTI_PR1 = 0x40010400 + 0x14
PULSE_WIDTH = "((aurelis::application*)_app)->_m.LED.sw._m.lastPulse"


def image(name):
    return os.path.join(FIRMWARE, name)


def debug_image(name):
    """An image of the firmware-debug preset: in FIRMWARE_DEBUG_DIR as the build
    gives it (VBOARD_FIRMWARE_DEBUG_DIR), else beside the release images."""
    return os.path.join(os.environ.get("VBOARD_FIRMWARE_DEBUG_DIR") or FIRMWARE + "-debug", name)


def source_line(path, text):
    """The number of the line of the repository's file `path` that holds `text` (once)."""
    with open(os.path.join(SOURCE_DIR, path)) as f:
        hits = [n for n, line in enumerate(f, 1) if text in line]
    assert len(hits) == 1, f"{path}: {text!r} on lines {hits}"
    return hits[0]


def checksum_frame(payload):
    return "$%s#%02x" % (payload, sum(payload.encode()) & 0xFF)


_plain_runs = {}


def plain_run(elf, args):
    key = (elf, tuple(args))
    if key not in _plain_runs:
        r = subprocess.run([VBOARD, elf, *args, "--json"], capture_output=True, text=True, timeout=TIMEOUT)
        _plain_runs[key] = (r.returncode, json.loads(r.stdout))
    return _plain_runs[key]


def gpio_set_store():
    """The store to a port's BSRR (offset 24) in the pin write, the instruction that raises a
    light output: (address, value register, port register). The pin write is HAL_GPIO_WritePin,
    or ts_digitalPin::Write when link-time optimisation inlined the former."""
    out = subprocess.run([OBJDUMP, "-d", "--no-show-raw-insn", image("front_lamp.elf")], capture_output=True,
                         text=True, timeout=TIMEOUT).stdout
    for name in ("<HAL_GPIO_WritePin>:", "<_ZN6tessel13ts_digitalPin5WriteEh>:"):
        if name not in out:
            continue
        body = out.split(name)[1].split("\n\n")[0]
        for line in body.splitlines():
            m = re.match(r"\s*([0-9a-f]+):\s+str\s+(r\d+), \[(r\d+), #24\]", line)
            if m:
                return int(m.group(1), 16), m.group(2), m.group(3)
    raise AssertionError("no store to BSRR in the pin write")


def virtual_ns(text):
    return [int(n) for n in re.findall(r"virtual time .*? \((\d+) ns\)", text)]


class BoardTest(unittest.TestCase):
    def board(self, elf, args, env=None):
        b = gdb_board.Board(VBOARD, elf, args, env)
        self.addCleanup(b.close)
        return b


class GdbSessions(BoardTest):
    def assert_same_as_plain_run(self, elf, args, status, report):
        plain_status, plain = plain_run(elf, args)
        self.assertEqual(status, plain_status)
        self.assertEqual(report["pins"], plain["pins"], "the debugger changed the pin history")
        self.assertEqual(report["instructions"], plain["instructions"])
        self.assertEqual(report.get("strip"), plain.get("strip"), "the debugger changed the strip frames")  # front: none

    def test_break_at_cpp_setup_then_read_the_application_pointer(self):
        elf = image("front_lamp.elf")
        board = self.board(elf, FRONT_ARGS)
        out = gdb_batch(elf, board.port, [
            "break cpp_setup", "continue", "print/x _app", "finish", "print/x _app", "info registers pc",
            "print $d0", "print $fpscr", "print $msp == $sp", "detach"])
        status, report, err = board.finish()
        self.assertIn("Breakpoint 1, cpp_setup ()", out)
        apps = re.findall(r"\$\d+ = 0x([0-9a-f]+)", out)
        self.assertEqual(apps[0], "0", "_app is null until cpp_setup stores it")
        self.assertTrue(0x20000000 <= int(apps[1], 16) < 0x20008000, "the application object lives in RAM")
        self.assertRegex(out, r"pc\s+0x[0-9a-f]+\s+0x[0-9a-f]+ <main")
        self.assertRegex(out, r"\$\d+ = [-+.e0-9]+\n\$\d+ = \d+\n\$\d+ = true", "FP and system registers")
        self.assertIn("debugger session ended (detached)", err)
        self.assert_same_as_plain_run(elf, FRONT_ARGS, status, report)

    def test_watchpoint_on_the_pulse_width_fires_after_the_first_pulse(self):
        elf = image("front_lamp.elf")
        board = self.board(elf, FRONT_ARGS)
        out = gdb_batch(elf, board.port, [
            "break cpp_setup", "continue", "finish", "watch -l " + PULSE_WIDTH, "continue", "monitor time",
            "print " + PULSE_WIDTH, "detach"])
        status, report, _ = board.finish()
        self.assertRegex(out, r"Hardware watchpoint 2: -location")
        self.assertRegex(out, r"Old value = 0\nNew value = 1500")
        self.assertIn("on_changed", out, "the width is stored by the pin-change handler")
        # The first pulse falls at 21.5 ms; the handler runs right after that edge.
        t = virtual_ns(out)[0]
        self.assertTrue(21_500_000 <= t < 21_600_000, t)
        self.assert_same_as_plain_run(elf, FRONT_ARGS, status, report)

    def test_step_over_a_gpio_write_and_see_the_pin_follow(self):
        elf = image("front_lamp.elf")
        store, value_reg, port_reg = gpio_set_store()
        board = self.board(elf, FRONT_ARGS)
        # The first loop pass after the 1500 us pulse raises PA9 (left) first.
        out = gdb_batch(elf, board.port, [
            "break cpp_setup", "continue", "finish", "break *0x%x" % store, "continue",
            "monitor pins PA9", "monitor time", "print $%s" % value_reg, "print/x $%s" % port_reg,
            "monitor time", "stepi", "monitor time",
            "monitor pins PA9", "detach"])
        status, report, _ = board.finish()
        self.assertRegex(out, r"\$\d+ = 512\n\$\d+ = 0x%x\n" % GPIOA, "the store writes PA9's bit to GPIOA BSRR")
        levels = re.findall(r"PA9 = (\d) since", out)
        self.assertEqual(levels, ["0", "1"], out)
        times = virtual_ns(out)
        self.assertEqual(times[0], times[1], "virtual time stands still while the core is halted")
        # The image sees the time its block began; a step moves it by one block at the most.
        self.assertTrue(0 <= times[2] - times[1] < 1000, times)
        self.assert_same_as_plain_run(elf, FRONT_ARGS, status, report)

    def test_watchpoints_on_peripheral_registers(self):
        elf = image("front_lamp.elf")
        board = self.board(elf, FRONT_ARGS)
        # EXTI PR1 is read by the pin-change handler; GPIOA BSRR is written by the pin writes.
        out = gdb_batch(elf, board.port, [
            "rwatch *(volatile uint32_t*)0x%x" % EXTI_PR1, "continue", "bt 1", "delete",
            "awatch *(volatile uint32_t*)0x%x" % GPIOA_BSRR, "continue", "bt 1", "detach"])
        status, report, _ = board.finish()
        self.assertIn("Hardware read watchpoint 1", out)
        self.assertIn("EXTI", out, "in the pin-change interrupt")
        self.assertIn("Hardware access (read/write) watchpoint 2", out)
        # As with a Cortex-M's DWT, the stop comes after the store; GDB then steps once more.
        self.assertRegex(out, r"application::loop|ts_digitalPin::Write")
        self.assert_same_as_plain_run(elf, FRONT_ARGS, status, report)

    def test_rear_run_with_steps_keeps_its_strip_frames(self):
        elf = image("rear_lamp.elf")
        args = ["--for", "30ms", "--set", "PB5=0@5ms"]
        board = self.board(elf, args)
        out = gdb_batch(elf, board.port, [
            "break cpp_loop", "continue", "stepi 25", "delete", "monitor strip", "continue", "monitor time",
            "continue"])
        status, report, _ = board.finish()
        self.assertIn("strip frames", out)
        self.assertRegex(out, r"(?s)SIGTRAP.*the end of the run \(--for 30[.0]* ms\) has been reached",
                         "the end of the run is a stop for GDB first")
        self.assertIn("exited normally", out, "continuing from the end ends the process for GDB")
        self.assertGreater(len(report["strip"]["frames"]), 0)
        self.assert_same_as_plain_run(elf, args, status, report)

    def test_halt_loop_is_reported_as_abort_with_its_reason(self):
        elf = image("front_lamp.elf")
        args = ["--for", "50ms", "--fault", "pll_never_locks"]
        board = self.board(elf, args)
        out = gdb_batch(elf, board.port, ["continue", "bt", "monitor diagnostics", "continue"])
        status, report, _ = board.finish()
        self.assertIn("SIGABRT", out)
        self.assertIn("Error_Handler", out)
        self.assertIn("halt: error_handler in Error_Handler", out)
        self.assertIn("exited with code 02", out)
        self.assertEqual(status, 2)
        self.assert_same_as_plain_run(elf, args, status, report)

    def test_ide_sequence_reset_load_and_finish_out_of_the_pin_callback(self):
        # What Cortex-Debug sends to an external server (attach: monitor halt; launch and restart:
        # monitor reset halt, load, monitor reset halt; GDB keeps its register cache over a monitor
        # command, so a front end flushes it), then a stop in the pin callback, a step and `finish`
        # out of it through the exception return. No --for: the run lasts until the kill.
        # With coverage on: the tracefile written as the run ends maps the image read
        # again after the `load`, which has to outlive the session.
        elf = image("front_lamp.elf")
        coverage = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, coverage)
        board = self.board(elf, ["--pulse", "PA0=1500us@20ms,period=20ms"],
                           dict(os.environ, VBOARD_COVERAGE_DIR=coverage))
        reset = ["monitor reset halt", "maintenance flush register-cache"]
        out = gdb_batch(elf, board.port, [
            "monitor halt", "break cpp_setup", "continue", "monitor time", *reset, "continue", "monitor time",
            "delete", "monitor reset halt", "load", *reset, "break HAL_GPIO_EXTI_Callback", "continue", "delete",
            "step", "step", "bt 1", "finish", "info registers pc", "monitor time", "kill"])
        status, report, err = board.finish()
        self.assertIn("halted at 0x", out)
        times = virtual_ns(out)
        self.assertEqual(times[0], times[1], "after a reset the run reaches cpp_setup at the same time")
        self.assertEqual(out.count("Breakpoint 1, cpp_setup"), 2, out)
        self.assertEqual(out.count("board reset to power-on"), 3, out)
        self.assertIn("Loading section .text", out)
        self.assertNotIn("differs from", out, "the loaded flash is the image file's")
        self.assertIn("Breakpoint 2, HAL_GPIO_EXTI_Callback", out)
        self.assertIn("#0  tessel::ts_digitalPin::INT_changed", out, "two steps enter the inlined handler")
        # finish returns to the code the interrupt came in (HAL_Delay's loop), right after the edge.
        self.assertRegex(out, r"HAL_Delay \(Delay=100\) at .*hal_core\.cpp", out)
        pc = int(re.search(r"pc\s+0x([0-9a-f]+)", out).group(1), 16)
        self.assertTrue(0x08000000 <= pc < 0x08020000, "finish stops in code, not at %#x" % pc)
        self.assertTrue(20_000_000 <= times[-1] < 20_100_000, "stopped right after the first edge: %s" % times)
        self.assertEqual((status, report["virtual_ns"]), (0, times[-1]), "the run ends where it was killed")
        self.assertIn("session ended (killed)", err)
        traces = [open(os.path.join(coverage, f)).read() for f in os.listdir(coverage)]
        self.assertEqual(len(traces), 1, err)
        self.assertRegex(traces[0], r"SF:.*/mid/ts_digitalPin\.cpp\n(.*\n)*?DA:\d+,[1-9]", "the callback's lines ran")

    def test_cpptools_mi_sequence_on_the_debug_image(self):
        # What the C/C++ extension (MIMode gdb, miDebuggerServerAddress) sends through GDB's
        # machine interface, on the firmware-debug image: connect, a breakpoint, continue to it,
        # the frames and variables, finish out of the pin callback, detach.
        elf = debug_image("front_lamp.elf")
        if not os.path.exists(elf):
            self.fail(f"{elf} is missing: build the firmware-debug preset first")
        board = self.board(elf, ["--pulse", "PA0=1500us@20ms,period=20ms"])
        commands = [f"-target-select remote 127.0.0.1:{board.port}", "-break-insert HAL_GPIO_EXTI_Callback",
                    "-exec-continue", "-stack-list-frames 0 2", "-stack-list-variables --all-values",
                    "-exec-finish", "-break-delete", "-target-detach", "-gdb-exit"]
        out = subprocess.run([gdb_board.GDB, "--interpreter=mi2", "-nx", "-q", elf], input="\n".join(commands) + "\n",
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=TIMEOUT).stdout
        records = [line for line in out.splitlines() if line.startswith(("^", "*stopped"))]
        self.assertIn("^connected", records, out)
        hit = [r for r in records if 'reason="breakpoint-hit"' in r]
        self.assertTrue(hit and 'func="HAL_GPIO_EXTI_Callback"' in hit[0], out)
        self.assertIn('variables=[{name="GPIO_Pin",arg="1",value="1"}]', out, "the debug image shows its values")
        finished = [r for r in records if 'reason="function-finished"' in r]
        self.assertTrue(finished and 'func="HAL_GPIO_EXTI_IRQHandler"' in finished[0], out)
        self.assertNotIn("^error", out)
        board.finish()

    def test_debug_image_shows_locals_and_steps_past_the_library_headers(self):
        # The firmware-debug image under the repository's .gdbinit: the locals of
        # the application's pass and of the pin-change handler have their values
        # where they are in scope (not <optimized out>), and `step` on a range-for
        # over a std::vector stays in the project's code (the library's inline
        # functions are skipped). `monitor regs` names the pins' modes meanwhile.
        elf = debug_image("front_lamp.elf")
        if not os.path.exists(elf):
            self.fail(f"{elf} is missing: build the firmware-debug preset first")
        decided = source_line("front_lamp/app/application.cpp", "delay(kPassMs);")
        rising = source_line("mid/ts_digitalPin.cpp", "++_m.up_counter;")
        walk = source_line("mid/ts_digitalPin.cpp", "if (object->_pin.Pin == pin && object->configured())") - 1
        board = self.board(elf, FRONT_ARGS)
        out = gdb_batch(elf, board.port, [
            f"break application.cpp:{decided} if pulse != 0", "continue", "info locals",
            "delete", f"break ts_digitalPin.cpp:{rising}", "continue", "info locals",
            "delete", f"break ts_digitalPin.cpp:{walk}", "continue", "step", "bt 1",
            "monitor regs GPIOA MODER", "kill"], scripts=[GDBINIT])
        board.finish()
        self.assertNotIn("optimized out", out)
        # The pass after the first 1500 us pulse: the lights go on.
        self.assertRegex(out, r"pulse = 1500\non = 1 '\\001'", out)
        # At a rising edge: the pin reads high, at a time after the first edge (20 ms).
        m = re.search(r"now = (\d+)\nhigh = true", out)
        self.assertTrue(m and int(m.group(1)) >= 20_000, out)
        stepped = re.search(r"#0  (.*)", out[out.index(f"ts_digitalPin.cpp:{walk}"):]).group(1)
        self.assertIn(f"ts_digitalPin.cpp:{walk + 1}", stepped, "step went into the library: " + stepped)
        self.assertRegex(out, r"MODER8 +\[17:16\] +1\n", "PA8 drives the left lamp: an output")


class RawProtocol(BoardTest):
    """What a batch GDB never sends: Ctrl-C, broken packets, a second client."""

    def recv_until(self, sock, pattern):
        data = b""
        deadline = time.monotonic() + 10
        while not re.search(pattern, data) and time.monotonic() < deadline:
            ready, _, _ = select.select([sock], [], [], 0.5)
            if ready:
                chunk = sock.recv(4096)
                if not chunk:
                    break
                data += chunk
        return data

    def test_interrupt_bad_packets_second_client_and_kill(self):
        elf = image("front_lamp.elf")
        board = self.board(elf, ["--for", "1000s"])
        s = socket.create_connection(("127.0.0.1", board.port), timeout=10)
        try:
            s.sendall(checksum_frame("?").encode())
            self.assertIn(b"+$S05#b8", self.recv_until(s, rb"S05#.."), "held at reset")
            with self.assertRaises(ConnectionRefusedError):
                socket.create_connection(("127.0.0.1", board.port), timeout=5).close()
            s.sendall(b"$?#00")
            self.assertEqual(self.recv_until(s, rb"-"), b"-", "bad checksum: asked again")
            s.sendall(("$M20000000,1000:" + "00" * 4096 + "#00").encode())
            self.assertIn(b"$E03#a8", self.recv_until(s, rb"E03#.."), "oversized packet: error reply")
            s.sendall(checksum_frame("qFrobnicate").encode())
            self.assertIn(b"$#00", self.recv_until(s, rb"\$#00"), "unknown packet: empty reply")
            s.sendall(checksum_frame("c").encode())
            time.sleep(0.3)
            s.sendall(b"\x03")
            self.assertIn(b"$T02", self.recv_until(s, rb"T02#.."), "Ctrl-C stops the running core")
            s.sendall(checksum_frame("qRcmd," + b"time".hex()).encode())
            reply = self.recv_until(s, rb"\$OK#9a")
            text = bytes.fromhex(re.search(rb"\$O([0-9a-f]+)#", reply).group(1).decode()).decode()
            t = int(re.search(r"\((\d+) ns\)", text).group(1))
            self.assertTrue(0 < t < 1000 * 10**9, text)
            s.sendall(checksum_frame("k").encode())
        finally:
            s.close()
        status, report, err = board.finish()
        self.assertEqual(status, 5, "a killed run did not run for the time asked")
        self.assertEqual(report["virtual_ns"], t, "a killed run ends where the debugger stopped it")
        self.assertTrue(report["ended_early"])
        self.assertIn("debugger killed the run", report["ended"])
        self.assertIn("bad checksum", err)
        self.assertIn("discarded", err)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    VBOARD, FIRMWARE = sys.argv[1], sys.argv[2]
    for elf in ("front_lamp.elf", "rear_lamp.elf"):
        if not os.path.exists(image(elf)):
            sys.exit("%s missing: build the firmware first (cmake --build --preset firmware)" % image(elf))
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
