// Platform settings of the front light controller, read by the platform layer
// (stm32g4xx_hal.h includes this header).
#pragma once

// SysTick at the same pre-emption priority as every peripheral interrupt (0).
#define TICK_INT_PRIORITY 0U

// Internal oscillator frequency in Hz: the PLL's source on this board.
#define HSI_VALUE 16000000U

// Flash accelerator: prefetch off, instruction and data caches on (their reset
// state, which the platform leaves untouched).
#define PREFETCH_ENABLE 0U
#define INSTRUCTION_CACHE_ENABLE 1U
#define DATA_CACHE_ENABLE 1U
