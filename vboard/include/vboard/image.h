// A firmware image as the virtual board loads it: the bytes of its loadable
// segments placed by physical address, and its symbol table for naming code
// positions (halt reasons, report positions, profiling).
#pragma once

#include <cstdint>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "vboard/chip_facts.h"

namespace vboard {

struct Symbol {
  uint32_t addr = 0;  // Thumb bit cleared for functions
  uint32_t size = 0;
  bool is_func = false;
  std::string name;       // as in the ELF (mangled for C++)
  std::string demangled;  // readable form (same as name for C symbols)
};

struct Segment {
  uint32_t paddr = 0;
  std::vector<uint8_t> bytes;
};

// Memory an image may be loaded into: the chip's flash, its boot alias at
// address 0, and SRAM.
struct LoadRegion {
  const char* name;
  uint32_t base;
  uint32_t size;
};
constexpr std::array<LoadRegion, 3> load_regions(const ChipFacts& chip) {
  return {{{"flash", chip.flash.base, chip.flash.size},
           {"flash alias", 0x00000000, chip.flash.size},
           {"RAM", chip.sram.base, chip.sram.size}}};
}

class Image {
 public:
  // Reads an ELF file for `chip`; on failure returns nullopt and sets *error.
  // Every loadable segment must lie inside the file and inside one of the
  // chip's load regions, and no two may overlap.
  static std::optional<Image> load(const std::string& path, const ChipFacts& chip, std::string* error);
  // The same from the file's bytes (`path` names it in messages).
  static std::optional<Image> from_bytes(std::vector<uint8_t> bytes, const std::string& path,
                                         const ChipFacts& chip, std::string* error);
  // What the loader could not find, e.g. "no symbol table: ..." (shown in reports).
  const std::vector<std::string>& warnings() const { return warnings_; }

  const std::vector<Segment>& segments() const { return segments_; }
  const std::string& path() const { return path_; }

  // Symbol by ELF name or demangled name (with or without the argument list).
  const Symbol* find(const std::string& name) const;
  // The value of an absolute symbol (one a linker script sets to a number,
  // e.g. _Min_Stack_Size); these name no place and are not among symbols().
  std::optional<uint32_t> absolute(const std::string& name) const;
  // Function symbol containing addr (or nullptr).
  const Symbol* containing(uint32_t addr) const;
  // "name+0x12" or "0x08001234" for code positions.
  std::string describe(uint32_t addr) const;
  const std::vector<Symbol>& symbols() const { return symbols_; }

  // Adds a symbol (used by tests that build images by hand).
  void add_symbol(Symbol s);
  void add_segment(Segment s) { segments_.push_back(std::move(s)); }

 private:
  void sort_symbols();
  std::string path_;
  std::vector<std::string> warnings_;
  std::vector<Segment> segments_;
  std::vector<Symbol> symbols_;    // all named symbols, sorted by address
  std::vector<Symbol> absolute_;   // absolute symbols, in table order
  std::vector<size_t> functions_;  // indices into symbols_ of code symbols, sorted by address
};

}  // namespace vboard
