// The NVIC and the exception priorities: enable, pending and active state of
// every exception, interrupt request lines from the peripherals, IPR and SHPR
// priorities with priority grouping, and which pending exception may be taken.
// Its registers are declared by access kind like the chip's (core/registers.h).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/armv7m_regs.h"
#include "core/clock.h"
#include "core/cpu.h"
#include "core/layout.h"
#include "core/registers.h"

namespace vboard::core {

class Nvic {
 public:
  // reversed_ties: equal priorities taken highest number first (a deliberately
  // broken variant the tests must catch).
  explicit Nvic(bool reversed_ties);

  int raw_prio(unsigned e) const {
    if (e == kNmi) return -2;
    if (e == kHardFault) return -1;
    constexpr uint32_t kPrio = nvic::kImplementedPriority.mask();
    if (e < 16) return e >= 4 ? static_cast<int>(shpr_[e - 4] & kPrio) : 0;
    return static_cast<int>(ipr_[e - 16] & kPrio);
  }
  int group(int p) const {
    if (p < 0) return p;
    int mask = (0xFF << (prigroup_ + 1)) & 0xFF;
    return p & mask;
  }
  bool exc_enabled(unsigned e) const;
  void pend(unsigned e) {
    if (!pending_[e]) pended_at_[e] = clock_ ? clock_->now() : 0;
    pending_[e] = true;
    irq_check_ = true;
  }
  // The clock that stamps each pend (when an exception became pending, for
  // the time it waited); without one the stamps stay 0.
  void stamp_pends(const VirtualClock* clock) { clock_ = clock; }
  ns_t pended_at(unsigned e) const { return pended_at_[e]; }
  void clear_pending(unsigned e) { pending_[e] = false; }
  void enable(unsigned e) { enabled_[e] = true; }
  bool is_pending(unsigned e) const { return pending_[e]; }
  bool is_active(unsigned e) const { return active_[e]; }
  bool any_irq_pending() const;
  // Highest-priority pending exception, -1 if none.
  int best_pending() const;
  int active_prio() const;
  // Execution priority: active exceptions, BASEPRI, PRIMASK, FAULTMASK.
  int exec_prio(const Cpu& cpu) const;
  // Pending exception that may be taken now, -1 if none.
  int takeable(const Cpu& cpu);
  // Something may have become takeable: look at the next block start.
  void recheck() { irq_check_ = true; }
  bool check_due() const { return irq_check_; }

  // Exception entry and return: the active stack.
  void enter(unsigned e);
  // Leaves the innermost active exception (pending it again while its line is high).
  unsigned leave();
  size_t depth() const { return active_stack_.size(); }
  unsigned current() const { return active_stack_.empty() ? 0 : active_stack_.back(); }
  size_t active_count() const;

  // A peripheral's request line; a rising line pends its IRQ.
  void set_line(unsigned irq, bool high) {
    bool was = line_[irq];
    line_[irq] = high;
    if (high && !was) pend(16 + irq);
  }
  unsigned prigroup() const { return prigroup_; }
  void set_prigroup(unsigned g) { prigroup_ = g & 7; }
  // SHCSR MEMFAULTENA, BUSFAULTENA, USGFAULTENA.
  uint32_t fault_enables() const { return fault_enables_; }
  void set_fault_enables(uint32_t v) { fault_enables_ = v; }

  // NVIC registers (ICTR, ISER..IABR, IPR, STIR) and SHPR; false for another address.
  bool read(uint32_t addr, uint32_t& v) const;
  bool write_priority(uint32_t addr, uint32_t v, unsigned size);  // IPR, SHPR: byte access
  bool write(uint32_t addr, uint32_t v);                          // word registers
  // The priority words: a byte for each of the kNumIrq lines.
  static constexpr unsigned kIprWords = kNumIrq / 4;
  static bool is_priority(uint32_t addr) {
    const uint32_t off = addr - scs::kBase;  // wraps to far above for addresses below the SCS
    return (off >= nvic::IPR0 && off < nvic::IPRx(kIprWords)) || (off >= scb::SHPR1 && off < scb::SHPR3 + 4);
  }
  const RegTable& table() const { return table_; }
  // Bits 32k..32k+31 of the IRQs in arr (ISER/ISPR/IABR layout).
  static uint32_t word_bits(const bool* arr, unsigned k);
  // Words 32k..32k+31 of the IRQs' enable, pending and active state (ISER, ISPR, IABR).
  uint32_t enabled_word(unsigned k) const { return word_bits(enabled_.data(), k); }
  uint32_t pending_word(unsigned k) const { return word_bits(pending_.data(), k); }
  uint32_t active_word(unsigned k) const { return word_bits(active_.data(), k); }
  uint32_t ipr_word(unsigned k) const { return bytes_word(ipr_.data(), k); }
  uint32_t shpr_word(unsigned k) const { return bytes_word(shpr_.data(), k); }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  // Register groups in table order: ICTR, then eight words each of ISER, ICER,
  // ISPR, ICPR, IABR, 32 IPR words, SHPR1..3, STIR.
  static constexpr int kICTR = 0, kISER = 1, kICER = 9, kISPR = 17, kICPR = 25, kIABR = 33, kIPR = 41,
                       kSHPR = 73, kSTIR = 76;
  static uint32_t bytes_word(const uint8_t* b, unsigned k) {
    return uint32_t{b[4 * k]} | uint32_t{b[4 * k + 1]} << 8 | uint32_t{b[4 * k + 2]} << 16 |
           uint32_t{b[4 * k + 3]} << 24;
  }
  static void set_bits(bool* arr, unsigned k, uint32_t v, bool value);
  void repend_lines();

  RegTable table_;
  std::array<bool, kNumExc> pending_{}, active_{}, enabled_{};
  std::array<bool, kNumIrq> line_{};
  std::array<uint8_t, kNumIrq> ipr_{};
  std::array<uint8_t, 12> shpr_{};  // exceptions 4..15
  std::vector<unsigned> active_stack_;
  unsigned prigroup_ = 0;
  uint32_t fault_enables_ = 0;
  bool irq_check_ = false;  // something is pending: look at each block start
  std::array<ns_t, kNumExc> pended_at_{};
  const VirtualClock* clock_ = nullptr;
  bool reversed_ties_;
};

}  // namespace vboard::core
