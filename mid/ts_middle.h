// The bridge from the board's main() into the one application object:
// cpp_setup() creates aurelis::application, runs its setup(), opens the
// start-up gate for pin-change events and (front firmware, built with
// TESSEL_TIME_BASE) starts the TIM7 time base; cpp_loop() runs loop() once.
// Also home of the two platform callbacks the middleware supplies.
#pragma once

#include <cstdint>

extern "C" {

// The application object, as a tessel::appbase; null until cpp_setup. Written
// once by cpp_setup, read by cpp_loop, both in the foreground.
extern void* _app;

// Start-up gate: nonzero drops pin-change events. Writer: cpp_setup (foreground,
// once, to 0); reader: HAL_GPIO_EXTI_Callback (interrupt). One byte each way.
extern volatile uint8_t ___skip;

void cpp_setup(void);
void cpp_loop(void);
}
