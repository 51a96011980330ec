// Test-side face of the host platform. The HAL_* operations run on register
// blocks in host memory (platform_host::regs / core); this header gives tests
// explicit calls to drive inputs, raise edges and timer events, move simulated
// time, and read back what the code under test did to the "hardware". No test
// needs to sleep: time only moves through advance_us() and HAL_Delay().
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "stm32g4xx_hal.h"

namespace platform_host {

// Everything back to the state after a power-on reset: register reset values,
// tick 0, SystemCoreClock 16 MHz, system clock setting 150 MHz, logs, counters,
// hooks and recorded handles cleared, interrupts unmasked.
void reset();

// ---- Time -------------------------------------------------------------------
// Simulated time since reset(). advance_us() moves the 1 ms tick (HAL_IncTick at
// every whole millisecond) and every running timer (with the DMA requests of
// its channels), and runs the interrupts that become due on the way, in time
// order; interrupts already pending and enabled run first.
uint64_t now_us();
void advance_us(uint64_t us);
uint32_t tick();  // uwTick

// ---- Clocks -----------------------------------------------------------------
// What HAL_RCC_GetSysClockFreq reports and what timers count from (Hz).
void set_sys_clock_hz(uint32_t hz);
uint32_t sys_clock_hz();
// Fault injection: while set, a PLL switched on never locks, and
// HAL_RCC_OscConfig returns HAL_TIMEOUT after the lock time-out has passed.
void set_pll_never_locks(bool never);

// ---- GPIO -------------------------------------------------------------------
// Drives the masked pins of a port from outside. A level change on a pin whose
// EXTI line is routed to this port, triggered on that edge and unmasked sets
// the line's pending bit and, if its interrupt is enabled in the NVIC and
// interrupts are not masked, runs it at once: handler ->
// HAL_GPIO_EXTI_IRQHandler -> HAL_GPIO_EXTI_Callback.
void set_input(GPIO_TypeDef* port, uint16_t pin_mask, bool high);
// Level the code last drove on a pin (ODR).
bool output_level(GPIO_TypeDef* port, uint16_t pin);

struct PinWrite {
  GPIO_TypeDef* port;
  uint16_t mask;
  GPIO_PinState level;
  uint64_t time_us;
};
// Every HAL_GPIO_WritePin call, in order.
const std::vector<PinWrite>& write_log();
void clear_write_log();
// Called after each HAL_GPIO_WritePin has taken effect, e.g. to act at an exact
// point inside the code under test.
using WriteHook = std::function<void(const PinWrite&)>;
void set_write_hook(WriteHook hook);

// ---- Interrupts ---------------------------------------------------------------
// Pends a peripheral interrupt and runs it if it is enabled and not masked.
// Interrupts never nest: one raised while a handler runs waits for it to end.
void raise_irq(IRQn_Type irq);
bool irq_enabled(IRQn_Type irq);
uint8_t irq_priority(IRQn_Type irq);  // pre-emption priority (0..15)

// ---- Timers -----------------------------------------------------------------
bool timer_running(TIM_TypeDef* tim);             // CR1.CEN
bool timer_update_irq_enabled(TIM_TypeDef* tim);  // DIER.UIE
void set_counter(TIM_TypeDef* tim, uint32_t cnt);
// The timer wraps now: counter to `cnt_after`, UIF set, and its update
// interrupt (if enabled) pended and run unless `hold_interrupt` keeps it
// waiting, as while a handler of the same priority runs.
void wrap_timer(TIM_TypeDef* tim, uint32_t cnt_after, bool hold_interrupt);
// Runs the update interrupt of a timer whose UIF is set (if UIE is set).
void deliver_timer_update(TIM_TypeDef* tim);

enum class TimerRead { Counter, Status };
// Called just before each __HAL_TIM_GET_COUNTER / __HAL_TIM_GET_FLAG read, with
// the timer and what is about to be read; it may change the registers and run
// interrupts, as hardware and interrupts could at that instant.
using TimerReadHook = std::function<void(TIM_TypeDef*, TimerRead)>;
void set_timer_read_hook(TimerReadHook hook);

// What HAL_TIM_PWM_Start_DMA was last given for a handle.
struct PwmDma {
  const uint8_t* buffer = nullptr;  // the frame, read byte by byte by the DMA
  uint16_t length = 0;              // items per circular pass
  uint32_t channel = 0;
  bool running = false;  // started and not stopped since
  uint32_t start_calls = 0;
  uint32_t stop_calls = 0;
};
PwmDma pwm_dma(const TIM_HandleTypeDef* htim);

// ---- Call counters ------------------------------------------------------------
struct Calls {
  uint32_t gpio_read = 0;
  uint32_t gpio_write = 0;
  uint32_t exti_dispatch = 0;  // HAL_GPIO_EXTI_IRQHandler calls that reached the callback
  uint32_t tim_base_init = 0;
  uint32_t tim_base_start = 0;
  uint32_t tim_base_start_it = 0;
  uint32_t delay = 0;
  uint32_t last_delay_ms = 0;
};
const Calls& calls();

}  // namespace platform_host
