// Rules of the platform API that do not depend on where the registers live,
// shared by both implementations so that they judge requests alike: the PLL
// settings the chip accepts, the USART divider and its range, and the link by
// which a DMA channel reports back to the timer channel it feeds.
#pragma once

#include "stm32g4xx_hal.h"

namespace platform_shared {

// PLL divisors within the chip's ranges: M 1..16, N 8..127, P 2..31, Q and R
// even from 2 to 8, fed from HSI or HSE.
constexpr bool pll_settings_valid(const RCC_PLLInitTypeDef& pll) {
  const auto even_2_to_8 = [](uint32_t d) { return d >= 2U && d <= 8U && (d % 2U) == 0U; };
  return (pll.PLLSource == RCC_PLLSOURCE_HSI || pll.PLLSource == RCC_PLLSOURCE_HSE) && pll.PLLM >= 1U &&
         pll.PLLM <= 16U && pll.PLLN >= 8U && pll.PLLN <= 127U && pll.PLLP >= 2U && pll.PLLP <= 31U &&
         even_2_to_8(pll.PLLQ) && even_2_to_8(pll.PLLR);
}

// Longest wait for the PLL to lock, in milliseconds; a PLL that has not locked
// by then makes HAL_RCC_OscConfig return HAL_TIMEOUT.
constexpr uint32_t kPllLockTimeoutMs = 2U;

// Dividers the USART accepts in BRR: below 16 the receiver cannot sample a bit.
constexpr uint32_t kUartBrrMin = 0x10U;
constexpr uint32_t kUartBrrMax = 0xFFFFU;

// BRR for the baud rate: the divider rounded to nearest; at 8x oversampling the
// register holds it shifted right by one in its low nibble.
constexpr uint32_t uart_brr(uint32_t clock_hz, uint32_t baud, bool over8) {
  if (!over8) {
    return (clock_hz + baud / 2U) / baud;
  }
  const uint32_t div = (2U * clock_hz + baud / 2U) / baud;
  return (div & 0xFFF0U) | ((div & 0xFU) >> 1);
}

// Installs the callbacks through which `hdma` reports half and full transfers
// and errors of the timer channel it feeds as the timer's PWM callbacks.
void link_tim_dma_callbacks(DMA_HandleTypeDef* hdma);

}  // namespace platform_shared
