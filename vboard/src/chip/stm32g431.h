// The STM32G431 as a die: every peripheral model, and the wiring between them
// that the chip fixes: RCC clock gates, NVIC lines, DMAMUX request ids, the
// alternate functions the models connect, the GPIO ports of the package. What
// is soldered around the chip belongs to a board (src/world).
#pragma once

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "chip/models.h"

namespace vboard::periph {

// First device the machine advances: every pin change reported before a new
// advance is no later than the changes that advance brings (the models work
// lazily, each up to the time it is advanced to), so the watcher may write out
// what it holds.
class PinSettle : public Device {
 public:
  explicit PinSettle(Context& ctx) : ctx_(ctx) {}
  std::string name() const override { return "PINS"; }
  void advance(ns_t now) override {
    (void)now;
    if (ctx_.watcher) ctx_.watcher->settled();
  }
  // Nothing of its own: it only passes the call on.
  void state(StateVisitor& v) override { (void)v; }

 private:
  Context& ctx_;
};

class Stm32g431 {
 public:
  explicit Stm32g431(Bus& bus);

  // The register blocks, in address-map order of construction.
  const std::vector<RegBlock*>& mmio() const { return mmio_; }
  ClockTree& clocks() { return *rcc_; }
  Context& context() { return ctx_; }

  // Fault injection: the PLL never locks (also the run option "pll_never_locks").
  void set_pll_never_locks(bool v) { rcc_->set_pll_never_locks(v); }
  // Rule violations the real chip would punish (clock rules, locked fields).
  const std::vector<Diagnostic>& diagnostics() const { return ctx_.findings.entries(); }

  // "PA0".."PG15": the port model and pin number; nullptr for another name.
  Gpio* pin(const std::string& name, unsigned* n) const;
  // Pin level history of every port, by pin name, and how many entries each
  // full history has (the kept ones are capped).
  std::map<std::string, std::vector<PinChange>> pin_history() const;
  std::map<std::string, uint64_t> pin_history_total() const;
  // Exact state of every pin in pin_history().
  std::map<std::string, PinState> pin_states() const;
  // The I/O pins of the 48-pin package, indexed port * 16 + pin ("" where a
  // port bit is not bonded out); the pad level of one of them now.
  std::vector<std::string> pin_names() const;
  int pin_level(unsigned pin) const;
  // Every later pad change goes to `w` (nullptr: none), in runs ordered by the
  // device below, which a board advances before all others.
  void watch_pins(PinWatcher* w) { ctx_.watcher = w; }
  PinWatcher* pin_watcher() const { return ctx_.watcher; }
  Device* pin_settle() { return settle_.get(); }
  // peripheral name -> register name -> final value.
  std::map<std::string, std::map<std::string, uint32_t>> register_dump() const;

  Rcc& rcc() { return *rcc_; }
  Gpio& gpio(unsigned port) { return *gpio_[port]; }
  Timer& timer(const std::string& name);
  Dma& dma1() { return *dma1_; }
  Exti& exti() { return *exti_; }

 private:
  Context ctx_;
  std::unique_ptr<Rcc> rcc_;
  std::unique_ptr<Pwr> pwr_;
  std::unique_ptr<Flash> flash_;
  std::unique_ptr<Syscfg> syscfg_;
  std::unique_ptr<Exti> exti_;
  std::array<std::unique_ptr<Gpio>, 7> gpio_;
  std::vector<std::unique_ptr<Timer>> timers_;
  std::unique_ptr<Dmamux> dmamux_;
  std::unique_ptr<Dma> dma1_;
  std::unique_ptr<Usart> usart3_;
  std::unique_ptr<PinSettle> settle_;
  std::vector<RegBlock*> mmio_;
};

}  // namespace vboard::periph
