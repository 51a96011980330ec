#!/usr/bin/env python3
"""Static checks of a light-controller firmware image (no emulator).

    check_image.py --board front|rear --check elf|vectors|symbols|size|all IMAGE.elf

elf      the file is an ARM executable whose symbol table was kept
vectors  the 118-word vector table at the start of flash: stack top, reset and
         system handlers, the board's interrupt handlers in their slots, 0 in
         every slot the STM32G431 does not implement, Default_Handler elsewhere
symbols  the plain (unmangled) entry points exist; the board's hooks override the
         platform's weak defaults; the rear image carries no time base
size     flash and RAM use (RAM including the heap and stack reservation)
layout   memory layout: stack top, heap and stack reservations, .data/.bss
         order and alignment, where the start-up globals live
handlers fault and default handlers loop for ever, the returning system handlers
         return at once, Error_Handler masks interrupts and loops, _exit leaves
         interrupts on; and no code can call address 0 (needs arm-none-eabi-objdump)

Exit status 0 when every check holds; otherwise each failure is printed.
"""

import argparse
import os
import re
import sys

from elf32 import (EM_ARM, ET_EXEC, SHF_ALLOC, PT_LOAD, STB_GLOBAL, STB_WEAK, STT_FUNC, Elf32, ElfError, calls_to_zero,
                   disassemble)

FLASH_BASE, FLASH_SIZE = 0x08000000, 128 * 1024
RAM_BASE, RAM_SIZE = 0x20000000, 32 * 1024
STACK_TOP = RAM_BASE + RAM_SIZE

VECTOR_WORDS = 16 + 102  # system words + IRQ 0..101

# System exception words 1..15 (0 = reserved word).
SYSTEM_VECTORS = {
    1: "Reset_Handler",
    2: "NMI_Handler",
    3: "HardFault_Handler",
    4: "MemManage_Handler",
    5: "BusFault_Handler",
    6: "UsageFault_Handler",
    7: None, 8: None, 9: None, 10: None,
    11: "SVC_Handler",
    12: "DebugMon_Handler",
    13: None,
    14: "PendSV_Handler",
    15: "SysTick_Handler",
}

# IRQ numbers with no interrupt on the STM32G431: the vector table's unused rows,
# plus COMP7 (66), TIM20 (77-80) and AES (85), which this part does not have.
UNIMPLEMENTED_IRQS = frozenset(
    [17, 47, 48, 50, 53, 61, 62, 66] + list(range(67, 75)) + list(range(77, 81)) + [82, 83, 84, 85] +
    list(range(86, 90)) + [95, 96, 98, 99])

BOARDS = {
    "front": {
        "irq_handlers": {
            6: "EXTI0_IRQHandler",
            26: "TIM1_TRG_COM_TIM17_IRQHandler",
            55: "TIM7_IRQHandler",
        },
        "plain_names": ["micros", "millis", "delay"],
        "board_hooks": ["HAL_MspInit", "HAL_TIM_Base_MspInit", "HAL_GPIO_EXTI_Callback",
                        "HAL_TIM_PeriodElapsedCallback"],
        "time_base": True,
    },
    "rear": {
        "irq_handlers": {
            6: "EXTI0_IRQHandler",
            7: "EXTI1_IRQHandler",
            9: "EXTI3_IRQHandler",
            10: "EXTI4_IRQHandler",
            11: "DMA1_Channel1_IRQHandler",
            12: "DMA1_Channel2_IRQHandler",
            23: "EXTI9_5_IRQHandler",
            26: "TIM1_TRG_COM_TIM17_IRQHandler",
            39: "USART3_IRQHandler",
            55: "TIM7_IRQHandler",
        },
        "plain_names": [],
        "board_hooks": ["HAL_MspInit", "HAL_TIM_Base_MspInit", "HAL_UART_MspInit", "HAL_GPIO_EXTI_Callback",
                        "HAL_TIM_PeriodElapsedCallback"],
        # Hooks the board leaves at the platform's empty default.
        "platform_defaults": ["HAL_TIM_PWM_MspInit"],
        "time_base": False,
    },
}

# Entry points both images must carry under their plain names.
COMMON_PLAIN_NAMES = ["cpp_setup", "cpp_loop", "main", "SystemInit", "Error_Handler", "_sbrk", "Default_Handler",
                      "HAL_GPIO_EXTI_Callback", "HAL_TIM_PeriodElapsedCallback"]
# The C library's I/O system calls; the shared stubs define them, and no lamp image may link one.
IO_STUBS = ["_read", "_write", "_close", "_lseek", "_fstat", "_isatty", "__io_putchar", "__io_getchar"]
TIME_BASE_NAMES = ["micros", "millis", "delay"]
TIME_BASE_GLOBAL = "___tim_count"

HEAP_RESERVE, STACK_RESERVE = 0x200, 0x400
FAULT_HANDLERS = ("NMI_Handler", "HardFault_Handler", "MemManage_Handler", "BusFault_Handler", "UsageFault_Handler")
RETURNING_HANDLERS = ("SVC_Handler", "DebugMon_Handler", "PendSV_Handler")
LAYOUT_SYMBOLS = ("_estack", "_end", "_ebss", "_sbss", "_sdata", "_edata", "_sidata", "_Min_Heap_Size",
                  "_Min_Stack_Size", "SystemCoreClock")

FLASH_BUDGET = FLASH_SIZE // 2
RAM_BUDGET = RAM_SIZE


class Checker:
    def __init__(self, elf: Elf32, board: str, map_text: str = "", path: str = ""):
        self.elf = elf
        self.path = path
        self.board = BOARDS[board]
        self.map_text = map_text
        self.failures = []
        self.notes = []

    def fail(self, msg):
        self.failures.append(msg)

    def func_addr(self, name):
        sym = self.elf.global_symbol(name)
        return None if sym is None else sym.value | 1

    # ---- checks ---------------------------------------------------------------

    def check_elf(self):
        if self.elf.machine != EM_ARM:
            self.fail(f"machine {self.elf.machine}, expected ARM ({EM_ARM})")
        if self.elf.type != ET_EXEC:
            self.fail(f"ELF type {self.elf.type}, expected an executable ({ET_EXEC})")
        if not self.elf.has_symtab():
            self.fail("no symbol table: the image was stripped")
        reset = self.func_addr("Reset_Handler")
        if reset is not None and self.elf.entry | 1 != reset:
            self.fail(f"entry point 0x{self.elf.entry:08x} is not Reset_Handler (0x{reset:08x})")

    def check_vectors(self):
        sec = self.elf.section(".isr_vector")
        if sec is None:
            self.fail("no .isr_vector section")
            return
        if sec.addr != FLASH_BASE:
            self.fail(f".isr_vector at 0x{sec.addr:08x}, expected 0x{FLASH_BASE:08x}")
        if sec.size != 4 * VECTOR_WORDS:
            self.fail(f".isr_vector is {sec.size} bytes, expected {4 * VECTOR_WORDS} ({VECTOR_WORDS} words)")
            if sec.size < 4 * VECTOR_WORDS:
                return
        raw = self.elf.contents(sec)
        words = [int.from_bytes(raw[4 * i:4 * i + 4], "little") for i in range(VECTOR_WORDS)]
        default = self.func_addr("Default_Handler")
        if default is None:
            self.fail("Default_Handler is not defined")
            return

        if words[0] != STACK_TOP:
            self.fail(f"word 0 (initial stack pointer) 0x{words[0]:08x}, expected 0x{STACK_TOP:08x}")

        for word, name in SYSTEM_VECTORS.items():
            self.expect_slot(words, word, name, f"word {word}", default, own_handler=True)

        handlers = self.board["irq_handlers"]
        for irq in range(VECTOR_WORDS - 16):
            where = f"IRQ {irq} (word {16 + irq})"
            if irq in UNIMPLEMENTED_IRQS:
                self.expect_slot(words, 16 + irq, None, where, default)
            elif irq in handlers:
                self.expect_slot(words, 16 + irq, handlers[irq], where, default, own_handler=True)
            elif words[16 + irq] != default:
                self.fail(f"{where}: 0x{words[16 + irq]:08x}, expected Default_Handler (0x{default:08x})")

    def expect_slot(self, words, word, name, where, default, own_handler=False):
        value = words[word]
        if name is None:
            if value != 0:
                self.fail(f"{where}: 0x{value:08x}, expected 0 (reserved / not implemented)")
            return
        addr = self.func_addr(name)
        if addr is None:
            self.fail(f"{where}: {name} is not defined")
        elif value != addr:
            self.fail(f"{where}: 0x{value:08x}, expected {name} (0x{addr:08x})")
        elif own_handler and value == default and name != "Reset_Handler":
            self.fail(f"{where}: {name} is only the Default_Handler alias; the firmware's own handler is missing")

    def check_symbols(self):
        names = COMMON_PLAIN_NAMES + [n for n in SYSTEM_VECTORS.values() if n] + \
            list(self.board["irq_handlers"].values())
        for name in names + self.board["plain_names"]:
            sym = self.elf.global_symbol(name)
            if sym is None:
                self.fail(f"{name}: no defined symbol of that plain (unmangled) name")
            elif sym.type != STT_FUNC:
                self.fail(f"{name}: symbol is not a function")

        # Strong definitions of the board must replace the platform's weak ones.
        for name in self.board["board_hooks"]:
            sym = self.elf.global_symbol(name)
            if sym is not None and sym.bind != STB_GLOBAL:
                self.fail(f"{name}: the platform's weak default is linked, not the board's own")
        for name in self.board.get("platform_defaults", []):
            sym = self.elf.global_symbol(name)
            if sym is not None and sym.bind != STB_WEAK:
                self.fail(f"{name}: expected the platform's empty default, found a strong definition")

        # The lamps do no I/O through the C library: its system-call stubs stay
        # out of the image (_sbrk, _exit and, unoptimised, what abort pulls in: _kill, _getpid).
        for name in IO_STUBS:
            if self.elf.global_symbol(name) is not None:
                self.fail(f"{name}: an I/O system-call stub is linked into the image")
        # No static constructors: the start-up code's initialiser table is empty.
        for sec in self.elf.sections:
            if sec.name in (".init_array", ".preinit_array") and sec.size:
                self.fail(f"{sec.name}: {sec.size} bytes of start-up initialisers (none expected)")

        if not self.board["time_base"]:
            for name in TIME_BASE_NAMES:
                if self.elf.global_symbol(name) is not None:
                    self.fail(f"{name}: the rear image must not contain the time base")
            for sym in self.elf.symbols:
                if TIME_BASE_GLOBAL in sym.name and sym.defined:
                    self.fail(f"{sym.name}: the rear image must not contain the time base's overflow count")
        elif not any(TIME_BASE_GLOBAL in s.name and s.defined for s in self.elf.symbols):
            self.fail(f"{TIME_BASE_GLOBAL}: the front image's overflow count is missing")

    def usage(self):
        flash = sum(seg.filesz for seg in self.elf.segments
                    if seg.type == PT_LOAD and FLASH_BASE <= seg.paddr < FLASH_BASE + FLASH_SIZE)
        ram_sections = [s for s in self.elf.sections
                        if s.flags & SHF_ALLOC and RAM_BASE <= s.addr < RAM_BASE + RAM_SIZE]
        ram = sum(s.size for s in ram_sections)
        reserved_in_section = any("heap" in s.name or "stack" in s.name for s in ram_sections)
        if not reserved_in_section:
            for name in ("_Min_Heap_Size", "_Min_Stack_Size"):
                sym = next((s for s in self.elf.symbols if s.name == name), None)
                if sym is None:
                    self.fail(f"no heap/stack reservation section and no {name} symbol")
                else:
                    ram += sym.value
        return flash, ram

    def check_size(self):
        flash, ram = self.usage()
        print(f"flash {flash} bytes ({100.0 * flash / FLASH_SIZE:.1f} % of {FLASH_SIZE}), "
              f"RAM {ram} bytes incl. heap/stack reservation ({100.0 * ram / RAM_SIZE:.1f} % of {RAM_SIZE})")
        if flash == 0:
            self.fail("no loadable content in flash")
        if flash >= FLASH_BUDGET:
            self.fail(f"flash use {flash} bytes is not below {FLASH_BUDGET}")
        if ram >= RAM_BUDGET:
            self.fail(f"RAM use {ram} bytes is not below {RAM_BUDGET}")

    def expect(self, ok, msg):
        if not ok:
            self.fail(msg)

    def check_layout(self):
        syms = self.elf.symbol_map()
        missing = [n for n in LAYOUT_SYMBOLS if n not in syms]
        if missing:
            self.fail(f"symbols {', '.join(missing)} missing (image stripped?)")
            return

        def addr(name):
            return syms[name].value if name in syms else None

        self.expect(addr("_estack") == STACK_TOP, f"_estack must be 0x{STACK_TOP:08x}")
        self.expect(addr("_Min_Heap_Size") == HEAP_RESERVE, f"_Min_Heap_Size must be {HEAP_RESERVE:#x}")
        self.expect(addr("_Min_Stack_Size") == STACK_RESERVE, f"_Min_Stack_Size must be {STACK_RESERVE:#x}")
        self.expect(addr("_sdata") == RAM_BASE, ".data must open RAM")
        for name in ("_sidata", "_sdata", "_edata", "_sbss", "_ebss"):
            self.expect(addr(name) % 4 == 0, f"{name} must be word aligned (word-wise copy/fill)")
        self.expect(addr("_edata") <= addr("_sbss") <= addr("_ebss"), ".bss must follow .data")
        self.expect(addr("_end") == addr("_ebss"), "the heap (_end) must start at _ebss")
        self.expect(addr("_end") + HEAP_RESERVE + STACK_RESERVE <= STACK_TOP,
                    "heap and stack reservations must fit in RAM")
        heap_end = addr("__sbrk_heap_end")
        self.expect(heap_end is not None and addr("_sbss") <= heap_end < addr("_ebss"),
                    "__sbrk_heap_end must be a zero-initialised global")
        self.expect(addr("___skip") is None or addr("_sdata") <= addr("___skip") < addr("_edata"),
                    "___skip must be initialised data (1 at reset)")
        self.expect(addr("_sdata") <= addr("SystemCoreClock") < addr("_edata"), "SystemCoreClock must be initialised data")

    def check_handlers(self):
        code = disassemble(self.path)
        for name in FAULT_HANDLERS + ("Default_Handler",):
            insns = code.get(name, [])
            self.expect(bool(insns) and is_self_loop(insns[:1], insns[0].addr), f"{name} must be an endless loop")
        for name in RETURNING_HANDLERS:
            insns = code.get(name, [])
            self.expect(bool(insns) and (insns[0].mnemonic, insns[0].operands) == ("bx", "lr"),
                        f"{name} must return at once")
        stop = code.get("Error_Handler", [])
        self.expect(len(stop) >= 2 and (stop[0].mnemonic, stop[0].operands) == ("cpsid", "i"),
                    "Error_Handler must mask interrupts first")
        self.expect(len(stop) >= 2 and is_self_loop(stop[1:], stop[1].addr), "Error_Handler must then loop for ever")
        exit_code = code.get("_exit")
        if exit_code:  # linked where abort() is reachable (heap exhaustion)
            self.expect(not any(i.mnemonic.startswith("cpsid") for i in exit_code),
                        "_exit must leave interrupts enabled")
        for finding in calls_to_zero(self.path):
            self.fail("possible call to address 0: " + finding)


def is_self_loop(insns, start):
    """True if the code from start is an endless branch-to-self, possibly after
    some straight-line instructions (e.g. cpsid i)."""
    for insn in insns:
        if insn.mnemonic.split(".")[0] == "b":
            target = int(insn.operands.split()[0], 16)
            return target == insn.addr and insn.addr >= start
    return False


CHECKS = {
    "elf": Checker.check_elf,
    "vectors": Checker.check_vectors,
    "symbols": Checker.check_symbols,
    "size": Checker.check_size,
    "layout": Checker.check_layout,
    "handlers": Checker.check_handlers,
}


def run(path, board, checks, map_path=None, notes=None):
    try:
        elf = Elf32.load(path)
    except (OSError, ElfError) as e:
        return [f"{path}: {e}"]
    map_path = map_path or os.path.splitext(path)[0] + ".map"
    map_text = ""
    if os.path.exists(map_path):
        with open(map_path, encoding="utf-8", errors="replace") as f:
            map_text = f.read()
    checker = Checker(elf, board, map_text, path)
    for name in checks:
        CHECKS[name](checker)
    if notes is not None:
        notes.extend(checker.notes)
    return checker.failures


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--board", choices=sorted(BOARDS), required=True)
    ap.add_argument("--check", choices=sorted(CHECKS) + ["all"], default="all")
    ap.add_argument("--map", help="the image's link map (default: IMAGE with .map)")
    ap.add_argument("image")
    args = ap.parse_args(argv)
    checks = list(CHECKS) if args.check == "all" else [args.check]
    notes = []
    failures = run(args.image, args.board, checks, args.map, notes)
    for n in notes:
        print(f"NOTE {args.board}: {n}")
    for f in failures:
        print(f"FAIL {args.board}: {f}")
    if not failures:
        print(f"{args.board}: {', '.join(checks)} OK")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
