// The chip's names the command line checks against (see vboard/chip.h).
#include <algorithm>

#include "chip/stm32g431_desc.h"
#include "chip/chip.h"

namespace vboard::chip {

const std::vector<std::string>& package_pins() {
  static const std::vector<std::string> pins = [] {
    std::vector<std::string> v;
    for (const periph::desc::Port& port : periph::desc::ports())
      for (unsigned n = 0; n < 16; ++n)
        if ((port.bonded >> n) & 1u) v.push_back(std::string("P") + port.letter + std::to_string(n));
    return v;
  }();
  return pins;
}

bool package_has_pin(std::string_view pin) {
  const auto& pins = package_pins();
  return std::find(pins.begin(), pins.end(), pin) != pins.end();
}

const ChipFacts& facts() { return periph::desc::kFacts; }

std::string_view irq_name(unsigned irq) {
  const char* name = periph::desc::irq_name(irq);
  return name ? name : "";
}

const std::vector<Named>& faults() {
  static const std::vector<Named> list = {
      {std::string(kPllNeverLocks), "the PLL never reports lock (PLLRDY stays 0)"},
      {std::string(kSysclkSwitchStuck), "a switch of SYSCLK to the PLL never completes (CFGR.SWS stays)"},
  };
  return list;
}

const std::vector<Named>& diagnostic_kinds() {
  using namespace diag;
  static const std::vector<Named> list = {
      {std::string(kFlashLatency), "flash wait states (FLASH_ACR.LATENCY) too low for HCLK"},
      {std::string(kAhbStep), "HCLK raised above 80 MHz without 1 us at AHB /2 first"},
      {std::string(kVoltageRange), "core voltage range (PWR VOS, boost) too low for SYSCLK"},
      {std::string(kClockLimit), "SYSCLK above the chip's 170 MHz"},
      {std::string(kMisconfigured),
       "a setting the chip cannot carry out (PLL out of range, no HSE, CNDTR = 0)"},
      {std::string(kReservedValue), "a reserved value written to a field"},
      {std::string(kLockedField),
       "a field written while the chip ignores writes to it (channel or unit enabled)"},
      {std::string(kNotModelled), "a mode the models do not implement was selected"},
      {std::string(kClockOff),
       "a peripheral written while its RCC clock enable bit is clear (the write is lost)"},
      {std::string(kPinContention), "a pin driven from outside against its push-pull output"},
      {std::string(kPllLockSuppressed), "the PLL lock was suppressed by --fault pll_never_locks"},
      {std::string(kClockSwitchSuppressed),
       "the switch to the PLL was suppressed by --fault sysclk_switch_stuck"},
  };
  return list;
}

bool has_name(const std::vector<Named>& list, std::string_view name) {
  return std::any_of(list.begin(), list.end(), [&](const Named& n) { return n.name == name; });
}

}  // namespace vboard::chip
