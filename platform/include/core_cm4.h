// Cortex-M4 core registers (SysTick, NVIC, SCB, FPU) and the interrupt-mask
// intrinsics (__disable_irq, __enable_irq, __get_PRIMASK, __set_PRIMASK, __DSB,
// __ISB, __NOP).
#pragma once

#include <cstdint>

#include "stm32g431xx.h"

#define __NVIC_PRIO_BITS 4U

enum IRQn_Type : int32_t {
  NonMaskableInt_IRQn = -14,
  HardFault_IRQn = -13,
  MemoryManagement_IRQn = -12,
  BusFault_IRQn = -11,
  UsageFault_IRQn = -10,
  SVCall_IRQn = -5,
  DebugMonitor_IRQn = -4,
  PendSV_IRQn = -2,
  SysTick_IRQn = -1,
  WWDG_IRQn = 0,
  EXTI0_IRQn = 6,
  EXTI1_IRQn = 7,
  EXTI2_IRQn = 8,
  EXTI3_IRQn = 9,
  EXTI4_IRQn = 10,
  DMA1_Channel1_IRQn = 11,
  DMA1_Channel2_IRQn = 12,
  EXTI9_5_IRQn = 23,
  TIM1_BRK_TIM15_IRQn = 24,
  TIM1_UP_TIM16_IRQn = 25,
  TIM1_TRG_COM_TIM17_IRQn = 26,
  TIM1_CC_IRQn = 27,
  TIM2_IRQn = 28,
  TIM4_IRQn = 30,
  USART3_IRQn = 39,
  EXTI15_10_IRQn = 40,
  TIM8_UP_IRQn = 44,
  TIM7_IRQn = 55,
};

struct SysTick_Type {
  __IO uint32_t CTRL;  // 0xE000E010
  __IO uint32_t LOAD;  // 0xE000E014
  __IO uint32_t VAL;   // 0xE000E018
  __I uint32_t CALIB;  // 0xE000E01C
};

struct NVIC_Type {
  __IO uint32_t ISER[8];  // 0xE000E100
  uint32_t RESERVED0[24];
  __IO uint32_t ICER[8];  // 0xE000E180
  uint32_t RESERVED1[24];
  __IO uint32_t ISPR[8];  // 0xE000E200
  uint32_t RESERVED2[24];
  __IO uint32_t ICPR[8];  // 0xE000E280
  uint32_t RESERVED3[24];
  __IO uint32_t IABR[8];  // 0xE000E300
  uint32_t RESERVED4[56];
  __IO uint8_t IP[240];  // 0xE000E400, one byte per interrupt
  uint32_t RESERVED5[644];
  __O uint32_t STIR;  // 0xE000EF00
};

struct SCB_Type {
  __I uint32_t CPUID;    // 0xE000ED00
  __IO uint32_t ICSR;    // 0xE000ED04
  __IO uint32_t VTOR;    // 0xE000ED08
  __IO uint32_t AIRCR;   // 0xE000ED0C
  __IO uint32_t SCR;     // 0xE000ED10
  __IO uint32_t CCR;     // 0xE000ED14
  __IO uint8_t SHP[12];  // 0xE000ED18 system handler priorities 4..15
  __IO uint32_t SHCSR;   // 0xE000ED24
  __IO uint32_t CFSR;    // 0xE000ED28
  __IO uint32_t HFSR;    // 0xE000ED2C
  __IO uint32_t DFSR;    // 0xE000ED30
  __IO uint32_t MMFAR;   // 0xE000ED34
  __IO uint32_t BFAR;    // 0xE000ED38
  __IO uint32_t AFSR;    // 0xE000ED3C
  __I uint32_t PFR[2];   // 0xE000ED40
  __I uint32_t DFR;
  __I uint32_t ADR;
  __I uint32_t MMFR[4];
  __I uint32_t ISAR[5];
  uint32_t RESERVED0[5];
  __IO uint32_t CPACR;  // 0xE000ED88
};

#define SCS_BASE 0xE000E000UL
#define SysTick_BASE (SCS_BASE + 0x0010UL)
#define NVIC_BASE (SCS_BASE + 0x0100UL)
#define SCB_BASE (SCS_BASE + 0x0D00UL)

// Where the blocks live and how the interrupt-mask and barrier intrinsics work
// is the implementation's business: each backend supplies its own
// platform_backend/core_access.h (the chip: fixed addresses and the core's
// instructions).
#include "platform_backend/core_access.h"
