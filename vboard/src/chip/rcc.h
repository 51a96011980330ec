// RCC (clock tree, PLL lock, clock switch), PWR (voltage scaling) and FLASH
// (wait states): the models that keep the clock rules.
#pragma once

#include "chip/regblock.h"

namespace vboard::periph {

class Pwr;
class Flash;

// Reset and clock control: oscillator ready bits, PLL lock, system clock switch,
// bus prescalers; also the board's clock tree.
class Rcc : public RegBlock, public ClockTree, public ClockGate {
 public:
  Rcc(Context& ctx, const desc::Peripheral& where);
  void attach(Pwr* pwr, Flash* flash) {
    pwr_ = pwr;
    flash_ = flash;
  }
  // Fault injection: the PLL never reports lock (the firmware ends in its error path).
  void set_pll_never_locks(bool v) { pll_never_locks_ = v; }
  // Fault injection: a switch of the system clock to the PLL never completes
  // (SWS stays on the old source; the firmware's wait for it times out).
  void set_sysclk_switch_stuck(bool v) { sysclk_switch_stuck_ = v; }
  static constexpr ns_t kPllLockNs = 150'000;
  bool enabled(uint32_t enr_offset, unsigned bit) const override;
  // Called with the time of every change of the clock tree (after it changed).
  void on_clock_change(std::function<void(ns_t)> f) { listeners_.push_back(std::move(f)); }
  // Re-check the clock rules (flash latency, voltage range) after PWR/FLASH writes.
  void check_rules(ns_t t);

  uint64_t sysclk_hz() const override { return sysclk_; }
  uint64_t hclk_hz() const override { return hclk_; }
  uint64_t pclk1_hz() const override { return pclk1_; }
  uint64_t pclk2_hz() const override { return pclk2_; }
  uint64_t timer_clock_hz(const std::string& timer) const override;
  FlashFetch flash_fetch() const override;
  uint64_t pll_r_hz() const;
  ns_t next_event() const override;
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v) override;

 protected:
  uint32_t on_read(unsigned idx) override;
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;
  uint32_t peek(unsigned idx) const override;
  void on_advance(ns_t now) override;

 private:
  bool pll_sane(std::string* why) const;
  bool pll_ready_at(ns_t t) const;
  bool source_ready(unsigned sw, ns_t t) const;
  void settle(ns_t t);  // apply PLL lock and a pending clock switch up to t
  void recompute(ns_t t);
  Pwr* pwr_ = nullptr;
  Flash* flash_ = nullptr;
  bool pll_never_locks_ = false;
  bool sysclk_switch_stuck_ = false;
  bool switch_suppressed_ = false;  // reported once
  bool pll_on_ = false;
  ns_t pll_lock_at_ = kNever;
  unsigned sws_ = 1;
  ns_t sw_write_t_ = 0;
  uint64_t sysclk_ = desc::kFacts.hsi_hz, hclk_ = sysclk_, pclk1_ = sysclk_, pclk2_ = sysclk_;
  unsigned ppre1_div_ = 1, ppre2_div_ = 1, hpre_div_ = 1;
  ns_t last_change_t_ = 0;
  std::vector<std::function<void(ns_t)>> listeners_;
};

class Pwr : public RegBlock {
 public:
  Pwr(Context& ctx, const desc::Peripheral& where);
  void attach(Rcc* rcc) { rcc_ = rcc; }
  unsigned vos() const { return pwr::cr1::VOS.get(val(pwr::CR1)); }
  bool boost() const;  // range 1 boost mode (R1MODE = 0)
  static constexpr ns_t kVosSettleNs = 20'000;
  // VOSF falling is visible to a polling CPU.
  ns_t next_event() const override { return vos_busy_until_ > now() ? vos_busy_until_ : kNever; }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v) override;

 protected:
  uint32_t peek(unsigned idx) const override;
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;

 private:
  Rcc* rcc_ = nullptr;
  ns_t vos_busy_until_ = 0;
};

class Flash : public RegBlock {
 public:
  Flash(Context& ctx, const desc::Peripheral& where);
  void attach(Rcc* rcc) { rcc_ = rcc; }
  unsigned latency() const { return flash::acr::LATENCY.get(val(flash::ACR)); }
  FlashFetch fetch() const {
    const uint32_t acr = val(flash::ACR);
    return {latency(), flash::acr::PRFTEN.test(acr), flash::acr::ICEN.test(acr)};
  }

 protected:
  void on_write(unsigned idx, uint32_t value, uint32_t lanes) override;

 private:
  Rcc* rcc_ = nullptr;
};

}  // namespace vboard::periph
