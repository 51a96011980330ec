// Conformance case of the USART: Init and its divider, the FIFO settings, and
// the refused requests.
#include "cases_common.h"

namespace conformance {

void UartErrors(Result& r) {
  __HAL_RCC_USART3_CLK_ENABLE();
  UART_HandleTypeDef u{};
  u.Instance = USART3;
  u.Init.BaudRate = 921600;
  u.Init.Mode = UART_MODE_TX_RX;
  u.ErrorCode = HAL_UART_ERROR_ORE;  // an error of an earlier life, cleared by Init
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_OK);
  CONFORMANCE_CHECK(r, u.gState == HAL_UART_STATE_READY && u.RxState == HAL_UART_STATE_READY);
  CONFORMANCE_CHECK(r, u.ErrorCode == HAL_UART_ERROR_NONE);
  CONFORMANCE_CHECK(r, USART3->BRR == (kSysclkHz + 921600U / 2U) / 921600U);
  CONFORMANCE_CHECK(r, (USART3->CR1 & 1U) != 0U);
  const uint32_t cr1 = USART3->CR1;
  CONFORMANCE_CHECK(r, HAL_UARTEx_DisableFifoMode(&u) == HAL_OK);
  CONFORMANCE_CHECK(r, USART3->CR1 == (cr1 & ~UART_FIFOMODE_ENABLE));  // the rest as it was, enabled
  HAL_UART_IRQHandler(&u);  // no error flag raised: nothing to report
  CONFORMANCE_CHECK(r, u.ErrorCode == HAL_UART_ERROR_NONE);
  CONFORMANCE_CHECK(r, HAL_UARTEx_SetTxFifoThreshold(&u, UART_TXFIFO_THRESHOLD_1_8) == HAL_OK);
  CONFORMANCE_CHECK(r, u.gState == HAL_UART_STATE_READY);  // busy only while a FIFO change runs
  CONFORMANCE_CHECK(r, (USART3->CR3 >> 29U) == 0U);        // TXFTCFG: 1/8

  CONFORMANCE_CHECK(r, HAL_UART_Init(nullptr) == HAL_ERROR);
  u.Init.BaudRate = 0;
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR);
  u.Init.BaudRate = 20000000;  // divider below 16 at 150 MHz
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR);
  u.Init.BaudRate = 10000000;  // divider 15, one below the smallest
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR);
  u.Init.BaudRate = 9375000;  // divider 16, the smallest
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_OK && USART3->BRR == 16U);
  u.Init.BaudRate = 2400;  // divider 62500, near the top of the 16 bits
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_OK && USART3->BRR == 62500U);
  u.Init.BaudRate = 1200;  // divider above 0xFFFF
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR);
  CONFORMANCE_CHECK(r, u.gState == HAL_UART_STATE_READY);  // refused, and ready for another try
  u.Init.BaudRate = 921600;
  u.Init.ClockPrescaler = 12U;  // one past the last, /256 (11): refused before anything is written
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR && USART3->PRESC == 0U);
  u.Init.ClockPrescaler = UART_PRESCALER_DIV2;  // the divider follows the halved kernel clock
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_OK && USART3->PRESC == 1U);
  CONFORMANCE_CHECK(r, USART3->BRR == (kSysclkHz / 2U + 921600U / 2U) / 921600U);
  // Every prescaler code, each at a baud rate that gives a divider near 1000:
  // a divisor one off moves the divider by 4 or more.
  struct Prescaler {
    uint32_t code;
    uint32_t divisor;
  };
  constexpr Prescaler kPrescalers[] = {
      Prescaler{UART_PRESCALER_DIV1, 1U},     Prescaler{UART_PRESCALER_DIV2, 2U},
      Prescaler{UART_PRESCALER_DIV4, 4U},     Prescaler{UART_PRESCALER_DIV6, 6U},
      Prescaler{UART_PRESCALER_DIV8, 8U},     Prescaler{UART_PRESCALER_DIV10, 10U},
      Prescaler{UART_PRESCALER_DIV12, 12U},   Prescaler{UART_PRESCALER_DIV16, 16U},
      Prescaler{UART_PRESCALER_DIV32, 32U},   Prescaler{UART_PRESCALER_DIV64, 64U},
      Prescaler{UART_PRESCALER_DIV128, 128U}, Prescaler{UART_PRESCALER_DIV256, 256U}};
  for (const Prescaler p : kPrescalers) {
    const uint32_t clock = kSysclkHz / p.divisor;
    u.Init.ClockPrescaler = p.code;
    u.Init.BaudRate = clock / 1000U;
    CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_OK && USART3->PRESC == p.code);
    CONFORMANCE_CHECK(r, USART3->BRR == (clock + u.Init.BaudRate / 2U) / u.Init.BaudRate);
  }
  u.Init.BaudRate = 921600;
  u.Init.ClockPrescaler = UART_PRESCALER_DIV1;
  // Oversampling by 8: CR1.OVER8 set, and the divider of twice the clock with
  // its low four bits shifted down one (BRR[3] stays 0).
  u.Init.OverSampling = UART_OVERSAMPLING_8;
  const uint32_t div8 = (2U * kSysclkHz + 921600U / 2U) / 921600U;
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_OK && (USART3->CR1 & (1U << 15)) != 0U);
  CONFORMANCE_CHECK(r, USART3->BRR == ((div8 & 0xFFF0U) | ((div8 & 0xFU) >> 1U)));
  u.Init.OverSampling = UART_OVERSAMPLING_16;
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_OK && (USART3->CR1 & (1U << 15)) == 0U);
  // The divider follows the kernel clock CCIPR selects: HSI16, then PCLK1 again.
  RCC_PeriphCLKInitTypeDef kernel{};
  kernel.PeriphClockSelection = RCC_PERIPHCLK_USART3;
  kernel.Usart3ClockSelection = RCC_USART3CLKSOURCE_HSI;
  CONFORMANCE_CHECK(r, HAL_RCCEx_PeriphCLKConfig(&kernel) == HAL_OK && HAL_UART_Init(&u) == HAL_OK);
  CONFORMANCE_CHECK(r, USART3->BRR == (16000000U + 921600U / 2U) / 921600U);
  kernel.Usart3ClockSelection = RCC_USART3CLKSOURCE_PCLK1;
  CONFORMANCE_CHECK(r, HAL_RCCEx_PeriphCLKConfig(&kernel) == HAL_OK && HAL_UART_Init(&u) == HAL_OK);
  CONFORMANCE_CHECK(r, USART3->BRR == (kSysclkHz + 921600U / 2U) / 921600U);
  // A handle without an instance is refused, and its interrupt ignored.
  UART_HandleTypeDef none{};
  CONFORMANCE_CHECK(r, HAL_UARTEx_SetTxFifoThreshold(&none, UART_TXFIFO_THRESHOLD_1_8) == HAL_ERROR);
  HAL_UART_IRQHandler(&none);
  CONFORMANCE_CHECK(r, none.ErrorCode == 0U && none.gState == HAL_UART_STATE_RESET);
  u.Instance = reinterpret_cast<USART_TypeDef*>(GPIOC);  // no USART there
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR);
}

}  // namespace conformance
