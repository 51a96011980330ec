// Receive errors of the rear board's USART3, through the platform's interrupt
// handler: each error flag in ISR becomes its own ErrorCode bit (the vendor's
// codes), codes add up until cleared, and the flags are acknowledged so the
// interrupt line does not stay pending.
#include <gtest/gtest.h>

#include "rear_fixture.h"

namespace {

using UartErrors = rear_test::RearBoard;

constexpr uint32_t kTxe = 1U << 7;  // not an error: stays as it is

TEST_F(UartErrors, EachFlagIsRecordedByItsCodeAddedToEarlierOnesAndAcknowledged) {
  struct Case {
    uint32_t isr;
    uint32_t code;
  };
  const Case cases[] = {
      {1U << 0, HAL_UART_ERROR_PE},
      {1U << 1, HAL_UART_ERROR_FE},
      {1U << 2, HAL_UART_ERROR_NE},
      {1U << 3, HAL_UART_ERROR_ORE},
      {0xFU, HAL_UART_ERROR_PE | HAL_UART_ERROR_NE | HAL_UART_ERROR_FE | HAL_UART_ERROR_ORE},
  };
  for (const Case& c : cases) {
    huart3.ErrorCode = HAL_UART_ERROR_NONE;
    USART3->ISR = c.isr | kTxe;
    HAL_UART_IRQHandler(&huart3);
    EXPECT_EQ(huart3.ErrorCode, c.code) << "ISR " << c.isr;
    EXPECT_EQ(USART3->ISR, kTxe) << "ISR " << c.isr;
  }
  huart3.ErrorCode = HAL_UART_ERROR_FE;
  USART3->ISR = 1U << 0;
  HAL_UART_IRQHandler(&huart3);
  EXPECT_EQ(huart3.ErrorCode, HAL_UART_ERROR_FE | HAL_UART_ERROR_PE);
  HAL_UART_IRQHandler(&huart3);  // no flag: nothing to add
  EXPECT_EQ(huart3.ErrorCode, HAL_UART_ERROR_FE | HAL_UART_ERROR_PE);
}

}  // namespace
