// The register side of the timers. Each implementation of the platform API
// provides these (platform/chip on the chip's registers, platform/host in host
// memory); the handle-state rules on top of them are shared (hal_tim.cpp).
// Channel indexes count from 0; callers have checked them against features().
#pragma once

#include "stm32g4xx_hal.h"

namespace tim_port {

// What a timer instance has, as far as the platform API uses it.
struct Features {
  bool known = false;
  bool has_break = false;  // break stage: RCR, BDTR and the main output enable
  bool master = false;     // master mode (CR2.MMS)
  bool slave = false;      // slave controller (SMCR)
  uint32_t channels = 0;   // capture/compare channels 1..channels
};
Features features(const TIM_TypeDef* tim);

// Writes the handle's time base (counter mode, clock division, preload, period,
// prescaler, repetition) into the timer and loads it with an update event,
// leaving no update flag behind.
void load_time_base(TIM_HandleTypeDef* htim);

// Counter on, with the update interrupt when asked.
void start_counter(TIM_TypeDef* tim, bool update_interrupt);
// Update interrupt off when asked; the counter stops unless a channel output is
// still on (it would freeze).
void stop_counter(TIM_TypeDef* tim, bool update_interrupt);

// Slave mode off and the external trigger unused: the internal clock.
void select_internal_clock(TIM_TypeDef* tim);
void set_master_mode(TIM_TypeDef* tim, const TIM_MasterConfigTypeDef& config);
// PWM mode, compare preload, fast mode, idle states, pulse and polarity; the
// channel's output is off while it changes.
void configure_pwm_channel(TIM_TypeDef* tim, uint32_t index, const TIM_OC_InitTypeDef& config);
// The break and dead-time setting in one write; the main output enable stays.
void set_break_dead_time(TIM_TypeDef* tim, const TIM_BreakDeadTimeConfigTypeDef& config);

// Starts the channel's DMA (HAL_DMA_Start_IT) from `data` to its compare register.
HAL_StatusTypeDef start_dma(TIM_HandleTypeDef* htim, uint32_t index, const uint32_t* data, uint16_t length);
// The channel's compare events request DMA; its output, the main output and the
// counter go on.
void enable_dma_output(TIM_TypeDef* tim, uint32_t index);
// The channel's compare events stop requesting DMA.
void disable_dma_requests(TIM_HandleTypeDef* htim, uint32_t index);
// The channel's output off; the main output and the counter go off when no
// channel output is left on.
void disable_output(TIM_TypeDef* tim, uint32_t index);

// Clears status flags (SR bit positions) and leaves the others.
void clear_flags(TIM_TypeDef* tim, uint32_t flags);

}  // namespace tim_port
