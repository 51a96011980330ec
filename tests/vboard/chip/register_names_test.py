#!/usr/bin/env python3
"""The committed register names (vboard/src/chip/stm32g431_regs.h) and register
table (stm32g431_reg_table.cpp) against the SVD.

Usage: register_names_test.py SOURCE_DIR

1. Runs the generator (vboard/tools/svd_regs.py) into temporary files and
   compares them byte for byte with the committed header and table: a file
   edited by hand, or a generator changed without running it, fails.
2. Reads a few names out of the committed header and looks the same facts up
   in the SVD directly (not through the generator) and in the reference
   manual's numbers written here: a generator that is wrong in a stable way
   fails too.
Exit 0 when all agree, 1 otherwise.
"""
import difflib
import lzma
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

HEADER = "vboard/src/chip/stm32g431_regs.h"
TABLE = "vboard/src/chip/stm32g431_reg_table.cpp"
GENERATOR = "vboard/tools/svd_regs.py"
SVD = "tests/reference/STM32G431.svd.xz"

# Header name, SVD peripheral, register, field: position and width (the reference manual's).
FIELDS = [
    ("rcc::apb1enr1::PWREN", "RCC", "RCC_APB1ENR1", "PWREN", 28, 1),
    ("rcc::cfgr::SW", "RCC", "RCC_CFGR", "SW", 0, 2),
    ("rcc::pllcfgr::PLLN", "RCC", "RCC_PLLCFGR", "PLLN", 8, 7),
    ("pwr::cr1::VOS", "PWR", "PWR_CR1", "VOS", 9, 2),
    ("flash::acr::LATENCY", "FLASH", "FLASH_ACR", "LATENCY", 0, 4),
    ("syscfg::exticr1::EXTI1", "SYSCFG", "EXTICR1", "EXTI1", 4, 4),
    ("tim::cr1::CEN", "TIM1", "TIM1_CR1", "CEN", 0, 1),
    ("tim::ccer::CC1P", "TIM1", "TIM1_CCER", "CC1P", 1, 1),
    ("tim::ccmr1::OC1M", "TIM1", "TIM1_CCMR1_Alternate", "OC1M", 4, 3),
    ("tim::ccmr1::OC1M_1", "TIM1", "TIM1_CCMR1_Alternate", "OC1M_1", 16, 1),
    ("tim::bdtr::MOE", "TIM1", "TIM1_BDTR", "MOE", 15, 1),
    ("dmamux::cxcr::DMAREQ_ID", "DMAMUX", "C0CR", "DMAREQ_ID", 0, 7),
    ("dma::ccrx::CIRC", "DMA1", "CCR1", "CIRC", 5, 1),
    ("dma::ccrx::MSIZE", "DMA1", "CCR1", "MSIZE", 10, 2),
    ("usart::isr::TEACK", "USART1", "ISR", "TEACK", 21, 1),
    ("usart::cr1::FIFOEN", "USART1", "CR1", "FIFOEN", 29, 1),
]
# Header name, SVD peripheral, register: offset.
OFFSETS = [
    ("rcc::APB1ENR1", "RCC", "RCC_APB1ENR1", 0x58),
    ("pwr::CR5", "PWR", "PWR_CR5", 0x80),
    ("exti::PR1", "EXTI", "PR1", 0x14),
    ("gpio::AFRH", "GPIOC", "AFRH", 0x24),
    ("tim::CCER", "TIM1", "TIM1_CCER", 0x20),
    ("tim::DCR", "TIM1", "TIM1_DCR", 0x3DC),
    ("dma::CCR3", "DMA1", "CCR3", 0x30),
    ("dmamux::RG0CR", "DMAMUX", "RG0CR", 0x100),
    ("usart::ISR", "USART1", "ISR", 0x1C),
]
# Header name, SVD peripheral, register: reset value.
RESETS = [
    ("tim::arr::kReset", "TIM1", "TIM1_ARR", 0xFFFF),
    ("exti::imr1::kReset", "EXTI", "IMR1", 0xFF820000),
    ("flash::acr::kReset", "FLASH", "FLASH_ACR", 0x00040601),
    ("syscfg::cfgr1::kReset", "SYSCFG", "CFGR1", 0x7C000001),
]
# Header name, SVD peripheral, register, the fields' access (None: all): the mask of those fields.
MASKS = [
    ("tim::ccer::kFields", "TIM1", "TIM1_CCER", None, 0x0033FFFF),
    ("tim::general::ccer::kFields", "TIM2", "TIM2_CCER", None, 0x0000BBBB),
    ("tim::one_channel::dier::kFields", "TIM16", "TIM16_DIER", None, 0x000003A3),
    ("rcc::apb1enr1::kFields", "RCC", "RCC_APB1ENR1", None, 0xD2FECD3F),
    ("rcc::cr::kReadOnly", "RCC", "RCC_CR", "read-only", 0x02020400),
    ("exti::pr1::kFields", "EXTI", "PR1", None, 0xE07FFFFF),
]
# Header name, SVD peripheral, register, field, start of the value's description: value.
VALUES = [
    ("tim::ccmr1::ocxm::PwmMode1", "TIM1", "TIM1_CCMR1_Alternate", "OC1M", "PWM mode 1", 6),
    ("tim::ccmr1::ocxm::Toggle", "TIM1", "TIM1_CCMR1_Alternate", "OC1M", "Toggle", 3),
    ("rcc::cfgr::sw::PLL", "RCC", "RCC_CFGR", "SW", "PLL selected", 3),
    ("rcc::cfgr::hpre::Div2", "RCC", "RCC_CFGR", "HPRE", "SYSCLK divided by 2", 8),
    ("pwr::cr1::vos::Range1", "PWR", "PWR_CR1", "VOS", "Range 1", 1),
]


def header_names(text):
    """'ns::reg::NAME' -> value: uint32_t constants as ints, Fields as (pos, width)."""
    names, stack = {}, []
    for line in text.splitlines():
        if m := re.match(r"namespace (\w+) \{", line):
            stack.append(m.group(1))
        elif re.match(r"\}  // namespace (\w+)$", line):
            stack.pop()
        elif m := re.match(r"inline constexpr uint32_t (\w+) = (\w+);", line):
            names["::".join(stack + [m.group(1)])] = int(m.group(2), 0)
        elif m := re.match(r"inline constexpr Field (\w+)\{(\d+), (\d+)\};", line):
            names["::".join(stack + [m.group(1)])] = (int(m.group(2)), int(m.group(3)))
    return {k.removeprefix("vboard::periph::"): v for k, v in names.items()}


def svd_register(root, periph, reg):
    for p in root.iter("peripheral"):
        if p.findtext("name") == periph:
            for r in p.iter("register"):
                if r.findtext("name") == reg:
                    return r
    return None


def svd_field(root, periph, reg, field):
    r = svd_register(root, periph, reg)
    for f in r.iter("field") if r is not None else []:
        if f.findtext("name") == field:
            return f
    return None


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    src = Path(sys.argv[1])
    problems = []

    committed = (src / HEADER).read_text()
    with tempfile.TemporaryDirectory() as tmp:
        out, table = Path(tmp) / "regs.h", Path(tmp) / "table.cpp"
        run = subprocess.run([sys.executable, str(src / GENERATOR), "--svd", str(src / SVD), "--out", str(out),
                              "--table", str(table)], capture_output=True, text=True)
        if run.returncode != 0:
            problems.append(f"the generator failed ({run.returncode}): {run.stderr.strip()}")
        for name, made in ([] if run.returncode else [(HEADER, out), (TABLE, table)]):
            if made.read_bytes() != (src / name).read_bytes():
                diff = difflib.unified_diff((src / name).read_text().splitlines(), made.read_text().splitlines(),
                                            "committed", "generated", lineterm="", n=1)
                problems.append(f"{name} is not what {GENERATOR} writes:\n" + "\n".join(list(diff)[:40]))

    names = header_names(committed)
    with lzma.open(src / SVD, "rb") as f:
        root = ET.parse(f).getroot()

    def check(name, svd_value, expected):
        got = names.get(name)
        if got is None:
            problems.append(f"{name}: not in the header")
        elif not (got == svd_value == expected):
            problems.append(f"{name}: header {got}, SVD {svd_value}, reference manual {expected}")

    for name, periph, reg, field, pos, width in FIELDS:
        f = svd_field(root, periph, reg, field)
        svd = None if f is None else (int(f.findtext("bitOffset")), int(f.findtext("bitWidth")))
        check(name, svd, (pos, width))
    for name, periph, reg, offset in OFFSETS:
        r = svd_register(root, periph, reg)
        check(name, None if r is None else int(r.findtext("addressOffset"), 0), offset)
    for name, periph, reg, reset in RESETS:
        r = svd_register(root, periph, reg)
        check(name, None if r is None else int(r.findtext("resetValue"), 0), reset)
    for name, periph, reg, access, mask in MASKS:
        r = svd_register(root, periph, reg)
        got = None if r is None else 0
        for f in r.iter("field") if r is not None else []:
            if access is None or (f.findtext("access") or r.findtext("access")) == access:
                got |= ((1 << int(f.findtext("bitWidth"))) - 1) << int(f.findtext("bitOffset"))
        check(name, got, mask)
    for name, periph, reg, field, text, value in VALUES:
        f = svd_field(root, periph, reg, field)
        descs = [(int(e.findtext("value"), 0), " ".join(e.findtext("description").split()))
                 for e in (f.iter("enumeratedValue") if f is not None else [])]
        hits = [v for v, d in descs if d == text or (d.startswith(text) and not d[len(text)].isalnum())]
        check(name, hits[0] if len(hits) == 1 else None, value)

    for p in problems:
        print(f"register_names_test: {p}", file=sys.stderr)
    checked = len(FIELDS) + len(OFFSETS) + len(RESETS) + len(MASKS) + len(VALUES)
    print(f"register_names_test: header and table match the generator; {checked} names checked against the SVD"
          if not problems else f"register_names_test: {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
