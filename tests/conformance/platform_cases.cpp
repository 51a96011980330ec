// The behaviour of each platform operation the firmware uses, stated once for
// both implementations. Every case starts from baseline() and leaves the
// peripherals it used quiet (interrupt lines off, timers stopped), because the
// test image runs the cases one after another on one chip.
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
#include <algorithm>
#include <cstring>
#include <iterator>

#include "conformance.h"

namespace conformance {

TIM_HandleTypeDef tim7;
TIM_HandleTypeDef tim17;
DMA_HandleTypeDef dma_tim17_ch1;

namespace {

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
Events ev;

void clear_events() { std::memset(const_cast<Events*>(&ev), 0, sizeof(ev)); }

void log_pwm(char what, TIM_HandleTypeDef* htim) {
  if (htim->Channel != HAL_TIM_ACTIVE_CHANNEL_1) {
    ev.wrong_channel = ev.wrong_channel + 1U;
  }
  if (ev.order_len < sizeof(ev.order)) {
    ev.order[ev.order_len] = what;
  }
  ev.order_len = ev.order_len + 1U;
}

HAL_StatusTypeDef pll(uint32_t state, uint32_t n = 75U) {
  RCC_OscInitTypeDef osc{};
  osc.OscillatorType = RCC_OSCILLATORTYPE_HSI;
  osc.HSIState = RCC_HSI_ON;
  osc.HSICalibrationValue = RCC_HSICALIBRATION_DEFAULT;
  osc.PLL = {state, RCC_PLLSOURCE_HSI, RCC_PLLM_DIV4, n, RCC_PLLP_DIV2, RCC_PLLQ_DIV2, RCC_PLLR_DIV2};
  return HAL_RCC_OscConfig(&osc);
}

HAL_StatusTypeDef sysclk(uint32_t source, uint32_t latency) {
  RCC_ClkInitTypeDef clk{};
  clk.ClockType = RCC_CLOCKTYPE_SYSCLK | RCC_CLOCKTYPE_HCLK | RCC_CLOCKTYPE_PCLK1 | RCC_CLOCKTYPE_PCLK2;
  clk.SYSCLKSource = source;
  clk.AHBCLKDivider = RCC_SYSCLK_DIV1;
  clk.APB1CLKDivider = RCC_HCLK_DIV1;
  clk.APB2CLKDivider = RCC_HCLK_DIV1;
  return HAL_RCC_ClockConfig(&clk, latency);
}

void pin_mode(GPIO_TypeDef* port, uint16_t pins, uint32_t mode) {
  GPIO_InitTypeDef init{};
  init.Pin = pins;
  init.Mode = mode;
  init.Pull = GPIO_NOPULL;
  init.Speed = GPIO_SPEED_FREQ_LOW;
  HAL_GPIO_Init(port, &init);
}

void wire(bool high) { HAL_GPIO_WritePin(GPIOB, kWireOut, high ? GPIO_PIN_SET : GPIO_PIN_RESET); }

bool wire_in() { return HAL_GPIO_ReadPin(GPIOA, kWireIn) == GPIO_PIN_SET; }

bool in_window(uint32_t v, uint32_t lo, uint32_t hi) { return v >= lo && v <= hi; }

// ---- Cases ------------------------------------------------------------------------

void GpioWriteReadToggle(Result& r) {
  pin_mode(GPIOB, kSpare, GPIO_MODE_OUTPUT_PP);
  HAL_GPIO_WritePin(GPIOB, kSpare, GPIO_PIN_SET);
  wire(true);
  rig_wait_us(2);
  CONFORMANCE_CHECK(r, wire_in());
  CONFORMANCE_CHECK(r, HAL_GPIO_ReadPin(GPIOB, kWireOut) == GPIO_PIN_SET);  // an output reads its own level
  wire(false);
  rig_wait_us(2);
  CONFORMANCE_CHECK(r, !wire_in());
  CONFORMANCE_CHECK(r, HAL_GPIO_ReadPin(GPIOB, kWireOut) == GPIO_PIN_RESET);
  CONFORMANCE_CHECK(r, HAL_GPIO_ReadPin(GPIOB, kSpare) == GPIO_PIN_SET);  // other pins untouched
  HAL_GPIO_TogglePin(GPIOB, kWireOut);
  rig_wait_us(2);
  CONFORMANCE_CHECK(r, wire_in());
  HAL_GPIO_TogglePin(GPIOB, kWireOut);
  rig_wait_us(2);
  CONFORMANCE_CHECK(r, !wire_in());
  CONFORMANCE_CHECK(r, HAL_GPIO_ReadPin(GPIOB, kSpare) == GPIO_PIN_SET);
  HAL_GPIO_WritePin(GPIOB, kSpare, GPIO_PIN_RESET);
  CONFORMANCE_CHECK(r, HAL_GPIO_ReadPin(GPIOB, kSpare) == GPIO_PIN_RESET);
  // An output takes its type and speed from the record.
  GPIO_InitTypeDef od{};
  od.Pin = kSpare;
  od.Mode = GPIO_MODE_OUTPUT_OD;
  od.Speed = GPIO_SPEED_FREQ_HIGH;
  HAL_GPIO_Init(GPIOB, &od);
  const auto spare_speed = [] { return (GPIOB->OSPEEDR >> 4U) & 3U; };  // PB2's two bits
  CONFORMANCE_CHECK(r, (GPIOB->OTYPER & kSpare) != 0U && spare_speed() == GPIO_SPEED_FREQ_HIGH);
  pin_mode(GPIOB, kSpare, GPIO_MODE_OUTPUT_PP);
  CONFORMANCE_CHECK(r, (GPIOB->OTYPER & kSpare) == 0U && spare_speed() == GPIO_SPEED_FREQ_LOW);

  // An address one port past GPIOG is no port: nothing is written there.
  GPIO_InitTypeDef init{};
  init.Pin = kSpare;
  init.Mode = GPIO_MODE_OUTPUT_PP;
  const uint32_t moder = GPIOB->MODER;
  HAL_GPIO_Init(reinterpret_cast<GPIO_TypeDef*>(GPIOG_BASE + (GPIOB_BASE - GPIOA_BASE)), &init);
  CONFORMANCE_CHECK(r, GPIOB->MODER == moder);
  // Nor without a record.
  const uint32_t pupdr = GPIOB->PUPDR;
  const uint32_t ospeedr = GPIOB->OSPEEDR;
  HAL_GPIO_Init(GPIOB, nullptr);
  CONFORMANCE_CHECK(r, GPIOB->MODER == moder && GPIOB->PUPDR == pupdr && GPIOB->OSPEEDR == ospeedr);
}

void ExtiOneCallbackPerEdgePendingClearedFirst(Result& r) {
  pin_mode(GPIOA, kWireIn, GPIO_MODE_IT_RISING_FALLING);
  // The line is routed to port A, both triggers set, unmasked; SYSCFG clocked by the HAL.
  CONFORMANCE_CHECK(r, ((SYSCFG->EXTICR[0] >> 4U) & 0xFU) == 0U);
  CONFORMANCE_CHECK(r, (EXTI->RTSR1 & kWireIn) != 0U && (EXTI->FTSR1 & kWireIn) != 0U);
  CONFORMANCE_CHECK(r, (EXTI->IMR1 & kWireIn) != 0U);
  CONFORMANCE_CHECK(r, (RCC->APB2ENR & RCC_APB2ENR_SYSCFGEN) != 0U);
  HAL_NVIC_SetPriority(EXTI1_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(EXTI1_IRQn);
  clear_events();

  wire(true);
  rig_wait_us(5);
  CONFORMANCE_CHECK(r, ev.exti_calls == 1U);
  CONFORMANCE_CHECK(r, ev.exti_pin == kWireIn);
  CONFORMANCE_CHECK(r, ev.exti_pending_in_callback == 0U);  // cleared before the callback
  CONFORMANCE_CHECK(r, (EXTI->PR1 & kWireIn) == 0U);
  wire(false);
  rig_wait_us(5);
  CONFORMANCE_CHECK(r, ev.exti_calls == 2U);

  // Rising only: the falling edge pends nothing.
  pin_mode(GPIOA, kWireIn, GPIO_MODE_IT_RISING);
  CONFORMANCE_CHECK(r, EXTI->FTSR1 == 0U);  // on no line
  wire(true);
  rig_wait_us(5);
  wire(false);
  rig_wait_us(5);
  CONFORMANCE_CHECK(r, ev.exti_calls == 3U);

  // Falling only: no rising trigger on any line.
  pin_mode(GPIOA, kWireIn, GPIO_MODE_IT_FALLING);
  CONFORMANCE_CHECK(r, EXTI->RTSR1 == 0U && (EXTI->FTSR1 & kWireIn) != 0U);
  pin_mode(GPIOA, kWireIn, GPIO_MODE_IT_RISING);

  // Masked, the edge stays pending and is taken once interrupts are enabled again.
  __disable_irq();
  wire(true);
  rig_wait_us(5);
  const uint32_t while_masked = ev.exti_calls;
  const bool pending = (EXTI->PR1 & kWireIn) != 0U;
  __enable_irq();
  rig_wait_us(5);
  CONFORMANCE_CHECK(r, while_masked == 3U);
  CONFORMANCE_CHECK(r, pending);
  CONFORMANCE_CHECK(r, ev.exti_calls == 4U);

  // The dispatcher does nothing for a line that is not pending.
  HAL_GPIO_EXTI_IRQHandler(kWireIn);
  CONFORMANCE_CHECK(r, ev.exti_calls == 4U);

  HAL_NVIC_DisableIRQ(EXTI1_IRQn);
  wire(false);
  pin_mode(GPIOA, kWireIn, GPIO_MODE_INPUT);
}

void TimerUpdateAfterPscTimesArrTicks(Result& r) {
  tim7 = TIM_HandleTypeDef{};
  tim7.Instance = TIM7;
  tim7.Init.Prescaler = 149;  // 1 MHz
  tim7.Init.CounterMode = TIM_COUNTERMODE_UP;
  tim7.Init.Period = 999;  // update every (149 + 1) * (999 + 1) ticks = 1 ms
  tim7.Init.AutoReloadPreload = TIM_AUTORELOAD_PRELOAD_ENABLE;
  clear_events();
  CONFORMANCE_CHECK(r, HAL_TIM_Base_Init(&tim7) == HAL_OK);
  CONFORMANCE_CHECK(r, ev.base_msp_calls == 1U);
  CONFORMANCE_CHECK(r, tim7.State == HAL_TIM_STATE_READY);
  CONFORMANCE_CHECK(r, TIM7->PSC == 149U && TIM7->ARR == 999U);
  CONFORMANCE_CHECK(r, (TIM7->CR1 & 1U) == 0U);                       // left stopped
  CONFORMANCE_CHECK(r, !__HAL_TIM_GET_FLAG(&tim7, TIM_FLAG_UPDATE));  // forced update's flag cleared
  CONFORMANCE_CHECK(r, HAL_TIM_Base_Init(&tim7) == HAL_OK);           // again: Init re-applied, no hook
  CONFORMANCE_CHECK(r, ev.base_msp_calls == 1U);

  CONFORMANCE_CHECK(r, HAL_TIM_Base_Start_IT(&tim7) == HAL_OK);
  CONFORMANCE_CHECK(r, HAL_TIM_Base_Start_IT(&tim7) == HAL_ERROR);  // from ready only
  rig_wait_us(900);
  const uint32_t count = __HAL_TIM_GET_COUNTER(&tim7);
  CONFORMANCE_CHECK(r, ev.period_calls == 0U);
  CONFORMANCE_CHECK(r, in_window(count, 880U, 999U));
  rig_wait_us(200);
  CONFORMANCE_CHECK(r, ev.period_calls == 1U);
  CONFORMANCE_CHECK(r, ev.period_handle == &tim7);
  rig_wait_us(1000);
  CONFORMANCE_CHECK(r, ev.period_calls == 2U);

  CONFORMANCE_CHECK(r, HAL_TIM_Base_Stop_IT(&tim7) == HAL_OK);
  CONFORMANCE_CHECK(r, (TIM7->CR1 & 1U) == 0U);
  CONFORMANCE_CHECK(r, tim7.State == HAL_TIM_STATE_READY);  // ready to start again
  CONFORMANCE_CHECK(r, (TIM7->DIER & 1U) == 0U);            // update interrupt off
  rig_wait_us(2500);
  CONFORMANCE_CHECK(r, ev.period_calls == 2U);
}

// The mode of the DMA channel the base MSP hook links to TIM17's channel 1.
uint32_t pwm_dma_mode = DMA_CIRCULAR;

// A DMA channel streaming byte items into a timer's 32-bit compare register.
HAL_StatusTypeDef init_pwm_stream(DMA_HandleTypeDef& d, DMA_Channel_TypeDef* channel, uint32_t request,
                                  uint32_t mode) {
  d.Instance = channel;
  d.Init.Request = request;
  d.Init.Direction = DMA_MEMORY_TO_PERIPH;
  d.Init.PeriphInc = DMA_PINC_DISABLE;
  d.Init.MemInc = DMA_MINC_ENABLE;
  d.Init.PeriphDataAlignment = DMA_PDATAALIGN_WORD;
  d.Init.MemDataAlignment = DMA_MDATAALIGN_BYTE;
  d.Init.Mode = mode;
  d.Init.Priority = DMA_PRIORITY_LOW;
  return HAL_DMA_Init(&d);
}

alignas(4) uint8_t frame[8] = {100, 200, 44, 40, 50, 60, 70, 80};

bool from_frame(uint32_t ccr) {
  return std::any_of(std::begin(frame), std::end(frame), [ccr](uint8_t v) { return ccr == v; });
}

// TIM17 channel 1 in PWM mode 1 with a 10 us period, linked (by the base MSP
// hook) to DMA1 channel 2 in the mode given: an 8-item pass takes 80 us. Channel
// 2, not the rear board's channel 1, so that the flags of a channel other than
// the first are read and cleared at their own place.
bool setup_pwm_dma(Result& r, uint32_t mode = DMA_CIRCULAR) {
  pwm_dma_mode = mode;
  tim17 = TIM_HandleTypeDef{};
  dma_tim17_ch1 = DMA_HandleTypeDef{};
  tim17.Instance = TIM17;
  tim17.Init.Prescaler = 0;
  tim17.Init.CounterMode = TIM_COUNTERMODE_UP;
  tim17.Init.Period = 1499;
  tim17.Init.AutoReloadPreload = TIM_AUTORELOAD_PRELOAD_ENABLE;
  CONFORMANCE_CHECK(r, HAL_TIM_Base_Init(&tim17) == HAL_OK);
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Init(&tim17) == HAL_OK);
  TIM_OC_InitTypeDef oc{};
  oc.OCMode = TIM_OCMODE_PWM1;
  oc.OCPolarity = TIM_OCPOLARITY_HIGH;
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_ConfigChannel(&tim17, &oc, TIM_CHANNEL_1) == HAL_OK);
  CONFORMANCE_CHECK(r, tim17.hdma[TIM_DMA_ID_CC1] == &dma_tim17_ch1);
  return r.failures == 0U;
}

const uint32_t* frame_words() { return reinterpret_cast<const uint32_t*>(frame); }

void PwmDmaHalfAndFullEachPass(Result& r) {
  if (!setup_pwm_dma(r)) {
    return;
  }
  clear_events();
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&tim17, TIM_CHANNEL_1, nullptr, 8) == HAL_ERROR);
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&tim17, TIM_CHANNEL_1, frame_words(), 0) == HAL_ERROR);
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&tim17, TIM_CHANNEL_1, frame_words(), 8) == HAL_OK);
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&tim17, TIM_CHANNEL_1, frame_words(), 8) == HAL_BUSY);
  CONFORMANCE_CHECK(r, (TIM17->CR1 & 1U) != 0U);           // counter on
  CONFORMANCE_CHECK(r, (TIM17->CCER & 1U) != 0U);          // channel output on
  CONFORMANCE_CHECK(r, (TIM17->BDTR & (1U << 15)) != 0U);  // main output on
  CONFORMANCE_CHECK(r, (TIM17->DIER & (1U << 9)) != 0U);   // channel's DMA request on
  CONFORMANCE_CHECK(r, (DMA1_Channel2->CCR & 1U) != 0U);   // DMA channel on

  rig_wait_us(100);  // one pass and a bit
  CONFORMANCE_CHECK(r, ev.half_calls == 1U && ev.full_calls == 1U);
  CONFORMANCE_CHECK(r, ev.order[0] == 'H' && ev.order[1] == 'F');
  rig_wait_us(300);  // five passes in all, circular
  CONFORMANCE_CHECK(r, in_window(ev.full_calls, 4U, 6U));
  CONFORMANCE_CHECK(r, ev.half_calls == ev.full_calls || ev.half_calls == ev.full_calls + 1U);
  bool alternating = true;
  for (uint32_t i = 0; i < ev.order_len && i < sizeof(ev.order); ++i) {
    alternating = alternating && ev.order[i] == (i % 2U == 0U ? 'H' : 'F');
  }
  CONFORMANCE_CHECK(r, alternating);
  CONFORMANCE_CHECK(r, ev.wrong_channel == 0U);
  CONFORMANCE_CHECK(r, from_frame(TIM17->CCR1));  // 8-bit items written as words into CCR1
  (void)HAL_TIM_PWM_Stop_DMA(&tim17, TIM_CHANNEL_1);
}

void PwmDmaStopDisablesTheChannel(Result& r) {
  if (!setup_pwm_dma(r)) {
    return;
  }
  clear_events();
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&tim17, TIM_CHANNEL_1, frame_words(), 8) == HAL_OK);
  rig_wait_us(200);
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Stop_DMA(&tim17, TIM_CHANNEL_1) == HAL_OK);
  const uint32_t half = ev.half_calls;
  const uint32_t full = ev.full_calls;
  CONFORMANCE_CHECK(r, full >= 2U);
  CONFORMANCE_CHECK(r, (DMA1_Channel2->CCR & 1U) == 0U);    // channel disabled
  CONFORMANCE_CHECK(r, (DMA1_Channel2->CCR & 0xEU) == 0U);  // and its interrupts off
  CONFORMANCE_CHECK(r, dma_tim17_ch1.State == HAL_DMA_STATE_READY);
  CONFORMANCE_CHECK(r, tim17.ChannelState[0] == HAL_TIM_CHANNEL_STATE_READY);
  CONFORMANCE_CHECK(r, (TIM17->DIER & (1U << 9)) == 0U);
  CONFORMANCE_CHECK(r, (TIM17->CCER & 1U) == 0U);
  CONFORMANCE_CHECK(r, (TIM17->BDTR & (1U << 15)) == 0U);
  CONFORMANCE_CHECK(r, (TIM17->CR1 & 1U) == 0U);  // no other output: counter stopped
  rig_wait_us(300);
  CONFORMANCE_CHECK(r, ev.half_calls == half && ev.full_calls == full);  // no further callbacks

  // Aborting a channel that is not running is an error.
  CONFORMANCE_CHECK(r, HAL_DMA_Abort(&dma_tim17_ch1) == HAL_ERROR);
  CONFORMANCE_CHECK(r, (dma_tim17_ch1.ErrorCode & HAL_DMA_ERROR_NO_XFER) != 0U);

  // The stream can be started again, and runs as before.
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&tim17, TIM_CHANNEL_1, frame_words(), 8) == HAL_OK);
  rig_wait_us(200);
  CONFORMANCE_CHECK(r, ev.full_calls >= full + 2U);
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Stop_DMA(&tim17, TIM_CHANNEL_1) == HAL_OK);
}

void PwmDmaSinglePassReleasesTheChannel(Result& r) {
  if (!setup_pwm_dma(r, DMA_NORMAL)) {
    return;
  }
  clear_events();
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&tim17, TIM_CHANNEL_1, frame_words(), 8) == HAL_OK);
  rig_wait_us(250);  // three passes' time: a single pass ends after the first
  CONFORMANCE_CHECK(r, ev.half_calls == 1U && ev.full_calls == 1U);
  CONFORMANCE_CHECK(r, ev.order[0] == 'H' && ev.order[1] == 'F' && ev.wrong_channel == 0U);
  CONFORMANCE_CHECK(r, dma_tim17_ch1.State == HAL_DMA_STATE_READY);  // released at its end
  CONFORMANCE_CHECK(r, tim17.ChannelState[0] == HAL_TIM_CHANNEL_STATE_READY);
  CONFORMANCE_CHECK(r, (DMA1_Channel2->CCR & 0xFU) == 0U);  // disabled, interrupts off
  CONFORMANCE_CHECK(r, (DMA1->ISR & (0xEU << 4U)) == 0U);   // its transfer flags acknowledged
  // A new pass can start at once.
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&tim17, TIM_CHANNEL_1, frame_words(), 8) == HAL_OK);
  rig_wait_us(120);
  CONFORMANCE_CHECK(r, ev.full_calls == 2U);
  (void)HAL_TIM_PWM_Stop_DMA(&tim17, TIM_CHANNEL_1);
  HAL_NVIC_DisableIRQ(DMA1_Channel2_IRQn);
}

// Each channel keeps its mode, compare value and polarity in its own fields
// (channels 1 and 2 share CCMR1, 3 and 4 CCMR2); on an advanced timer also the
// complementary output's polarity and both idle levels. Nothing is started.
void PwmChannelsKeepTheirOwnFields(Result& r) {
  __HAL_RCC_TIM2_CLK_ENABLE();
  __HAL_RCC_TIM1_CLK_ENABLE();
  constexpr uint32_t kChannels[4] = {TIM_CHANNEL_1, TIM_CHANNEL_2, TIM_CHANNEL_3, TIM_CHANNEL_4};
  TIM_HandleTypeDef general{};
  general.Instance = TIM2;
  general.Init.Period = 999;
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Init(&general) == HAL_OK);
  TIM_HandleTypeDef advanced{};
  advanced.Instance = TIM1;
  advanced.Init.Period = 999;
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Init(&advanced) == HAL_OK);
  for (uint32_t i = 0; i < 4U; ++i) {
    TIM_OC_InitTypeDef oc{};
    oc.OCMode = i % 2U == 0U ? TIM_OCMODE_PWM1 : TIM_OCMODE_PWM2;
    oc.Pulse = 100U * (i + 1U);
    oc.OCPolarity = i == 2U ? TIM_OCPOLARITY_LOW : TIM_OCPOLARITY_HIGH;
    CONFORMANCE_CHECK(r, HAL_TIM_PWM_ConfigChannel(&general, &oc, kChannels[i]) == HAL_OK);
    oc.OCPolarity = TIM_OCPOLARITY_HIGH;
    oc.OCNPolarity = i % 2U == 1U ? TIM_OCNPOLARITY_LOW : TIM_OCNPOLARITY_HIGH;
    oc.OCIdleState = i >= 2U ? TIM_OCIDLESTATE_SET : TIM_OCIDLESTATE_RESET;
    oc.OCNIdleState = i == 3U ? TIM_OCNIDLESTATE_SET : TIM_OCNIDLESTATE_RESET;
    CONFORMANCE_CHECK(r, HAL_TIM_PWM_ConfigChannel(&advanced, &oc, kChannels[i]) == HAL_OK);
  }
  // Per channel a byte of CCMRx: OCxM (PWM mode 1: 0x60, 2: 0x70) with OCxPE (0x08).
  constexpr uint32_t kModes = 0x68U | (0x78U << 8U);
  CONFORMANCE_CHECK(r, (TIM2->CCMR1 & 0xFFFFU) == kModes && (TIM2->CCMR2 & 0xFFFFU) == kModes);
  CONFORMANCE_CHECK(r, TIM2->CCR1 == 100U && TIM2->CCR2 == 200U && TIM2->CCR3 == 300U && TIM2->CCR4 == 400U);
  CONFORMANCE_CHECK(r, TIM2->CCER == (1U << 9U));  // CC3P, every output still off
  CONFORMANCE_CHECK(r, (TIM1->CCMR1 & 0xFFFFU) == kModes && (TIM1->CCMR2 & 0xFFFFU) == kModes);
  CONFORMANCE_CHECK(r, TIM1->CCER == ((1U << 7U) | (1U << 15U)));  // CC2NP, CC4NP
  // Idle levels: OIS3, OIS4 and OIS4N.
  CONFORMANCE_CHECK(r, (TIM1->CR2 & 0xFF00U) == ((1U << 12U) | (1U << 14U) | (1U << 15U)));

  // Both trigger outputs of an advanced timer, each in its own field.
  TIM_MasterConfigTypeDef master{};
  master.MasterOutputTrigger = 0x20U;       // TRGO on update: MMS = 010
  master.MasterOutputTrigger2 = 0x200000U;  // TRGO2 on update: MMS2 = 0010
  master.MasterSlaveMode = 0x80U;           // MSM: synchronised with its slaves
  CONFORMANCE_CHECK(r, HAL_TIMEx_MasterConfigSynchronization(&advanced, &master) == HAL_OK);
  CONFORMANCE_CHECK(r, (TIM1->CR2 & 0x00F00070U) == 0x00200020U && (TIM1->SMCR & 0x80U) != 0U);
  master.MasterSlaveMode = TIM_MASTERSLAVEMODE_DISABLE;
  CONFORMANCE_CHECK(r, HAL_TIMEx_MasterConfigSynchronization(&advanced, &master) == HAL_OK);
  CONFORMANCE_CHECK(r, (TIM1->SMCR & 0x80U) == 0U);

  // Dead time on a timer with a second break input: break 2's fields join the
  // first stage's, they do not replace them. Then everything off again.
  TIM_BreakDeadTimeConfigTypeDef off{};
  off.DeadTime = 0x2AU;
  CONFORMANCE_CHECK(r, HAL_TIMEx_ConfigBreakDeadTime(&advanced, &off) == HAL_OK && TIM1->BDTR == 0x2AU);
  off.DeadTime = 0U;
  CONFORMANCE_CHECK(r, HAL_TIMEx_ConfigBreakDeadTime(&advanced, &off) == HAL_OK && TIM1->BDTR == 0U);

  // Channel 2 streams through its own DMA slot (the timer's other slots stay empty).
  DMA_HandleTypeDef stream{};
  CONFORMANCE_CHECK(r, init_pwm_stream(stream, DMA1_Channel3, DMA_REQUEST_TIM2_CH2, DMA_CIRCULAR) == HAL_OK);
  __HAL_LINKDMA(&general, hdma[TIM_DMA_ID_CC2], stream);
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&general, TIM_CHANNEL_2, frame_words(), 8) == HAL_OK);
  CONFORMANCE_CHECK(r, (TIM2->DIER & (1U << 10U)) != 0U && (DMA1_Channel3->CCR & 1U) != 0U);  // CC2DE, EN
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Stop_DMA(&general, TIM_CHANNEL_2) == HAL_OK);
  CONFORMANCE_CHECK(r, (TIM2->CR1 & 1U) == 0U && (DMA1_Channel3->CCR & 1U) == 0U);
}

void TimerErrors(Result& r) {
  CONFORMANCE_CHECK(r, HAL_TIM_Base_Init(nullptr) == HAL_ERROR);
  TIM_HandleTypeDef h{};
  h.Instance = nullptr;
  CONFORMANCE_CHECK(r, HAL_TIM_Base_Init(&h) == HAL_ERROR);
  h.Instance = reinterpret_cast<TIM_TypeDef*>(GPIOC);  // no timer there
  CONFORMANCE_CHECK(r, HAL_TIM_Base_Init(&h) == HAL_ERROR);
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Init(&h) == HAL_ERROR);

  TIM_HandleTypeDef basic{};
  basic.Instance = TIM7;
  basic.Init.Prescaler = 149;
  basic.Init.Period = 999;
  CONFORMANCE_CHECK(r, HAL_TIM_Base_Init(&basic) == HAL_OK);
  TIM_ClockConfigTypeDef clock{};
  clock.ClockSource = TIM_CLOCKSOURCE_INTERNAL;
  CONFORMANCE_CHECK(r, HAL_TIM_ConfigClockSource(&basic, &clock) == HAL_ERROR);  // no slave controller
  TIM_BreakDeadTimeConfigTypeDef brk{};
  CONFORMANCE_CHECK(r, HAL_TIMEx_ConfigBreakDeadTime(&basic, &brk) == HAL_ERROR);  // no break stage
  TIM_OC_InitTypeDef oc{};
  oc.OCMode = TIM_OCMODE_PWM1;
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_ConfigChannel(&basic, &oc, TIM_CHANNEL_1) == HAL_ERROR);  // no channels
  CONFORMANCE_CHECK(r, HAL_TIM_ConfigClockSource(&basic, nullptr) == HAL_ERROR);
  TIM_MasterConfigTypeDef master{};
  CONFORMANCE_CHECK(r, HAL_TIMEx_MasterConfigSynchronization(&basic, &master) == HAL_OK);
  CONFORMANCE_CHECK(r, HAL_TIMEx_MasterConfigSynchronization(&basic, nullptr) == HAL_ERROR);

  TIM_HandleTypeDef one{};
  one.Instance = TIM17;
  one.Init.Period = 1499;
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Init(&one) == HAL_OK);
  CONFORMANCE_CHECK(r, HAL_TIMEx_MasterConfigSynchronization(&one, &master) == HAL_ERROR);  // no master mode
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_ConfigChannel(&one, &oc, TIM_CHANNEL_2) == HAL_ERROR);  // one channel only
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_ConfigChannel(&one, &oc, TIM_CHANNEL_1) == HAL_OK);
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_ConfigChannel(&one, nullptr, TIM_CHANNEL_1) == HAL_ERROR);
  // Dead time is an 8-bit code: 255 is the longest, 256 no code at all.
  brk.DeadTime = 0xFFU;
  CONFORMANCE_CHECK(r, HAL_TIMEx_ConfigBreakDeadTime(&one, &brk) == HAL_OK && (TIM17->BDTR & 0xFFU) == 0xFFU);
  brk.DeadTime = 0x100U;
  CONFORMANCE_CHECK(r, HAL_TIMEx_ConfigBreakDeadTime(&one, &brk) == HAL_ERROR);
  CONFORMANCE_CHECK(r, (TIM17->BDTR & 0xFFU) == 0xFFU);  // left as it was
  CONFORMANCE_CHECK(r, HAL_TIMEx_ConfigBreakDeadTime(&one, nullptr) == HAL_ERROR);
  TIM_HandleTypeDef slave{};
  slave.Instance = TIM2;  // has the slave controller a clock source is set in
  CONFORMANCE_CHECK(r, HAL_TIM_ConfigClockSource(&slave, nullptr) == HAL_ERROR);
  brk.DeadTime = 0U;
  // The break filters are 4-bit numbers (the last row leaves both off).
  constexpr struct {
    uint32_t filter, filter2;
    HAL_StatusTypeDef status;
  } kFilters[] = {{0x10U, 0U, HAL_ERROR}, {0U, 0x10U, HAL_ERROR}, {0xFU, 0xFU, HAL_OK}, {0U, 0U, HAL_OK}};
  for (const auto& f : kFilters) {
    brk.BreakFilter = f.filter;
    brk.Break2Filter = f.filter2;
    CONFORMANCE_CHECK(r, HAL_TIMEx_ConfigBreakDeadTime(&one, &brk) == f.status);
  }
  // No DMA channel linked to the timer channel.
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&one, TIM_CHANNEL_1, frame_words(), 8) == HAL_ERROR);
  CONFORMANCE_CHECK(r, (TIM17->CR1 & 1U) == 0U);
  // A handle without an instance: its interrupt is ignored.
  TIM_HandleTypeDef none{};
  HAL_TIM_IRQHandler(&none);
  CONFORMANCE_CHECK(r, none.State == HAL_TIM_STATE_RESET && none.Channel == HAL_TIM_ACTIVE_CHANNEL_CLEARED);
}

void UartErrors(Result& r) {
  __HAL_RCC_USART3_CLK_ENABLE();
  UART_HandleTypeDef u{};
  u.Instance = USART3;
  u.Init.BaudRate = 921600;
  u.Init.Mode = UART_MODE_TX_RX;
  u.ErrorCode = HAL_UART_ERROR_ORE;  // an error of an earlier life, cleared by Init
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_OK);
  CONFORMANCE_CHECK(r, u.gState == HAL_UART_STATE_READY && u.RxState == HAL_UART_STATE_READY);
  CONFORMANCE_CHECK(r, u.ErrorCode == HAL_UART_ERROR_NONE);
  CONFORMANCE_CHECK(r, USART3->BRR == (kSysclkHz + 921600U / 2U) / 921600U);
  CONFORMANCE_CHECK(r, (USART3->CR1 & 1U) != 0U);
  const uint32_t cr1 = USART3->CR1;
  CONFORMANCE_CHECK(r, HAL_UARTEx_DisableFifoMode(&u) == HAL_OK);
  CONFORMANCE_CHECK(r, USART3->CR1 == (cr1 & ~UART_FIFOMODE_ENABLE));  // the rest as it was, enabled
  HAL_UART_IRQHandler(&u);  // no error flag raised: nothing to report
  CONFORMANCE_CHECK(r, u.ErrorCode == HAL_UART_ERROR_NONE);
  CONFORMANCE_CHECK(r, HAL_UARTEx_SetTxFifoThreshold(&u, UART_TXFIFO_THRESHOLD_1_8) == HAL_OK);
  CONFORMANCE_CHECK(r, u.gState == HAL_UART_STATE_READY);  // busy only while a FIFO change runs
  CONFORMANCE_CHECK(r, (USART3->CR3 >> 29U) == 0U);        // TXFTCFG: 1/8

  CONFORMANCE_CHECK(r, HAL_UART_Init(nullptr) == HAL_ERROR);
  u.Init.BaudRate = 0;
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR);
  u.Init.BaudRate = 20000000;  // divider below 16 at 150 MHz
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR);
  u.Init.BaudRate = 9375000;  // divider 16, the smallest
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_OK && USART3->BRR == 16U);
  u.Init.BaudRate = 1200;  // divider above 0xFFFF
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR);
  CONFORMANCE_CHECK(r, u.gState == HAL_UART_STATE_READY);  // refused, and ready for another try
  u.Init.BaudRate = 921600;
  u.Init.ClockPrescaler = 12U;  // one past the last, /256 (11): refused before anything is written
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR && USART3->PRESC == 0U);
  u.Init.ClockPrescaler = UART_PRESCALER_DIV2;  // the divider follows the halved kernel clock
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_OK && USART3->PRESC == 1U);
  CONFORMANCE_CHECK(r, USART3->BRR == (kSysclkHz / 2U + 921600U / 2U) / 921600U);
  u.Init.ClockPrescaler = UART_PRESCALER_DIV1;
  // A handle without an instance is refused, and its interrupt ignored.
  UART_HandleTypeDef none{};
  CONFORMANCE_CHECK(r, HAL_UARTEx_SetTxFifoThreshold(&none, UART_TXFIFO_THRESHOLD_1_8) == HAL_ERROR);
  HAL_UART_IRQHandler(&none);
  CONFORMANCE_CHECK(r, none.ErrorCode == 0U && none.gState == HAL_UART_STATE_RESET);
  u.Instance = reinterpret_cast<USART_TypeDef*>(GPIOC);  // no USART there
  CONFORMANCE_CHECK(r, HAL_UART_Init(&u) == HAL_ERROR);
}

void DmaErrors(Result& r) {
  CONFORMANCE_CHECK(r, HAL_DMA_Init(nullptr) == HAL_ERROR);
  DMA_HandleTypeDef d{};
  d.Instance = reinterpret_cast<DMA_Channel_TypeDef*>(GPIOC);  // no channel there
  CONFORMANCE_CHECK(r, HAL_DMA_Init(&d) == HAL_ERROR);
  d.Instance = reinterpret_cast<DMA_Channel_TypeDef*>(reinterpret_cast<uintptr_t>(DMA1_Channel1) + 4U);
  CONFORMANCE_CHECK(r, HAL_DMA_Init(&d) == HAL_ERROR);  // inside a channel's registers, not at its start
  d.Instance = DMA1_Channel2;
  d.Init.Request = 0x80U;  // request ids are 7 bits: 0x7F is the last
  CONFORMANCE_CHECK(r, HAL_DMA_Init(&d) == HAL_ERROR);
  d.Init.Request = 0x7FU;
  d.ErrorCode = HAL_DMA_ERROR_TE;  // an error of an earlier life, cleared by Init
  CONFORMANCE_CHECK(r, HAL_DMA_Init(&d) == HAL_OK && d.ErrorCode == HAL_DMA_ERROR_NONE);
  d.Init.Request = DMA_REQUEST_USART3_RX;
  d.Init.Direction = DMA_PERIPH_TO_MEMORY;
  d.Init.MemInc = DMA_MINC_ENABLE;
  CONFORMANCE_CHECK(r, HAL_DMA_Init(&d) == HAL_OK);
  CONFORMANCE_CHECK(r, d.State == HAL_DMA_STATE_READY);
  CONFORMANCE_CHECK(r, HAL_DMA_Abort(&d) == HAL_ERROR);  // nothing to abort
  CONFORMANCE_CHECK(r, (d.ErrorCode & HAL_DMA_ERROR_NO_XFER) != 0U);
  CONFORMANCE_CHECK(r, HAL_DMA_Start_IT(&d, 0U, 0U, 0x10000U) == HAL_ERROR);  // CNDTR holds 16 bits
  CONFORMANCE_CHECK(r, HAL_DMA_Start_IT(&d, 0U, 0U, 0U) == HAL_ERROR);        // zero items
  CONFORMANCE_CHECK(r, d.State == HAL_DMA_STATE_READY && d.ErrorCode == HAL_DMA_ERROR_PARAM);
  CONFORMANCE_CHECK(r, (DMA1_Channel2->CCR & 1U) == 0U);
  // A start that is taken clears the earlier error; it waits for the receiver
  // (nothing arrives, so even the longest count writes nothing) until aborted.
  static uint8_t rx[4];
  const auto address = [](const volatile void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
  };
  CONFORMANCE_CHECK(r, HAL_DMA_Start_IT(&d, address(&USART3->RDR), address(rx), 0xFFFFU) == HAL_OK);
  CONFORMANCE_CHECK(r, d.ErrorCode == HAL_DMA_ERROR_NONE && (DMA1_Channel2->CCR & 1U) != 0U);
  CONFORMANCE_CHECK(r, DMA1_Channel2->CNDTR == 0xFFFFU);
  CONFORMANCE_CHECK(r, DMA1_Channel2->CPAR == address(&USART3->RDR) && DMA1_Channel2->CMAR == address(rx));
  CONFORMANCE_CHECK(r, HAL_DMA_Abort(&d) == HAL_OK && (DMA1_Channel2->CCR & 1U) == 0U);
  // The interrupt of a handle without a channel is ignored.
  DMA_HandleTypeDef stray{};
  stray.ChannelIndex = 6U;  // one past DMA1's sixth channel
  HAL_DMA_IRQHandler(&stray);
  CONFORMANCE_CHECK(r, stray.State == HAL_DMA_STATE_RESET && stray.ErrorCode == HAL_DMA_ERROR_NONE);
}

void ClockConfiguration(Result& r) {
  CONFORMANCE_CHECK(r, HAL_RCC_GetSysClockFreq() == kSysclkHz);
  CONFORMANCE_CHECK(r, SystemCoreClock == kSysclkHz);
  CONFORMANCE_CHECK(r, HAL_RCC_GetHCLKFreq() == kSysclkHz && HAL_RCC_GetPCLK1Freq() == kSysclkHz);
  CONFORMANCE_CHECK(r, ((RCC->CFGR >> 2U) & 3U) == RCC_SYSCLKSOURCE_PLLCLK);  // SWS
  // The bus clocks follow their dividers (the boards run them all at /1), and a
  // call changes only the clocks its ClockType names.
  RCC_ClkInitTypeDef bus{};
  bus.ClockType = RCC_CLOCKTYPE_HCLK | RCC_CLOCKTYPE_PCLK1 | RCC_CLOCKTYPE_PCLK2;
  bus.AHBCLKDivider = RCC_SYSCLK_DIV2;
  bus.APB1CLKDivider = RCC_HCLK_DIV2;
  bus.APB2CLKDivider = RCC_HCLK_DIV4;
  CONFORMANCE_CHECK(r, HAL_RCC_ClockConfig(&bus, FLASH_LATENCY_4) == HAL_OK);
  constexpr uint32_t kHclkHz = kSysclkHz / 2U;
  CONFORMANCE_CHECK(r, HAL_RCC_GetHCLKFreq() == kHclkHz && SystemCoreClock == kHclkHz);
  CONFORMANCE_CHECK(r, HAL_RCC_GetPCLK1Freq() == kHclkHz / 2U && HAL_RCC_GetPCLK2Freq() == kHclkHz / 4U);
  bus.ClockType = RCC_CLOCKTYPE_PCLK1 | RCC_CLOCKTYPE_PCLK2;
  bus.AHBCLKDivider = RCC_SYSCLK_DIV1;  // not named: ignored
  bus.APB1CLKDivider = RCC_HCLK_DIV1;
  bus.APB2CLKDivider = RCC_HCLK_DIV1;
  CONFORMANCE_CHECK(r, HAL_RCC_ClockConfig(&bus, FLASH_LATENCY_4) == HAL_OK);
  CONFORMANCE_CHECK(r, HAL_RCC_GetHCLKFreq() == kHclkHz);
  CONFORMANCE_CHECK(r, HAL_RCC_GetPCLK1Freq() == kHclkHz && HAL_RCC_GetPCLK2Freq() == kHclkHz);
  bus.ClockType = RCC_CLOCKTYPE_HCLK;
  CONFORMANCE_CHECK(r, HAL_RCC_ClockConfig(&bus, FLASH_LATENCY_4) == HAL_OK);
  CONFORMANCE_CHECK(r, HAL_RCC_GetHCLKFreq() == kSysclkHz && HAL_RCC_GetPCLK2Freq() == kSysclkHz);
  CONFORMANCE_CHECK(r, (FLASH->ACR & 0xFU) == FLASH_LATENCY_4);
  CONFORMANCE_CHECK(r, SysTick->LOAD == kSysclkHz / 1000U - 1U);  // tick re-timed to 1 kHz
  CONFORMANCE_CHECK(r, ((PWR->CR1 >> 9U) & 3U) == 1U && (PWR->CR5 & (1U << 8)) != 0U);  // range 1, normal
  HAL_PWREx_DisableUCPDDeadBattery();
  CONFORMANCE_CHECK(r, (PWR->CR3 & (1U << 14)) != 0U);

  RCC_PeriphCLKInitTypeDef kernel{};
  kernel.PeriphClockSelection = RCC_PERIPHCLK_USART3;
  kernel.Usart3ClockSelection = RCC_USART3CLKSOURCE_SYSCLK;
  CONFORMANCE_CHECK(r, HAL_RCCEx_PeriphCLKConfig(&kernel) == HAL_OK);
  CONFORMANCE_CHECK(r, ((RCC->CCIPR >> 4U) & 3U) == RCC_USART3CLKSOURCE_SYSCLK);
  kernel.Usart3ClockSelection = RCC_USART3CLKSOURCE_PCLK1;
  CONFORMANCE_CHECK(r, HAL_RCCEx_PeriphCLKConfig(&kernel) == HAL_OK);
  CONFORMANCE_CHECK(r, ((RCC->CCIPR >> 4U) & 3U) == RCC_USART3CLKSOURCE_PCLK1);
  kernel.PeriphClockSelection = 0x1U | 0x2U;  // USART1 and USART2, which the boards do not use
  kernel.Usart1ClockSelection = 1U;           // SYSCLK
  kernel.Usart2ClockSelection = 2U;           // HSI16
  CONFORMANCE_CHECK(r, HAL_RCCEx_PeriphCLKConfig(&kernel) == HAL_OK);
  CONFORMANCE_CHECK(r, (RCC->CCIPR & 0x3FU) == ((2U << 2U) | 1U));  // USART3 stays on PCLK1 (0)
  kernel.Usart1ClockSelection = 0U;
  kernel.Usart2ClockSelection = 0U;
  CONFORMANCE_CHECK(r, HAL_RCCEx_PeriphCLKConfig(&kernel) == HAL_OK);
  CONFORMANCE_CHECK(r, (RCC->CCIPR & 0xFU) == 0U);
  kernel.PeriphClockSelection = 0x80U;  // a kernel clock this layer does not manage
  CONFORMANCE_CHECK(r, HAL_RCCEx_PeriphCLKConfig(&kernel) == HAL_ERROR);
  CONFORMANCE_CHECK(r, HAL_RCCEx_PeriphCLKConfig(nullptr) == HAL_ERROR);
}

void ClockErrors(Result& r) {
  CONFORMANCE_CHECK(r, HAL_RCC_OscConfig(nullptr) == HAL_ERROR);
  RCC_OscInitTypeDef osc{};
  osc.OscillatorType = RCC_OSCILLATORTYPE_HSE;  // not modelled: the boards have none
  CONFORMANCE_CHECK(r, HAL_RCC_OscConfig(&osc) == HAL_ERROR);
  osc.OscillatorType = RCC_OSCILLATORTYPE_LSE;
  CONFORMANCE_CHECK(r, HAL_RCC_OscConfig(&osc) == HAL_ERROR);
  CONFORMANCE_CHECK(r, pll(RCC_PLL_ON, 200U) == HAL_ERROR);  // N above 127
  CONFORMANCE_CHECK(r, pll(RCC_PLL_ON, 7U) == HAL_ERROR);    // N below 8
  CONFORMANCE_CHECK(r, HAL_RCC_ClockConfig(nullptr, FLASH_LATENCY_4) == HAL_ERROR);
  CONFORMANCE_CHECK(r, sysclk(RCC_SYSCLKSOURCE_PLLCLK, 16U) == HAL_ERROR);           // no such latency
  CONFORMANCE_CHECK(r, sysclk(RCC_SYSCLKSOURCE_HSE, FLASH_LATENCY_4) == HAL_ERROR);  // not running
  CONFORMANCE_CHECK(r, HAL_InitTick(1U << __NVIC_PRIO_BITS) == HAL_ERROR);
  osc.OscillatorType = RCC_OSCILLATORTYPE_HSI;  // it feeds the PLL the system runs on
  osc.HSIState = RCC_HSI_OFF;
  CONFORMANCE_CHECK(r, HAL_RCC_OscConfig(&osc) == HAL_ERROR);
  // Nor can it be stopped while it clocks the system directly.
  CONFORMANCE_CHECK(r, sysclk(RCC_SYSCLKSOURCE_HSI, FLASH_LATENCY_4) == HAL_OK);
  CONFORMANCE_CHECK(r, HAL_RCC_OscConfig(&osc) == HAL_ERROR);
  CONFORMANCE_CHECK(r, sysclk(RCC_SYSCLKSOURCE_PLLCLK, FLASH_LATENCY_4) == HAL_OK);
  // The refused requests left the clock as it was: the PLL, at 150 MHz.
  CONFORMANCE_CHECK(r, ((RCC->CFGR >> 2U) & 3U) == RCC_SYSCLKSOURCE_PLLCLK);
  CONFORMANCE_CHECK(r, SystemCoreClock == kSysclkHz);
}

void PllLockTimeOut(Result& r) {
  // One wait state: at 16 MHz range 2 below needs it (range 1 would not).
  CONFORMANCE_CHECK(r, sysclk(RCC_SYSCLKSOURCE_HSI, FLASH_LATENCY_1) == HAL_OK);
  CONFORMANCE_CHECK(r, ((RCC->CFGR >> 2U) & 3U) == RCC_SYSCLKSOURCE_HSI);
  CONFORMANCE_CHECK(r, pll(RCC_PLL_OFF) == HAL_OK);
  CONFORMANCE_CHECK(r, (RCC->CR & (1U << 25)) == 0U);              // PLLRDY
  CONFORMANCE_CHECK(r, (RCC->PLLCFGR & ((1U << 24) | 3U)) == 0U);  // PLLREN off, no source
  // On the slow clock the regulator may go to range 2 and back to range 1.
  HAL_PWREx_ControlVoltageScaling(PWR_REGULATOR_VOLTAGE_SCALE2);
  CONFORMANCE_CHECK(r, ((PWR->CR1 >> 9U) & 3U) == 2U);
  HAL_PWREx_ControlVoltageScaling(PWR_REGULATOR_VOLTAGE_SCALE1);
  CONFORMANCE_CHECK(r, ((PWR->CR1 >> 9U) & 3U) == 1U && (PWR->CR5 & (1U << 8)) != 0U);

  HAL_GPIO_WritePin(GPIOB, kFaultLine, GPIO_PIN_SET);
  rig_wait_us(2);
  const uint32_t start = HAL_GetTick();
  const HAL_StatusTypeDef status = pll(RCC_PLL_ON);
  const uint32_t took = HAL_GetTick() - start;
  HAL_GPIO_WritePin(GPIOB, kFaultLine, GPIO_PIN_RESET);
  rig_wait_us(2);
  CONFORMANCE_CHECK(r, status == HAL_TIMEOUT);
  CONFORMANCE_CHECK(r, in_window(took, 2U, 10U));  // the wait is bounded
  CONFORMANCE_CHECK(r, (RCC->CR & (1U << 25)) == 0U);
  // The PLL cannot be selected while it is not ready.
  CONFORMANCE_CHECK(r, sysclk(RCC_SYSCLKSOURCE_PLLCLK, FLASH_LATENCY_4) == HAL_ERROR);
  CONFORMANCE_CHECK(r, ((RCC->CFGR >> 2U) & 3U) == RCC_SYSCLKSOURCE_HSI);

  // Without the fault the same request succeeds. It names SYSCLK alone: after
  // the pass through HCLK = SYSCLK / 2, HCLK is back at SYSCLK.
  CONFORMANCE_CHECK(r, pll(RCC_PLL_ON) == HAL_OK);
  RCC_ClkInitTypeDef only_sysclk{};
  only_sysclk.ClockType = RCC_CLOCKTYPE_SYSCLK;
  only_sysclk.SYSCLKSource = RCC_SYSCLKSOURCE_PLLCLK;
  only_sysclk.AHBCLKDivider = RCC_SYSCLK_DIV4;  // none of the dividers is named: all ignored
  only_sysclk.APB1CLKDivider = RCC_HCLK_DIV4;
  only_sysclk.APB2CLKDivider = RCC_HCLK_DIV4;
  CONFORMANCE_CHECK(r, HAL_RCC_ClockConfig(&only_sysclk, FLASH_LATENCY_4) == HAL_OK);
  CONFORMANCE_CHECK(r, SystemCoreClock == kSysclkHz);
  CONFORMANCE_CHECK(r, HAL_RCC_GetPCLK1Freq() == kSysclkHz && HAL_RCC_GetPCLK2Freq() == kSysclkHz);
}

void NvicTickAndDelay(Result& r) {
  CONFORMANCE_CHECK(r, ((SCB->AIRCR >> 8U) & 7U) == NVIC_PRIORITYGROUP_4);
  CONFORMANCE_CHECK(r, (SCB->SHP[11] >> 4U) == TICK_INT_PRIORITY);  // SysTick
  CONFORMANCE_CHECK(r, (SysTick->CTRL & 7U) == 7U);
  HAL_NVIC_SetPriority(TIM7_IRQn, 5, 2);  // group 4 has no sub-priority bits: the 2 is dropped
  CONFORMANCE_CHECK(r, NVIC->IP[TIM7_IRQn] == (5U << 4U));
  HAL_NVIC_EnableIRQ(TIM7_IRQn);
  CONFORMANCE_CHECK(r, (NVIC->ISER[TIM7_IRQn / 32] & (1U << (TIM7_IRQn % 32))) != 0U);
  HAL_NVIC_DisableIRQ(TIM7_IRQn);
  CONFORMANCE_CHECK(r, (NVIC->ISER[TIM7_IRQn / 32] & (1U << (TIM7_IRQn % 32))) == 0U);
  HAL_NVIC_SetPriority(WWDG_IRQn, 3, 0);  // interrupt 0 is a device interrupt too
  CONFORMANCE_CHECK(r, NVIC->IP[WWDG_IRQn] == (3U << 4U));
  HAL_NVIC_SetPriority(WWDG_IRQn, 0, 0);

  uint32_t t0 = HAL_GetTick();
  rig_wait_us(3000);
  CONFORMANCE_CHECK(r, in_window(HAL_GetTick() - t0, 2U, 4U));
  // From just after a tick, HAL_Delay(5) waits 5 + 1 increments.
  t0 = HAL_GetTick();
  while (HAL_GetTick() == t0) {
    rig_wait_us(1);
  }
  const uint32_t start = HAL_GetTick();
  HAL_Delay(5);
  // Read a few instructions after the last increment, far from the next one.
  CONFORMANCE_CHECK(r, HAL_GetTick() - start == 6U);

  // Re-timing the tick mid-period restarts the period: the counter starts again
  // from LOAD, not from where it was (difference 10).
  t0 = HAL_GetTick();
  while (HAL_GetTick() == t0) {
    rig_wait_us(1);
  }
  rig_wait_us(400);
  CONFORMANCE_CHECK(r, HAL_InitTick(TICK_INT_PRIORITY) == HAL_OK);
  const uint32_t val = SysTick->VAL;
  CONFORMANCE_CHECK(r, val == 0U || val > SysTick->LOAD - 1500U);
}

}  // namespace

void baseline(Result& r) {
  CONFORMANCE_CHECK(r, HAL_Init() == HAL_OK);
  __HAL_RCC_PWR_CLK_ENABLE();
  HAL_PWREx_ControlVoltageScaling(PWR_REGULATOR_VOLTAGE_SCALE1);
  CONFORMANCE_CHECK(r, pll(RCC_PLL_ON) == HAL_OK);
  CONFORMANCE_CHECK(r, sysclk(RCC_SYSCLKSOURCE_PLLCLK, FLASH_LATENCY_4) == HAL_OK);
  __HAL_RCC_GPIOA_CLK_ENABLE();
  __HAL_RCC_GPIOB_CLK_ENABLE();
  __HAL_RCC_GPIOC_CLK_ENABLE();
  pin_mode(GPIOA, kWireIn, GPIO_MODE_INPUT);
  HAL_GPIO_WritePin(GPIOB, kWireOut | kFaultLine, GPIO_PIN_RESET);
  pin_mode(GPIOB, kWireOut | kFaultLine, GPIO_MODE_OUTPUT_PP);
  rig_wait_us(2);
  CONFORMANCE_CHECK(r, !wire_in());
}

#define CONFORMANCE_CASE_ENTRY(name) {#name, name},
const Case kCases[] = {CONFORMANCE_CASES(CONFORMANCE_CASE_ENTRY)};
#undef CONFORMANCE_CASE_ENTRY
const uint32_t kCaseCount = sizeof(kCases) / sizeof(kCases[0]);

}  // namespace conformance

// ---- Hooks and callbacks: the suite plays the board ------------------------------

extern "C" {

void HAL_TIM_Base_MspInit(TIM_HandleTypeDef* htim) {
  using conformance::ev;
  ev.base_msp_calls = ev.base_msp_calls + 1U;
  if (htim->Instance == TIM7) {
    __HAL_RCC_TIM7_CLK_ENABLE();
    HAL_NVIC_SetPriority(TIM7_IRQn, 0, 0);
    HAL_NVIC_EnableIRQ(TIM7_IRQn);
  } else if (htim->Instance == TIM17) {
    __HAL_RCC_TIM17_CLK_ENABLE();
    __HAL_RCC_DMAMUX1_CLK_ENABLE();
    __HAL_RCC_DMA1_CLK_ENABLE();
    DMA_HandleTypeDef& d = conformance::dma_tim17_ch1;
    if (conformance::init_pwm_stream(d, DMA1_Channel2, DMA_REQUEST_TIM17_CH1, conformance::pwm_dma_mode) ==
        HAL_OK) {
      __HAL_LINKDMA(htim, hdma[TIM_DMA_ID_CC1], d);
    }
    HAL_NVIC_SetPriority(DMA1_Channel2_IRQn, 0, 0);
    HAL_NVIC_EnableIRQ(DMA1_Channel2_IRQn);
  }
}

void HAL_GPIO_EXTI_Callback(uint16_t GPIO_Pin) {
  using conformance::ev;
  ev.exti_calls = ev.exti_calls + 1U;
  ev.exti_pin = GPIO_Pin;
  if ((EXTI->PR1 & GPIO_Pin) != 0U) {
    ev.exti_pending_in_callback = ev.exti_pending_in_callback + 1U;
  }
}

void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef* htim) {
  using conformance::ev;
  ev.period_calls = ev.period_calls + 1U;
  ev.period_handle = htim;
}

void HAL_TIM_PWM_PulseFinishedHalfCpltCallback(TIM_HandleTypeDef* htim) {
  conformance::ev.half_calls = conformance::ev.half_calls + 1U;
  conformance::log_pwm('H', htim);
}

void HAL_TIM_PWM_PulseFinishedCallback(TIM_HandleTypeDef* htim) {
  conformance::ev.full_calls = conformance::ev.full_calls + 1U;
  conformance::log_pwm('F', htim);
}

}  // extern "C"
