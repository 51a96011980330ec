// ELF loading with libelf: PT_LOAD segments by physical address and the symbol table.
#include "vboard/image.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  int fd = -1;
  ~ElfCloser() {
    if (elf) elf_end(elf);
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::optional<Image> Image::load(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& what) -> std::optional<Image> {
    if (error) *error = path + ": " + what;
    return std::nullopt;
  };
  if (elf_version(EV_CURRENT) == EV_NONE) return fail("libelf init failed");
  ElfCloser h;
  h.fd = open(path.c_str(), O_RDONLY);
  if (h.fd < 0) return fail("cannot open");
  h.elf = elf_begin(h.fd, ELF_C_READ, nullptr);
  if (!h.elf || elf_kind(h.elf) != ELF_K_ELF) return fail("not an ELF file");
  GElf_Ehdr eh;
  if (!gelf_getehdr(h.elf, &eh)) return fail("no ELF header");
  if (eh.e_ident[EI_CLASS] != ELFCLASS32 || eh.e_machine != EM_ARM) return fail("not a 32-bit ARM ELF");

  Image img;
  img.path_ = path;
  size_t nph = 0;
  elf_getphdrnum(h.elf, &nph);
  size_t file_size = 0;
  char* raw = elf_rawfile(h.elf, &file_size);
  for (size_t i = 0; i < nph; ++i) {
    GElf_Phdr ph;
    if (!gelf_getphdr(h.elf, static_cast<int>(i), &ph)) continue;
    if (ph.p_type != PT_LOAD || ph.p_filesz == 0) continue;
    if (ph.p_offset + ph.p_filesz > file_size) return fail("segment outside file");
    Segment s;
    s.paddr = static_cast<uint32_t>(ph.p_paddr);
    s.bytes.assign(raw + ph.p_offset, raw + ph.p_offset + ph.p_filesz);
    img.segments_.push_back(std::move(s));
  }
  if (img.segments_.empty()) return fail("no loadable segment");

  Elf_Scn* scn = nullptr;
  while ((scn = elf_nextscn(h.elf, scn)) != nullptr) {
    GElf_Shdr sh;
    if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_SYMTAB) continue;
    Elf_Data* data = elf_getdata(scn, nullptr);
    if (!data) continue;
    size_t n = sh.sh_entsize ? sh.sh_size / sh.sh_entsize : 0;
    for (size_t k = 0; k < n; ++k) {
      GElf_Sym sym;
      if (!gelf_getsym(data, static_cast<int>(k), &sym)) continue;
      const char* nm = elf_strptr(h.elf, sh.sh_link, sym.st_name);
      if (!nm || !*nm || nm[0] == '$') continue;  // mapping symbols $t/$d
      int type = GELF_ST_TYPE(sym.st_info);
      if (type != STT_FUNC && type != STT_OBJECT && type != STT_NOTYPE) continue;
      if (sym.st_shndx == SHN_UNDEF || sym.st_shndx == SHN_ABS) continue;
      Symbol s;
      s.is_func = type == STT_FUNC;
      s.addr = static_cast<uint32_t>(sym.st_value) & (s.is_func ? ~1u : ~0u);
      s.size = static_cast<uint32_t>(sym.st_size);
      s.name = nm;
      s.demangled = demangle(s.name);
      img.symbols_.push_back(std::move(s));
    }
  }
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
