"""Small helpers over the arm-none-eabi binutils for the board image checks:
symbols, section contents, per-function disassembly and a check for calls that
would land on address 0."""

import os
import re
import subprocess
import struct
import tempfile
from dataclasses import dataclass

TOOL_PREFIX = "arm-none-eabi-"


def run(tool, *args):
    return subprocess.run([TOOL_PREFIX + tool, *args], check=True, capture_output=True, text=True).stdout


@dataclass
class Symbol:
    name: str
    addr: int
    kind: str  # nm type letter: T, W, D, B, R, A, w, U ...


def symbols(elf):
    """All symbols by name (later definitions of a name are ignored)."""
    table = {}
    for line in run("nm", "-n", elf).splitlines():
        parts = line.split()
        if len(parts) == 3:
            addr, kind, name = parts
            table.setdefault(name, Symbol(name, int(addr, 16), kind))
        elif len(parts) == 2:  # undefined: "U name" / "w name"
            kind, name = parts
            table.setdefault(name, Symbol(name, 0, kind))
    return table


def sections(elf):
    """name -> (vma, size, lma) from objdump -h."""
    result = {}
    for line in run("objdump", "-h", elf).splitlines():
        m = re.match(r"\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+([0-9a-f]+)", line)
        if m:
            result[m.group(1)] = (int(m.group(3), 16), int(m.group(2), 16), int(m.group(4), 16))
    return result


def section_bytes(elf, name):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "section.bin")
        run("objcopy", "-O", "binary", "--only-section=" + name, elf, out)
        with open(out, "rb") as f:
            return f.read()


def section_words(elf, name):
    data = section_bytes(elf, name)
    return list(struct.unpack("<%dI" % (len(data) // 4), data[: len(data) // 4 * 4]))


@dataclass
class Insn:
    addr: int
    mnemonic: str
    operands: str


def disassemble(elf):
    """function name -> list of Insn, for every function in the executable sections."""
    functions = {}
    current = None
    for line in run("objdump", "-d", "--no-show-raw-insn", elf).splitlines():
        head = re.match(r"^([0-9a-f]{8}) <(.+)>:$", line)
        if head:
            current = functions.setdefault(head.group(2), [])
            continue
        m = re.match(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if m and current is not None:
            current.append(Insn(int(m.group(1), 16), m.group(2), m.group(3).strip()))
    return functions


def literal_word(elf_words, addr):
    """Word at addr from a {addr: word} map of the image's flash, or None."""
    return elf_words.get(addr & ~3)


def flash_words(elf):
    """{address: word} for every word of every allocated flash section."""
    words = {}
    for name, (vma, size, _lma) in sections(elf).items():
        if 0x08000000 <= vma < 0x08020000 and size and name not in (".data",):
            for i, w in enumerate(section_words(elf, name)):
                words[vma + 4 * i] = w
    return words


_REG = r"(r\d+|ip|lr|sl|fp)"


def calls_to_zero(elf, flash_start=0x08000000, flash_end=0x08020000):
    """Places where control can pass to address 0 (or anywhere outside flash):
    a direct branch with an out-of-flash target, or an indirect call through a
    register loaded with 0 (from a literal or an immediate) that no zero test
    guarded. Returns a list of human-readable findings."""
    findings = []
    words = flash_words(elf)
    for func, insns in disassemble(elf).items():
        zero_regs = {}  # register -> address where it was loaded with 0
        for insn in insns:
            mn, ops = insn.mnemonic, insn.operands
            base = mn.split(".")[0]
            if base in ("bl", "blx", "b") and re.match(r"^[0-9a-f]+\s*<", ops):
                target = int(ops.split()[0], 16)
                if not flash_start <= target < flash_end:
                    findings.append(f"{func} @ {insn.addr:#x}: {mn} to {target:#x}")
                continue
            m = re.match(_REG + r",\s*\[pc, #-?\d+\]\s*@\s*\(([0-9a-f]+)", ops)
            if base == "ldr" and m:
                value = literal_word(words, int(m.group(2), 16))
                if value == 0:
                    zero_regs[m.group(1)] = insn.addr
                else:
                    zero_regs.pop(m.group(1), None)
                continue
            m = re.match(_REG + r",\s*#0$", ops)
            if base in ("mov", "movs", "movw") and m:
                zero_regs[m.group(1)] = insn.addr
                continue
            m = re.match(_REG + r"(,|$)", ops)
            if base in ("cbz", "cbnz") and m:
                zero_regs.pop(m.group(1), None)
                continue
            if base == "cmp" and re.match(_REG + r",\s*#0$", ops):
                zero_regs.pop(re.match(_REG, ops).group(1), None)
                continue
            if base in ("blx", "bx") and re.match(_REG + r"$", ops):
                reg = ops.strip()
                if reg in zero_regs:
                    findings.append(
                        f"{func} @ {insn.addr:#x}: {mn} {reg}, loaded with 0 at {zero_regs[reg]:#x} and never tested"
                    )
                continue
            # Any other write to a tracked register ends what we know about it.
            m = re.match(_REG + r"\b", ops)
            if m and base not in ("str", "strb", "strh", "push", "cmp", "tst", "stm", "stmia", "stmdb"):
                zero_regs.pop(m.group(1), None)
    return findings
