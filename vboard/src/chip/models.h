// Register-level models of the STM32G431 peripherals the two lamp images touch.
// Each model is a vboard::Device over a table of named registers (names as in the
// register fact sheet); the chip (chip/stm32g431.cpp) builds them and wires them
// together: RCC gates and clocks them, GPIO pads feed EXTI and the outside world,
// timers feed GPIO alternate functions and DMAMUX requests, DMA writes timers.
// One header per peripheral; this one gathers them.
#pragma once

#include "chip/regblock.h"
#include "chip/rcc.h"
#include "chip/gpio.h"
#include "chip/timer.h"
#include "chip/dma.h"
#include "chip/usart.h"
