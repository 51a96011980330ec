// The NVIC and the exception priorities: enable, pending and active state of
// every exception, interrupt request lines from the peripherals, IPR and SHPR
// priorities with priority grouping, and which pending exception may be taken.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/cpu.h"
#include "core/layout.h"

namespace vboard::core {

class Nvic {
 public:
  // reversed_ties: equal priorities taken highest number first (a deliberately
  // broken variant the tests must catch).
  explicit Nvic(bool reversed_ties) : reversed_ties_(reversed_ties) {
    for (unsigned e = 0; e < kNumExc; ++e) enabled[e] = e < 16;
  }

  int raw_prio(unsigned e) const {
    if (e == kNmi) return -2;
    if (e == kHardFault) return -1;
    if (e < 16) return e >= 4 ? (shpr[e - 4] & 0xF0) : 0;
    return ipr[e - 16] & 0xF0;
  }
  int group(int p) const {
    if (p < 0) return p;
    int mask = (0xFF << (prigroup + 1)) & 0xFF;
    return p & mask;
  }
  bool exc_enabled(unsigned e) const;
  void pend(unsigned e) {
    pending[e] = true;
    irq_check = true;
  }
  // Highest-priority pending exception, -1 if none.
  int best_pending() const;
  int active_prio() const;
  // Execution priority: active exceptions, BASEPRI, PRIMASK, FAULTMASK.
  int exec_prio(const Cpu& cpu) const;
  // Pending exception that may be taken now, -1 if none.
  int takeable(const Cpu& cpu);
  // A peripheral's request line; a rising line pends its IRQ.
  void set_line(unsigned irq, bool high) {
    bool was = line[irq];
    line[irq] = high;
    if (high && !was) pend(16 + irq);
  }
  // Bits 32k..32k+31 of the IRQs in arr (ISER/ISPR/IABR layout).
  static uint32_t word_bits(const bool* arr, unsigned k);

  // NVIC registers (ISER..IPR, STIR) and SHPR; false for another address.
  bool read(uint32_t addr, uint32_t& v) const;
  bool write_priority(uint32_t addr, uint32_t v, unsigned size);  // IPR, SHPR: byte access
  bool write(uint32_t addr, uint32_t v);                          // word registers
  static bool is_priority(uint32_t addr) {
    return (addr >= 0xE000E400 && addr < 0xE000E480) || (addr >= 0xE000ED18 && addr < 0xE000ED24);
  }
  uint32_t ipr_word(unsigned k) const { return bytes_word(ipr.data(), k); }
  uint32_t shpr_word(unsigned k) const { return bytes_word(shpr.data(), k); }

  std::array<bool, kNumExc> pending{}, active{}, enabled{};
  std::array<bool, kNumIrq> line{};
  std::array<uint8_t, kNumIrq> ipr{};
  std::array<uint8_t, 12> shpr{};  // exceptions 4..15
  std::vector<unsigned> active_stack;
  unsigned prigroup = 0;
  uint32_t shcsr_enables = 0;  // SHCSR MEMFAULTENA, BUSFAULTENA, USGFAULTENA
  bool irq_check = false;      // something is pending: look at each block start

 private:
  static uint32_t bytes_word(const uint8_t* b, unsigned k) {
    return uint32_t{b[4 * k]} | uint32_t{b[4 * k + 1]} << 8 | uint32_t{b[4 * k + 2]} << 16 |
           uint32_t{b[4 * k + 3]} << 24;
  }
  static void set_bits(bool* arr, unsigned k, uint32_t v, bool value);
  void repend_lines();
  bool reversed_ties_;
};

}  // namespace vboard::core
