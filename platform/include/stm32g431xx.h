// Register map of the STM32G431 for the peripherals this firmware touches, written
// from the chip's register fact sheet. Layouts are the chip's own; where the
// blocks live is up to the implementation (see platform_backend/instances.h).
#pragma once

#include <cstdint>

#define __IO volatile
#define __I volatile const
#define __O volatile

// ---- Register blocks --------------------------------------------------------

struct GPIO_TypeDef {
  __IO uint32_t MODER;    // 0x00
  __IO uint32_t OTYPER;   // 0x04
  __IO uint32_t OSPEEDR;  // 0x08
  __IO uint32_t PUPDR;    // 0x0C
  __IO uint32_t IDR;      // 0x10
  __IO uint32_t ODR;      // 0x14
  __IO uint32_t BSRR;     // 0x18
  __IO uint32_t LCKR;     // 0x1C
  __IO uint32_t AFR[2];   // 0x20 AFRL, 0x24 AFRH
  __IO uint32_t BRR;      // 0x28
};

struct RCC_TypeDef {
  __IO uint32_t CR;          // 0x00
  __IO uint32_t ICSCR;       // 0x04
  __IO uint32_t CFGR;        // 0x08
  __IO uint32_t PLLCFGR;     // 0x0C
  uint32_t RESERVED0[2];     // 0x10
  __IO uint32_t CIER;        // 0x18
  __IO uint32_t CIFR;        // 0x1C
  __IO uint32_t CICR;        // 0x20
  uint32_t RESERVED1;        // 0x24
  __IO uint32_t AHB1RSTR;    // 0x28
  __IO uint32_t AHB2RSTR;    // 0x2C
  __IO uint32_t AHB3RSTR;    // 0x30
  uint32_t RESERVED2;        // 0x34
  __IO uint32_t APB1RSTR1;   // 0x38
  __IO uint32_t APB1RSTR2;   // 0x3C
  __IO uint32_t APB2RSTR;    // 0x40
  uint32_t RESERVED3;        // 0x44
  __IO uint32_t AHB1ENR;     // 0x48
  __IO uint32_t AHB2ENR;     // 0x4C
  __IO uint32_t AHB3ENR;     // 0x50
  uint32_t RESERVED4;        // 0x54
  __IO uint32_t APB1ENR1;    // 0x58
  __IO uint32_t APB1ENR2;    // 0x5C
  __IO uint32_t APB2ENR;     // 0x60
  uint32_t RESERVED5;        // 0x64
  __IO uint32_t AHB1SMENR;   // 0x68
  __IO uint32_t AHB2SMENR;   // 0x6C
  __IO uint32_t AHB3SMENR;   // 0x70
  uint32_t RESERVED6;        // 0x74
  __IO uint32_t APB1SMENR1;  // 0x78
  __IO uint32_t APB1SMENR2;  // 0x7C
  __IO uint32_t APB2SMENR;   // 0x80
  uint32_t RESERVED7;        // 0x84
  __IO uint32_t CCIPR;       // 0x88
  uint32_t RESERVED8;        // 0x8C
  __IO uint32_t BDCR;        // 0x90
  __IO uint32_t CSR;         // 0x94
  __IO uint32_t CRRCR;       // 0x98
  __IO uint32_t CCIPR2;      // 0x9C
};

struct PWR_TypeDef {
  __IO uint32_t CR1;       // 0x00
  __IO uint32_t CR2;       // 0x04
  __IO uint32_t CR3;       // 0x08
  __IO uint32_t CR4;       // 0x0C
  __IO uint32_t SR1;       // 0x10
  __IO uint32_t SR2;       // 0x14
  __IO uint32_t SCR;       // 0x18
  uint32_t RESERVED0;      // 0x1C
  __IO uint32_t PUCRA;     // 0x20
  __IO uint32_t PDCRA;     // 0x24
  __IO uint32_t PUCRB;     // 0x28
  __IO uint32_t PDCRB;     // 0x2C
  __IO uint32_t PUCRC;     // 0x30
  __IO uint32_t PDCRC;     // 0x34
  __IO uint32_t PUCRD;     // 0x38
  __IO uint32_t PDCRD;     // 0x3C
  __IO uint32_t PUCRE;     // 0x40
  __IO uint32_t PDCRE;     // 0x44
  __IO uint32_t PUCRF;     // 0x48
  __IO uint32_t PDCRF;     // 0x4C
  __IO uint32_t PUCRG;     // 0x50
  __IO uint32_t PDCRG;     // 0x54
  uint32_t RESERVED1[10];  // 0x58
  __IO uint32_t CR5;       // 0x80
};

struct FLASH_TypeDef {
  __IO uint32_t ACR;      // 0x00
  __IO uint32_t PDKEYR;   // 0x04
  __IO uint32_t KEYR;     // 0x08
  __IO uint32_t OPTKEYR;  // 0x0C
  __IO uint32_t SR;       // 0x10
  __IO uint32_t CR;       // 0x14
  __IO uint32_t ECCR;     // 0x18
  uint32_t RESERVED0;     // 0x1C
  __IO uint32_t OPTR;     // 0x20
};

struct SYSCFG_TypeDef {
  __IO uint32_t MEMRMP;     // 0x00
  __IO uint32_t CFGR1;      // 0x04
  __IO uint32_t EXTICR[4];  // 0x08..0x14
  __IO uint32_t SCSR;       // 0x18
  __IO uint32_t CFGR2;      // 0x1C
  __IO uint32_t SWPR;       // 0x20
  __IO uint32_t SKR;        // 0x24
};

struct EXTI_TypeDef {
  __IO uint32_t IMR1;    // 0x00
  __IO uint32_t EMR1;    // 0x04
  __IO uint32_t RTSR1;   // 0x08
  __IO uint32_t FTSR1;   // 0x0C
  __IO uint32_t SWIER1;  // 0x10
  __IO uint32_t PR1;     // 0x14
  uint32_t RESERVED0[2];
  __IO uint32_t IMR2;    // 0x20
  __IO uint32_t EMR2;    // 0x24
  __IO uint32_t RTSR2;   // 0x28
  __IO uint32_t FTSR2;   // 0x2C
  __IO uint32_t SWIER2;  // 0x30
  __IO uint32_t PR2;     // 0x34
};

// General-purpose, basic and advanced timers share one layout; registers a
// timer does not have read as zero there.
struct TIM_TypeDef {
  __IO uint32_t CR1;    // 0x00
  __IO uint32_t CR2;    // 0x04
  __IO uint32_t SMCR;   // 0x08
  __IO uint32_t DIER;   // 0x0C
  __IO uint32_t SR;     // 0x10
  __IO uint32_t EGR;    // 0x14
  __IO uint32_t CCMR1;  // 0x18
  __IO uint32_t CCMR2;  // 0x1C
  __IO uint32_t CCER;   // 0x20
  __IO uint32_t CNT;    // 0x24
  __IO uint32_t PSC;    // 0x28
  __IO uint32_t ARR;    // 0x2C
  __IO uint32_t RCR;    // 0x30
  __IO uint32_t CCR1;   // 0x34
  __IO uint32_t CCR2;   // 0x38
  __IO uint32_t CCR3;   // 0x3C
  __IO uint32_t CCR4;   // 0x40
  __IO uint32_t BDTR;   // 0x44
  __IO uint32_t CCR5;   // 0x48
  __IO uint32_t CCR6;   // 0x4C
  __IO uint32_t CCMR3;  // 0x50
  __IO uint32_t DTR2;   // 0x54
  __IO uint32_t ECR;    // 0x58
  __IO uint32_t TISEL;  // 0x5C
  __IO uint32_t AF1;    // 0x60
  __IO uint32_t AF2;    // 0x64
  __IO uint32_t OR;     // 0x68
  uint32_t RESERVED0[220];
  __IO uint32_t DCR;   // 0x3DC
  __IO uint32_t DMAR;  // 0x3E0
};

struct DMA_TypeDef {
  __IO uint32_t ISR;   // 0x00
  __IO uint32_t IFCR;  // 0x04
};

// One DMA channel: CCRx at 0x08 + 0x14 * (x - 1) from the controller base.
struct DMA_Channel_TypeDef {
  __IO uint32_t CCR;    // 0x00
  __IO uint32_t CNDTR;  // 0x04
  __IO uint32_t CPAR;   // 0x08
  __IO uint32_t CMAR;   // 0x0C
  uint32_t RESERVED0;   // 0x10
};

struct DMAMUX_Channel_TypeDef {
  __IO uint32_t CCR;  // CxCR
};

struct DMAMUX_ChannelStatus_TypeDef {
  __IO uint32_t CSR;  // 0x80
  __IO uint32_t CFR;  // 0x84
};

struct USART_TypeDef {
  __IO uint32_t CR1;    // 0x00
  __IO uint32_t CR2;    // 0x04
  __IO uint32_t CR3;    // 0x08
  __IO uint32_t BRR;    // 0x0C
  __IO uint32_t GTPR;   // 0x10
  __IO uint32_t RTOR;   // 0x14
  __IO uint32_t RQR;    // 0x18
  __IO uint32_t ISR;    // 0x1C
  __IO uint32_t ICR;    // 0x20
  __IO uint32_t RDR;    // 0x24
  __IO uint32_t TDR;    // 0x28
  __IO uint32_t PRESC;  // 0x2C
};

// ---- Base addresses ----------------------------------------------------------

#define FLASH_BASE 0x08000000UL
#define SRAM_BASE 0x20000000UL
#define SRAM_SIZE 0x00008000UL

#define TIM2_BASE 0x40000000UL
#define TIM4_BASE 0x40000800UL
#define TIM7_BASE 0x40001400UL
#define USART3_BASE 0x40004800UL
#define PWR_BASE 0x40007000UL
#define SYSCFG_BASE 0x40010000UL
#define EXTI_BASE 0x40010400UL
#define TIM1_BASE 0x40012C00UL
#define TIM8_BASE 0x40013400UL
#define TIM17_BASE 0x40014800UL
#define DMA1_BASE 0x40020000UL
#define DMA1_Channel1_BASE (DMA1_BASE + 0x008UL)
#define DMA1_Channel2_BASE (DMA1_BASE + 0x01CUL)
#define DMA1_Channel3_BASE (DMA1_BASE + 0x030UL)
#define DMA1_Channel4_BASE (DMA1_BASE + 0x044UL)
#define DMA1_Channel5_BASE (DMA1_BASE + 0x058UL)
#define DMA1_Channel6_BASE (DMA1_BASE + 0x06CUL)
#define DMAMUX1_BASE 0x40020800UL
#define DMAMUX1_ChannelStatus_BASE (DMAMUX1_BASE + 0x080UL)
#define RCC_BASE 0x40021000UL
#define FLASH_R_BASE 0x40022000UL
#define GPIOA_BASE 0x48000000UL
#define GPIOB_BASE 0x48000400UL
#define GPIOC_BASE 0x48000800UL
#define GPIOD_BASE 0x48000C00UL
#define GPIOE_BASE 0x48001000UL
#define GPIOF_BASE 0x48001400UL
#define GPIOG_BASE 0x48001800UL

// ---- Instances ----------------------------------------------------------------
// PLATFORM_INSTANCE(type, register_file_member, base) names one peripheral
// instance. The backend's platform_backend/instances.h defines it: on the chip
// an instance is its fixed address.
#include "platform_backend/instances.h"

#define GPIOA PLATFORM_INSTANCE(GPIO_TypeDef, gpio[0], GPIOA_BASE)
#define GPIOB PLATFORM_INSTANCE(GPIO_TypeDef, gpio[1], GPIOB_BASE)
#define GPIOC PLATFORM_INSTANCE(GPIO_TypeDef, gpio[2], GPIOC_BASE)
#define GPIOD PLATFORM_INSTANCE(GPIO_TypeDef, gpio[3], GPIOD_BASE)
#define GPIOE PLATFORM_INSTANCE(GPIO_TypeDef, gpio[4], GPIOE_BASE)
#define GPIOF PLATFORM_INSTANCE(GPIO_TypeDef, gpio[5], GPIOF_BASE)
#define GPIOG PLATFORM_INSTANCE(GPIO_TypeDef, gpio[6], GPIOG_BASE)
#define RCC PLATFORM_INSTANCE(RCC_TypeDef, rcc, RCC_BASE)
#define PWR PLATFORM_INSTANCE(PWR_TypeDef, pwr, PWR_BASE)
#define FLASH PLATFORM_INSTANCE(FLASH_TypeDef, flash, FLASH_R_BASE)
#define SYSCFG PLATFORM_INSTANCE(SYSCFG_TypeDef, syscfg, SYSCFG_BASE)
#define EXTI PLATFORM_INSTANCE(EXTI_TypeDef, exti, EXTI_BASE)
#define TIM1 PLATFORM_INSTANCE(TIM_TypeDef, tim1, TIM1_BASE)
#define TIM2 PLATFORM_INSTANCE(TIM_TypeDef, tim2, TIM2_BASE)
#define TIM4 PLATFORM_INSTANCE(TIM_TypeDef, tim4, TIM4_BASE)
#define TIM7 PLATFORM_INSTANCE(TIM_TypeDef, tim7, TIM7_BASE)
#define TIM8 PLATFORM_INSTANCE(TIM_TypeDef, tim8, TIM8_BASE)
#define TIM17 PLATFORM_INSTANCE(TIM_TypeDef, tim17, TIM17_BASE)
#define DMA1 PLATFORM_INSTANCE(DMA_TypeDef, dma1, DMA1_BASE)
#define DMA1_Channel1 PLATFORM_INSTANCE(DMA_Channel_TypeDef, dma1_channel[0], DMA1_Channel1_BASE)
#define DMA1_Channel2 PLATFORM_INSTANCE(DMA_Channel_TypeDef, dma1_channel[1], DMA1_Channel2_BASE)
#define DMA1_Channel3 PLATFORM_INSTANCE(DMA_Channel_TypeDef, dma1_channel[2], DMA1_Channel3_BASE)
#define DMA1_Channel4 PLATFORM_INSTANCE(DMA_Channel_TypeDef, dma1_channel[3], DMA1_Channel4_BASE)
#define DMA1_Channel5 PLATFORM_INSTANCE(DMA_Channel_TypeDef, dma1_channel[4], DMA1_Channel5_BASE)
#define DMA1_Channel6 PLATFORM_INSTANCE(DMA_Channel_TypeDef, dma1_channel[5], DMA1_Channel6_BASE)
#define DMAMUX1_Channel0 PLATFORM_INSTANCE(DMAMUX_Channel_TypeDef, dmamux1_channel[0], DMAMUX1_BASE)
#define DMAMUX1_ChannelStatus \
  PLATFORM_INSTANCE(DMAMUX_ChannelStatus_TypeDef, dmamux1_status, DMAMUX1_ChannelStatus_BASE)
#define USART3 PLATFORM_INSTANCE(USART_TypeDef, usart3, USART3_BASE)
