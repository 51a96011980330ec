// RCC, PWR and FLASH: reset state, PLL lock, the clock switch and its rules, clock gating.
#include "chip/chip_fixture.h"

namespace vboard::chip_test {
namespace {

using rcc::cfgr::SW;
using rcc::cfgr::SWS;
using rcc::cr::PLLON;
using rcc::cr::PLLRDY;

// PLLCFGR for HSI16 / M * N / 2 with the R output on.
constexpr uint32_t pll(unsigned m, unsigned n) {
  using namespace rcc::pllcfgr;
  return PLLSRC(pllsrc::HSI16) | PLLM(m - 1) | PLLN(n) | PLLR(pllr::Div2) | PLLREN.mask();
}

// ------------------------------------------------------------------ RCC

TEST_F(Models, RccResetRunsFromHsi16) {
  EXPECT_EQ(rd(reg("RCC", rcc::CR)), rcc::cr::HSION | rcc::cr::HSIRDY);
  EXPECT_EQ(SW.get(rd(reg("RCC", rcc::CFGR))), rcc::cfgr::sw::HSI16);
  EXPECT_EQ(SWS.get(rd(reg("RCC", rcc::CFGR))), rcc::cfgr::sws::HSI16);
  EXPECT_EQ(board.clocks().sysclk_hz(), 16'000'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM7"), 16'000'000u);
  EXPECT_EQ(rd(reg("RCC", rcc::AHB1ENR)), rcc::ahb1enr::FLASHEN.mask());
  EXPECT_EQ(rd(reg("RCC", rcc::APB1ENR1)), rcc::apb1enr1::RTCAPBEN.mask());
}

TEST_F(Models, RccPllLocksAfterDelayAndSwitchGives150MHz) {
  set_bits(reg("RCC", rcc::APB1ENR1), rcc::apb1enr1::PWREN.mask());
  wr(reg("PWR", pwr::CR1), pwr::cr1::VOS.put(rd(reg("PWR", pwr::CR1)), pwr::cr1::vos::Range1));
  wr(reg("RCC", rcc::PLLCFGR), pll(4, 75));
  bus.t = 1000;
  set_bits(reg("RCC", rcc::CR), PLLON.mask());
  bus.t = 1000 + periph::Rcc::kPllLockNs - 1;
  EXPECT_FALSE(PLLRDY.test(rd(reg("RCC", rcc::CR)))) << "PLLRDY before lock time";
  // Switching to an unlocked PLL leaves SWS on HSI until lock.
  wr(reg("RCC", rcc::CFGR), SW.put(rd(reg("RCC", rcc::CFGR)), rcc::cfgr::sw::PLL));
  EXPECT_EQ(SWS.get(rd(reg("RCC", rcc::CFGR))), rcc::cfgr::sws::HSI16);
  EXPECT_EQ(board.clocks().sysclk_hz(), 16'000'000u);
  EXPECT_EQ(board.chip().rcc().next_event(), 1000 + periph::Rcc::kPllLockNs);
  run_events_to(1000 + periph::Rcc::kPllLockNs);
  EXPECT_TRUE(PLLRDY.test(rd(reg("RCC", rcc::CR))));
  EXPECT_EQ(SWS.get(rd(reg("RCC", rcc::CFGR))), rcc::cfgr::sws::PLL);
  EXPECT_EQ(board.clocks().sysclk_hz(), 150'000'000u);
  EXPECT_EQ(board.clocks().hclk_hz(), 150'000'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM17"), 150'000'000u);
  // Straight to 150 MHz with LATENCY 1 and no AHB /2 step: both are findings.
  std::string all;
  for (const auto& f : board.diagnostics()) all += f.message + "\n";
  EXPECT_NE(all.find("LATENCY 1 too low"), std::string::npos) << all;
  EXPECT_NE(all.find("without 1 us at AHB /2"), std::string::npos) << all;
}

TEST_F(Models, RccOrderedClockRaiseLeavesNoFindings) {
  clock_150mhz();
  EXPECT_EQ(board.clocks().hclk_hz(), 150'000'000u);
  for (const auto& f : board.diagnostics()) ADD_FAILURE() << f.message;
}

TEST_F(Models, RccApbPrescalerDoublesTimerClocks) {
  clock_150mhz();
  wr(reg("RCC", rcc::CFGR), rd(reg("RCC", rcc::CFGR)) | rcc::cfgr::PPRE1(rcc::cfgr::pprex::Div2) |
                                rcc::cfgr::PPRE2(rcc::cfgr::pprex::Div4));
  EXPECT_EQ(board.clocks().pclk1_hz(), 75'000'000u);
  EXPECT_EQ(board.clocks().pclk2_hz(), 37'500'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM7"), 150'000'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM17"), 75'000'000u);
  wr(reg("RCC", rcc::CFGR), rcc::cfgr::HPRE.put(rd(reg("RCC", rcc::CFGR)), rcc::cfgr::hpre::Div4));
  EXPECT_EQ(board.clocks().hclk_hz(), 37'500'000u);
}

TEST_F(Models, PllNeverLocksWithFaultOptionOrBadConfig) {
  FakeBus b2;
  b2.never_lock = true;
  LampBoard stuck(b2);
  Device* rcc = stuck.devices()[0];
  rcc->write(rcc::PLLCFGR, pll(4, 75), 4);
  rcc->write(rcc::CR, rcc::cr::HSION | rcc::cr::HSIRDY | PLLON.mask(), 4);
  b2.t = 10'000'000;
  rcc->advance(b2.t);
  EXPECT_FALSE(PLLRDY.test(rcc->read(rcc::CR, 4)));

  // VCO above 344 MHz (N = 100 from 4 MHz) never locks either.
  wr(reg("RCC", rcc::PLLCFGR), pll(4, 100));
  set_bits(reg("RCC", rcc::CR), PLLON.mask());
  bus.t += 1'000'000;
  EXPECT_FALSE(PLLRDY.test(rd(reg("RCC", rcc::CR))));
}

TEST_F(Models, PwrVosfClearsAfterSettleAndClockGatingHidesRegisters) {
  EXPECT_FALSE(find(base("PWR"))->clocked());
  set_bits(reg("RCC", rcc::APB1ENR1), rcc::apb1enr1::PWREN.mask());
  EXPECT_TRUE(find(base("PWR"))->clocked());
  wr(reg("PWR", pwr::CR1), pwr::cr1::VOS.put(rd(reg("PWR", pwr::CR1)), pwr::cr1::vos::Range2));
  EXPECT_TRUE(pwr::sr2::VOSF.test(rd(reg("PWR", pwr::SR2))));
  bus.t += periph::Pwr::kVosSettleNs;
  EXPECT_FALSE(pwr::sr2::VOSF.test(rd(reg("PWR", pwr::SR2))));
  EXPECT_EQ(rd(reg("PWR", pwr::CR5)), pwr::cr5::R1MODE.mask());
  EXPECT_EQ(rd(reg("PWR", pwr::CR3)), 0x8000u);
  EXPECT_EQ(rd(reg("FLASH", flash::ACR)), 0x00040601u);
}

}  // namespace
}  // namespace vboard::chip_test
