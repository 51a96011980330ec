#!/usr/bin/python3
"""Runs the boards' shared start-up code and system-call stubs under Unicorn
(python3-unicorn) and checks what they do:

- the reset path on a probe image (board_runtime_probe.cpp): stack pointer from
  _estack, SystemInit (FPU access) before memory is touched, .data copied,
  .bss zeroed, static initialisers after that, main called once, and an
  endless loop if main returns;
- _sbrk at its limits, the stubs' results, _read and _write with no character
  hook (address 0 is left unmapped, so a call through an absent hook faults);
- on the finished board images: SystemInit, Error_Handler, Default_Handler.

usage: board_runtime_check.py --probe PROBE.elf [--image BOARD.elf ...]"""

import argparse
import os
import struct
import sys

from unicorn import UC_ARCH_ARM, UC_MODE_THUMB, Uc, UcError
from unicorn.arm_const import (UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_PRIMASK, UC_ARM_REG_R0, UC_ARM_REG_R1,
                               UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_SP, UC_CPU_ARM_CORTEX_M4)

from elf32 import Elf32

FLASH, FLASH_SIZE = 0x08000000, 128 * 1024
RAM, RAM_SIZE = 0x20000000, 32 * 1024
SCS = 0xE000E000
CPACR = 0xE000ED88
TRAP = 0x10000000  # return address for calls from the harness: a page of "b ."
RAM_FILL = 0xA5
HEAP_LIMIT = RAM + RAM_SIZE - 0x400
ENOMEM, EINVAL = 12, 22
S_IFCHR = 0o020000


class Machine:
    def __init__(self, elf):
        self.elf = elf
        image = Elf32.load(elf)
        self.syms = image.symbol_map()
        self.uc = Uc(UC_ARCH_ARM, UC_MODE_THUMB)
        self.uc.ctl_set_cpu_model(UC_CPU_ARM_CORTEX_M4)
        self.uc.mem_map(FLASH, FLASH_SIZE)
        self.uc.mem_map(RAM, RAM_SIZE)
        self.uc.mem_map(SCS, 0x1000)
        self.uc.mem_map(TRAP, 0x1000)
        self.uc.mem_write(TRAP, b"\xfe\xe7" * 0x800)
        self.uc.mem_write(RAM, bytes([RAM_FILL]) * RAM_SIZE)
        for paddr, data in image.load_image():
            self.uc.mem_write(paddr, data)

    def addr(self, name):
        return self.syms[name].value

    def u32(self, address):
        return struct.unpack("<I", self.uc.mem_read(address, 4))[0]

    def set_u32(self, address, value):
        self.uc.mem_write(address, struct.pack("<I", value & 0xFFFFFFFF))

    def run(self, entry, count):
        """Runs from entry for at most count instructions or until TRAP."""
        self.uc.emu_start(entry | 1, TRAP, count=count)
        return self.uc.reg_read(UC_ARM_REG_PC)

    def call(self, name, *args, count=200000):
        """Calls a function with up to four integer arguments; returns r0 as a
        signed value, or None if the function did not return."""
        for reg, value in zip((UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3), args):
            self.uc.reg_write(reg, value & 0xFFFFFFFF)
        self.uc.reg_write(UC_ARM_REG_SP, RAM + RAM_SIZE)
        self.uc.reg_write(UC_ARM_REG_LR, TRAP | 1)
        if self.run(self.addr(name), count) != TRAP:
            return None
        r0 = self.uc.reg_read(UC_ARM_REG_R0)
        return r0 - (1 << 32) if r0 & 0x80000000 else r0

    def stuck_in(self, name):
        """True if the CPU sits on a branch-to-self inside function name."""
        pc = self.uc.reg_read(UC_ARM_REG_PC)
        start = self.addr(name)
        return start <= pc < start + 0x100 and bytes(self.uc.mem_read(pc, 2)) == b"\xfe\xe7"

    def errno_address(self):
        return self.call("__errno")


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, ok, what):
        if not ok:
            self.failures.append(what)


def check_reset(c, m):
    seen = {}

    def at_system_init(uc, address, size, data):
        seen["data_at_system_init"] = m.u32(m.addr("probe_data_word"))

    def at_main(uc, address, size, data):
        seen.setdefault("sp", uc.reg_read(UC_ARM_REG_SP))
        seen.setdefault("cpacr", m.u32(CPACR))
        sdata, edata, sidata = m.addr("_sdata"), m.addr("_edata"), m.addr("_sidata")
        seen.setdefault("data_ok", bytes(uc.mem_read(sdata, edata - sdata)) ==
                        bytes(uc.mem_read(sidata, edata - sdata)))
        sbss, ebss = m.addr("_sbss"), m.addr("_ebss")
        ctor = m.addr("probe_ctor_value")
        words = {a: m.u32(a) for a in range(sbss, ebss, 4)}
        seen.setdefault("ctor", words.pop(ctor))
        seen.setdefault("bss_dirty", [hex(a) for a, w in words.items() if w != 0])

    m.uc.hook_add(0x4, at_system_init, begin=m.addr("SystemInit"), end=m.addr("SystemInit"))  # UC_HOOK_CODE
    m.uc.hook_add(0x4, at_main, begin=m.addr("main"), end=m.addr("main"))
    m.set_u32(CPACR, 0x00000005)  # some unrelated bits that must survive
    m.uc.reg_write(UC_ARM_REG_SP, RAM + 0x1000)  # a wrong stack: Reset_Handler must set its own
    try:
        m.run(m.addr("Reset_Handler"), 20000)
    except UcError as e:
        c.expect(False, f"reset path faulted: {e}")
        return

    c.expect(seen.get("data_at_system_init") == RAM_FILL * 0x01010101,
             "SystemInit must run before .data is copied")
    c.expect(RAM + RAM_SIZE - 64 <= seen.get("sp", 0) <= RAM + RAM_SIZE, f"stack at main is {seen.get('sp', 0):#x}")
    c.expect(seen.get("cpacr") == 0x00F00005, f"CPACR at main is {seen.get('cpacr', 0):#x}, want 0x00f00005")
    c.expect(seen.get("data_ok") is True, ".data must hold its load image when main starts")
    c.expect(m.u32(m.addr("probe_data_word")) == 0x12345678, "initialised word wrong")
    c.expect(bytes(m.uc.mem_read(m.addr("probe_data_bytes"), 7)) == bytes(range(1, 8)), "odd-sized .data block wrong")
    c.expect(seen.get("bss_dirty") == [], f".bss not zero at main: {seen.get('bss_dirty')}")
    c.expect(seen.get("ctor") == 0xC0FFEE, "static initialisers must run after .bss is zeroed and before main")
    c.expect(m.u32(m.addr("probe_main_calls")) == 1, "main must be called exactly once")
    c.expect(m.stuck_in("Reset_Handler_Body"), "after main returns the reset path must loop for ever")


def check_sbrk(c, m):
    end, heap_end = m.addr("_end"), m.addr("__sbrk_heap_end")
    errno = m.errno_address()
    c.expect(m.u32(heap_end) == 0, "heap end must be null before the first request")
    c.expect(m.call("_sbrk", 0) == end, "first _sbrk(0) must return _end")
    c.expect(m.u32(heap_end) == end, "first _sbrk(0) must set the heap end to _end")
    c.expect(m.call("_sbrk", HEAP_LIMIT - end) == end, "a request ending exactly at the limit must succeed")
    c.expect(m.u32(heap_end) == HEAP_LIMIT, "heap end must then be the limit")
    m.set_u32(errno, 0)
    c.expect(m.call("_sbrk", 1) == -1, "one byte past the limit must fail with (void*)-1")
    c.expect(m.u32(errno) == ENOMEM, "a failed request must set errno to ENOMEM")
    c.expect(m.u32(heap_end) == HEAP_LIMIT, "a failed request must leave the heap end unchanged")
    c.expect(m.call("_sbrk", -16) == HEAP_LIMIT, "a negative request returns the old end")
    c.expect(m.call("_sbrk", 17) == -1, "growing back past the limit must fail")
    c.expect(m.call("_sbrk", 16) == HEAP_LIMIT - 16, "growing back to the limit must succeed")
    c.expect(m.call("_sbrk", 0x7FFFFFFF) == -1 and m.u32(heap_end) == HEAP_LIMIT, "a huge request must fail")


def check_stubs(c, m):
    errno = m.errno_address()
    buf = RAM + 0x4000
    m.uc.mem_write(buf, b"\x5a" * 16)
    try:
        for length in (5, 0, -3):
            c.expect(m.call("_write", 1, buf, length) == length, f"_write must return its length ({length})")
        c.expect(m.call("_read", 0, buf, 8) == 8, "_read without an input hook must return its length")
        c.expect(bytes(m.uc.mem_read(buf, 16)) == b"\x00" * 8 + b"\x5a" * 8,
                 "_read without a hook must store exactly len zero bytes")
    except UcError as e:
        c.expect(False, f"_write/_read faulted (call through an absent hook?): {e}")
    c.expect(m.call("_close", 0) == -1, "_close must return -1")
    c.expect(m.call("_isatty", 0) == 1, "_isatty must return 1")
    c.expect(m.call("_lseek", 0, 10, 0) == 0, "_lseek must return 0")
    c.expect(m.call("_getpid") == 1, "_getpid must return 1")
    c.expect(m.call("probe_fstat_mode", 1) == S_IFCHR, "_fstat must report a character device")
    m.set_u32(errno, 0)
    c.expect(m.call("_kill", 1, 9) == -1 and m.u32(errno) == EINVAL, "_kill must fail with EINVAL")
    m.set_u32(errno, 0)
    m.uc.reg_write(UC_ARM_REG_PRIMASK, 0)
    c.expect(m.call("_exit", 3, count=5000) is None, "_exit must not return")
    c.expect(m.stuck_in("_exit"), "_exit must end in its own endless loop")
    c.expect(m.u32(errno) == EINVAL, "_exit must go through _kill")
    c.expect(m.uc.reg_read(UC_ARM_REG_PRIMASK) == 0, "_exit must leave interrupts enabled")


def check_board_image(c, elf):
    m = Machine(elf)
    name = os.path.basename(elf)
    m.set_u32(CPACR, 0x00000005)
    c.expect(m.call("SystemInit") is not None and m.u32(CPACR) == 0x00F00005,
             f"{name}: SystemInit must set CPACR bits 20-23 and keep the rest")
    m.uc.reg_write(UC_ARM_REG_PRIMASK, 0)
    c.expect(m.call("Error_Handler", count=5000) is None, f"{name}: Error_Handler must not return")
    c.expect(m.uc.reg_read(UC_ARM_REG_PRIMASK) == 1, f"{name}: Error_Handler must mask interrupts")
    c.expect(m.stuck_in("Error_Handler"), f"{name}: Error_Handler must loop for ever")
    c.expect(m.call("Default_Handler", count=5000) is None and m.stuck_in("Default_Handler"),
             f"{name}: Default_Handler must loop for ever")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--image", action="append", default=[])
    args = parser.parse_args()

    c = Checks()
    m = Machine(args.probe)
    check_reset(c, m)
    if not c.failures:  # the calls below need the initialised RAM the reset path left
        check_sbrk(c, m)
        check_stubs(c, m)
    for elf in args.image:
        check_board_image(c, elf)

    for failure in c.failures:
        print("FAIL:", failure)
    print("run-time checks:", "%d failure(s)" % len(c.failures) if c.failures else "all passed")
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
