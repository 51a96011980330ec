#!/usr/bin/env python3
"""The boards' shared start-up code and system-call stubs, run on the virtual
board and checked through its GDB server with gdb-multiarch:

- the reset path on the probe image board_runtime_probe.elf (built by the
  firmware preset from tests/image/board_runtime_probe.cpp): the stack pointer
  from _estack although the core came with another, SystemInit (CPACR's FPU
  fields, read-modify-write) before .data is copied, .data copied including an
  odd-sized block, .bss zeroed, static constructors after that and before main,
  main called once, a branch to itself when main returns;
- _sbrk at its limits, the stubs' results, _read and _write without character
  hooks, _exit through _kill into a loop of its own with interrupts enabled;
- on the finished images front_lamp.elf and rear_lamp.elf: SystemInit,
  Error_Handler (masks interrupts, loops for ever), Default_Handler.

The checks themselves run inside GDB (board_runtime_gdb.py), one group per
board session; each prints PASS/FAIL lines and DONE at its end.

usage: board_runtime_test.py VBOARD FIRMWARE_DIR [unittest args]
"""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gdb_board

VBOARD = ""
FIRMWARE = ""
CHECKS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "board_runtime_gdb.py")
IMAGES = ("board_runtime_probe.elf", "front_lamp.elf", "rear_lamp.elf")


class BoardRuntime(unittest.TestCase):
    def session(self, name, group):
        """Runs one group of checks on a fresh board; returns the board's exit status and report."""
        elf = os.path.join(FIRMWARE, name)
        board = gdb_board.Board(VBOARD, elf, ["--for", "10ms"])
        self.addCleanup(board.close)
        out = gdb_board.gdb_batch(elf, board.port, ["python %s()" % group, "kill"], scripts=[CHECKS])
        status, report, _ = board.finish()
        failures = re.findall(r"^FAIL: (.*)$", out, re.M)
        self.assertEqual(failures, [], out)
        self.assertIn("DONE " + group, out, "the checks did not run to their end:\n" + out)
        self.assertGreater(len(re.findall(r"^PASS: ", out, re.M)), 0, out)
        return status, report

    def test_reset_path(self):
        status, report = self.session("board_runtime_probe.elf", "reset_path")
        self.assertEqual(status, 0, "the probe runs to the end of its time without a halt")
        self.assertIsNone(report["halt"])

    def test_heap_limits(self):
        self.session("board_runtime_probe.elf", "heap_limits")

    def test_stubs_and_exit(self):
        status, report = self.session("board_runtime_probe.elf", "stubs_and_exit")
        self.assertEqual((status, report["halt"]["reason"]), (2, "exit"))

    def test_stop_handlers_of_the_lamp_images(self):
        for name in ("front_lamp.elf", "rear_lamp.elf"):
            for group, reason in (("system_init_and_error_handler", "error_handler"),
                                  ("default_handler", "default_handler")):
                with self.subTest(image=name, checks=group):
                    status, report = self.session(name, group)
                    self.assertEqual((status, report["halt"]["reason"]), (2, reason))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    VBOARD, FIRMWARE = sys.argv[1], sys.argv[2]
    if gdb_board.GDB is None:
        sys.exit("gdb-multiarch not found (scripts/deps.sh installs it)")
    for elf in IMAGES:
        if not os.path.exists(os.path.join(FIRMWARE, elf)):
            sys.exit("%s missing: build the firmware first (cmake --build --preset firmware)"
                     % os.path.join(FIRMWARE, elf))
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
