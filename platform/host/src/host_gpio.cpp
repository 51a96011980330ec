// Host platform: GPIO ports and the EXTI lines behind them.
#include "host_state.h"

using platform_host::regs;
using platform_host::detail::state;

namespace platform_host {

namespace detail {

int gpio_index(const GPIO_TypeDef* port) {
  for (int i = 0; i < 7; ++i) {
    if (port == &regs.gpio[i]) {
      return i;
    }
  }
  return -1;
}

void gpio_reset_values() {
  for (auto& port : regs.gpio) {
    port.MODER = 0xFFFFFFFFU;  // analog
  }
  regs.gpio[0].MODER = 0xABFFFFFFU;  // PA13..PA15 debug
  regs.gpio[0].PUPDR = 0x64000000U;
  regs.gpio[0].OSPEEDR = 0x0C000000U;
  regs.gpio[1].MODER = 0xFFFFFEBFU;  // PB3, PB4 debug
  regs.gpio[1].PUPDR = 0x00000100U;
}

namespace {

IRQn_Type exti_irq(uint32_t line) {
  static constexpr IRQn_Type kLow[5] = {EXTI0_IRQn, EXTI1_IRQn, EXTI2_IRQn, EXTI3_IRQn, EXTI4_IRQn};
  if (line < 5U) {
    return kLow[line];
  }
  return line < 10U ? EXTI9_5_IRQn : EXTI15_10_IRQn;
}

// New input levels for a port: edges on lines routed here pend their EXTI line.
void apply_levels(GPIO_TypeDef* port, uint32_t new_idr) {
  const uint32_t old_idr = port->IDR;
  port->IDR = new_idr & 0xFFFFU;
  const uint32_t rising = ~old_idr & new_idr & 0xFFFFU;
  const uint32_t falling = old_idr & ~new_idr & 0xFFFFU;
  const auto port_code = static_cast<uint32_t>(gpio_index(port));
  bool pended = false;
  for (uint32_t line = 0; line < 16U; ++line) {
    const uint32_t bit = 1U << line;
    if (((rising | falling) & bit) == 0U) {
      continue;
    }
    const uint32_t routed = (regs.syscfg.EXTICR[line / 4U] >> ((line % 4U) * 4U)) & 0xFU;
    if (routed != port_code || (regs.exti.IMR1 & bit) == 0U) {
      continue;
    }
    const bool triggered = ((rising & bit) != 0U && (regs.exti.RTSR1 & bit) != 0U) ||
                           ((falling & bit) != 0U && (regs.exti.FTSR1 & bit) != 0U);
    if (triggered) {
      regs.exti.PR1 = regs.exti.PR1 | bit;
      pend_irq(exti_irq(line));
      pended = true;
    }
  }
  if (pended) {
    service_interrupts();
  }
}

}  // namespace

}  // namespace detail

void set_input(GPIO_TypeDef* port, uint16_t pin_mask, bool high) {
  const int index = detail::gpio_index(port);
  if (index < 0) {
    return;
  }
  state().driven[index] = static_cast<uint16_t>(state().driven[index] | pin_mask);
  const uint32_t idr = high ? (port->IDR | pin_mask) : (port->IDR & ~static_cast<uint32_t>(pin_mask));
  detail::apply_levels(port, idr);
}

bool output_level(GPIO_TypeDef* port, uint16_t pin) { return (port->ODR & pin) != 0U; }

const std::vector<PinWrite>& write_log() { return state().writes; }

void clear_write_log() { state().writes.clear(); }

void set_write_hook(WriteHook hook) { state().write_hook = std::move(hook); }

}  // namespace platform_host

extern "C" {

void HAL_GPIO_Init(GPIO_TypeDef* GPIOx, GPIO_InitTypeDef* GPIO_Init) {
  const int port_code = platform_host::detail::gpio_index(GPIOx);
  if (port_code < 0 || GPIO_Init == nullptr) {
    return;
  }
  const uint32_t mode = GPIO_Init->Mode & 3U;
  for (uint32_t pos = 0; pos < 16U; ++pos) {
    const uint32_t bit = 1U << pos;
    if ((GPIO_Init->Pin & bit) == 0U) {
      continue;
    }
    if (mode == GPIO_MODE_OUTPUT_PP || mode == GPIO_MODE_AF_PP) {
      GPIOx->OSPEEDR = (GPIOx->OSPEEDR & ~(3U << (pos * 2U))) | ((GPIO_Init->Speed & 3U) << (pos * 2U));
      const uint32_t open_drain = (GPIO_Init->Mode >> 4U) & 1U;
      GPIOx->OTYPER = (GPIOx->OTYPER & ~bit) | (open_drain << pos);
    }
    if (mode != GPIO_MODE_ANALOG) {  // an analog pad takes no pull
      GPIOx->PUPDR = (GPIOx->PUPDR & ~(3U << (pos * 2U))) | ((GPIO_Init->Pull & 3U) << (pos * 2U));
    }
    if (mode == GPIO_MODE_AF_PP) {
      const uint32_t shift = (pos & 7U) * 4U;
      GPIOx->AFR[pos >> 3U] =
          (GPIOx->AFR[pos >> 3U] & ~(0xFU << shift)) | ((GPIO_Init->Alternate & 0xFU) << shift);
    }
    GPIOx->MODER = (GPIOx->MODER & ~(3U << (pos * 2U))) | (mode << (pos * 2U));

    // An undriven input settles to its pull (before any trigger is armed).
    const bool driven = (platform_host::detail::state().driven[port_code] & bit) != 0U;
    if (mode == GPIO_MODE_INPUT && !driven) {
      if (GPIO_Init->Pull == GPIO_PULLUP) {
        GPIOx->IDR = GPIOx->IDR | bit;
      } else if (GPIO_Init->Pull == GPIO_PULLDOWN) {
        GPIOx->IDR = GPIOx->IDR & ~bit;
      }
    }

    if ((GPIO_Init->Mode & 0x00030000U) != 0U) {
      __HAL_RCC_SYSCFG_CLK_ENABLE();
      const uint32_t shift = (pos % 4U) * 4U;
      SYSCFG->EXTICR[pos / 4U] =
          (SYSCFG->EXTICR[pos / 4U] & ~(0xFU << shift)) | (static_cast<uint32_t>(port_code) << shift);
      EXTI->RTSR1 = (GPIO_Init->Mode & 0x00100000U) != 0U ? (EXTI->RTSR1 | bit) : (EXTI->RTSR1 & ~bit);
      EXTI->FTSR1 = (GPIO_Init->Mode & 0x00200000U) != 0U ? (EXTI->FTSR1 | bit) : (EXTI->FTSR1 & ~bit);
      EXTI->IMR1 = (GPIO_Init->Mode & 0x00010000U) != 0U ? (EXTI->IMR1 | bit) : (EXTI->IMR1 & ~bit);
      EXTI->EMR1 = (GPIO_Init->Mode & 0x00020000U) != 0U ? (EXTI->EMR1 | bit) : (EXTI->EMR1 & ~bit);
    }
  }
}

GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) {
  ++platform_host::detail::state().calls.gpio_read;
  return (GPIOx->IDR & GPIO_Pin) != 0U ? GPIO_PIN_SET : GPIO_PIN_RESET;
}

void HAL_GPIO_WritePin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin, GPIO_PinState PinState) {
  auto& s = platform_host::detail::state();
  ++s.calls.gpio_write;
  s.writes.push_back({GPIOx, GPIO_Pin, PinState, s.now_us});
  // BSRR: set in the low half, reset in the high half; the port applies it to ODR.
  const uint32_t bsrr = PinState != GPIO_PIN_RESET ? GPIO_Pin : static_cast<uint32_t>(GPIO_Pin) << 16U;
  GPIOx->BSRR = bsrr;
  GPIOx->ODR = (GPIOx->ODR | (bsrr & 0xFFFFU)) & ~(bsrr >> 16U);
  // Output pins read back their own level.
  uint32_t idr = GPIOx->IDR;
  for (uint32_t pos = 0; pos < 16U; ++pos) {
    const uint32_t bit = 1U << pos;
    if ((GPIO_Pin & bit) != 0U && ((GPIOx->MODER >> (pos * 2U)) & 3U) == GPIO_MODE_OUTPUT_PP) {
      idr = (idr & ~bit) | (GPIOx->ODR & bit);
    }
  }
  platform_host::detail::apply_levels(GPIOx, idr);
  if (s.write_hook) {
    const platform_host::PinWrite last = s.writes.back();
    s.write_hook(last);
  }
}

// Inverts the masked output pins; each level change is a write as above.
void HAL_GPIO_TogglePin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) {
  const uint32_t odr = GPIOx->ODR;
  const auto to_low = static_cast<uint16_t>(odr & GPIO_Pin);
  const auto to_high = static_cast<uint16_t>(~odr & GPIO_Pin);
  if (to_low != 0U) {
    HAL_GPIO_WritePin(GPIOx, to_low, GPIO_PIN_RESET);
  }
  if (to_high != 0U) {
    HAL_GPIO_WritePin(GPIOx, to_high, GPIO_PIN_SET);
  }
}

void HAL_GPIO_EXTI_IRQHandler(uint16_t GPIO_Pin) {
  if ((EXTI->PR1 & GPIO_Pin) != 0U) {
    EXTI->PR1 = EXTI->PR1 & ~static_cast<uint32_t>(GPIO_Pin);  // write-1-to-clear on the chip
    ++platform_host::detail::state().calls.exti_dispatch;
    HAL_GPIO_EXTI_Callback(GPIO_Pin);
  }
}

}  // extern "C"
