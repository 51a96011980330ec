"""The image checks' one reader of 32-bit little-endian ELF files (the firmware
images): section headers and contents, program headers, the symbol table, the
words in flash and the loadable image. Standard library only; disassembly (and
the calls-to-address-0 check built on it) asks arm-none-eabi-objdump.
"""

import re
import struct
import subprocess
from dataclasses import dataclass

SHT_SYMTAB = 2
SHT_NOBITS = 8
SHF_ALLOC = 0x2
PT_LOAD = 1
EM_ARM = 40
ET_EXEC = 2

STB_LOCAL, STB_GLOBAL, STB_WEAK = 0, 1, 2
STT_OBJECT, STT_FUNC = 1, 2
SHN_UNDEF = 0


class ElfError(Exception):
    pass


@dataclass
class Section:
    name: str
    type: int
    flags: int
    addr: int
    offset: int
    size: int
    link: int
    entsize: int


@dataclass
class Segment:
    type: int
    offset: int
    vaddr: int
    paddr: int
    filesz: int
    memsz: int


@dataclass
class Symbol:
    name: str
    value: int
    size: int
    bind: int
    type: int
    shndx: int

    @property
    def defined(self):
        return self.shndx != SHN_UNDEF


class Elf32:
    def __init__(self, data: bytes):
        self.data = data
        if len(data) < 52 or data[:4] != b"\x7fELF":
            raise ElfError("not an ELF file")
        if data[4] != 1 or data[5] != 1:
            raise ElfError("not a 32-bit little-endian ELF file")
        (self.type, self.machine, _version, self.entry, phoff, shoff, _flags, _ehsize, phentsize, phnum,
         shentsize, shnum, shstrndx) = struct.unpack_from("<HHIIIIIHHHHHH", data, 16)
        self.sections = [self._section(shoff + i * shentsize) for i in range(shnum)]
        if shnum:
            names = self.sections[shstrndx]
            for s in self.sections:
                s.name = self._cstr(names.offset + int(s.name))
        self.segments = [self._segment(phoff + i * phentsize) for i in range(phnum)]
        self.symbols = self._symbols()

    @classmethod
    def load(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    def _cstr(self, offset):
        end = self.data.index(b"\0", offset)
        return self.data[offset:end].decode("ascii", "replace")

    def _section(self, off):
        name, stype, flags, addr, offset, size, link, _info, _align, entsize = struct.unpack_from(
            "<IIIIIIIIII", self.data, off)
        return Section(name, stype, flags, addr, offset, size, link, entsize)

    def _segment(self, off):
        ptype, offset, vaddr, paddr, filesz, memsz, _flags, _align = struct.unpack_from("<IIIIIIII", self.data, off)
        return Segment(ptype, offset, vaddr, paddr, filesz, memsz)

    def _symbols(self):
        out = []
        for sec in self.sections:
            if sec.type != SHT_SYMTAB:
                continue
            strtab = self.sections[sec.link]
            for i in range(sec.size // 16):
                name, value, size, info, _other, shndx = struct.unpack_from("<IIIBBH", self.data, sec.offset + 16 * i)
                out.append(Symbol(self._cstr(strtab.offset + name), value, size, info >> 4, info & 0xF, shndx))
        return out

    def section(self, name):
        for s in self.sections:
            if s.name == name:
                return s
        return None

    def contents(self, sec: Section) -> bytes:
        if sec.type == SHT_NOBITS:
            return bytes(sec.size)
        return self.data[sec.offset:sec.offset + sec.size]

    def has_symtab(self):
        return any(s.type == SHT_SYMTAB for s in self.sections)

    def symbol_map(self):
        """Defined symbols by name (the first of a name wins); a function's
        address without its Thumb bit, as the disassembler shows it."""
        table = {}
        for s in self.symbols:
            if s.defined and s.name and s.name not in table:
                addr = s.value & ~1 if s.type == STT_FUNC else s.value
                table[s.name] = Symbol(s.name, addr, s.size, s.bind, s.type, s.shndx)
        return table

    def flash_words(self, flash_start=0x08000000, flash_end=0x08020000):
        """{address: word} for every word of every allocated section in flash."""
        words = {}
        for sec in self.sections:
            if sec.flags & SHF_ALLOC and sec.type != SHT_NOBITS and flash_start <= sec.addr < flash_end:
                raw = self.contents(sec)
                for i in range(len(raw) // 4):
                    words[sec.addr + 4 * i] = struct.unpack_from("<I", raw, 4 * i)[0]
        return words

    def load_image(self):
        """(physical address, bytes) of every loadable segment, as a programmer writes them."""
        return [(seg.paddr, self.data[seg.offset:seg.offset + seg.filesz])
                for seg in self.segments if seg.type == PT_LOAD and seg.filesz]

    def global_symbol(self, name):
        """The defined global or weak symbol of that exact name, or None."""
        for s in self.symbols:
            if s.name == name and s.defined and s.bind in (STB_GLOBAL, STB_WEAK):
                return s
        return None


# ---- Disassembly (arm-none-eabi-objdump) ---------------------------------------

OBJDUMP = "arm-none-eabi-objdump"


@dataclass
class Insn:
    addr: int
    mnemonic: str
    operands: str


def disassemble(path):
    """function name -> list of Insn, for every function in the executable sections."""
    out = subprocess.run([OBJDUMP, "-d", "--no-show-raw-insn", path], check=True, capture_output=True,
                         text=True).stdout
    functions = {}
    current = None
    for line in out.splitlines():
        head = re.match(r"^([0-9a-f]{8}) <(.+)>:$", line)
        if head:
            current = functions.setdefault(head.group(2), [])
            continue
        m = re.match(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if m and current is not None:
            current.append(Insn(int(m.group(1), 16), m.group(2), m.group(3).strip()))
    return functions


_REG = r"(r\d+|ip|lr|sl|fp)"


def calls_to_zero(path, flash_start=0x08000000, flash_end=0x08020000):
    """Places where control can pass to address 0 (or anywhere outside flash):
    a direct branch with an out-of-flash target, or an indirect call through a
    register loaded with 0 (from a literal or an immediate) that no zero test
    guarded. Returns a list of human-readable findings."""
    findings = []
    words = Elf32.load(path).flash_words(flash_start, flash_end)
    for func, insns in disassemble(path).items():
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
                if words.get(int(m.group(2), 16) & ~3) == 0:
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
