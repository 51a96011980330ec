// A bit field of a 32-bit register, by position and width: the one way the
// core's and the chip's register names (core/armv7m_regs.h,
// chip/stm32g431_regs.h) describe their fields.
//
//   tim::cr1::CEN.test(cr1)                 is the counter enabled?
//   tim::ccmr1::OCxM(2).get(ccmr1)          channel 2's output compare mode
//   rcc::cfgr::SW.put(cfgr, rcc::cfgr::sw::PLL)
//   dma::ccrx::EN | dma::ccrx::CIRC         (flags combine into a mask)
#pragma once

#include <cstdint>

namespace vboard::core {

struct Field {
  unsigned pos;    // lowest bit
  unsigned width;  // bits, 1..32

  // The field's bits in place.
  constexpr uint32_t mask() const { return (width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1u) << pos; }
  // The field's value read out of `reg`, shifted down.
  constexpr uint32_t get(uint32_t reg) const { return (reg & mask()) >> pos; }
  // Whether any bit of the field is set in `reg` (for a one-bit field: the bit).
  constexpr bool test(uint32_t reg) const { return (reg & mask()) != 0; }
  // `value` placed in the field; bits of `value` beyond the width are dropped.
  constexpr uint32_t operator()(uint32_t value) const { return (value << pos) & mask(); }
  // `reg` with the field replaced by `value`, every other bit kept.
  constexpr uint32_t put(uint32_t reg, uint32_t value) const { return (reg & ~mask()) | (*this)(value); }
  // The same field `k` steps of `step` bits higher: member k of a family laid
  // out at a stride (CC1E, CC2E, ... four bits apart).
  constexpr Field at(unsigned step, unsigned k) const { return {pos + step * k, width}; }

  friend constexpr bool operator==(Field, Field) = default;
};

// Two fields together, as a mask of both: `dma::ccrx::EN | dma::ccrx::CIRC`.
constexpr uint32_t operator|(Field a, Field b) { return a.mask() | b.mask(); }
constexpr uint32_t operator|(uint32_t m, Field f) { return m | f.mask(); }

}  // namespace vboard::core
