// The front firmware's time base: micros() and millis() from TIM7 running as a
// free 16-bit microsecond counter plus the count of its overflows, and delay()
// on the 1 ms system tick. Times count from the moment cpp_setup starts TIM7.
// The rear firmware has no time base and does not link this unit.
#pragma once

#include <cstdint>

#include "stm32g4xx_hal.h"

// TIM7 handle, defined and configured by the board (1 MHz, auto-reload 65535).
extern TIM_HandleTypeDef htim7;

extern "C" {

// TIM7 overflows. Writer: the TIM7 update interrupt (HAL_TIM_PeriodElapsedCallback).
// Readers: micros() in the foreground and in the pin-change interrupt, which
// re-read it until it is unchanged, so a torn or stale read is never used.
extern volatile uint64_t ___tim_count;

uint64_t micros(void);    // microseconds; foreground and interrupt handlers
uint32_t millis(void);    // milliseconds, rounded down, saturating at 0xFFFFFFFF
void delay(uint32_t ms);  // busy-waits ms to ms + 1 milliseconds; foreground only
}
