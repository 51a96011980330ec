// Timers of the rear light controller. htim17 with hdma_tim17_ch1 drives the
// LED strip (PA7); the others are configured but never started.
#pragma once

#include "main.h"

// The strip's data pin, a compile-time setting: PA7, or another pin that carries
// TIM17 channel 1 on alternate function 1 (a test image uses PB9).
#ifndef AURELIS_REAR_DATA_PORT
#define AURELIS_REAR_DATA_PORT GPIOA
#define AURELIS_REAR_DATA_PIN GPIO_PIN_7
#define AURELIS_REAR_DATA_CLK_ENABLE __HAL_RCC_GPIOA_CLK_ENABLE
#endif

extern TIM_HandleTypeDef htim1;
extern TIM_HandleTypeDef htim4;
extern TIM_HandleTypeDef htim7;
extern TIM_HandleTypeDef htim8;
extern TIM_HandleTypeDef htim17;
extern DMA_HandleTypeDef hdma_tim17_ch1;

extern "C" {
void MX_TIM1_Init(void);
void MX_TIM4_Init(void);
void MX_TIM7_Init(void);
void MX_TIM8_Init(void);
void MX_TIM17_Init(void);

// Connects a timer's channel outputs to their pins once the channel is set up
// (TIM4 channel 3 on PB8, TIM17 channel 1 on PA7).
void HAL_TIM_MspPostInit(TIM_HandleTypeDef* timHandle);
}
