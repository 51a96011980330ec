#!/usr/bin/env python3
"""Static checks of a finished board image (front_lamp.elf or rear_lamp.elf):
vector table, memory layout and heap/stack reservations, the shape of the
fault, default and stop handlers, and that no code can call address 0.

usage: board_image_check.py --board front|rear IMAGE.elf"""

import argparse
import sys

import board_elf

FLASH = 0x08000000
RAM = 0x20000000
RAM_END = 0x20008000

# Interrupt number -> vendor handler name (without "_IRQHandler") on the
# STM32G431; numbers missing here have no vector on this part and must hold 0.
IRQ_NAMES = {
    0: "WWDG", 1: "PVD_PVM", 2: "RTC_TAMP_LSECSS", 3: "RTC_WKUP", 4: "FLASH", 5: "RCC",
    6: "EXTI0", 7: "EXTI1", 8: "EXTI2", 9: "EXTI3", 10: "EXTI4",
    11: "DMA1_Channel1", 12: "DMA1_Channel2", 13: "DMA1_Channel3", 14: "DMA1_Channel4",
    15: "DMA1_Channel5", 16: "DMA1_Channel6", 18: "ADC1_2", 19: "USB_HP", 20: "USB_LP",
    21: "FDCAN1_IT0", 22: "FDCAN1_IT1", 23: "EXTI9_5", 24: "TIM1_BRK_TIM15", 25: "TIM1_UP_TIM16",
    26: "TIM1_TRG_COM_TIM17", 27: "TIM1_CC", 28: "TIM2", 29: "TIM3", 30: "TIM4",
    31: "I2C1_EV", 32: "I2C1_ER", 33: "I2C2_EV", 34: "I2C2_ER", 35: "SPI1", 36: "SPI2",
    37: "USART1", 38: "USART2", 39: "USART3", 40: "EXTI15_10", 41: "RTC_Alarm", 42: "USBWakeUp",
    43: "TIM8_BRK", 44: "TIM8_UP", 45: "TIM8_TRG_COM", 46: "TIM8_CC", 49: "LPTIM1", 51: "SPI3",
    52: "UART4", 54: "TIM6_DAC", 55: "TIM7", 56: "DMA2_Channel1", 57: "DMA2_Channel2",
    58: "DMA2_Channel3", 59: "DMA2_Channel4", 60: "DMA2_Channel5", 63: "UCPD1", 64: "COMP1_2_3",
    65: "COMP4", 75: "CRS", 76: "SAI1", 81: "FPU", 90: "RNG", 91: "LPUART1", 92: "I2C3_EV",
    93: "I2C3_ER", 94: "DMAMUX_OVR", 97: "DMA2_Channel6", 100: "CORDIC", 101: "FMAC",
}

SYSTEM_WORDS = {
    2: "NMI_Handler", 3: "HardFault_Handler", 4: "MemManage_Handler", 5: "BusFault_Handler",
    6: "UsageFault_Handler", 11: "SVC_Handler", 12: "DebugMon_Handler", 14: "PendSV_Handler",
    15: "SysTick_Handler",
}
RESERVED_SYSTEM_WORDS = (7, 8, 9, 10, 13)

FAULT_HANDLERS = ("NMI_Handler", "HardFault_Handler", "MemManage_Handler", "BusFault_Handler", "UsageFault_Handler")
RETURNING_HANDLERS = ("SVC_Handler", "DebugMon_Handler", "PendSV_Handler")

# Handlers each board defines itself; every other vector must stay Default_Handler.
BOARD_HANDLERS = {
    "front": ("EXTI0", "TIM1_TRG_COM_TIM17", "TIM7"),
    "rear": ("EXTI0", "EXTI1", "EXTI3", "EXTI4", "DMA1_Channel1", "DMA1_Channel2", "EXTI9_5",
             "TIM1_TRG_COM_TIM17", "USART3", "TIM7"),
}


class Checker:
    def __init__(self):
        self.failures = []

    def expect(self, ok, what):
        if not ok:
            self.failures.append(what)


def expected_vectors():
    """Word index -> handler name, or None for a word that must be 0."""
    table = {i: None for i in range(118)}
    table.update(SYSTEM_WORDS)
    for irq, name in IRQ_NAMES.items():
        table[16 + irq] = name + "_IRQHandler"
    return table


def is_self_loop(insns, start):
    """True if the code from start is an endless branch-to-self, possibly after
    some straight-line instructions (e.g. cpsid i)."""
    for insn in insns:
        if insn.mnemonic.split(".")[0] == "b":
            target = int(insn.operands.split()[0], 16)
            return target == insn.addr and insn.addr >= start
    return False


def check_vector_table(c, syms, elf, board):
    secs = board_elf.sections(elf)
    c.expect(".isr_vector" in secs and secs[".isr_vector"][0] == FLASH, ".isr_vector must start flash at 0x08000000")
    c.expect(secs.get(".isr_vector", (0, 0, 0))[1] == 118 * 4, ".isr_vector must hold 118 words")
    words = board_elf.section_words(elf, ".isr_vector")
    if len(words) != 118:
        return
    c.expect(words[0] == RAM_END, f"word 0 (initial SP) is {words[0]:#x}, want {RAM_END:#x}")
    c.expect(words[1] == syms["Reset_Handler"].addr | 1, "word 1 must be Reset_Handler (Thumb bit set)")
    default = syms["Default_Handler"].addr
    own = {n + "_IRQHandler" for n in BOARD_HANDLERS[board]} | set(SYSTEM_WORDS.values())
    for index, name in expected_vectors().items():
        if index < 2:
            continue
        word = words[index]
        if name is None:
            kind = "reserved" if index < 16 else f"IRQ {index - 16} (not on the G431)"
            c.expect(word == 0, f"word {index} ({kind}) is {word:#x}, want 0")
            continue
        sym = syms.get(name)
        c.expect(sym is not None, f"no symbol {name} for word {index}")
        if sym is None:
            continue
        c.expect(word == sym.addr | 1, f"word {index} is {word:#x}, want {name} at {sym.addr | 1:#x}")
        if name in own:
            c.expect(sym.addr != default and sym.kind == "T", f"{name} must be the board's own handler")
        else:
            c.expect(sym.addr == default, f"{name} (word {index}) must stay Default_Handler")


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
    parser.add_argument("--board", choices=sorted(BOARD_HANDLERS), required=True)
    parser.add_argument("elf")
    args = parser.parse_args()

    c = Checker()
    syms = board_elf.symbols(args.elf)
    for required in ("Reset_Handler", "Default_Handler", "_estack", "_end", "_ebss", "_sbss", "_sdata", "_edata",
                     "_sidata", "SystemInit", "main", "_sbrk"):
        c.expect(required in syms, f"symbol {required} missing (image stripped?)")
    if not c.failures:
        check_vector_table(c, syms, args.elf, args.board)
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
