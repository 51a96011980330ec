// What the case files of the conformance suite share: the pins of the rig, the
// events the callbacks record, the helpers every peripheral's cases use, and
// the cases themselves, declared from the case list. Every case starts from
// baseline() and leaves the peripherals it used quiet (interrupt lines off,
// timers stopped), because the test image runs the cases one after another on
// one chip.
//
// Named differences: what the two implementations cannot share, and how the
// cases stay clear of it.
//  1. Timer clock. The host's timers count from the SYSCLK a test set (150 MHz
//     from power-on); the chip's count from its clock tree (16 MHz until the PLL
//     is selected). baseline() selects the PLL, so both count at 150 MHz.
//  2. HAL_RCC_GetSysClockFreq. The chip reads the switch and the PLL registers;
//     the host reports the test's setting whatever the switch says. The cases
//     read the frequency only with the PLL selected.
//  3. When a pending interrupt is taken. The chip takes it at the next
//     instruction; the host at the next operation that moves simulated time or
//     enables the line. Every stimulus is followed by rig_wait_us().
//  4. Timing precision. The host moves time exactly as asked; the chip's wait
//     is a busy loop on the cycle counter, a few microseconds long. Windows in
//     the cases leave room for that, never for a wrong period.
//  5. DMA addresses. The host keeps the PWM buffer's pointer aside (host
//     pointers do not fit CMAR); the chip's channel holds the buffer and the
//     compare register's addresses. The cases look at the effects: compare
//     values taken from the buffer, callbacks, channel state.
//  6. DMA pacing. The chip's DMA is asked for the next compare value at each
//     compare match, the host's once per timer period: the same number of
//     items per pass, so the same half- and full-transfer callbacks.
//  7. Clock time-outs. Only the PLL's lock can be made to fail on both (the
//     fault line); HSI ready and the clock switch always complete on both, so
//     their time-outs are not provoked here.
//  8. Register semantics of flag registers. EXTI PR1 and the DMA flag clear
//     registers are write-1-to-clear on the chip, plain memory on the host: the
//     cases never write them, only the platform does.
//  9. Clock gating. The chip ignores writes to a peripheral whose bus clock is
//     off and reads it as 0; the host's register file is live whatever the
//     enable bits say, so on the host alone a missing clock enable goes
//     unnoticed. The suite enables every clock it uses, as the boards do.
// 10. SysTick's counter. The chip's VAL counts down from LOAD; the host's holds
//     the 0 its HAL_InitTick writes (its ticks fall on whole simulated
//     milliseconds), so a check of VAL accepts 0.
#pragma once

#include <cstdint>

#include "conformance.h"

namespace conformance {

constexpr uint32_t kSysclkHz = 150000000U;
constexpr uint16_t kWireOut = GPIO_PIN_0;    // PB0, wired to PA1
constexpr uint16_t kWireIn = GPIO_PIN_1;     // PA1
constexpr uint16_t kFaultLine = GPIO_PIN_1;  // PB1: high = the PLL never locks
constexpr uint16_t kSpare = GPIO_PIN_2;      // PB2, an output nothing is wired to

// Written by the interrupt-context callbacks, read by the cases only after a
// wait, when the interrupt has run: single words, so every read sees a whole value.
struct Events {
  volatile uint32_t exti_calls;
  volatile uint32_t exti_pin;
  volatile uint32_t exti_pending_in_callback;
  volatile uint32_t period_calls;
  TIM_HandleTypeDef* volatile period_handle;
  volatile uint32_t half_calls;
  volatile uint32_t full_calls;
  volatile uint32_t wrong_channel;
  volatile uint32_t order_len;
  volatile char order[16];  // 'H' / 'F' per PWM-DMA callback, first 16
  volatile uint32_t base_msp_calls;
};
extern Events ev;

void clear_events();

// HSI through the PLL: N = 75 gives 150 MHz.
HAL_StatusTypeDef pll(uint32_t state, uint32_t n = 75U);
// SYSCLK from `source`, every bus at /1.
HAL_StatusTypeDef sysclk(uint32_t source, uint32_t latency);
// Pins `pins` of `port` in `mode`, no pull, low speed.
void pin_mode(GPIO_TypeDef* port, uint16_t pins, uint32_t mode);

inline void wire(bool high) { HAL_GPIO_WritePin(GPIOB, kWireOut, high ? GPIO_PIN_SET : GPIO_PIN_RESET); }

inline bool wire_in() { return HAL_GPIO_ReadPin(GPIOA, kWireIn) == GPIO_PIN_SET; }

inline bool in_window(uint32_t v, uint32_t lo, uint32_t hi) { return v >= lo && v <= hi; }

// The mode of the DMA channel the base MSP hook links to TIM17's channel 1.
extern uint32_t pwm_dma_mode;

// A DMA channel streaming byte items into a timer's 32-bit compare register.
HAL_StatusTypeDef init_pwm_stream(DMA_HandleTypeDef& d, DMA_Channel_TypeDef* channel, uint32_t request,
                                  uint32_t mode);

// The cases, one function each, defined in the file of their peripheral.
#define CONFORMANCE_CASE_DECLARATION(name) void name(Result& r);
CONFORMANCE_CASES(CONFORMANCE_CASE_DECLARATION)
#undef CONFORMANCE_CASE_DECLARATION

}  // namespace conformance
