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

// TIM7 overflows. Writers: the TIM7 update interrupt (HAL_TIM_PeriodElapsedCallback),
// one per update, and micros(), for wraps the update flag could not record
// (several wraps while the update interrupt waited behind pin-change
// interrupts). Reader: micros(), in the foreground and in the pin-change
// interrupt. micros() masks interrupts, so no access of it is ever torn.
extern volatile uint64_t ___tim_count;

// The latest time micros() returned; only micros() reads and writes it, with
// interrupts masked. A time below it reveals wraps that were never counted.
extern uint64_t ___micros_latest;

uint64_t micros(void);    // microseconds; foreground and interrupt handlers
uint32_t millis(void);    // milliseconds, rounded down, saturating at 0xFFFFFFFF
void delay(uint32_t ms);  // busy-waits ms to ms + 1 milliseconds; foreground only
}
