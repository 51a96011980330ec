// The parts of the static stack bound (outputs/stack_bound.h): the image's
// memory by address, the Thumb decoder, and what one function's code says about
// its own stack and its calls. Private to outputs/stack_bound*.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "outputs/stack_bound.h"

struct cs_insn;

namespace vboard::stack {

inline std::string hex32(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

// The image's loadable bytes by address; the flash alias at 0 reads as flash.
class Memory {
 public:
  Memory(const Image& image, uint32_t flash_base, uint32_t flash_size);
  bool read(uint32_t addr, void* dst, uint32_t n) const;
  std::optional<uint32_t> word(uint32_t addr) const;
  // Flash (or its alias): what it holds is the same at every run.
  bool constant(uint32_t addr) const {
    return addr < flash_size_ || (addr >= flash_base_ && addr - flash_base_ < flash_size_);
  }
  // Every word-aligned address holding a word (for the function-pointer scan).
  template <class F>
  void each_word(F f) const {
    for (const Segment& s : image_.segments())
      for (uint32_t k = 0; k + 4 <= s.bytes.size(); k += 4) f(s.paddr + k, *word(s.paddr + k));
  }

 private:
  const Image& image_;
  uint32_t flash_base_, flash_size_;
};

// What a register holds, as far as resolving calls needs it.
struct Val {
  enum Kind : uint8_t {
    kTop,     // anything
    kConst,   // a known value (literal, movw/movt, adr)
    kPassed,  // an argument at the function's entry, or what a call returned: never a vtable entry
    kField,   // a word of what kPassed points at: perhaps a vtable pointer, never a vtable entry
    kLoaded,  // a word loaded through anything else: perhaps even a vtable entry
    kSlot,    // a word at [a possible vtable pointer + v]: vtable slot v if that was one
  };
  Kind kind = kTop;
  uint32_t v = 0;
  bool operator==(const Val&) const = default;
};

// One call or tail call out of a function.
struct CallSite {
  uint32_t at = 0;      // the instruction's address
  int32_t depth = 0;    // the caller's own stack in use at the call
  bool direct = false;  // target is known; otherwise `held` says what the register held
  uint32_t target = 0;
  Val held;
  bool tail = false;
  std::string text;  // the instruction, for notes
};

// What one function's code says.
struct FunctionFacts {
  uint32_t start = 0, end = 0;
  int32_t frame = 0;  // its deepest own stack
  std::vector<CallSite> calls;
  std::vector<std::string> unbounded;  // why its own stack (or its control flow) has no bound
  std::vector<std::string> notes;      // what was assumed on the way
  std::set<uint32_t> code_addresses;   // constants built in code (adr, movw/movt): possible function pointers
  bool uses_fpu = false;
};

// Capstone for Thumb-2, M profile, with instruction details.
class Decoder {
 public:
  Decoder();
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  // The instruction at addr (nullptr when the bytes are no instruction); valid
  // until the next call.
  const cs_insn* decode(const uint8_t* code, size_t n, uint32_t addr);
  std::string text(const cs_insn* insn) const;

 private:
  size_t handle_ = 0;
  cs_insn* insn_ = nullptr;
};

// The stack effect of one decoded instruction: bytes reserved (negative:
// released), or why it cannot be known.
struct SpEffect {
  int32_t reserve = 0;
  bool by_register = false;    // SP moved by a register's value (alloca, a variable-length array, a switch)
  bool unknown_write = false;  // SP written some other way
  bool returns = false;        // pops or loads PC from the stack
};
SpEffect sp_effect(const cs_insn* insn);

// "SysTick", "IRQ 28 TIM2": an exception by its number.
std::string exception_name(unsigned e);

// The facts of the function [start, end). `initial_sp` is the vector table's
// first word: setting SP to it starts a fresh stack (the reset handler).
FunctionFacts analyse_function(Decoder& dec, const Memory& mem, uint32_t start, uint32_t end,
                               uint32_t initial_sp);

}  // namespace vboard::stack
