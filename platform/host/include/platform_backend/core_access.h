// Host implementation: the core's register blocks in host memory, and the
// interrupt mask as a flag the simulated NVIC honours (included by core_cm4.h
// as platform_backend/core_access.h).
#pragma once

namespace platform_host {
struct CoreRegisterFile {
  SysTick_Type systick;
  NVIC_Type nvic;
  SCB_Type scb;
};
extern CoreRegisterFile core;
// Interrupt mask as the intrinsics below leave it (true: interrupts disabled).
extern bool primask;
}  // namespace platform_host

#define SysTick (&platform_host::core.systick)
#define NVIC (&platform_host::core.nvic)
#define SCB (&platform_host::core.scb)
inline void __disable_irq() { platform_host::primask = true; }
inline void __enable_irq() { platform_host::primask = false; }
inline uint32_t __get_PRIMASK() { return platform_host::primask ? 1U : 0U; }
inline void __set_PRIMASK(uint32_t mask) { platform_host::primask = (mask & 1U) != 0U; }
inline void __DSB() {}
inline void __ISB() {}
inline void __NOP() {}
