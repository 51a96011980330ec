// SysTick, computed from virtual time: the counter value is derived from the
// time the counter was last (re)loaded, underflows between two looks are
// counted in closed form, and the next underflow is scheduled as an event.
#pragma once

#include <cstdint>

#include "core/clock.h"
#include "core/nvic.h"
#include "core/armv7m_regs.h"
#include "core/registers.h"

namespace vboard::core {

class SysTick {
 public:
  SysTick(VirtualClock& clock, Nvic& nvic);

  // Counts the underflows up to t (COUNTFLAG, and the exception with TICKINT).
  void process(ns_t t);
  // process(t), then restarts the closed form from the value at t.
  void rebase(ns_t t);
  uint32_t value(ns_t t) const;
  ns_t next_event(ns_t t) const;

  // SysTick registers (CTRL, LOAD, VAL, CALIB at 0xE000E010..0xE000E01C); false for another address.
  bool read(uint32_t addr, ns_t t, uint32_t& v);
  bool write(uint32_t addr, uint32_t v, ns_t t);
  uint32_t ctrl_peek() const { return ctrl_ | (countflag_ ? systick::ctrl::COUNTFLAG.mask() : 0); }
  uint32_t load() const { return load_; }
  const RegTable& table() const { return table_; }
  uint32_t calib() const {
    // SKEW: 10 ms is HCLK / 8 / 100 ticks only to the nearest tick.
    return systick::calib::SKEW.mask() |
           systick::calib::TENMS(static_cast<uint32_t>(clock_.hclk / 8 / 100 - 1));
  }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  uint64_t rate() const { return systick::ctrl::CLKSOURCE.test(ctrl_) ? clock_.hclk : clock_.hclk / 8; }
  uint64_t ticks(ns_t t) const { return t <= t0_ ? 0 : mul_div(t - t0_, rate(), 1000000000); }
  uint64_t zero_tick_after(uint64_t e) const;
  uint64_t zeros_between(uint64_t e1, uint64_t e2) const;

  enum Reg : int { kCTRL, kLOAD, kVAL, kCALIB };
  VirtualClock& clock_;
  Nvic& nvic_;
  RegTable table_;
  uint32_t ctrl_ = 0, load_ = 0, v0_ = 0;
  ns_t t0_ = 0, last_ = 0;
  bool countflag_ = false;
};

}  // namespace vboard::core
