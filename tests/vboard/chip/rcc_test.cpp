// RCC, PWR and FLASH: reset state, PLL lock, the clock switch and its rules, clock gating.
#include "chip/chip_fixture.h"

namespace vboard::chip_test {
namespace {

// ------------------------------------------------------------------ RCC

TEST_F(Models, RccResetRunsFromHsi16) {
  EXPECT_EQ(rd(reg("RCC", rcc::CR)), 0x500u);  // HSION + HSIRDY
  EXPECT_EQ(rd(reg("RCC", rcc::CFGR)) & 0xFu, 0x5u);
  EXPECT_EQ(board.clocks().sysclk_hz(), 16'000'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM7"), 16'000'000u);
  EXPECT_EQ(rd(reg("RCC", rcc::AHB1ENR)), 0x100u);
  EXPECT_EQ(rd(reg("RCC", rcc::APB1ENR1)), 0x400u);
}

TEST_F(Models, RccPllLocksAfterDelayAndSwitchGives150MHz) {
  set_bits(reg("RCC", rcc::APB1ENR1), 1u << 28);
  wr(reg("PWR", pwr::CR1), (rd(reg("PWR", pwr::CR1)) & ~(3u << 9)) | (1u << 9));
  wr(reg("RCC", rcc::PLLCFGR), 2u | (3u << 4) | (75u << 8) | (1u << 24));
  bus.t = 1000;
  set_bits(reg("RCC", rcc::CR), 1u << 24);
  bus.t = 1000 + periph::Rcc::kPllLockNs - 1;
  EXPECT_FALSE(rd(reg("RCC", rcc::CR)) & (1u << 25)) << "PLLRDY before lock time";
  // Switching to an unlocked PLL leaves SWS on HSI until lock.
  wr(reg("RCC", rcc::CFGR), rd(reg("RCC", rcc::CFGR)) | 3u);
  EXPECT_EQ((rd(reg("RCC", rcc::CFGR)) >> 2) & 3u, 1u);
  EXPECT_EQ(board.clocks().sysclk_hz(), 16'000'000u);
  EXPECT_EQ(board.chip().rcc().next_event(), 1000 + periph::Rcc::kPllLockNs);
  run_events_to(1000 + periph::Rcc::kPllLockNs);
  EXPECT_TRUE(rd(reg("RCC", rcc::CR)) & (1u << 25));
  EXPECT_EQ((rd(reg("RCC", rcc::CFGR)) >> 2) & 3u, 3u);
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
  wr(reg("RCC", rcc::CFGR), rd(reg("RCC", rcc::CFGR)) | (4u << 8) | (5u << 11));  // APB1 /2, APB2 /4
  EXPECT_EQ(board.clocks().pclk1_hz(), 75'000'000u);
  EXPECT_EQ(board.clocks().pclk2_hz(), 37'500'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM7"), 150'000'000u);
  EXPECT_EQ(board.clocks().timer_clock_hz("TIM17"), 75'000'000u);
  wr(reg("RCC", rcc::CFGR), (rd(reg("RCC", rcc::CFGR)) & ~0xF0u) | 0x90u);  // AHB /4
  EXPECT_EQ(board.clocks().hclk_hz(), 37'500'000u);
}

TEST_F(Models, PllNeverLocksWithFaultOptionOrBadConfig) {
  FakeBus b2;
  b2.never_lock = true;
  LampBoard stuck(b2);
  Device* rcc = stuck.devices()[0];
  rcc->write(0x00C, 2u | (3u << 4) | (75u << 8) | (1u << 24), 4);
  rcc->write(0x000, 0x500u | (1u << 24), 4);
  b2.t = 10'000'000;
  rcc->advance(b2.t);
  EXPECT_FALSE(rcc->read(0x000, 4) & (1u << 25));

  // VCO above 344 MHz (N = 100 from 4 MHz) never locks either.
  wr(reg("RCC", rcc::PLLCFGR), 2u | (3u << 4) | (100u << 8) | (1u << 24));
  set_bits(reg("RCC", rcc::CR), 1u << 24);
  bus.t += 1'000'000;
  EXPECT_FALSE(rd(reg("RCC", rcc::CR)) & (1u << 25));
}

TEST_F(Models, PwrVosfClearsAfterSettleAndClockGatingHidesRegisters) {
  EXPECT_FALSE(find(base("PWR"))->clocked());
  set_bits(reg("RCC", rcc::APB1ENR1), 1u << 28);
  EXPECT_TRUE(find(base("PWR"))->clocked());
  wr(reg("PWR", pwr::CR1), (rd(reg("PWR", pwr::CR1)) & ~(3u << 9)) | (2u << 9));
  EXPECT_TRUE(rd(reg("PWR", pwr::SR2)) & (1u << 10));
  bus.t += periph::Pwr::kVosSettleNs;
  EXPECT_FALSE(rd(reg("PWR", pwr::SR2)) & (1u << 10));
  EXPECT_EQ(rd(reg("PWR", pwr::CR5)), 0x100u);
  EXPECT_EQ(rd(reg("PWR", pwr::CR3)), 0x8000u);
  EXPECT_EQ(rd(reg("FLASH", flash::ACR)), 0x00040601u);
}

}  // namespace
}  // namespace vboard::chip_test
