// Shared helpers of the tests that run the real firmware images on the virtual
// board: loading the images, running a scenario, reading pin histories and
// the MMIO write log.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "chip/stm32g431_desc.h"
#include "support/chip_names.h"
#include "world/board.h"
#include "vboard/machine.h"

namespace vboard::test {

// The lamp images' file names in the images' folder.
inline constexpr const char* kFront = "front_lamp.elf";
inline constexpr const char* kRear = "rear_lamp.elf";

// The images' folder: FIRMWARE_DIR, or VBOARD_FIRMWARE_DIR when set (the
// mutation tool runs these tests on the images of its mutated copy).
inline std::string firmware_dir() {
  const char* v = std::getenv("VBOARD_FIRMWARE_DIR");
  return v && *v ? v : FIRMWARE_DIR;
}

inline const Image* firmware(const std::string& name) {
  static std::map<std::string, std::optional<Image>> cache;
  auto it = cache.find(name);
  if (it == cache.end()) {
    std::string err;
    it = cache.emplace(name, Image::load(firmware_dir() + "/" + name, periph::desc::kFacts, &err)).first;
  }
  return it->second ? &*it->second : nullptr;
}

inline bool allow_missing_images() {
  const char* v = std::getenv("VBOARD_ALLOW_MISSING");
  return v && std::string(v) == "1";
}

// Loads an image into `var` or ends the test: skipped only when images may be
// missing (VBOARD_ALLOW_MISSING=1), failed otherwise.
#define VBOARD_IMAGE(var, name)                                                       \
  const ::vboard::Image* var = ::vboard::test::firmware(name);                        \
  if (!var) {                                                                         \
    if (::vboard::test::allow_missing_images()) GTEST_SKIP() << name << " not built"; \
    FAIL() << ::vboard::test::firmware_dir() << "/" << name                           \
           << " missing (build the firmware preset first, or set "                    \
           << "VBOARD_ALLOW_MISSING=1 to skip)";                                      \
  }

struct FwRun {
  std::unique_ptr<Machine> m;
  RunResult r;
};

inline FwRun run_fw(const Image& img, MachineOptions o) {
  FwRun f;
  f.m = std::make_unique<Machine>(img, std::move(o), board_factory(default_board(img)));
  f.r = f.m->run();
  return f;
}

// The run broke none of the rules the chip enforces (flash wait states, the AHB
// step, locked fields, ...): the models reported no finding.
inline void expect_no_diagnostics(const RunResult& r) {
  for (const Diagnostic& d : r.diagnostics)
    ADD_FAILURE() << d.kind << ": " << d.where << ": " << d.message << " (first at " << d.first << " ns, "
                  << d.count << " times)";
}

// Level of a pin at time t from its history; -1 before its first entry.
inline int level_at(const RunResult& r, const std::string& pin, ns_t t) {
  auto it = r.pins.find(pin);
  if (it == r.pins.end()) return -1;
  int level = -1;
  for (const PinChange& c : it->second) {
    if (c.t > t) break;
    level = c.level;
  }
  return level;
}

// Times at which the pin changed to `level` (only real changes).
inline std::vector<ns_t> edges_to(const RunResult& r, const std::string& pin, int level) {
  std::vector<ns_t> out;
  auto it = r.pins.find(pin);
  if (it == r.pins.end()) return out;
  int prev = -1;
  for (const PinChange& c : it->second) {
    if (c.level == level && prev != level) out.push_back(c.t);
    prev = c.level;
  }
  return out;
}

// Profile list for edge_stamps().
inline std::vector<std::string> edge_stamp_profile() { return {"micros", "HAL_TIM_PeriodElapsedCallback"}; }

// The micros() results stamped by the pin interrupt, in order: every return in
// a handler except TIM7's period callback's own look at the time (the last
// micros() return before that callback returns). The run must have profiled
// edge_stamp_profile().
inline std::vector<uint64_t> edge_stamps(const RunResult& r) {
  std::vector<uint64_t> stamps;
  const FunctionStat& mic = r.functions.at(0);
  const std::vector<ns_t>& callback_returns = r.functions.at(1).return_ns;
  size_t next_callback = 0;
  for (size_t i = 0; i < mic.returns.size(); ++i) {
    while (next_callback < callback_returns.size() && callback_returns[next_callback] < mic.return_ns[i])
      ++next_callback;
    const bool in_callback =
        next_callback < callback_returns.size() &&
        (i + 1 == mic.returns.size() || mic.return_ns[i + 1] > callback_returns[next_callback]);
    if (mic.in_handler[i] && !in_callback) stamps.push_back(mic.returns[i]);
  }
  return stamps;
}

inline uint32_t field(uint32_t v, unsigned pos, unsigned width) { return (v >> pos) & ((1u << width) - 1); }

inline uint32_t reg(const RunResult& r, const std::string& per, const std::string& name) {
  auto p = r.registers.find(per);
  if (p == r.registers.end()) {
    ADD_FAILURE() << "no peripheral " << per << " in the dump";
    return 0xDEADBEEF;
  }
  auto q = p->second.find(name);
  if (q == p->second.end()) {
    ADD_FAILURE() << "no register " << per << "." << name << " in the dump";
    return 0xDEADBEEF;
  }
  return q->second;
}

// Index in the MMIO write log of the first write matching pred, or npos.
template <class Pred>
size_t first_write(const Machine& m, Pred pred) {
  const auto& w = m.mmio_writes();
  for (size_t i = 0; i < w.size(); ++i)
    if (pred(w[i])) return i;
  return std::string::npos;
}

inline bool is_timer_addr(uint32_t a) {
  for (const char* t : {"TIM1", "TIM2", "TIM4", "TIM7", "TIM8", "TIM17"})
    if (in_block(t, a)) return true;
  return false;
}

// Start-up order: the system clock is switched to the PLL before any GPIO mode
// is written, and GPIO modes are written before any timer register.
inline void expect_clocks_then_pins_then_timers(const Machine& m) {
  size_t sw = first_write(m, [](const MmioWrite& w) {
    return w.addr == reg("RCC", rcc::CFGR) && rcc::cfgr::SW.get(w.value) == rcc::cfgr::sw::PLL;
  });
  size_t moder = first_write(m, [](const MmioWrite& w) {
    return w.addr == reg("GPIOA", gpio::MODER) || w.addr == reg("GPIOB", gpio::MODER);
  });
  size_t tim = first_write(m, [](const MmioWrite& w) { return is_timer_addr(w.addr); });
  ASSERT_NE(sw, std::string::npos) << "SYSCLK never switched to the PLL";
  ASSERT_NE(moder, std::string::npos) << "no GPIO mode written";
  ASSERT_NE(tim, std::string::npos) << "no timer register written";
  EXPECT_LT(sw, moder);
  EXPECT_LT(moder, tim);
  const auto& w = m.mmio_writes();
  EXPECT_LE(w[sw].t, w[moder].t);
  EXPECT_LE(w[moder].t, w[tim].t);
}

inline void expect_clock_tree(const RunResult& r) {
  uint32_t pll = reg(r, "RCC", "PLLCFGR");
  EXPECT_EQ(field(pll, 8, 7), 75u) << "PLLN";
  EXPECT_EQ(field(pll, 4, 4), 3u) << "PLLM field (divide by 4)";
  EXPECT_EQ(field(pll, 25, 2), 0u) << "PLLR field (divide by 2)";
  EXPECT_EQ(field(pll, 21, 2), 0u) << "PLLQ field (divide by 2)";
  EXPECT_EQ(field(pll, 27, 5), 2u) << "PLLPDIV (divide by 2)";
  EXPECT_EQ(field(pll, 24, 1), 1u) << "PLLREN";
  EXPECT_EQ(field(pll, 0, 2), 2u) << "PLLSRC = HSI16";
  uint32_t cfgr = reg(r, "RCC", "CFGR");
  EXPECT_EQ(field(cfgr, 0, 2), 3u) << "SW = PLL";
  EXPECT_EQ(field(cfgr, 2, 2), 3u) << "SWS = PLL";
  EXPECT_EQ(field(cfgr, 4, 4), 0u) << "AHB /1";
  EXPECT_EQ(field(reg(r, "FLASH", "ACR"), 0, 4), 4u) << "LATENCY";
  EXPECT_EQ(field(reg(r, "PWR", "CR1"), 9, 2), 1u) << "VOS range 1";
  EXPECT_EQ(field(reg(r, "SCB", "AIRCR"), 8, 3), 3u) << "PRIGROUP: 4 bits of pre-emption";
  EXPECT_EQ(reg(r, "SCB", "CPACR"), 0x00F00000u) << "FPU access";
  EXPECT_EQ(reg(r, "SysTick", "LOAD"), 149999u) << "1 kHz at 150 MHz";
  EXPECT_EQ(reg(r, "SysTick", "CTRL") & 7, 7u);
}

inline bool irq_enabled(const RunResult& r, unsigned irq) {
  return (reg(r, "NVIC", "ISER" + std::to_string(irq / 32)) >> (irq % 32)) & 1;
}
inline uint32_t irq_priority(const RunResult& r, unsigned irq) {
  return field(reg(r, "NVIC", "IPR" + std::to_string(irq / 4)), 8 * (irq % 4), 8);
}

}  // namespace vboard::test
