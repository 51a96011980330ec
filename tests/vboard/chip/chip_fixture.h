// The chip models' test bench: a fake bus that plays the machine (it advances
// every device before each register access, honours clock gating and keeps
// guest SRAM for DMA) and registers addressed by name through the chip
// description. Each peripheral's test file includes it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/fake_board.h"
#include "world/described_board.h"

namespace vboard::chip_test {

// The rear lamp's board (the strip on PA7) around the chip models.
struct LampBoard : world::DescribedBoard {
  explicit LampBoard(Bus& b) : DescribedBoard(b, *builtin_board("rear_lamp")) {}
};

class FakeBus : public Bus {
 public:
  ns_t now() const override { return t; }
  void set_irq_line(unsigned irq, bool high) override {
    lines.at(irq) = high;
    if (high) ++raised.at(irq);
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

  static constexpr uint32_t kSram = 0x20000000;
  ns_t t = 0;
  bool never_lock = false;
  std::vector<uint8_t> sram = std::vector<uint8_t>(32 * 1024);
  std::array<bool, 102> lines{};
  std::array<unsigned, 102> raised{};
  std::vector<std::pair<uint32_t, bool>> unmodelled_log;
  std::vector<std::string> faults;
};

// Address of "PERIPH.REG" (or "PERIPH": its base): the chip description's
// base plus the model's register offset.
inline uint32_t reg(std::string_view name) {
  static const std::map<std::string, uint32_t, std::less<>> addresses = [] {
    test::NullBus bus;
    periph::Stm32g431 chip(bus);
    std::map<std::string, uint32_t, std::less<>> m;
    for (const periph::RegBlock* b : chip.mmio()) {
      m.emplace(b->name(), b->base());
      for (const periph::RegDef& r : b->defs()) m.emplace(b->name() + "." + r.name, b->base() + r.offset);
    }
    return m;
  }();
  auto it = addresses.find(name);
  if (it == addresses.end()) {
    ADD_FAILURE() << "no register " << name;
    return 0;
  }
  return it->second;
}

class Models : public ::testing::Test {
 protected:
  Models() : board(bus), devs(board.devices()) {}

  Device* find(uint32_t addr) {
    for (Device* d : devs)
      if (d->size() && addr >= d->base() && addr - d->base() < d->size()) return d;
    return nullptr;
  }
  void run_to(ns_t t) {
    bus.t = t;
    for (Device* d : devs) d->advance(t);
  }
  // Advances like the machine: step from one device event to the next.
  void run_events_to(ns_t t) {
    for (;;) {
      ns_t next = kNever;
      for (Device* d : devs) next = std::min(next, d->next_event());
      if (next > t) break;
      run_to(next);
    }
    run_to(t);
  }
  uint32_t rd(uint32_t addr, unsigned size = 4) {
    Device* d = find(addr);
    EXPECT_NE(d, nullptr) << std::hex << addr;
    run_to(bus.t);
    return d->clocked() ? d->read(addr - d->base(), size) : 0;
  }
  void wr(uint32_t addr, uint32_t v, unsigned size = 4) {
    Device* d = find(addr);
    ASSERT_NE(d, nullptr) << std::hex << addr;
    run_to(bus.t);
    if (d->clocked()) d->write(addr - d->base(), v, size);
  }
  void set_bits(uint32_t addr, uint32_t bits) { wr(addr, rd(addr) | bits); }

  // The front/rear clock set-up: HSI16 / 4 * 75 / 2 = 150 MHz, done by the rules.
  void clock_150mhz() {
    set_bits(reg("RCC.APB1ENR1"), 1u << 28);                            // PWREN
    set_bits(reg("RCC.APB2ENR"), 1u << 0);                              // SYSCFGEN
    wr(reg("PWR.CR1"), (rd(reg("PWR.CR1")) & ~(3u << 9)) | (1u << 9));  // VOS range 1
    wr(reg("RCC.PLLCFGR"), 2u | (3u << 4) | (75u << 8) | (1u << 24));   // HSI, M /4, N 75, R /2, REN
    set_bits(reg("RCC.CR"), 1u << 24);                                  // PLLON
    bus.t += 200'000;
    ASSERT_TRUE(rd(reg("RCC.CR")) & (1u << 25));
    wr(reg("FLASH.ACR"), (rd(reg("FLASH.ACR")) & ~0xFu) | 4u);
    wr(reg("RCC.CFGR"), (rd(reg("RCC.CFGR")) & ~0xF3u) | 0x80u | 3u);  // AHB /2, SW = PLL
    bus.t += 2'000;
    wr(reg("RCC.CFGR"), rd(reg("RCC.CFGR")) & ~0xF0u);  // AHB /1
  }

  FakeBus bus;
  LampBoard board;
  std::vector<Device*> devs;
};

}  // namespace vboard::chip_test
