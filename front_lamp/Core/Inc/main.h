// Board-wide declarations of the front light controller: the platform API, the
// stop routine for failed initialisation and the entry points of the
// middleware's start-up bridge.
#pragma once

#include "stm32g4xx_hal.h"

extern "C" {

// Stops the board after a failed initialisation: interrupts masked, endless loop.
[[noreturn]] void Error_Handler(void);

void SystemClock_Config(void);

// Every peripheral of the board, in the order it relies on (after the clocks).
void MX_Peripherals_Init(void);

// The start-up bridge into the application object (middleware).
void cpp_setup(void);
void cpp_loop(void);

}  // extern "C"
