// Conformance cases of the GPIO port and its EXTI lines: levels through the
// loop-back wire, the fields Init writes, one callback per edge.
#include "cases_common.h"

namespace conformance {

void GpioWriteReadToggle(Result& r) {
  pin_mode(GPIOB, kSpare, GPIO_MODE_OUTPUT_PP);
  HAL_GPIO_WritePin(GPIOB, kSpare, GPIO_PIN_SET);
  wire(true);
  rig_wait_us(2);
  CONFORMANCE_CHECK(r, wire_in());
  CONFORMANCE_CHECK(r, HAL_GPIO_ReadPin(GPIOB, kWireOut) == GPIO_PIN_SET);  // an output reads its own level
  wire(false);
  rig_wait_us(2);
  CONFORMANCE_CHECK(r, !wire_in());
  CONFORMANCE_CHECK(r, HAL_GPIO_ReadPin(GPIOB, kWireOut) == GPIO_PIN_RESET);
  CONFORMANCE_CHECK(r, HAL_GPIO_ReadPin(GPIOB, kSpare) == GPIO_PIN_SET);  // other pins untouched
  HAL_GPIO_TogglePin(GPIOB, kWireOut);
  rig_wait_us(2);
  CONFORMANCE_CHECK(r, wire_in());
  HAL_GPIO_TogglePin(GPIOB, kWireOut);
  rig_wait_us(2);
  CONFORMANCE_CHECK(r, !wire_in());
  CONFORMANCE_CHECK(r, HAL_GPIO_ReadPin(GPIOB, kSpare) == GPIO_PIN_SET);
  HAL_GPIO_WritePin(GPIOB, kSpare, GPIO_PIN_RESET);
  CONFORMANCE_CHECK(r, HAL_GPIO_ReadPin(GPIOB, kSpare) == GPIO_PIN_RESET);
  // An output takes its type and speed from the record.
  GPIO_InitTypeDef od{};
  od.Pin = kSpare;
  od.Mode = GPIO_MODE_OUTPUT_OD;
  od.Speed = GPIO_SPEED_FREQ_HIGH;
  HAL_GPIO_Init(GPIOB, &od);
  const auto spare_speed = [] { return (GPIOB->OSPEEDR >> 4U) & 3U; };  // PB2's two bits
  CONFORMANCE_CHECK(r, (GPIOB->OTYPER & kSpare) != 0U && spare_speed() == GPIO_SPEED_FREQ_HIGH);
  pin_mode(GPIOB, kSpare, GPIO_MODE_OUTPUT_PP);
  CONFORMANCE_CHECK(r, (GPIOB->OTYPER & kSpare) == 0U && spare_speed() == GPIO_SPEED_FREQ_LOW);

  // An address one port past GPIOG is no port: nothing is written there.
  GPIO_InitTypeDef init{};
  init.Pin = kSpare;
  init.Mode = GPIO_MODE_OUTPUT_PP;
  const uint32_t moder = GPIOB->MODER;
  HAL_GPIO_Init(reinterpret_cast<GPIO_TypeDef*>(GPIOG_BASE + (GPIOB_BASE - GPIOA_BASE)), &init);
  CONFORMANCE_CHECK(r, GPIOB->MODER == moder);
  // Nor without a record.
  const uint32_t pupdr = GPIOB->PUPDR;
  const uint32_t ospeedr = GPIOB->OSPEEDR;
  HAL_GPIO_Init(GPIOB, nullptr);
  CONFORMANCE_CHECK(r, GPIOB->MODER == moder && GPIOB->PUPDR == pupdr && GPIOB->OSPEEDR == ospeedr);

  // GPIOG, the last port, is one: its pin is configured (and given back).
  __HAL_RCC_GPIOG_CLK_ENABLE();
  const uint32_t g_moder = GPIOG->MODER;
  HAL_GPIO_Init(GPIOG, &init);
  CONFORMANCE_CHECK(r, (GPIOG->MODER & (3U << 4U)) == (1U << 4U));
  GPIO_InitTypeDef last{};  // and its pin 15, the last of a port
  last.Pin = GPIO_PIN_15;
  last.Mode = GPIO_MODE_OUTPUT_PP;
  HAL_GPIO_Init(GPIOG, &last);
  CONFORMANCE_CHECK(r, (GPIOG->MODER >> 30U) == 1U);
  GPIOG->MODER = g_moder;

  // An analog pin takes no pull (the pad disconnects it): PUPDR keeps its bits.
  GPIO_InitTypeDef analog{};
  analog.Pin = kSpare;
  analog.Mode = GPIO_MODE_ANALOG;
  analog.Pull = GPIO_PULLUP;
  HAL_GPIO_Init(GPIOB, &analog);
  CONFORMANCE_CHECK(r, ((GPIOB->MODER >> 4U) & 3U) == 3U && GPIOB->PUPDR == pupdr);
  pin_mode(GPIOB, kSpare, GPIO_MODE_OUTPUT_PP);
}

void ExtiOneCallbackPerEdgePendingClearedFirst(Result& r) {
  pin_mode(GPIOA, kWireIn, GPIO_MODE_IT_RISING_FALLING);
  // The line is routed to port A, both triggers set, unmasked; SYSCFG clocked by the HAL.
  CONFORMANCE_CHECK(r, ((SYSCFG->EXTICR[0] >> 4U) & 0xFU) == 0U);
  CONFORMANCE_CHECK(r, (EXTI->RTSR1 & kWireIn) != 0U && (EXTI->FTSR1 & kWireIn) != 0U);
  CONFORMANCE_CHECK(r, (EXTI->IMR1 & kWireIn) != 0U);
  CONFORMANCE_CHECK(r, (RCC->APB2ENR & RCC_APB2ENR_SYSCFGEN) != 0U);
  HAL_NVIC_SetPriority(EXTI1_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(EXTI1_IRQn);
  clear_events();

  wire(true);
  rig_wait_us(5);
  CONFORMANCE_CHECK(r, ev.exti_calls == 1U);
  CONFORMANCE_CHECK(r, ev.exti_pin == kWireIn);
  CONFORMANCE_CHECK(r, ev.exti_pending_in_callback == 0U);  // cleared before the callback
  CONFORMANCE_CHECK(r, (EXTI->PR1 & kWireIn) == 0U);
  wire(false);
  rig_wait_us(5);
  CONFORMANCE_CHECK(r, ev.exti_calls == 2U);

  // Rising only: the falling edge pends nothing.
  pin_mode(GPIOA, kWireIn, GPIO_MODE_IT_RISING);
  CONFORMANCE_CHECK(r, EXTI->FTSR1 == 0U);  // on no line
  wire(true);
  rig_wait_us(5);
  wire(false);
  rig_wait_us(5);
  CONFORMANCE_CHECK(r, ev.exti_calls == 3U);

  // Falling only: no rising trigger on any line.
  pin_mode(GPIOA, kWireIn, GPIO_MODE_IT_FALLING);
  CONFORMANCE_CHECK(r, EXTI->RTSR1 == 0U && (EXTI->FTSR1 & kWireIn) != 0U);
  pin_mode(GPIOA, kWireIn, GPIO_MODE_IT_RISING);

  // Masked, the edge stays pending and is taken once interrupts are enabled again.
  __disable_irq();
  wire(true);
  rig_wait_us(5);
  const uint32_t while_masked = ev.exti_calls;
  const bool pending = (EXTI->PR1 & kWireIn) != 0U;
  __enable_irq();
  rig_wait_us(5);
  CONFORMANCE_CHECK(r, while_masked == 3U);
  CONFORMANCE_CHECK(r, pending);
  CONFORMANCE_CHECK(r, ev.exti_calls == 4U);

  // The dispatcher does nothing for a line that is not pending.
  HAL_GPIO_EXTI_IRQHandler(kWireIn);
  CONFORMANCE_CHECK(r, ev.exti_calls == 4U);

  HAL_NVIC_DisableIRQ(EXTI1_IRQn);
  wire(false);
  pin_mode(GPIOA, kWireIn, GPIO_MODE_INPUT);
}

}  // namespace conformance
