// Register blocks: access kinds, unmodelled offsets and fields are reported;
// byte and half-word lanes.
#include "chip/chip_fixture.h"
#include "core/registers.h"

namespace vboard::chip_test {
namespace {

TEST_F(Models, UnmodelledOffsetsAreReported) {
  set_bits(reg("RCC", rcc::AHB1ENR), rcc::ahb1enr::DMA1EN | rcc::ahb1enr::DMAMUX1EN);
  // Where a seventh DMA channel and a thirteenth request line would be: the
  // G431 has six and twelve. The word after PLLCFGR is a hole in the RCC map.
  const uint32_t ccr7 = reg("DMA1", dma::CCRx(6) + (dma::CCR2 - dma::CCR1));
  const uint32_t c12cr = reg("DMAMUX", dmamux::CxCR(11) + (dmamux::CxCR(1) - dmamux::CxCR(0)));
  const uint32_t hole = reg("RCC", rcc::PLLCFGR + 4);
  rd(ccr7);
  wr(c12cr, 1);
  wr(hole, 0);
  ASSERT_EQ(bus.unmodelled_log.size(), 3u);
  EXPECT_EQ(bus.unmodelled_log[0], std::make_pair(ccr7, false));
  EXPECT_EQ(bus.unmodelled_log[1], std::make_pair(c12cr, true));
  EXPECT_EQ(bus.unmodelled_log[2], std::make_pair(hole, true));
  // Byte and half-word accesses reach the right lanes: ODR's second byte holds
  // pins 8..15, MODER's upper half-word pins 8..15.
  constexpr core::Field kSecondByte{8, 8}, kUpperHalf{16, 16};
  const uint32_t pa89 = gpio::odr::ODRx(8) | gpio::odr::ODRx(9);
  set_bits(reg("RCC", rcc::AHB2ENR), rcc::ahb2enr::GPIOAEN.mask());
  wr(reg("GPIOA", gpio::ODR) + 1, kSecondByte.get(pa89), 1);
  EXPECT_EQ(rd(reg("GPIOA", gpio::ODR)), pa89);
  EXPECT_EQ(rd(reg("GPIOA", gpio::MODER) + 2, 2), kUpperHalf.get(rd(reg("GPIOA", gpio::MODER))));
}

// One register with every access kind, written through all four lanes or one.
TEST(AccessKinds, AWriteTakesEachKindAsDeclared) {
  const core::RegDef r{.name = "R",
                       .offset = 0,
                       .reset = 0x0000F0F0,
                       .rw = 0x0000000F,
                       .ro = 0x000000F0,
                       .w0c = 0x00000F00,
                       .w1c = 0x0000F000,
                       .wo = 0x000F0000,
                       .unmodelled = {{0x00F00000, "U"}}};
  struct Case {
    uint32_t old, value, lanes, expect;
  };
  const Case cases[] = {
      // rw and unmodelled take the value; ro and wo never change; rc_w0 clears on
      // 0, rc_w1 on 1.
      {0x0000FFF0, 0x00A5A5A5, 0xFFFFFFFF, 0x00A055F5},
      {0x0000FFF0, 0x00000000, 0xFFFFFFFF, 0x0000F0F0},
      {0x0000FFF0, 0x00FFFFFF, 0xFFFFFFFF, 0x00F00FFF},
      // Lanes left out keep every kind as it was.
      {0x0000FFF0, 0x00000000, 0x000000FF, 0x0000FFF0},
      {0x0000FFF0, 0x00000000, 0x0000FF00, 0x0000F0F0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(core::written(r, c.old, c.value, c.lanes), c.expect)
        << std::hex << "old 0x" << c.old << " value 0x" << c.value << " lanes 0x" << c.lanes;
  EXPECT_EQ(r.writable(), 0x00F0FF0Fu);
  EXPECT_TRUE(core::unmodelled_in_use(r, 0x0000F0F0).empty());
  EXPECT_EQ(core::unmodelled_in_use(r, 0x00100000).size(), 1u);
}

// A field the model stores but does not act on is reported with its words when
// it leaves its reset value, whichever way the model took the write; the value
// is still kept, and writing the reset value back reports nothing.
TEST_F(Models, UnmodelledFieldsAreReportedWhenUsed) {
  set_bits(reg("RCC", rcc::APB1ENR1), rcc::apb1enr1::TIM2EN.mask());
  set_bits(reg("RCC", rcc::AHB1ENR), rcc::ahb1enr::DMAMUX1EN.mask());
  wr(reg("TIM2", tim::CR1), 0);
  wr(reg("DMAMUX", dmamux::C0CR), 0);
  EXPECT_TRUE(board.diagnostics().empty());
  const uint32_t dithered_down = tim::cr1::DITHEN | tim::cr1::DIR;
  wr(reg("TIM2", tim::CR1), dithered_down);
  // SE through the upper half-word.
  wr(reg("DMAMUX", dmamux::C0CR) + 2, core::Field{16, 16}.get(dmamux::cxcr::SE.mask()), 2);
  EXPECT_EQ(rd(reg("TIM2", tim::CR1)), dithered_down);
  std::vector<std::string> seen;
  for (const Diagnostic& d : board.diagnostics()) seen.push_back(d.where + ": " + d.message);
  EXPECT_EQ(seen,
            (std::vector<std::string>{"TIM2: down or centre-aligned counting is not modelled (counts up)",
                                      "TIM2: CR1.DITHEN: dithering is not modelled",
                                      "DMAMUX: request synchronisation / event generation is not modelled"}));
}

}  // namespace
}  // namespace vboard::chip_test
