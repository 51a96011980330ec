// Chip implementation: the core's register blocks at their fixed addresses and
// the interrupt-mask and barrier intrinsics as the Cortex-M4's own instructions
// (included by core_cm4.h as platform_backend/core_access.h).
#pragma once

#define SysTick (reinterpret_cast<SysTick_Type*>(SysTick_BASE))
#define NVIC (reinterpret_cast<NVIC_Type*>(NVIC_BASE))
#define SCB (reinterpret_cast<SCB_Type*>(SCB_BASE))
__attribute__((always_inline)) inline void __disable_irq() { __asm volatile("cpsid i" ::: "memory"); }
__attribute__((always_inline)) inline void __enable_irq() { __asm volatile("cpsie i" ::: "memory"); }
__attribute__((always_inline)) inline uint32_t __get_PRIMASK() {
  uint32_t mask;
  __asm volatile("mrs %0, primask" : "=r"(mask)::"memory");
  return mask;
}
__attribute__((always_inline)) inline void __set_PRIMASK(uint32_t mask) {
  __asm volatile("msr primask, %0" ::"r"(mask) : "memory");
}
__attribute__((always_inline)) inline void __DSB() { __asm volatile("dsb 0xF" ::: "memory"); }
__attribute__((always_inline)) inline void __ISB() { __asm volatile("isb 0xF" ::: "memory"); }
__attribute__((always_inline)) inline void __NOP() { __asm volatile("nop"); }
