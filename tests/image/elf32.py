"""Minimal reader for 32-bit little-endian ELF files (the firmware images).

Only what the image checks need: section headers, section contents, program
headers and the symbol table. Standard library only.
"""

import struct
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

    def global_symbol(self, name):
        """The defined global or weak symbol of that exact name, or None."""
        for s in self.symbols:
            if s.name == name and s.defined and s.bind in (STB_GLOBAL, STB_WEAK):
                return s
        return None
