// ELF loading with libelf: PT_LOAD segments by physical address and the symbol table.
#include "vboard/image.h"

#include <cxxabi.h>
#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace vboard {

namespace {

std::string demangle(const std::string& name) {
  if (name.rfind("_Z", 0) != 0) return name;
  int status = 0;
  char* out = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || out == nullptr) return name;
  std::string s(out);
  std::free(out);
  return s;
}

struct ElfCloser {
  Elf* elf = nullptr;
  ~ElfCloser() {
    if (elf) elf_end(elf);
  }
};

bool in_a_region(const ChipFacts& chip, uint64_t addr, uint64_t size) {
  for (const LoadRegion& r : load_regions(chip))
    if (addr >= r.base && size <= r.size && addr - r.base <= r.size - size) return true;
  return false;
}

std::string hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%08llx", static_cast<unsigned long long>(v));
  return b;
}

}  // namespace

std::optional<Image> Image::load(const std::string& path, const ChipFacts& chip, std::string* error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    if (error) *error = path + ": cannot open";
    return std::nullopt;
  }
  // A file of known size is read in one go; one that has none (a pipe) byte by byte.
  std::vector<uint8_t> bytes;
  const std::streamoff size = f.seekg(0, std::ios::end) ? static_cast<std::streamoff>(f.tellg()) : -1;
  if (size >= 0 && f.seekg(0)) {
    bytes.resize(static_cast<size_t>(size));
    f.read(reinterpret_cast<char*>(bytes.data()), size);
    if (f.gcount() != size) f.setstate(std::ios::badbit);
  } else {
    f.clear();
    bytes.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  if (f.bad()) {
    if (error) *error = path + ": read error";
    return std::nullopt;
  }
  return from_bytes(std::move(bytes), path, chip, error);
}

namespace {

// Where a loadable segment lies, in the file's order (index) and in memory.
struct Placed {
  uint64_t from, to;
  size_t index;
};

// The loadable segments, each inside the file and inside one load region;
// the reason when one is not ("" when all are).
std::string read_segments(Elf* elf, const std::vector<uint8_t>& bytes, const ChipFacts& chip,
                          std::vector<Segment>* segments, std::vector<Placed>* placed) {
  size_t nph = 0;
  if (elf_getphdrnum(elf, &nph) != 0) return "program headers unreadable";
  const uint64_t file_size = bytes.size();
  for (size_t i = 0; i < nph; ++i) {
    GElf_Phdr ph;
    const std::string seg = "segment " + std::to_string(i);
    if (!gelf_getphdr(elf, static_cast<int>(i), &ph)) return seg + ": program header unreadable";
    if (ph.p_type != PT_LOAD || ph.p_filesz == 0) continue;
    // 64-bit arithmetic throughout: nothing here may wrap.
    if (ph.p_offset > file_size || ph.p_filesz > file_size - ph.p_offset)
      return seg + ": " + std::to_string(ph.p_filesz) + " bytes at file offset " +
             std::to_string(ph.p_offset) + " run past the end of the file (" + std::to_string(file_size) +
             " bytes)";
    if (ph.p_filesz > ph.p_memsz) return seg + ": more bytes in the file than in memory";
    if (!in_a_region(chip, ph.p_paddr, ph.p_filesz))
      return seg + ": " + hex(ph.p_paddr) + ".." + hex(ph.p_paddr + ph.p_filesz) + " is not inside flash (" +
             hex(chip.flash.base) + ", " + std::to_string(chip.flash.size / 1024) +
             " KiB), its alias at 0, or RAM (" + hex(chip.sram.base) + ", " +
             std::to_string(chip.sram.size / 1024) + " KiB)";
    placed->push_back({ph.p_paddr, ph.p_paddr + ph.p_filesz, i});
    Segment s;
    s.paddr = static_cast<uint32_t>(ph.p_paddr);
    s.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(ph.p_offset),
                   bytes.begin() + static_cast<std::ptrdiff_t>(ph.p_offset + ph.p_filesz));
    segments->push_back(std::move(s));
  }
  if (segments->empty()) return "no loadable segment";
  // Flash and its alias are one memory: compare their segments in flash addresses.
  for (Placed& p : *placed)
    if (p.from < chip.flash.size) p.from += chip.flash.base, p.to += chip.flash.base;
  std::sort(placed->begin(), placed->end(), [](const Placed& x, const Placed& y) { return x.from < y.from; });
  for (size_t i = 1; i < placed->size(); ++i)
    if ((*placed)[i].from < (*placed)[i - 1].to)
      return "segments " + std::to_string((*placed)[i - 1].index) + " and " +
             std::to_string((*placed)[i].index) + " overlap at " + hex((*placed)[i].from);
  return "";
}

// The named code and data symbols of one symbol table section.
void read_symtab(Elf* elf, const GElf_Shdr& sh, Elf_Data* data, std::vector<Symbol>* symbols,
                 std::vector<Symbol>* absolute) {
  const size_t n = sh.sh_entsize ? data->d_size / sh.sh_entsize : 0;
  for (size_t k = 0; k < n; ++k) {
    GElf_Sym sym;
    if (!gelf_getsym(data, static_cast<int>(k), &sym)) continue;
    const char* nm = elf_strptr(elf, sh.sh_link, sym.st_name);
    if (!nm || !*nm || nm[0] == '$') continue;  // mapping symbols $t/$d
    int type = GELF_ST_TYPE(sym.st_info);
    if (type != STT_FUNC && type != STT_OBJECT && type != STT_NOTYPE) continue;
    if (sym.st_shndx == SHN_UNDEF) continue;
    if (sym.st_shndx == SHN_ABS) {  // a number the linker script defines (_Min_Stack_Size)
      absolute->push_back({static_cast<uint32_t>(sym.st_value), 0, false, nm, nm});
      continue;
    }
    Symbol s;
    s.is_func = type == STT_FUNC;
    s.addr = static_cast<uint32_t>(sym.st_value) & (s.is_func ? ~1u : ~0u);
    s.size = static_cast<uint32_t>(sym.st_size);
    s.name = nm;
    s.demangled = demangle(s.name);
    symbols->push_back(std::move(s));
  }
}

// The symbols of every symbol table; what kept them from being read goes
// into *warnings.
void read_symbols(Elf* elf, const GElf_Ehdr& eh, uint64_t file_size, std::vector<Symbol>* symbols,
                  std::vector<Symbol>* absolute, std::vector<std::string>* warnings) {
  size_t nsh = 0;
  bool have_symtab = false;
  const uint64_t sh_end = eh.e_shoff + uint64_t{eh.e_shnum} * eh.e_shentsize;
  if (eh.e_shoff != 0 && sh_end > file_size) {
    warnings->push_back("truncated: the section headers end at byte " + std::to_string(sh_end) + " of a " +
                        std::to_string(file_size) +
                        "-byte file, so there are no symbols (code positions are addresses, halts are found "
                        "as 'b .' loops only)");
  } else if (elf_getshdrnum(elf, &nsh) != 0) {
    warnings->push_back("section headers unreadable: no symbols (code positions are addresses)");
    nsh = 0;
  }
  Elf_Scn* scn = nullptr;
  while (nsh > 0 && (scn = elf_nextscn(elf, scn)) != nullptr) {
    GElf_Shdr sh;
    if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_SYMTAB) continue;
    Elf_Data* data = elf_getdata(scn, nullptr);
    if (!data) {
      warnings->push_back("symbol table unreadable (file truncated?): code positions are addresses");
      continue;
    }
    have_symtab = true;
    read_symtab(elf, sh, data, symbols, absolute);
  }
  if (!have_symtab && warnings->empty())
    warnings->push_back("no symbol table: code positions are addresses, halts are found as 'b .' loops only");
}

}  // namespace

std::optional<Image> Image::from_bytes(std::vector<uint8_t> bytes, const std::string& path,
                                       const ChipFacts& chip, std::string* error) {
  auto fail = [&](const std::string& what) -> std::optional<Image> {
    if (error) *error = path + ": " + what;
    return std::nullopt;
  };
  if (elf_version(EV_CURRENT) == EV_NONE) return fail("libelf init failed");
  if (bytes.empty()) return fail("empty file");
  ElfCloser h;
  h.elf = elf_memory(reinterpret_cast<char*>(bytes.data()), bytes.size());
  if (!h.elf || elf_kind(h.elf) != ELF_K_ELF) return fail("not an ELF file");
  GElf_Ehdr eh;
  if (!gelf_getehdr(h.elf, &eh)) return fail("no readable ELF header");
  if (eh.e_ident[EI_CLASS] != ELFCLASS32 || eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_machine != EM_ARM)
    return fail("not a 32-bit little-endian ARM ELF");

  Image img;
  img.path_ = path;
  std::vector<Placed> placed;
  if (std::string why = read_segments(h.elf, bytes, chip, &img.segments_, &placed); !why.empty())
    return fail(why);
  read_symbols(h.elf, eh, bytes.size(), &img.symbols_, &img.absolute_, &img.warnings_);
  img.sort_symbols();
  return img;
}

void Image::add_symbol(Symbol s) {
  if (s.demangled.empty()) s.demangled = demangle(s.name);
  symbols_.push_back(std::move(s));
  sort_symbols();
}

void Image::sort_symbols() {
  std::stable_sort(symbols_.begin(), symbols_.end(), [](const Symbol& a, const Symbol& b) {
    if (a.addr != b.addr) return a.addr < b.addr;
    return a.is_func > b.is_func;  // functions first at equal address
  });
  functions_.clear();
  for (size_t i = 0; i < symbols_.size(); ++i)
    if (symbols_[i].is_func) functions_.push_back(i);
}

const Symbol* Image::find(const std::string& name) const {
  for (const auto& s : symbols_)
    if (s.name == name || s.demangled == name) return &s;
  // "ns::cls::fn" matches "ns::cls::fn()" and overloads: take the first function.
  for (const auto& s : symbols_) {
    if (!s.is_func) continue;
    auto p = s.demangled.find('(');
    if (p != std::string::npos && s.demangled.compare(0, p, name) == 0 && p == name.size()) return &s;
  }
  return nullptr;
}

std::optional<uint32_t> Image::absolute(const std::string& name) const {
  for (const auto& s : absolute_)
    if (s.name == name) return s.addr;
  return std::nullopt;
}

const Symbol* Image::containing(uint32_t addr) const {
  // Last function starting at or below addr.
  auto it = std::upper_bound(functions_.begin(), functions_.end(), addr,
                             [&](uint32_t a, size_t idx) { return a < symbols_[idx].addr; });
  if (it == functions_.begin()) return nullptr;
  const Symbol& s = symbols_[*(it - 1)];
  uint32_t size = s.size ? s.size : 16;  // assembler labels without .size
  if (addr - s.addr < size) return &s;
  return nullptr;
}

std::string Image::describe(uint32_t addr) const {
  char buf[32];
  const Symbol* s = containing(addr & ~1u);
  if (!s) {
    std::snprintf(buf, sizeof buf, "0x%08x", addr);
    return buf;
  }
  uint32_t off = (addr & ~1u) - s->addr;
  if (off == 0) return s->demangled;
  std::snprintf(buf, sizeof buf, "+0x%x", off);
  return s->demangled + buf;
}

}  // namespace vboard
