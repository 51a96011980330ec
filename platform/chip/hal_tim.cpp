// Timers: time base, start/stop with and without the update interrupt, clock
// source and master mode, PWM channels with break stage, DMA-fed PWM and the
// interrupt dispatcher. One source serves basic, general-purpose and advanced
// timers; what a timer has is looked up by its address.
#include <algorithm>
#include <iterator>

#include "chip_internal.h"
#include "hal_shared.h"

using namespace chip;

namespace {

// What a timer instance has, as far as this layer uses it.
struct TimKind {
  bool known;
  bool basic;           // TIM6/7: counter only, no clock division, no slave controller
  bool up_down;         // DIR and CMS in CR1
  bool has_break;       // break stage: RCR, BDTR, main output enable (MOE)
  bool has_break2;      // second break input and TRGO2 (TIM1/8)
  bool master;          // MMS in CR2
  bool slave;           // SMCR
  uint32_t channels;    // capture/compare channels 1..4 available
  uint32_t n_channels;  // channels 1..n_channels have a complementary output
};

TimKind kind_of(const TIM_TypeDef* tim) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(tim);
  if (a == TIM1_BASE || a == TIM8_BASE) {
    return {true, false, true, true, true, true, true, 4U, 3U};
  }
  if (a == TIM2_BASE || a == tim::TIM3_BASE || a == TIM4_BASE) {
    return {true, false, true, false, false, true, true, 4U, 0U};
  }
  if (a == tim::TIM6_BASE || a == TIM7_BASE) {
    return {true, true, false, false, false, true, false, 0U, 0U};
  }
  if (a == tim::TIM15_BASE) {
    return {true, false, false, true, false, true, true, 2U, 1U};
  }
  if (a == tim::TIM16_BASE || a == TIM17_BASE) {
    return {true, false, false, true, false, false, false, 1U, 1U};
  }
  return {};
}

// Channel index from 0, or 4 if `channel` is no single channel this timer has.
constexpr uint32_t kNoChannel = 4U;
uint32_t channel_index(const TimKind& k, uint32_t channel) {
  const uint32_t index = channel / 4U;
  return (channel % 4U == 0U && index < k.channels) ? index : kNoChannel;
}

volatile uint32_t& ccr_of(TIM_TypeDef* tim, uint32_t index) { return (&tim->CCR1)[index]; }
volatile uint32_t& ccmr_of(TIM_TypeDef* tim, uint32_t index) { return index < 2U ? tim->CCMR1 : tim->CCMR2; }

void set_all_channel_states(TIM_HandleTypeDef* htim, HAL_TIM_ChannelStateTypeDef state) {
  std::fill(std::begin(htim->ChannelState), std::end(htim->ChannelState), state);
  std::fill(std::begin(htim->ChannelNState), std::end(htim->ChannelNState), state);
}

// Writes the handle's time base into the timer and loads it.
void apply_time_base(TIM_HandleTypeDef* htim, const TimKind& k) {
  TIM_TypeDef* tim = htim->Instance;
  const TIM_Base_InitTypeDef& init = htim->Init;
  uint32_t clear = tim::CR1_ARPE;
  uint32_t set = init.AutoReloadPreload & tim::CR1_ARPE;
  if (k.up_down) {
    clear |= tim::CR1_DIR | tim::CR1_CMS.mask();
    set |= init.CounterMode & (tim::CR1_DIR | tim::CR1_CMS.mask());
  }
  if (!k.basic) {
    clear |= tim::CR1_CKD.mask();
    set |= init.ClockDivision & tim::CR1_CKD.mask();
  }
  modify(tim->CR1, clear, set);
  tim->ARR = init.Period;
  tim->PSC = init.Prescaler;
  if (k.has_break) {
    tim->RCR = init.RepetitionCounter;
  }
  // PSC, ARR and RCR are buffered: an update event loads them now. It also sets
  // the update flag, which is cleared (flags clear on 0, other bits written 1
  // stay) so enabling the update interrupt later does not fire at once.
  tim->EGR = tim::EGR_UG;
  tim->SR = ~tim::SR_UIF;
}

HAL_StatusTypeDef init_time_base(TIM_HandleTypeDef* htim, void (*msp_hook)(TIM_HandleTypeDef*)) {
  if (htim == nullptr) {
    return HAL_ERROR;
  }
  const TimKind k = kind_of(htim->Instance);
  if (!k.known) {
    return HAL_ERROR;
  }
  if (htim->State == HAL_TIM_STATE_RESET) {
    htim->Lock = HAL_UNLOCKED;
    msp_hook(htim);  // clocks, pins, DMA links and interrupt lines of the board
  }
  htim->State = HAL_TIM_STATE_BUSY;
  apply_time_base(htim, k);
  set_all_channel_states(htim, HAL_TIM_CHANNEL_STATE_READY);
  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

// Counter off, unless a channel output is still enabled (it would freeze).
// Basic timers have no channels (and no CCER to look at).
void stop_counter_if_idle(TIM_TypeDef* tim) {
  if (kind_of(tim).channels == 0U || (tim->CCER & tim::CCER_ALL_OUTPUTS) == 0U) {
    clear_bits(tim->CR1, tim::CR1_CEN);
  }
}

HAL_StatusTypeDef start_base(TIM_HandleTypeDef* htim, bool with_interrupt) {
  if (htim == nullptr || htim->State != HAL_TIM_STATE_READY) {
    return HAL_ERROR;
  }
  htim->State = HAL_TIM_STATE_BUSY;
  if (with_interrupt) {
    set_bits(htim->Instance->DIER, tim::DIER_UIE);
  }
  set_bits(htim->Instance->CR1, tim::CR1_CEN);
  return HAL_OK;
}

HAL_StatusTypeDef stop_base(TIM_HandleTypeDef* htim, bool with_interrupt) {
  if (htim == nullptr) {
    return HAL_ERROR;
  }
  if (with_interrupt) {
    clear_bits(htim->Instance->DIER, tim::DIER_UIE);
  }
  stop_counter_if_idle(htim->Instance);
  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

}  // namespace

extern "C" {

HAL_StatusTypeDef HAL_TIM_Base_Init(TIM_HandleTypeDef* htim) {
  return init_time_base(htim, HAL_TIM_Base_MspInit);
}

HAL_StatusTypeDef HAL_TIM_PWM_Init(TIM_HandleTypeDef* htim) {
  return init_time_base(htim, HAL_TIM_PWM_MspInit);
}

HAL_StatusTypeDef HAL_TIM_Base_Start(TIM_HandleTypeDef* htim) { return start_base(htim, false); }
HAL_StatusTypeDef HAL_TIM_Base_Start_IT(TIM_HandleTypeDef* htim) { return start_base(htim, true); }
HAL_StatusTypeDef HAL_TIM_Base_Stop(TIM_HandleTypeDef* htim) { return stop_base(htim, false); }
HAL_StatusTypeDef HAL_TIM_Base_Stop_IT(TIM_HandleTypeDef* htim) { return stop_base(htim, true); }

HAL_StatusTypeDef HAL_TIM_ConfigClockSource(TIM_HandleTypeDef* htim,
                                            TIM_ClockConfigTypeDef* sClockSourceConfig) {
  if (htim == nullptr || sClockSourceConfig == nullptr) {
    return HAL_ERROR;
  }
  // Only the internal clock is supported; it needs the slave controller's
  // register, which basic timers and TIM16/17 do not have.
  if (!kind_of(htim->Instance).slave || sClockSourceConfig->ClockSource != TIM_CLOCKSOURCE_INTERNAL) {
    return HAL_ERROR;
  }
  htim->State = HAL_TIM_STATE_BUSY;
  // Slave mode off and the external trigger path unused: the prescaler runs on
  // the internal timer clock.
  clear_bits(htim->Instance->SMCR,
             tim::SMCR_SMS | tim::SMCR_TS | tim::SMCR_ETF | tim::SMCR_ETPS | tim::SMCR_ECE | tim::SMCR_ETP);
  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef* htim,
                                                        TIM_MasterConfigTypeDef* sMasterConfig) {
  if (htim == nullptr || sMasterConfig == nullptr) {
    return HAL_ERROR;
  }
  const TimKind k = kind_of(htim->Instance);
  if (!k.master) {
    return HAL_ERROR;
  }
  htim->State = HAL_TIM_STATE_BUSY;
  TIM_TypeDef* tim = htim->Instance;
  uint32_t clear = tim::CR2_MMS;
  uint32_t set = sMasterConfig->MasterOutputTrigger & tim::CR2_MMS;
  if (k.has_break2) {
    clear |= tim::CR2_MMS2.mask();
    set |= sMasterConfig->MasterOutputTrigger2 & tim::CR2_MMS2.mask();
  }
  modify(tim->CR2, clear, set);
  if (k.slave) {
    modify(tim->SMCR, tim::SMCR_MSM, sMasterConfig->MasterSlaveMode & tim::SMCR_MSM);
  }
  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_ConfigChannel(TIM_HandleTypeDef* htim, TIM_OC_InitTypeDef* sConfig,
                                            uint32_t Channel) {
  if (htim == nullptr || sConfig == nullptr) {
    return HAL_ERROR;
  }
  const TimKind k = kind_of(htim->Instance);
  const uint32_t ch = channel_index(k, Channel);
  if (ch == kNoChannel) {
    return HAL_ERROR;
  }
  htim->State = HAL_TIM_STATE_BUSY;
  TIM_TypeDef* tim = htim->Instance;

  // The channel's mode can only be changed (CCxS back to output) while it is off.
  clear_bits(tim->CCER, tim::ccer_cce(ch));

  // Output compare in the requested PWM mode, compare preload on (the new value
  // takes effect at the next period, never mid-period), fast mode as asked.
  const uint32_t shift = tim::ccmr_shift(ch);
  const uint32_t mode_bits =
      (sConfig->OCMode & tim::CCMR_OCM) | tim::CCMR_OCPE | (sConfig->OCFastMode & tim::CCMR_OCFE);
  modify(ccmr_of(tim, ch), (tim::CCMR_CCS | tim::CCMR_OCM | tim::CCMR_OCPE | tim::CCMR_OCFE) << shift,
         mode_bits << shift);

  // Idle levels of the outputs when the main output is off (break-stage timers).
  if (k.has_break) {
    const uint32_t idle_mask = tim::cr2_ois(ch) | (ch < k.n_channels ? tim::cr2_oisn(ch) : 0U);
    // OCIdleState / OCNIdleState carry OIS1 / OIS1N (bits 8 / 9) for channel 1.
    const uint32_t idle = ((sConfig->OCIdleState | sConfig->OCNIdleState) << (2U * ch)) & idle_mask;
    modify(tim->CR2, idle_mask, idle);
  }

  ccr_of(tim, ch) = sConfig->Pulse;

  // Polarity of the output (and of the complementary output where there is one);
  // the complementary output stays disabled.
  uint32_t pol_mask = tim::ccer_ccp(ch);
  uint32_t pol = (sConfig->OCPolarity << (4U * ch)) & tim::ccer_ccp(ch);
  if (ch < k.n_channels) {
    pol_mask |= tim::ccer_ccnp(ch) | tim::ccer_ccne(ch);
    pol |= (sConfig->OCNPolarity << (4U * ch)) & tim::ccer_ccnp(ch);
  }
  modify(tim->CCER, pol_mask, pol);

  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIMEx_ConfigBreakDeadTime(TIM_HandleTypeDef* htim,
                                                TIM_BreakDeadTimeConfigTypeDef* sBreakDeadTimeConfig) {
  if (htim == nullptr || sBreakDeadTimeConfig == nullptr) {
    return HAL_ERROR;
  }
  const TimKind k = kind_of(htim->Instance);
  const TIM_BreakDeadTimeConfigTypeDef& c = *sBreakDeadTimeConfig;
  if (!k.has_break || c.DeadTime > tim::BDTR_DTG.mask() || c.BreakFilter > 0xFU || c.Break2Filter > 0xFU) {
    return HAL_ERROR;
  }
  htim->State = HAL_TIM_STATE_BUSY;
  // The Init values carry their BDTR bits (LockLevel in LOCK, the states and
  // polarities in their bits); dead time and filters are plain numbers.
  uint32_t mask = tim::BDTR_DTG.mask() | tim::BDTR_LOCK.mask() | tim::BDTR_OSSI | tim::BDTR_OSSR |
                  tim::BDTR_BKE | tim::BDTR_BKP | tim::BDTR_AOE | tim::BDTR_BKF.mask() | tim::BDTR_BKBID;
  uint32_t value = tim::BDTR_DTG.val(c.DeadTime) | (c.LockLevel & tim::BDTR_LOCK.mask()) |
                   (c.OffStateIDLEMode & tim::BDTR_OSSI) | (c.OffStateRunMode & tim::BDTR_OSSR) |
                   (c.BreakState & tim::BDTR_BKE) | (c.BreakPolarity & tim::BDTR_BKP) |
                   (c.AutomaticOutput & tim::BDTR_AOE) | tim::BDTR_BKF.val(c.BreakFilter) |
                   (c.BreakAFMode & tim::BDTR_BKBID);
  if (k.has_break2) {
    mask |= tim::BDTR_BK2F.mask() | tim::BDTR_BK2E | tim::BDTR_BK2P | tim::BDTR_BK2BID;
    value |= tim::BDTR_BK2F.val(c.Break2Filter) | (c.Break2State & tim::BDTR_BK2E) |
             (c.Break2Polarity & tim::BDTR_BK2P) | (c.Break2AFMode & tim::BDTR_BK2BID);
  }
  // One write of the whole break/dead-time setting; the main output enable is
  // left as it is.
  modify(htim->Instance->BDTR, mask, value);
  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_Start_DMA(TIM_HandleTypeDef* htim, uint32_t Channel, const uint32_t* pData,
                                        uint16_t Length) {
  if (htim == nullptr) {
    return HAL_ERROR;
  }
  const TimKind k = kind_of(htim->Instance);
  const uint32_t ch = channel_index(k, Channel);
  if (ch == kNoChannel) {
    return HAL_ERROR;
  }
  if (htim->ChannelState[ch] == HAL_TIM_CHANNEL_STATE_BUSY) {
    return HAL_BUSY;
  }
  if (htim->ChannelState[ch] != HAL_TIM_CHANNEL_STATE_READY || pData == nullptr || Length == 0U) {
    return HAL_ERROR;
  }
  DMA_HandleTypeDef* hdma = htim->hdma[TIM_DMA_ID_CC1 + ch];
  if (hdma == nullptr) {
    return HAL_ERROR;
  }
  htim->ChannelState[ch] = HAL_TIM_CHANNEL_STATE_BUSY;

  platform_shared::link_tim_dma_callbacks(hdma);
  TIM_TypeDef* tim = htim->Instance;
  if (HAL_DMA_Start_IT(hdma, reinterpret_cast<uint32_t>(pData), reinterpret_cast<uint32_t>(&ccr_of(tim, ch)),
                       Length) != HAL_OK) {
    htim->ChannelState[ch] = HAL_TIM_CHANNEL_STATE_READY;
    return HAL_ERROR;
  }
  // Each compare event of the channel now asks the DMA for the next value.
  set_bits(tim->DIER, tim::dier_ccde(ch));
  set_bits(tim->CCER, tim::ccer_cce(ch));
  if (k.has_break) {
    set_bits(tim->BDTR, tim::BDTR_MOE);  // outputs of a break-stage timer stay off without it
  }
  set_bits(tim->CR1, tim::CR1_CEN);
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_Stop_DMA(TIM_HandleTypeDef* htim, uint32_t Channel) {
  if (htim == nullptr) {
    return HAL_ERROR;
  }
  const TimKind k = kind_of(htim->Instance);
  const uint32_t ch = channel_index(k, Channel);
  if (ch == kNoChannel) {
    return HAL_ERROR;
  }
  TIM_TypeDef* tim = htim->Instance;
  // Requests off first, so the DMA is not asked for more while it is stopped.
  clear_bits(tim->DIER, tim::dier_ccde(ch));
  if (htim->hdma[TIM_DMA_ID_CC1 + ch] != nullptr) {
    (void)HAL_DMA_Abort(htim->hdma[TIM_DMA_ID_CC1 + ch]);
  }
  clear_bits(tim->CCER, tim::ccer_cce(ch));
  if (k.has_break && (tim->CCER & tim::CCER_ALL_OUTPUTS) == 0U) {
    clear_bits(tim->BDTR, tim::BDTR_MOE);
  }
  stop_counter_if_idle(tim);
  htim->ChannelState[ch] = HAL_TIM_CHANNEL_STATE_READY;
  return HAL_OK;
}

void HAL_TIM_IRQHandler(TIM_HandleTypeDef* htim) {
  if (htim == nullptr || htim->Instance == nullptr) {
    return;
  }
  TIM_TypeDef* tim = htim->Instance;
  const uint32_t sr = tim->SR;
  const uint32_t dier = tim->DIER;
  auto pending = [sr, dier](uint32_t flag, uint32_t enable) {
    return (sr & flag) != 0U && (dier & enable) != 0U;
  };
  // Each flag is cleared (written 0; the other flags are written 1, which leaves
  // them) before its callback, so an event during the callback is not lost.
  for (uint32_t ch = 0; ch < 4U; ++ch) {
    if (pending(tim::sr_ccif(ch), tim::dier_ccie(ch))) {
      tim->SR = ~tim::sr_ccif(ch);
      const bool output_compare = ((ccmr_of(tim, ch) >> tim::ccmr_shift(ch)) & tim::CCMR_CCS) == 0U;
      if (output_compare) {
        htim->Channel = bit(ch);
        HAL_TIM_PWM_PulseFinishedCallback(htim);
        htim->Channel = HAL_TIM_ACTIVE_CHANNEL_CLEARED;
      }
    }
  }
  if (pending(tim::SR_UIF, tim::DIER_UIE)) {
    tim->SR = ~tim::SR_UIF;
    HAL_TIM_PeriodElapsedCallback(htim);
  }
  // Break, trigger and commutation events have no callback in this platform:
  // they are acknowledged so that they do not keep the interrupt pending.
  if (pending(tim::SR_BIF | tim::SR_B2IF | tim::SR_SBIF, tim::DIER_BIE)) {
    tim->SR = ~(tim::SR_BIF | tim::SR_B2IF | tim::SR_SBIF);
  }
  if (pending(tim::SR_TIF, tim::DIER_TIE)) {
    tim->SR = ~tim::SR_TIF;
  }
  if (pending(tim::SR_COMIF, tim::DIER_COMIE)) {
    tim->SR = ~tim::SR_COMIF;
  }
}

}  // extern "C"
