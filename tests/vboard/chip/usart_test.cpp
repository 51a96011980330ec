// USART3: reset flags, enable acknowledge, locked FIFO thresholds.
#include "chip/chip_fixture.h"

namespace vboard::chip_test {
namespace {

TEST_F(Models, UsartIsrResetAndEnableAcknowledge) {
  namespace isr = usart::isr;
  set_bits(reg("RCC", rcc::APB1ENR1), rcc::apb1enr1::USART3EN.mask());
  // The transmitter is empty out of reset (the SVD says ISR resets to 0).
  EXPECT_EQ(rd(reg("USART3", usart::ISR)), isr::TC | isr::TXE);
  wr(reg("USART3", usart::BRR), 163);
  wr(reg("USART3", usart::CR1), usart::cr1::UE | usart::cr1::RE | usart::cr1::TE);
  EXPECT_EQ(rd(reg("USART3", usart::ISR)), isr::TC | isr::TXE | isr::TEACK | isr::REACK);
  EXPECT_TRUE(board.diagnostics().empty());
  wr(reg("USART3", usart::CR3), 0u);
  wr(reg("USART3", usart::CR3), usart::cr3::TXFTCFG(1));  // with UE = 1
  ASSERT_FALSE(board.diagnostics().empty());
  EXPECT_NE(board.diagnostics().back().message.find("thresholds"), std::string::npos);
}

}  // namespace
}  // namespace vboard::chip_test
