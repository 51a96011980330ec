// State the host platform keeps beside the register blocks, shared by its units.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform_host.h"
#include "stm32g4xx_hal.h"

namespace platform_host::detail {

struct State {
  uint64_t now_us = 0;
  uint32_t sys_clock_hz = 150000000U;
  bool pll_never_locks = false;
  std::vector<PinWrite> writes;
  uint16_t driven[7] = {};  // pins a test drives from outside, per port
  Calls calls;
  TimerReadHook timer_read_hook;
  WriteHook write_hook;
  bool in_read_hook = false;
  bool in_handler = false;
  // Handles the code initialised, so interrupts and time can reach them.
  std::map<const TIM_TypeDef*, TIM_HandleTypeDef*> tim_handles;
  std::map<const DMA_Channel_TypeDef*, DMA_HandleTypeDef*> dma_handles;
  UART_HandleTypeDef* uart3 = nullptr;
  std::map<const TIM_HandleTypeDef*, PwmDma> pwm;
  // Fractional timer counts carried between time steps (in Hz * us units).
  std::map<const TIM_TypeDef*, uint64_t> timer_remainder;
};

State& state();

int gpio_index(const GPIO_TypeDef* port);
void service_interrupts();
void pend_irq(IRQn_Type irq);
// Pends the interrupt of DMA1 channel index + 1 and runs what is due.
void pend_irq_for_dma(uint32_t index);
void advance_timers(uint64_t us);
IRQn_Type timer_update_irq(const TIM_TypeDef* tim);
void gpio_reset_values();
void run_irq_handler(int irq);

}  // namespace platform_host::detail
