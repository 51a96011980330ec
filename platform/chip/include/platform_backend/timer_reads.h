// Chip implementation: a timer's status and counter are plain register reads
// (included by stm32g4xx_hal.h as platform_backend/timer_reads.h).
#pragma once

#define __HAL_TIM_GET_FLAG(htim, flag) (((htim)->Instance->SR & (flag)) == (flag))
#define __HAL_TIM_GET_COUNTER(htim) ((htim)->Instance->CNT)
