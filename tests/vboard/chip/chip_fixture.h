// The chip models' test bench: a fake bus that plays the machine (it advances
// every device before each register access, honours clock gating and keeps
// guest SRAM for DMA) and registers addressed by name through the chip
// description (support/chip_names.h). Each peripheral's test file includes it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/chip_names.h"
#include "support/fake_board.h"
#include "world/described_board.h"

namespace vboard::chip_test {

using test::FakeBus;
using namespace test;  // the chip's names: reg(), irq(), tim::, rcc::, ...

// The rear lamp's board (the strip on PA7) around the chip models.
struct LampBoard : world::DescribedBoard {
  explicit LampBoard(Bus& b) : DescribedBoard(b, *builtin_board("rear_lamp")) {}
};

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
    set_bits(reg("RCC", rcc::APB1ENR1), rcc::apb1enr1::PWREN.mask());
    set_bits(reg("RCC", rcc::APB2ENR), rcc::apb2enr::SYSCFGEN.mask());
    wr(reg("PWR", pwr::CR1), pwr::cr1::VOS.put(rd(reg("PWR", pwr::CR1)), pwr::cr1::vos::Range1));
    // HSI16 / 4 * 75 / 2
    wr(reg("RCC", rcc::PLLCFGR), rcc::pllcfgr::PLLSRC(rcc::pllcfgr::pllsrc::HSI16) |
                                     rcc::pllcfgr::PLLM(4 - 1) | rcc::pllcfgr::PLLN(75) |
                                     rcc::pllcfgr::PLLR(rcc::pllcfgr::pllr::Div2) |
                                     rcc::pllcfgr::PLLREN.mask());
    set_bits(reg("RCC", rcc::CR), rcc::cr::PLLON.mask());
    bus.t += 200'000;
    ASSERT_TRUE(rcc::cr::PLLRDY.test(rd(reg("RCC", rcc::CR))));
    wr(reg("FLASH", flash::ACR), flash::acr::LATENCY.put(rd(reg("FLASH", flash::ACR)), 4));
    uint32_t cfgr = rcc::cfgr::HPRE.put(rd(reg("RCC", rcc::CFGR)), rcc::cfgr::hpre::Div2);
    wr(reg("RCC", rcc::CFGR), rcc::cfgr::SW.put(cfgr, rcc::cfgr::sw::PLL));
    bus.t += 2'000;
    wr(reg("RCC", rcc::CFGR), rcc::cfgr::HPRE.put(rd(reg("RCC", rcc::CFGR)), 0));  // AHB /1
  }

  FakeBus bus;
  LampBoard board;
  std::vector<Device*> devs;
};

}  // namespace vboard::chip_test
