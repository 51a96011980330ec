#include "core/systick.h"

#include "core/armv7m_regs.h"
#include "vboard/state.h"

namespace vboard::core {

SysTick::SysTick(VirtualClock& clock, Nvic& nvic)
    : clock_(clock),
      nvic_(nvic),
      table_(scs::kBase, {
                             // COUNTFLAG clears when read.
                             {"CTRL", systick::CTRL, 0,
                              systick::ctrl::ENABLE | systick::ctrl::TICKINT | systick::ctrl::CLKSOURCE,
                              systick::ctrl::COUNTFLAG.mask()},
                             {"LOAD", systick::LOAD, 0, systick::load::RELOAD.mask()},
                             {"VAL", systick::VAL, 0, systick::val::CURRENT.mask()},
                             {"CALIB", systick::CALIB, 0, 0,
                              systick::calib::NOREF | systick::calib::SKEW | systick::calib::TENMS},
                         }) {}

uint32_t SysTick::value(ns_t t) const {
  if (!systick::ctrl::ENABLE.test(ctrl_)) return v0_;
  uint64_t e = ticks(t);
  if (v0_ > 0 && e <= v0_) return static_cast<uint32_t>(v0_ - e);
  uint64_t e2 = v0_ > 0 ? e - v0_ : e;
  if (e2 == 0 || load_ == 0) return 0;
  return static_cast<uint32_t>(load_ - (e2 - 1) % (uint64_t{load_} + 1));
}

// Tick index of the first zero crossing after tick e; ~0 if none.
uint64_t SysTick::zero_tick_after(uint64_t e) const {
  uint64_t period = uint64_t{load_} + 1;
  uint64_t z0 = v0_ > 0 ? v0_ : period;
  if (v0_ == 0 && load_ == 0) return ~0ull;
  if (e < z0) return z0;
  if (load_ == 0) return ~0ull;
  uint64_t k = (e - z0) / period + 1;
  return z0 + k * period;
}

uint64_t SysTick::zeros_between(uint64_t e1, uint64_t e2) const {  // in (e1, e2]
  uint64_t period = uint64_t{load_} + 1;
  uint64_t z0 = v0_ > 0 ? v0_ : period;
  if (v0_ == 0 && load_ == 0) return 0;
  auto upto = [&](uint64_t e) -> uint64_t {  // zeros at ticks <= e
    if (e < z0) return 0;
    if (load_ == 0) return 1;
    return (e - z0) / period + 1;
  };
  return upto(e2) - upto(e1);
}

void SysTick::process(ns_t t) {
  if (!systick::ctrl::ENABLE.test(ctrl_) || t <= last_) {
    if (t > last_) last_ = t;
    return;
  }
  uint64_t n = zeros_between(ticks(last_), ticks(t));
  last_ = t;
  if (n > 0) {
    countflag_ = true;
    if (systick::ctrl::TICKINT.test(ctrl_)) nvic_.pend(kSysTick);
  }
}

void SysTick::rebase(ns_t t) {
  process(t);
  v0_ = value(t);
  t0_ = t;
  last_ = t;
}

ns_t SysTick::next_event(ns_t t) const {
  if (!systick::ctrl::ENABLE.test(ctrl_) || !systick::ctrl::TICKINT.test(ctrl_)) return kNever;
  uint64_t z = zero_tick_after(ticks(t));
  if (z == ~0ull) return kNever;
  return t0_ + mul_div_ceil(z, 1000000000, rate());
}

bool SysTick::read(uint32_t addr, ns_t t, uint32_t& v) {
  switch (table_.index(addr)) {
    case kCTRL:
      process(t);
      v = ctrl_peek();
      countflag_ = false;  // COUNTFLAG clears when read
      return true;
    case kLOAD:
      v = load_;
      return true;
    case kVAL:
      process(t);
      v = value(t);
      return true;
    case kCALIB:
      v = calib();
      return true;
    default:
      return false;
  }
}

bool SysTick::write(uint32_t addr, uint32_t v, ns_t t) {
  const int i = table_.index(addr);
  switch (i) {
    case kCTRL:
      rebase(t);
      if (!systick::ctrl::ENABLE.test(ctrl_) && systick::ctrl::ENABLE.test(v)) t0_ = last_ = t;
      ctrl_ = written(table_[i], ctrl_, v, ~0u);
      clock_.events_dirty = true;
      return true;
    case kLOAD:
      rebase(t);
      load_ = written(table_[i], load_, v, ~0u);
      clock_.events_dirty = true;
      return true;
    case kVAL:  // any write clears the counter and COUNTFLAG
      rebase(t);
      v0_ = 0;
      countflag_ = false;
      clock_.events_dirty = true;
      return true;
    case kCALIB:
      return true;
    default:
      return false;
  }
}

}  // namespace vboard::core

// ------------------------------------------------------------------ state

namespace vboard::core {

void SysTick::state(StateVisitor& v) {
  v("ctrl", ctrl_);
  v("load", load_);
  v("v0", v0_);
  v("t0", t0_);
  v("last", last_);
  v("countflag", countflag_);
}

}  // namespace vboard::core
