// USART3: reset flags, enable acknowledge, locked FIFO thresholds.
#include "chip/chip_fixture.h"

namespace vboard::chip_test {
namespace {

TEST_F(Models, UsartIsrResetAndEnableAcknowledge) {
  set_bits(reg("RCC", rcc::APB1ENR1), 1u << 18);
  EXPECT_EQ(rd(reg("USART3", usart::ISR)), 0xC0u);
  wr(reg("USART3", usart::BRR), 163);
  wr(reg("USART3", usart::CR1), 0xDu);  // UE, RE, TE
  EXPECT_EQ(rd(reg("USART3", usart::ISR)), 0xC0u | (1u << 21) | (1u << 22));
  EXPECT_TRUE(board.diagnostics().empty());
  wr(reg("USART3", usart::CR3), 0u);
  wr(reg("USART3", usart::CR3), 1u << 29);  // TXFTCFG with UE = 1
  ASSERT_FALSE(board.diagnostics().empty());
  EXPECT_NE(board.diagnostics().back().message.find("thresholds"), std::string::npos);
}

}  // namespace
}  // namespace vboard::chip_test
