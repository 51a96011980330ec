// What the modelled chip, an STM32G431CB in its 48-pin package, offers by name:
// the pins that leave the package, the NVIC lines, the fault injections the
// models understand and the kinds of rule finding they report. The command
// line checks every name it is given against these lists before a run starts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "vboard/chip_facts.h"

namespace vboard::chip {

// The chip's memory map, NVIC line count (IRQ numbers 0 .. irq_count - 1) and
// reset clock, from its description.
const ChipFacts& facts();
// The name of NVIC line `irq` ("EXTI0", "TIM7"); "" when no modelled peripheral raises it.
std::string_view irq_name(unsigned irq);

// A name with the one line a user reads in --help and in error messages.
struct Named {
  std::string name;
  std::string what;
};

// "PA0".."PA15", "PB0".."PB15", "PC4", ..., "PG10": the I/O pins of the 48-pin package.
const std::vector<std::string>& package_pins();
bool package_has_pin(std::string_view pin);

// Fault injections (--fault NAME), read by the models through Bus::option.
const std::vector<Named>& faults();
inline constexpr std::string_view kPllNeverLocks = "pll_never_locks";
inline constexpr std::string_view kSysclkSwitchStuck = "sysclk_switch_stuck";

// Kinds of rule finding the models report (--allow KIND).
namespace diag {
inline constexpr std::string_view kFlashLatency = "flash_latency";
inline constexpr std::string_view kAhbStep = "ahb_step";
inline constexpr std::string_view kVoltageRange = "voltage_range";
inline constexpr std::string_view kClockLimit = "clock_limit";
inline constexpr std::string_view kMisconfigured = "misconfigured";
inline constexpr std::string_view kReservedValue = "reserved_value";
inline constexpr std::string_view kLockedField = "locked_field";
inline constexpr std::string_view kNotModelled = "not_modelled";
inline constexpr std::string_view kClockOff = "clock_off";
inline constexpr std::string_view kPinContention = "pin_contention";
inline constexpr std::string_view kPllLockSuppressed = "pll_lock_suppressed";
inline constexpr std::string_view kClockSwitchSuppressed = "clock_switch_suppressed";
}  // namespace diag
const std::vector<Named>& diagnostic_kinds();

// Whether `name` is listed; `list` is faults() or diagnostic_kinds().
bool has_name(const std::vector<Named>& list, std::string_view name);

}  // namespace vboard::chip
