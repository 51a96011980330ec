#!/usr/bin/env python3
"""Static checks of a finished board image (front_lamp.elf or rear_lamp.elf):
memory layout and heap/stack reservations, the shape of the fault, default and
stop handlers, and that no code can call address 0. (The vector table itself is
checked by check_image.py.)

usage: board_image_check.py --board front|rear IMAGE.elf"""

import argparse
import sys

import board_elf

RAM = 0x20000000
RAM_END = 0x20008000

FAULT_HANDLERS = ("NMI_Handler", "HardFault_Handler", "MemManage_Handler", "BusFault_Handler", "UsageFault_Handler")
RETURNING_HANDLERS = ("SVC_Handler", "DebugMon_Handler", "PendSV_Handler")


class Checker:
    def __init__(self):
        self.failures = []

    def expect(self, ok, what):
        if not ok:
            self.failures.append(what)


def is_self_loop(insns, start):
    """True if the code from start is an endless branch-to-self, possibly after
    some straight-line instructions (e.g. cpsid i)."""
    for insn in insns:
        if insn.mnemonic.split(".")[0] == "b":
            target = int(insn.operands.split()[0], 16)
            return target == insn.addr and insn.addr >= start
    return False


def check_layout(c, syms):
    def addr(name):
        return syms[name].addr if name in syms else None

    c.expect(addr("_estack") == RAM_END, "_estack must be 0x20008000")
    c.expect(addr("_Min_Heap_Size") == 0x200, "_Min_Heap_Size must be 0x200")
    c.expect(addr("_Min_Stack_Size") == 0x400, "_Min_Stack_Size must be 0x400")
    c.expect(addr("_sdata") == RAM, ".data must open RAM")
    for name in ("_sidata", "_sdata", "_edata", "_sbss", "_ebss"):
        c.expect(addr(name) is not None and addr(name) % 4 == 0, f"{name} must be word aligned (word-wise copy/fill)")
    c.expect(addr("_edata") <= addr("_sbss") <= addr("_ebss"), ".bss must follow .data")
    c.expect(addr("_end") == addr("_ebss"), "the heap (_end) must start at _ebss")
    c.expect(addr("_end") + 0x200 + 0x400 <= RAM_END, "heap and stack reservations must fit in RAM")
    heap_end = syms.get("__sbrk_heap_end")
    c.expect(heap_end is not None and addr("_sbss") <= heap_end.addr < addr("_ebss"),
             "__sbrk_heap_end must be a zero-initialised global")
    c.expect(syms.get("___skip") is None or addr("_sdata") <= addr("___skip") < addr("_edata"),
             "___skip must be initialised data (1 at reset)")
    c.expect(addr("SystemCoreClock") is not None and addr("_sdata") <= addr("SystemCoreClock") < addr("_edata"),
             "SystemCoreClock must be initialised data")


def check_handlers(c, elf):
    code = board_elf.disassemble(elf)
    for name in FAULT_HANDLERS + ("Default_Handler",):
        insns = code.get(name, [])
        c.expect(bool(insns) and is_self_loop(insns[:1], insns[0].addr), f"{name} must be an endless loop")
    for name in RETURNING_HANDLERS:
        insns = code.get(name, [])
        c.expect(bool(insns) and (insns[0].mnemonic, insns[0].operands) == ("bx", "lr"), f"{name} must return at once")
    stop = code.get("Error_Handler", [])
    c.expect(len(stop) >= 2 and (stop[0].mnemonic, stop[0].operands) == ("cpsid", "i"),
             "Error_Handler must mask interrupts first")
    c.expect(len(stop) >= 2 and is_self_loop(stop[1:], stop[1].addr), "Error_Handler must then loop for ever")
    exit_code = code.get("_exit")
    if exit_code:  # linked where abort() is reachable (heap exhaustion)
        c.expect(not any(i.mnemonic.startswith("cpsid") for i in exit_code), "_exit must leave interrupts enabled")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--board", choices=["front", "rear"], required=True)
    parser.add_argument("elf")
    args = parser.parse_args()

    c = Checker()
    syms = board_elf.symbols(args.elf)
    for required in ("Reset_Handler", "Default_Handler", "_estack", "_end", "_ebss", "_sbss", "_sdata", "_edata",
                     "_sidata", "SystemInit", "main", "_sbrk"):
        c.expect(required in syms, f"symbol {required} missing (image stripped?)")
    if not c.failures:
        check_layout(c, syms)
        check_handlers(c, args.elf)
        for finding in board_elf.calls_to_zero(args.elf):
            c.failures.append("possible call to address 0: " + finding)

    for failure in c.failures:
        print("FAIL:", failure)
    print(f"{args.elf}: {'%d failure(s)' % len(c.failures) if c.failures else 'all checks passed'}")
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
