// Host implementation: reads of a timer's counter and status go through the host
// platform, so that a test can act at the exact moment of the read (e.g. let the
// counter wrap between the two). Same results as the plain register reads
// (included by stm32g4xx_hal.h as platform_backend/timer_reads.h).
#pragma once

namespace platform_host {
uint32_t tim_read_counter(TIM_TypeDef* tim);
uint32_t tim_read_status(TIM_TypeDef* tim);
}  // namespace platform_host

#define __HAL_TIM_GET_FLAG(htim, flag) ((platform_host::tim_read_status((htim)->Instance) & (flag)) == (flag))
#define __HAL_TIM_GET_COUNTER(htim) (platform_host::tim_read_counter((htim)->Instance))
