// A pin as the middleware passes it around: the GPIO port plus a 16-bit pin mask
// (bit n = pin n of the port), and the read-only constants PA0 .. PG15.
// The constants are `static const`: every unit that includes this header gets
// its own private copy, and only the ones it actually uses take up memory.
#pragma once

#include <cstdint>

#include "stm32g4xx_hal.h"

namespace tessel {

struct TS_PIN {
  GPIO_TypeDef* Port;  // null for an object that was never set up
  uint16_t Pin;        // GPIO_PIN_x mask; 0xFFFF stands for every pin
};

// clang-format off
static const TS_PIN PA0 = {GPIOA, 0x0001U};
static const TS_PIN PA1 = {GPIOA, 0x0002U};
static const TS_PIN PA2 = {GPIOA, 0x0004U};
static const TS_PIN PA3 = {GPIOA, 0x0008U};
static const TS_PIN PA4 = {GPIOA, 0x0010U};
static const TS_PIN PA5 = {GPIOA, 0x0020U};
static const TS_PIN PA6 = {GPIOA, 0x0040U};
static const TS_PIN PA7 = {GPIOA, 0x0080U};
static const TS_PIN PA8 = {GPIOA, 0x0100U};
static const TS_PIN PA9 = {GPIOA, 0x0200U};
static const TS_PIN PA10 = {GPIOA, 0x0400U};
static const TS_PIN PA11 = {GPIOA, 0x0800U};
static const TS_PIN PA12 = {GPIOA, 0x1000U};
static const TS_PIN PA13 = {GPIOA, 0x2000U};
static const TS_PIN PA14 = {GPIOA, 0x4000U};
static const TS_PIN PA15 = {GPIOA, 0x8000U};
static const TS_PIN PB0 = {GPIOB, 0x0001U};
static const TS_PIN PB1 = {GPIOB, 0x0002U};
static const TS_PIN PB2 = {GPIOB, 0x0004U};
static const TS_PIN PB3 = {GPIOB, 0x0008U};
static const TS_PIN PB4 = {GPIOB, 0x0010U};
static const TS_PIN PB5 = {GPIOB, 0x0020U};
static const TS_PIN PB6 = {GPIOB, 0x0040U};
static const TS_PIN PB7 = {GPIOB, 0x0080U};
static const TS_PIN PB8 = {GPIOB, 0x0100U};
static const TS_PIN PB9 = {GPIOB, 0x0200U};
static const TS_PIN PB10 = {GPIOB, 0x0400U};
static const TS_PIN PB11 = {GPIOB, 0x0800U};
static const TS_PIN PB12 = {GPIOB, 0x1000U};
static const TS_PIN PB13 = {GPIOB, 0x2000U};
static const TS_PIN PB14 = {GPIOB, 0x4000U};
static const TS_PIN PB15 = {GPIOB, 0x8000U};
static const TS_PIN PC0 = {GPIOC, 0x0001U};
static const TS_PIN PC1 = {GPIOC, 0x0002U};
static const TS_PIN PC2 = {GPIOC, 0x0004U};
static const TS_PIN PC3 = {GPIOC, 0x0008U};
static const TS_PIN PC4 = {GPIOC, 0x0010U};
static const TS_PIN PC5 = {GPIOC, 0x0020U};
static const TS_PIN PC6 = {GPIOC, 0x0040U};
static const TS_PIN PC7 = {GPIOC, 0x0080U};
static const TS_PIN PC8 = {GPIOC, 0x0100U};
static const TS_PIN PC9 = {GPIOC, 0x0200U};
static const TS_PIN PC10 = {GPIOC, 0x0400U};
static const TS_PIN PC11 = {GPIOC, 0x0800U};
static const TS_PIN PC12 = {GPIOC, 0x1000U};
static const TS_PIN PC13 = {GPIOC, 0x2000U};
static const TS_PIN PC14 = {GPIOC, 0x4000U};
static const TS_PIN PC15 = {GPIOC, 0x8000U};
static const TS_PIN PD0 = {GPIOD, 0x0001U};
static const TS_PIN PD1 = {GPIOD, 0x0002U};
static const TS_PIN PD2 = {GPIOD, 0x0004U};
static const TS_PIN PD3 = {GPIOD, 0x0008U};
static const TS_PIN PD4 = {GPIOD, 0x0010U};
static const TS_PIN PD5 = {GPIOD, 0x0020U};
static const TS_PIN PD6 = {GPIOD, 0x0040U};
static const TS_PIN PD7 = {GPIOD, 0x0080U};
static const TS_PIN PD8 = {GPIOD, 0x0100U};
static const TS_PIN PD9 = {GPIOD, 0x0200U};
static const TS_PIN PD10 = {GPIOD, 0x0400U};
static const TS_PIN PD11 = {GPIOD, 0x0800U};
static const TS_PIN PD12 = {GPIOD, 0x1000U};
static const TS_PIN PD13 = {GPIOD, 0x2000U};
static const TS_PIN PD14 = {GPIOD, 0x4000U};
static const TS_PIN PD15 = {GPIOD, 0x8000U};
static const TS_PIN PE0 = {GPIOE, 0x0001U};
static const TS_PIN PE1 = {GPIOE, 0x0002U};
static const TS_PIN PE2 = {GPIOE, 0x0004U};
static const TS_PIN PE3 = {GPIOE, 0x0008U};
static const TS_PIN PE4 = {GPIOE, 0x0010U};
static const TS_PIN PE5 = {GPIOE, 0x0020U};
static const TS_PIN PE6 = {GPIOE, 0x0040U};
static const TS_PIN PE7 = {GPIOE, 0x0080U};
static const TS_PIN PE8 = {GPIOE, 0x0100U};
static const TS_PIN PE9 = {GPIOE, 0x0200U};
static const TS_PIN PE10 = {GPIOE, 0x0400U};
static const TS_PIN PE11 = {GPIOE, 0x0800U};
static const TS_PIN PE12 = {GPIOE, 0x1000U};
static const TS_PIN PE13 = {GPIOE, 0x2000U};
static const TS_PIN PE14 = {GPIOE, 0x4000U};
static const TS_PIN PE15 = {GPIOE, 0x8000U};
static const TS_PIN PF0 = {GPIOF, 0x0001U};
static const TS_PIN PF1 = {GPIOF, 0x0002U};
static const TS_PIN PF2 = {GPIOF, 0x0004U};
static const TS_PIN PF3 = {GPIOF, 0x0008U};
static const TS_PIN PF4 = {GPIOF, 0x0010U};
static const TS_PIN PF5 = {GPIOF, 0x0020U};
static const TS_PIN PF6 = {GPIOF, 0x0040U};
static const TS_PIN PF7 = {GPIOF, 0x0080U};
static const TS_PIN PF8 = {GPIOF, 0x0100U};
static const TS_PIN PF9 = {GPIOF, 0x0200U};
static const TS_PIN PF10 = {GPIOF, 0x0400U};
static const TS_PIN PF11 = {GPIOF, 0x0800U};
static const TS_PIN PF12 = {GPIOF, 0x1000U};
static const TS_PIN PF13 = {GPIOF, 0x2000U};
static const TS_PIN PF14 = {GPIOF, 0x4000U};
static const TS_PIN PF15 = {GPIOF, 0x8000U};
static const TS_PIN PG0 = {GPIOG, 0x0001U};
static const TS_PIN PG1 = {GPIOG, 0x0002U};
static const TS_PIN PG2 = {GPIOG, 0x0004U};
static const TS_PIN PG3 = {GPIOG, 0x0008U};
static const TS_PIN PG4 = {GPIOG, 0x0010U};
static const TS_PIN PG5 = {GPIOG, 0x0020U};
static const TS_PIN PG6 = {GPIOG, 0x0040U};
static const TS_PIN PG7 = {GPIOG, 0x0080U};
static const TS_PIN PG8 = {GPIOG, 0x0100U};
static const TS_PIN PG9 = {GPIOG, 0x0200U};
static const TS_PIN PG10 = {GPIOG, 0x0400U};
static const TS_PIN PG11 = {GPIOG, 0x0800U};
static const TS_PIN PG12 = {GPIOG, 0x1000U};
static const TS_PIN PG13 = {GPIOG, 0x2000U};
static const TS_PIN PG14 = {GPIOG, 0x4000U};
static const TS_PIN PG15 = {GPIOG, 0x8000U};
// clang-format on

}  // namespace tessel
