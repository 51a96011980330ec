#!/usr/bin/env python3
"""Reverse debugging with gdb-multiarch against `vboard IMAGE --gdb 0`, both
boards, release and debug images: reverse-stepi, reverse-step, reverse-next,
reverse-finish, reverse-continue to a breakpoint and to a write watchpoint, and
the start of the history; and a failed scenario that waits for GDB at its
failing step (--gdb-on-fail) with the history behind it. Each session detaches after going back and forth,
and the run must then end exactly as the same run without a debugger: the
history rebuilt every instant it went back to, inputs and all.

usage: gdb_reverse_test.py VBOARD FIRMWARE_DIR [unittest args]
"""
import json
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gdb_board
from gdb_board import TIMEOUT, gdb_batch

VBOARD = ""
FIRMWARE = ""
FRONT = ("front_lamp.elf", ["--for", "200ms", "--pulse", "PA0=1500us@20ms,period=20ms"])
REAR = ("rear_lamp.elf", ["--for", "60ms", "--set", "PB5=0@5ms"])
PULSE_WIDTH = "((aurelis::application*)_app)->_m.LED.sw._m.lastPulse"


def pcs(out):
    return [int(v, 16) for v in re.findall(r"^\$\d+ = (0x[0-9a-f]+)", out, re.M)]


def values(out):
    return [int(v) for v in re.findall(r"^\$\d+ = (\d+)$", out, re.M)]


def retraced(t, out):
    """At a stop, stepi three times, then reverse-stepi three times: the same PCs backwards."""
    p = pcs(out)
    t.assertEqual(len(p), 7, out)
    t.assertEqual(p[4:], [p[2], p[1], p[0]], out)


def back_to_the_call(t, out):
    """From inside the callee, reverse-finish: at the call in the caller's line."""
    t.assertRegex(out, r"GetLastPulse \(this=.*\n102\t.*\n0x[0-9a-f]+ in aurelis::application::loop "
                       r"\(this=.*application\.cpp:32\n32\t.*GetLastPulse\(\);", out)


def back_over_the_call(t, out):
    lines = re.findall(r"^(\d+)\t", out, re.M)
    # next, next, reverse-next: the line before the last next again.
    t.assertGreaterEqual(len(lines), 3, out)
    t.assertEqual(lines[-1], lines[-3], out)


def stepped_back_out(t, out):
    t.assertRegex(out, r"(?s)application::loop.*cpp_loop \(\) at .*ts_middle\.cpp:30\n30\t", out)


def back_at_the_earlier_hit(t, out):
    """Three hits forward, two back: the first hit again, at its instant."""
    times = [int(n) for n in re.findall(r"virtual time .*? \((\d+) ns\)", out)]
    t.assertEqual(len(times), 3, out)
    t.assertLess(times[0], times[1])
    t.assertEqual(times[2], times[0], out)
    t.assertEqual(len(re.findall(r"Breakpoint 1, cpp_loop", out)), 5, out)


def back_at_the_write(t, out):
    # The watch as usual; going back, GDB shows the value before the write.
    t.assertRegex(out, r"(?s)Hardware watchpoint 2: .*Old value = \d+\nNew value = \d+")
    v = values(out)
    t.assertEqual(v[-1], v[-3], out)
    t.assertEqual(v[-2], v[-3] + 1, out)
    t.assertIn("HAL_IncTick", out[out.rfind("Hardware watchpoint 2"):])
    # Landed on the store itself, not before it: the next instruction writes.
    t.assertRegex(out[out.rfind("Hardware watchpoint 2"):], r"=> 0x[0-9a-f]+ <[^>]+>:\tstr\b", out)


def back_at_the_first_width(t, out):
    t.assertRegex(out, r"Old value = 0\nNew value = 1500")
    # Back from the end: the one write that changed the width, on_changed's store.
    tail = out[out.rfind("Old value"):]
    t.assertRegex(tail, r"Old value = 1500\nNew value = 0")
    t.assertIn("on_changed", tail)
    t.assertRegex(tail, r"=> 0x[0-9a-f]+ <[^>]+>:\tstrh\b", out)


def no_more_history(t, out):
    t.assertEqual(out.count("No more reverse-execution history."), 2, out)
    t.assertRegex(out, r"pc\s+0x[0-9a-f]+\s+0x[0-9a-f]+ <Reset_Handler")


# Three stepi and three reverse-stepi, printing the PC at each stop.
THERE_AND_BACK = ["print/x $pc"] + ["stepi", "print/x $pc"] * 3 + ["reverse-stepi", "print/x $pc"] * 3

# (name, image, debug build, commands, check)
CASES = [
    ("reverse_stepi_front", FRONT, False, ["break cpp_loop", "continue"] + THERE_AND_BACK, retraced),
    ("reverse_stepi_rear_debug", REAR, True, ["break cpp_loop", "continue", "continue"] + THERE_AND_BACK,
     retraced),
    ("reverse_finish_front_debug", FRONT, True, ["break cpp_loop", "continue", "step", "step", "reverse-finish"],
     back_to_the_call),
    ("reverse_step_front_debug", FRONT, True, ["break cpp_loop", "continue", "step", "reverse-step"],
     stepped_back_out),
    ("reverse_next_rear_debug", REAR, True, ["break cpp_loop", "continue", "finish", "next", "next", "reverse-next"],
     back_over_the_call),
    # The same commands on the other board.
    ("reverse_finish_rear_debug", REAR, True, ["break cpp_loop", "continue", "step", "reverse-finish"],
     stepped_back_out),
    ("reverse_step_rear_debug", REAR, True, ["break cpp_loop", "continue", "step", "reverse-step"],
     stepped_back_out),
    ("reverse_next_front_debug", FRONT, True, ["break cpp_loop", "continue", "finish", "next", "next",
                                               "reverse-next"], back_over_the_call),
    ("reverse_continue_to_breakpoint_rear", REAR, False,
     ["break cpp_loop", "continue", "monitor time", "continue", "continue", "monitor time", "reverse-continue",
      "reverse-continue", "monitor time"], back_at_the_earlier_hit),
    ("reverse_continue_to_write_watchpoint_rear", REAR, False,
     ["break cpp_loop", "continue", "delete", "watch uwTick", "continue", "print uwTick", "continue",
      "print uwTick", "reverse-continue", "print uwTick", "x/i $pc"], back_at_the_write),
    ("reverse_continue_to_write_watchpoint_front_debug", FRONT, True,
     ["break cpp_setup", "continue", "finish", "watch -l " + PULSE_WIDTH, "continue", "delete", "continue",
      "watch -l " + PULSE_WIDTH, "reverse-continue", "x/i $pc"], back_at_the_first_width),
    ("start_of_history_front", FRONT, False,
     ["stepi 5", "reverse-continue", "reverse-stepi", "info registers pc"], no_more_history),
    ("start_of_history_rear_debug", REAR, True,
     ["stepi 5", "reverse-continue", "reverse-stepi", "info registers pc"], no_more_history),
]


class Reverse(unittest.TestCase):
    def run_case(self, image, debug, commands, check):
        name, args = image
        folder = (os.environ.get("VBOARD_FIRMWARE_DEBUG_DIR") or FIRMWARE + "-debug") if debug else FIRMWARE
        elf = os.path.join(folder, name)
        if not os.path.exists(elf):
            self.skipTest(elf + " not built")
        board = gdb_board.Board(VBOARD, elf, args)
        self.addCleanup(board.close)
        out = gdb_batch(elf, board.port, commands + ["detach"])
        status, report, err = board.finish()
        self.assertIn("debugger session ended (detached)", err, out)
        check(self, out)
        plain = subprocess.run([VBOARD, elf, *args, "--json"], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(status, plain.returncode)
        expected = json.loads(plain.stdout)
        self.assertEqual(report["pins"], expected["pins"], "going back changed the pin history")
        self.assertEqual(report["instructions"], expected["instructions"])


class FailingScenario(unittest.TestCase):
    def test_a_failed_scenario_waits_for_gdb_at_the_failing_step_with_its_history(self):
        elf = os.path.join(FIRMWARE, "front_lamp.elf")
        fixture = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "fixtures", "fails.yaml")
        proc = subprocess.Popen([VBOARD, elf, "--scenario", fixture, "--no-color", "--gdb-on-fail", "0"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.communicate()))
        line = proc.stderr.readline()  # the first line on stderr names the port (after the verdicts)
        m = re.search(r"127\.0\.0\.1:(\d+); the image is held at the failing step", line)
        self.assertIsNotNone(m, line)
        out = gdb_batch(elf, int(m.group(1)), [
            "monitor time", "print/x $pc", "reverse-stepi", "print/x $pc", "monitor history", "detach"])
        stdout, _ = proc.communicate(timeout=TIMEOUT)
        self.assertEqual(proc.returncode, 4, "the scenario's exit status: an expectation failed")
        self.assertIn("FAIL", stdout)
        self.assertIn("fails.yaml:6: expect-pin at 150.000000 ms", stdout)
        self.assertIn("virtual time 150.000000 ms", out, "GDB sees the board at the failing step")
        p = pcs(out)
        self.assertEqual(len(p), 2, out)
        self.assertNotEqual(p[0], p[1], "one instruction back")
        self.assertRegex(out, r"checkpoints from 0 ns .*\nlatest instant reached: 150\.000000 ms")


def add_cases():
    for name, image, debug, commands, check in CASES:
        def test(self, image=image, debug=debug, commands=commands, check=check):
            self.run_case(image, debug, commands, check)

        setattr(Reverse, "test_" + name, test)


add_cases()

if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    VBOARD, FIRMWARE = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
