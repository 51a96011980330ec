// The facts about the chip that the core and the machine are built for, as
// values: its memory map, how many NVIC lines its peripherals use and the clock
// it runs from at reset. The chip description holds them; a Board hands them to
// the machine, which passes them on to the address space, the emulator's
// memory map, the block cache and the debugger.
#pragma once

#include <cstdint>

namespace vboard {

// A range of guest addresses [base, base + size).
struct MemoryRegion {
  uint32_t base = 0;
  uint32_t size = 0;
  constexpr uint64_t end() const { return uint64_t{base} + size; }
  // Whether all n bytes from addr lie inside (64-bit: nothing wraps).
  constexpr bool holds(uint64_t addr, uint64_t n) const { return addr >= base && addr - base + n <= size; }
};

struct ChipFacts {
  MemoryRegion flash;  // also seen at address 0, its boot alias
  MemoryRegion sram;
  unsigned irq_count = 0;  // NVIC lines 0 .. irq_count - 1
  uint64_t hsi_hz = 0;     // the clock the core runs from at reset
  // The flash's boot alias at address 0.
  constexpr MemoryRegion flash_alias() const { return {0, flash.size}; }
};

}  // namespace vboard
