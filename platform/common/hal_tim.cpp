// Timers: the handle-state rules of the platform API, shared by both
// implementations so that they judge requests alike: argument checks, the MSP
// hook on first use, the handle's and each channel's state, and which callback
// each interrupt event calls. The registers are reached through tim_port.
#include <algorithm>
#include <iterator>

#include "hal_shared.h"
#include "tim_port.h"

namespace {

// Status and interrupt-enable bits (SR and DIER share positions for the events
// that have a callback; BIE also enables the second-break and system-break flags).
constexpr uint32_t kUpdate = 1U << 0U;
constexpr uint32_t kCc1 = 1U << 1U;
constexpr uint32_t kCom = 1U << 5U;
constexpr uint32_t kTrigger = 1U << 6U;
constexpr uint32_t kBreak = 1U << 7U;
constexpr uint32_t kBreak2 = 1U << 8U;
constexpr uint32_t kSystemBreak = 1U << 13U;
constexpr uint32_t kCcsMask = 0x3U;  // CCxS in CCMR: 00 = output

// Channel index from 0, or kNoChannel if `channel` is no single channel the
// timer has.
constexpr uint32_t kNoChannel = 4U;
uint32_t channel_index(const TIM_TypeDef* tim, uint32_t channel) {
  const uint32_t index = channel / 4U;
  return (channel % 4U == 0U && index < tim_port::features(tim).channels) ? index : kNoChannel;
}

void set_all_channel_states(TIM_HandleTypeDef* htim, HAL_TIM_ChannelStateTypeDef state) {
  std::fill(std::begin(htim->ChannelState), std::end(htim->ChannelState), state);
  std::fill(std::begin(htim->ChannelNState), std::end(htim->ChannelNState), state);
}

HAL_StatusTypeDef init_time_base(TIM_HandleTypeDef* htim, void (*msp_hook)(TIM_HandleTypeDef*)) {
  if (htim == nullptr || !tim_port::features(htim->Instance).known) {
    return HAL_ERROR;
  }
  if (htim->State == HAL_TIM_STATE_RESET) {
    htim->Lock = HAL_UNLOCKED;
    msp_hook(htim);  // clocks, pins, DMA links and interrupt lines of the board
  }
  htim->State = HAL_TIM_STATE_BUSY;
  tim_port::load_time_base(htim);
  set_all_channel_states(htim, HAL_TIM_CHANNEL_STATE_READY);
  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef start_base(TIM_HandleTypeDef* htim, bool with_interrupt) {
  if (htim == nullptr || htim->State != HAL_TIM_STATE_READY) {
    return HAL_ERROR;
  }
  htim->State = HAL_TIM_STATE_BUSY;
  tim_port::start_counter(htim->Instance, with_interrupt);
  return HAL_OK;
}

HAL_StatusTypeDef stop_base(TIM_HandleTypeDef* htim, bool with_interrupt) {
  if (htim == nullptr) {
    return HAL_ERROR;
  }
  tim_port::stop_counter(htim->Instance, with_interrupt);
  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

// Runs a configuration step with the handle busy meanwhile.
template <typename Step>
HAL_StatusTypeDef configure(TIM_HandleTypeDef* htim, Step step) {
  htim->State = HAL_TIM_STATE_BUSY;
  step(htim->Instance);
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
  if (!tim_port::features(htim->Instance).slave ||
      sClockSourceConfig->ClockSource != TIM_CLOCKSOURCE_INTERNAL) {
    return HAL_ERROR;
  }
  return configure(htim, tim_port::select_internal_clock);
}

HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef* htim,
                                                        TIM_MasterConfigTypeDef* sMasterConfig) {
  if (htim == nullptr || sMasterConfig == nullptr || !tim_port::features(htim->Instance).master) {
    return HAL_ERROR;
  }
  return configure(htim,
                   [sMasterConfig](TIM_TypeDef* tim) { tim_port::set_master_mode(tim, *sMasterConfig); });
}

HAL_StatusTypeDef HAL_TIM_PWM_ConfigChannel(TIM_HandleTypeDef* htim, TIM_OC_InitTypeDef* sConfig,
                                            uint32_t Channel) {
  if (htim == nullptr || sConfig == nullptr) {
    return HAL_ERROR;
  }
  const uint32_t ch = channel_index(htim->Instance, Channel);
  if (ch == kNoChannel) {
    return HAL_ERROR;
  }
  return configure(htim,
                   [sConfig, ch](TIM_TypeDef* tim) { tim_port::configure_pwm_channel(tim, ch, *sConfig); });
}

HAL_StatusTypeDef HAL_TIMEx_ConfigBreakDeadTime(TIM_HandleTypeDef* htim,
                                                TIM_BreakDeadTimeConfigTypeDef* sBreakDeadTimeConfig) {
  if (htim == nullptr || sBreakDeadTimeConfig == nullptr) {
    return HAL_ERROR;
  }
  // Dead time is an 8-bit code, the filters 4-bit numbers.
  const TIM_BreakDeadTimeConfigTypeDef& c = *sBreakDeadTimeConfig;
  if (!tim_port::features(htim->Instance).has_break || c.DeadTime > 0xFFU || c.BreakFilter > 0xFU ||
      c.Break2Filter > 0xFU) {
    return HAL_ERROR;
  }
  return configure(htim, [&c](TIM_TypeDef* tim) { tim_port::set_break_dead_time(tim, c); });
}

HAL_StatusTypeDef HAL_TIM_PWM_Start_DMA(TIM_HandleTypeDef* htim, uint32_t Channel, const uint32_t* pData,
                                        uint16_t Length) {
  if (htim == nullptr) {
    return HAL_ERROR;
  }
  const uint32_t ch = channel_index(htim->Instance, Channel);
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
  if (hdma == nullptr || hdma->Instance == nullptr) {
    return HAL_ERROR;
  }
  htim->ChannelState[ch] = HAL_TIM_CHANNEL_STATE_BUSY;
  platform_shared::link_tim_dma_callbacks(hdma);
  if (tim_port::start_dma(htim, ch, pData, Length) != HAL_OK) {
    htim->ChannelState[ch] = HAL_TIM_CHANNEL_STATE_READY;
    return HAL_ERROR;
  }
  tim_port::enable_dma_output(htim->Instance, ch);
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_Stop_DMA(TIM_HandleTypeDef* htim, uint32_t Channel) {
  if (htim == nullptr) {
    return HAL_ERROR;
  }
  const uint32_t ch = channel_index(htim->Instance, Channel);
  if (ch == kNoChannel) {
    return HAL_ERROR;
  }
  // Requests off first, so the DMA is not asked for more while it is stopped.
  tim_port::disable_dma_requests(htim, ch);
  if (htim->hdma[TIM_DMA_ID_CC1 + ch] != nullptr) {
    (void)HAL_DMA_Abort(htim->hdma[TIM_DMA_ID_CC1 + ch]);
  }
  tim_port::disable_output(htim->Instance, ch);
  htim->ChannelState[ch] = HAL_TIM_CHANNEL_STATE_READY;
  return HAL_OK;
}

void HAL_TIM_IRQHandler(TIM_HandleTypeDef* htim) {
  if (htim == nullptr || htim->Instance == nullptr) {
    return;
  }
  TIM_TypeDef* tim = htim->Instance;
  const uint32_t dier = tim->DIER;
  const uint32_t enabled = (dier & 0xFFU) | ((dier & kBreak) != 0U ? kBreak2 | kSystemBreak : 0U);
  const uint32_t pending = tim->SR & enabled;
  // Each flag is cleared before its callback, so an event during the callback
  // is not lost.
  for (uint32_t ch = 0; ch < 4U; ++ch) {
    const uint32_t flag = kCc1 << ch;
    if ((pending & flag) != 0U) {
      tim_port::clear_flags(tim, flag);
      const volatile uint32_t& ccmr = ch < 2U ? tim->CCMR1 : tim->CCMR2;
      if (((ccmr >> (8U * (ch & 1U))) & kCcsMask) == 0U) {  // output compare
        htim->Channel = 1U << ch;                           // HAL_TIM_ACTIVE_CHANNEL_x
        HAL_TIM_PWM_PulseFinishedCallback(htim);
        htim->Channel = HAL_TIM_ACTIVE_CHANNEL_CLEARED;
      }
    }
  }
  if ((pending & kUpdate) != 0U) {
    tim_port::clear_flags(tim, kUpdate);
    HAL_TIM_PeriodElapsedCallback(htim);
  }
  // Break, trigger and commutation events have no callback in this platform:
  // they are acknowledged so that they do not keep the interrupt pending.
  const uint32_t acknowledged = pending & (kBreak | kBreak2 | kSystemBreak | kTrigger | kCom);
  if (acknowledged != 0U) {
    tim_port::clear_flags(tim, acknowledged);
  }
}

}  // extern "C"
