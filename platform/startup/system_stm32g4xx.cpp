// Core set-up that has to happen before memory is initialised, and the core
// clock frequency the platform layer keeps up to date.
#include <cstdint>

#include "core_cm4.h"

namespace {
// CPACR fields CP10 and CP11 (bits 20 to 23): full access to the floating-point unit.
constexpr uint32_t kCpacrFpuFullAccess = 0xFU << 20;
}  // namespace

extern "C" {

// The internal 16 MHz oscillator drives the core from reset; HAL_RCC_ClockConfig
// updates this when the clock tree is switched to the PLL.
uint32_t SystemCoreClock = 16000000U;

// Runs from Reset_Handler before .data is copied and .bss is zeroed, so it must
// touch no global. Clocks stay at their reset state and the vector table is used
// where it is, at the start of flash.
void SystemInit() { SCB->CPACR = SCB->CPACR | kCpacrFpuFullAccess; }

}  // extern "C"
