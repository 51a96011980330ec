// GPIO pins and their EXTI lines: configuration per pin of a mask, level reads
// and writes through the atomic set/reset registers, and the EXTI dispatcher.
#include "chip_internal.h"

using namespace chip;

namespace {

// Fields of the GPIO_MODE_* encoding (see stm32g4xx_hal.h).
constexpr Field kModeModer{0, 2};
constexpr uint32_t kModeOpenDrain = bit(4);
constexpr uint32_t kModeExtiIt = bit(16);
constexpr uint32_t kModeExtiEvt = bit(17);
constexpr uint32_t kModeRising = bit(20);
constexpr uint32_t kModeFalling = bit(21);

// Port code for SYSCFG EXTICR (A = 0, B = 1, ...), from the port's address.
uint32_t port_code(const GPIO_TypeDef* port) {
  return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(port) - GPIOA_BASE) / gpio::PORT_STRIDE);
}

void config_exti_line(uint32_t line, uint32_t port, uint32_t mode) {
  // The routing lives in SYSCFG, which needs its clock (the board may not have
  // enabled it yet at this point).
  __HAL_RCC_SYSCFG_CLK_ENABLE();
  write_field(SYSCFG->EXTICR[line >> 2], syscfg::exticr(line), port);

  const uint32_t line_bit = bit(line);
  modify(EXTI->RTSR1, line_bit, (mode & kModeRising) != 0U ? line_bit : 0U);
  modify(EXTI->FTSR1, line_bit, (mode & kModeFalling) != 0U ? line_bit : 0U);
  modify(EXTI->EMR1, line_bit, (mode & kModeExtiEvt) != 0U ? line_bit : 0U);
  // Unmasked last, once routing and edges are in place.
  modify(EXTI->IMR1, line_bit, (mode & kModeExtiIt) != 0U ? line_bit : 0U);
}

}  // namespace

extern "C" {

void HAL_GPIO_Init(GPIO_TypeDef* GPIOx, GPIO_InitTypeDef* GPIO_Init) {
  if (GPIOx == nullptr || GPIO_Init == nullptr) {
    return;
  }
  const uint32_t port = port_code(GPIOx);
  if (port >= gpio::PORTS) {
    return;
  }
  const uint32_t mode = GPIO_Init->Mode;
  const uint32_t moder = kModeModer.get(mode);
  const bool drives = moder == gpio::MODE_OUTPUT || moder == gpio::MODE_AF;

  for (uint32_t pin = 0; pin < gpio::PINS; ++pin) {
    if ((GPIO_Init->Pin & bit(pin)) == 0U) {
      continue;
    }
    if (drives) {
      write_field(GPIOx->OSPEEDR, gpio::ospeedr(pin), GPIO_Init->Speed);
      modify(GPIOx->OTYPER, bit(pin), (mode & kModeOpenDrain) != 0U ? bit(pin) : 0U);
    }
    if (moder != gpio::MODE_ANALOG) {
      write_field(GPIOx->PUPDR, gpio::pupdr(pin), GPIO_Init->Pull);
    }
    if (moder == gpio::MODE_AF) {
      // The function is selected before the pin is handed to it, so the pad
      // never drives a wrong peripheral in between.
      write_field(GPIOx->AFR[pin >> 3], gpio::afr(pin), GPIO_Init->Alternate);
    }
    write_field(GPIOx->MODER, gpio::moder(pin), moder);
    if ((mode & (kModeExtiIt | kModeExtiEvt)) != 0U) {
      config_exti_line(pin, port, mode);
    }
  }
}

GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) {
  return (GPIOx->IDR & GPIO_Pin) != 0U ? GPIO_PIN_SET : GPIO_PIN_RESET;
}

void HAL_GPIO_WritePin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin, GPIO_PinState PinState) {
  // Set and reset registers change only the masked pins, atomically with respect
  // to interrupts touching other pins of the port.
  if (PinState != GPIO_PIN_RESET) {
    GPIOx->BSRR = GPIO_Pin;
  } else {
    GPIOx->BRR = GPIO_Pin;
  }
}

// Inverts the masked output pins in one set/reset write.
void HAL_GPIO_TogglePin(GPIO_TypeDef* GPIOx, uint16_t GPIO_Pin) {
  const uint32_t odr = GPIOx->ODR;
  GPIOx->BSRR = ((odr & GPIO_Pin) << 16U) | (~odr & GPIO_Pin);
}

void HAL_GPIO_EXTI_IRQHandler(uint16_t GPIO_Pin) {
  if ((EXTI->PR1 & GPIO_Pin) != 0U) {
    // Cleared before the callback, so an edge during the callback pends again.
    EXTI->PR1 = GPIO_Pin;
    HAL_GPIO_EXTI_Callback(GPIO_Pin);
  }
}

}  // extern "C"
