// Conformance cases of the timers: the update period and its callback, PWM
// channels and their fields, PWM streamed by DMA, and the refused requests.
#include <algorithm>
#include <iterator>

#include "cases_common.h"

namespace conformance {

namespace {

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

}  // namespace

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
  // With another output still on (channel 1's CC1E, set here directly) the
  // counter keeps running when channel 2 stops: that output would freeze.
  TIM2->CCER = TIM2->CCER | 1U;
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Start_DMA(&general, TIM_CHANNEL_2, frame_words(), 8) == HAL_OK);
  CONFORMANCE_CHECK(r, HAL_TIM_PWM_Stop_DMA(&general, TIM_CHANNEL_2) == HAL_OK);
  CONFORMANCE_CHECK(r, (TIM2->CR1 & 1U) != 0U);
  TIM2->CCER = TIM2->CCER & ~1U;
  TIM2->CR1 = TIM2->CR1 & ~1U;
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

}  // namespace conformance
