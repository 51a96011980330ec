// Timers of the front light controller. Only htim7 is used after start-up: it is
// the microsecond time base, started by the middleware.
#pragma once

#include "main.h"

extern TIM_HandleTypeDef htim1;
extern TIM_HandleTypeDef htim2;
extern TIM_HandleTypeDef htim4;
extern TIM_HandleTypeDef htim7;
extern TIM_HandleTypeDef htim8;

extern "C" {
void MX_TIM1_Init(void);
void MX_TIM2_Init(void);
void MX_TIM4_Init(void);
void MX_TIM7_Init(void);
void MX_TIM8_Init(void);
}
