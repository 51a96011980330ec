// A minimal board for testing the machine core on its own: one test device
// through which the self-test image picks its scenario, logs results, raises
// interrupt lines and changes the core clock; and interrupts scheduled by the
// test at fixed virtual times.
#pragma once

#include <array>
#include <cstring>
#include <string>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "chip/stm32g431_desc.h"
#include "vboard/device.h"
#include "vboard/state.h"

namespace vboard::test {

// The self-test image (fixtures/selftest.ld) is linked for the STM32G431's
// memory map, so the fake board is that chip as far as the core can tell.
inline constexpr const ChipFacts& kChip = periph::desc::kFacts;

class FakeClocks final : public ClockTree {
 public:
  uint64_t hz = kChip.hsi_hz;
  uint64_t sysclk_hz() const override { return hz; }
  uint64_t hclk_hz() const override { return hz; }
  uint64_t pclk1_hz() const override { return hz; }
  uint64_t pclk2_hz() const override { return hz; }
  uint64_t timer_clock_hz(const std::string&) const override { return hz; }
};

struct LogEntry {
  ns_t t;
  uint32_t value;
};

class TestDevice final : public Device {
 public:
  TestDevice(Bus& bus, FakeClocks& clocks) : bus_(bus), clocks_(clocks) {}
  std::string name() const override { return "TESTDEV"; }
  bool clocked() const override { return !gated; }
  bool gated = false;  // as a peripheral whose RCC enable bit is clear
  uint32_t base() const override { return 0x40000000; }
  uint32_t size() const override { return 0x400; }
  uint32_t read(uint32_t off, unsigned size) override {
    switch (off) {
      case 0x00:
        return scenario;
      case 0x14:
        return static_cast<uint32_t>(bus_.now() / 1000);
      default:
        bus_.unmodelled(base() + off, false, size, 0);
        return 0;
    }
  }
  void write(uint32_t off, uint32_t v, unsigned size) override {
    switch (off) {
      case 0x04:
        log.push_back({bus_.now(), v});
        break;
      case 0x08:
        bus_.set_irq_line(v, true);
        break;
      case 0x0C:
        bus_.set_irq_line(v, false);
        break;
      case 0x10:
        clocks_.hz = uint64_t{v} * 1000000;
        break;
      default:
        bus_.unmodelled(base() + off, true, size, v);
        break;
    }
  }
  void advance(ns_t now) override {
    while (next_ < schedule.size() && schedule[next_].first <= now) {
      bus_.set_irq_line(schedule[next_].second, true);
      ++next_;
    }
  }
  ns_t next_event() const override { return next_ < schedule.size() ? schedule[next_].first : kNever; }
  void state(StateVisitor& v) override {
    v("scenario", scenario);
    v("gated", gated);
    v.items("log", log, [](StateVisitor& s, LogEntry& e) {
      s("t", e.t);
      s("value", e.value);
    });
    v("schedule", schedule);
    v("next", next_);
  }

  uint32_t scenario = 0;
  std::vector<LogEntry> log;
  std::vector<std::pair<ns_t, unsigned>> schedule;  // (time, IRQ line raised), sorted

 private:
  Bus& bus_;
  FakeClocks& clocks_;
  size_t next_ = 0;
};

// The bus the tests give models that run outside any machine: it keeps the
// time the test sets, the NVIC lines (and how often each was raised), guest
// SRAM for DMA, and what the models report.
class FakeBus : public Bus {
 public:
  ns_t now() const override { return t; }
  void set_irq_line(unsigned irq, bool high) override {
    if (irq >= lines.size()) return;
    lines[irq] = high;
    if (high) ++raised[irq];
  }
  bool read_mem(uint32_t addr, void* dst, size_t n) override {
    if (addr < kSram || addr + n > kSram + sram.size()) return false;
    std::memcpy(dst, sram.data() + (addr - kSram), n);
    return true;
  }
  bool write_mem(uint32_t addr, const void* src, size_t n) override {
    if (addr < kSram || addr + n > kSram + sram.size()) return false;
    std::memcpy(sram.data() + (addr - kSram), src, n);
    return true;
  }
  void unmodelled(uint32_t addr, bool is_write, unsigned, uint32_t) override {
    unmodelled_log.push_back({addr, is_write});
  }
  void fault(const std::string& what) override { faults.push_back(what); }
  bool option(const std::string& name) const override { return name == "pll_never_locks" && never_lock; }

  static constexpr uint32_t kSram = kChip.sram.base;
  ns_t t = 0;
  bool never_lock = false;
  std::vector<uint8_t> sram = std::vector<uint8_t>(kChip.sram.size);
  std::array<bool, kChip.irq_count> lines{};
  std::array<unsigned, kChip.irq_count> raised{};
  std::vector<std::pair<uint32_t, bool>> unmodelled_log;
  std::vector<std::string> faults;
};

// A bus for models that are only built and read at t = 0.
using NullBus = FakeBus;

class FakeBoard final : public Board {
 public:
  explicit FakeBoard(Bus& bus) : dev(bus, clock_tree) {}
  std::vector<Device*> devices() override { return {&dev}; }
  const ChipFacts& chip_facts() const override { return kChip; }
  ClockTree& clocks() override { return clock_tree; }
  void add_pulse(const PulseSpec&) override {}
  void add_level(const LevelSpec&) override {}
  std::map<std::string, std::vector<PinChange>> pin_history() const override { return {}; }
  std::vector<std::string> pin_names() const override { return pins; }
  int pin_level(unsigned pin) const override { return pin < levels.size() ? levels[pin] : 0; }
  std::map<std::string, std::map<std::string, uint32_t>> register_dump() const override { return {}; }
  // The clock rate the test device sets, and the pin levels a test sets.
  void state(StateVisitor& v) override {
    v("hz", clock_tree.hz);
    v("levels", levels);
  }

  FakeClocks clock_tree;
  TestDevice dev;
  std::vector<std::string> pins;  // names a trace can choose from (none by default)
  std::vector<int> levels;
};

}  // namespace vboard::test
