// Register blocks: unmodelled offsets are reported; byte and half-word lanes.
#include "chip_fixture.h"

namespace vboard::chip_test {
namespace {

TEST_F(Models, UnmodelledOffsetsAreReported) {
  set_bits(reg("RCC.AHB1ENR"), 0x5u);
  rd(reg("DMA1") + 0x080);       // CCR7: the G431 has six channels
  wr(reg("DMAMUX") + 0x030, 1);  // C12CR: twelve request-line channels
  wr(reg("RCC") + 0x010, 0);     // hole in the RCC map
  ASSERT_EQ(bus.unmodelled_log.size(), 3u);
  EXPECT_EQ(bus.unmodelled_log[0], std::make_pair(reg("DMA1") + 0x080, false));
  EXPECT_EQ(bus.unmodelled_log[1], std::make_pair(reg("DMAMUX") + 0x030, true));
  EXPECT_EQ(bus.unmodelled_log[2], std::make_pair(reg("RCC") + 0x010, true));
  // Byte and half-word accesses reach the right lanes.
  set_bits(reg("RCC.AHB2ENR"), 1u);
  wr(reg("GPIOA.ODR") + 1, 0x3, 1);  // ODR bits 8, 9 through the second byte
  EXPECT_EQ(rd(reg("GPIOA.ODR")), 0x300u);
  EXPECT_EQ(rd(reg("GPIOA.MODER") + 2, 2), 0xABFFu);
}

}  // namespace
}  // namespace vboard::chip_test
