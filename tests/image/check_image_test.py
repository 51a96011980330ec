#!/usr/bin/env python3
"""Self-test of the image checks: synthetic ELF images, built here, that are
correct or carry one known fault each. A check that cannot fail proves nothing,
so every fault below must be reported and the correct images must pass."""

import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import check_image  # noqa: E402
from check_image import BOARDS, FLASH_BASE, RAM_BASE, STACK_TOP, SYSTEM_VECTORS, UNIMPLEMENTED_IRQS, VECTOR_WORDS  # noqa: E402
from elf32 import STB_GLOBAL, STB_WEAK, STT_FUNC, STT_OBJECT  # noqa: E402

SHT_PROGBITS, SHT_SYMTAB, SHT_STRTAB, SHT_NOBITS = 1, 2, 3, 8
SHF_WRITE, SHF_ALLOC, SHF_EXEC = 1, 2, 4


def build_elf(sections, symbols, entry, keep_symtab=True):
    """ELF32 ARM executable with the given (name, type, flags, addr, data|size)
    sections and (name, value, bind, type) symbols; one PT_LOAD per PROGBITS
    section in flash."""
    shstr = b"\0"
    strtab = b"\0"
    secs = []  # name_off, type, flags, addr, data, size
    for name, stype, flags, addr, payload in sections:
        off = len(shstr)
        shstr += name.encode() + b"\0"
        data = b"" if stype == SHT_NOBITS else payload
        size = payload if stype == SHT_NOBITS else len(payload)
        secs.append([off, stype, flags, addr, data, size, 0])
    symtab = bytes(16)
    for name, value, bind, stype in symbols:
        off = len(strtab)
        strtab += name.encode() + b"\0"
        symtab += struct.pack("<IIIBBH", off, value, 4, (bind << 4) | stype, 0, 1)
    if keep_symtab:
        strtab_index = len(secs) + 2  # null section first, symtab next
        off = len(shstr)
        shstr += b".symtab\0"
        secs.append([off, SHT_SYMTAB, 0, 0, symtab, len(symtab), strtab_index])
        off = len(shstr)
        shstr += b".strtab\0"
        secs.append([off, SHT_STRTAB, 0, 0, strtab, len(strtab), 0])
    off = len(shstr)
    shstr += b".shstrtab\0"
    secs.append([off, SHT_STRTAB, 0, 0, shstr, len(shstr), 0])

    loads = [s for s in secs if s[1] == SHT_PROGBITS and FLASH_BASE <= s[3] < FLASH_BASE + 0x20000]
    phoff = 52
    pos = phoff + 32 * len(loads)
    offsets = []
    for s in secs:
        offsets.append(pos)
        pos += len(s[4])
    shoff = (pos + 3) & ~3
    out = bytearray(b"\x7fELF" + bytes([1, 1, 1]) + bytes(9))
    out += struct.pack("<HHIIIIIHHHHHH", 2, 40, 1, entry, phoff, shoff, 0x05000400, 52, 32,
                       len(loads), 40, len(secs) + 1, len(secs))
    for s in loads:
        i = secs.index(s)
        out += struct.pack("<IIIIIIII", 1, offsets[i], s[3], s[3], s[5], s[5], 5, 4)
    for s in secs:
        out += s[4]
    out += bytes(shoff - len(out))
    out += bytes(40)
    for i, s in enumerate(secs):
        out += struct.pack("<IIIIIIIIII", s[0], s[1], s[2], s[3], offsets[i], s[5], s[6], 0, 4,
                           16 if s[1] == SHT_SYMTAB else 0)
    return bytes(out)


class Image:
    """A synthetic image of one board, correct unless a test breaks it."""

    def __init__(self, board):
        self.board = board
        self.addr = {}
        self.bind = {}
        self.extra = []
        next_addr = FLASH_BASE + 0x1D8
        names = ["Default_Handler", "cpp_setup", "cpp_loop", "main", "SystemInit", "Error_Handler", "_sbrk",
                 "HAL_GPIO_EXTI_Callback", "HAL_TIM_PeriodElapsedCallback"]
        names += [n for n in SYSTEM_VECTORS.values() if n]
        names += list(BOARDS[board]["irq_handlers"].values())
        names += BOARDS[board]["plain_names"] + BOARDS[board]["board_hooks"]
        names += BOARDS[board].get("platform_defaults", [])
        for n in names:
            if n not in self.addr:
                self.addr[n] = next_addr | 1
                next_addr += 8
        for n in BOARDS[board].get("platform_defaults", []):
            self.bind[n] = STB_WEAK
        self.vectors = [0] * VECTOR_WORDS
        self.vectors[0] = STACK_TOP
        for word, name in SYSTEM_VECTORS.items():
            self.vectors[word] = self.addr[name] if name else 0
        for irq in range(VECTOR_WORDS - 16):
            if irq in UNIMPLEMENTED_IRQS:
                continue
            name = BOARDS[board]["irq_handlers"].get(irq, "Default_Handler")
            self.vectors[16 + irq] = self.addr[name]
        self.data_size = 16
        self.bss_size = 0x900
        self.heap_stack = 0x600
        self.keep_symtab = True
        self.map_text = None
        self.init_array = 0  # bytes of .init_array (a static constructor)
        if BOARDS[board]["time_base"]:
            self.extra.append(("_ZN6tessel12___tim_countE", RAM_BASE + 8, STB_GLOBAL, STT_OBJECT))

    def write(self, path):
        symbols = [(n, a, self.bind.get(n, STB_GLOBAL), STT_FUNC) for n, a in self.addr.items()] + self.extra
        sections = [
            (".isr_vector", SHT_PROGBITS, SHF_ALLOC, FLASH_BASE, b"".join(struct.pack("<I", w) for w in self.vectors)),
            (".text", SHT_PROGBITS, SHF_ALLOC | SHF_EXEC, FLASH_BASE + 0x1D8, bytes(0x800)),
            (".data", SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, RAM_BASE, bytes(self.data_size)),
            (".bss", SHT_NOBITS, SHF_ALLOC | SHF_WRITE, RAM_BASE + self.data_size, self.bss_size),
            ("._user_heap_stack", SHT_NOBITS, SHF_ALLOC | SHF_WRITE, RAM_BASE + 0x1000, self.heap_stack),
        ]
        if self.init_array:
            sections.append((".init_array", SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, FLASH_BASE + 0x1D8 + 0x800,
                             bytes(self.init_array)))
        with open(path, "wb") as f:
            f.write(build_elf(sections, symbols, self.addr["Reset_Handler"], self.keep_symtab))
        if self.map_text is not None:
            with open(os.path.splitext(path)[0] + ".map", "w") as f:
                f.write(self.map_text)


class CheckImageTest(unittest.TestCase):
    def failures(self, image, checks=("elf", "vectors", "symbols", "size")):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "image.elf")
            image.write(path)
            return check_image.run(path, image.board, list(checks))

    def assertReported(self, image, fragment, checks=("elf", "vectors", "symbols", "size")):
        found = self.failures(image, checks)
        self.assertTrue(any(fragment in f for f in found), f"expected a failure mentioning {fragment!r}, got {found}")

    def test_correct_images_pass_every_check(self):
        for board in BOARDS:
            with self.subTest(board=board):
                self.assertEqual(self.failures(Image(board)), [])

    def test_vector_table_faults_are_reported(self):
        img = Image("front")
        img.vectors[16 + 66] = img.addr["Default_Handler"]  # COMP7 does not exist on the G431
        self.assertReported(img, "IRQ 66", ["vectors"])

        img = Image("rear")
        img.vectors[16 + 65] = 0  # COMP4 exists: its slot needs Default_Handler
        self.assertReported(img, "IRQ 65", ["vectors"])

        img = Image("front")
        img.vectors[0] = STACK_TOP - 4
        self.assertReported(img, "word 0", ["vectors"])

        img = Image("front")
        img.vectors[1] &= ~1  # reset vector without the Thumb bit
        self.assertReported(img, "word 1", ["vectors"])

        img = Image("rear")
        img.vectors[16 + 39], img.vectors[16 + 55] = img.vectors[16 + 55], img.vectors[16 + 39]
        self.assertReported(img, "IRQ 39", ["vectors"])

    def test_handler_left_at_the_default_alias_is_reported(self):
        img = Image("rear")
        img.addr["EXTI9_5_IRQHandler"] = img.addr["Default_Handler"]
        img.bind["EXTI9_5_IRQHandler"] = STB_WEAK
        img.vectors[16 + 23] = img.addr["Default_Handler"]
        self.assertReported(img, "EXTI9_5_IRQHandler is only the Default_Handler alias", ["vectors"])

    def test_weak_board_hook_is_reported(self):
        img = Image("rear")
        img.bind["HAL_UART_MspInit"] = STB_WEAK
        self.assertReported(img, "HAL_UART_MspInit", ["symbols"])

    def test_missing_plain_name_is_reported(self):
        img = Image("front")
        del img.addr["millis"]
        img.extra.append(("_Z6millisv", FLASH_BASE + 0x801, STB_GLOBAL, STT_FUNC))  # mangled only
        self.assertReported(img, "millis", ["symbols"])

    def test_time_base_function_dropped_by_the_linker_is_reported(self):
        img = Image("front")
        del img.addr["millis"]
        self.assertReported(img, "millis", ["symbols"])

    def test_time_base_in_the_rear_image_is_reported(self):
        img = Image("rear")
        img.addr["micros"] = FLASH_BASE + 0x901
        self.assertReported(img, "micros", ["symbols"])

        img = Image("rear")
        img.extra.append(("_ZN6tessel12___tim_countE", RAM_BASE + 8, STB_GLOBAL, STT_OBJECT))
        self.assertReported(img, "___tim_count", ["symbols"])

    def test_linked_io_stub_and_initialisers_are_reported(self):
        for board in ("front", "rear"):
            img = Image(board)
            img.addr["_write"] = FLASH_BASE + 0x901
            self.assertReported(img, "_write", ["symbols"])
            img = Image(board)
            img.init_array = 4
            self.assertReported(img, ".init_array", ["symbols"])

    def test_stripped_image_is_reported(self):
        img = Image("front")
        img.keep_symtab = False
        self.assertReported(img, "stripped", ["elf"])

    def test_ram_over_budget_counts_the_heap_and_stack_reservation(self):
        img = Image("front")
        img.bss_size = 0x7000
        img.heap_stack = 0x1000  # data and bss alone fit, the reservation does not
        self.assertReported(img, "RAM use", ["size"])

    def test_layout_faults_are_reported(self):
        img = Image("front")
        self.assertReported(img, "missing", ["layout"])  # no linker symbols at all

        def with_layout(estack=STACK_TOP, heap_end=RAM_BASE + 0x14):
            img = Image("front")
            for name, value in (("_estack", estack), ("_sdata", RAM_BASE), ("_edata", RAM_BASE + 0x10),
                                ("_sbss", RAM_BASE + 0x10), ("_ebss", RAM_BASE + 0x20), ("_end", RAM_BASE + 0x20),
                                ("_sidata", FLASH_BASE + 0x9D8), ("_Min_Heap_Size", 0x200),
                                ("_Min_Stack_Size", 0x400), ("SystemCoreClock", RAM_BASE + 4),
                                ("__sbrk_heap_end", heap_end)):
                img.extra.append((name, value, STB_GLOBAL, STT_OBJECT))
            return img

        self.assertEqual(self.failures(with_layout(), ["layout"]), [])
        self.assertReported(with_layout(estack=STACK_TOP - 4), "_estack", ["layout"])
        self.assertReported(with_layout(heap_end=RAM_BASE + 4), "__sbrk_heap_end", ["layout"])


if __name__ == "__main__":
    unittest.main()
