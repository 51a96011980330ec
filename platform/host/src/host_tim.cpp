// Host platform: timers (base, PWM, DMA-fed PWM) and their interrupts.
#include <algorithm>
#include <iterator>

#include "hal_shared.h"
#include "host_state.h"

using platform_host::regs;
using platform_host::detail::state;

namespace {

constexpr uint32_t kCr1Cen = 1U << 0U;
constexpr uint32_t kCr1Arpe = 1U << 7U;
constexpr uint32_t kSrUif = 1U << 0U;
constexpr uint32_t kDierUie = 1U << 0U;
constexpr uint32_t kBdtrMoe = 1U << 15U;

// What a timer of the register file has, as the chip's timers have it.
struct Features {
  bool known;
  bool has_break;  // break stage: RCR, BDTR, main output enable
  bool slave;      // slave controller (SMCR): clock source selection
  bool master;     // master mode (CR2.MMS)
  uint32_t channels;
};

Features features(const TIM_TypeDef* tim) {
  if (tim == &regs.tim1 || tim == &regs.tim8) return {true, true, true, true, 4U};
  if (tim == &regs.tim2 || tim == &regs.tim4) return {true, false, true, true, 4U};
  if (tim == &regs.tim7) return {true, false, false, true, 0U};
  if (tim == &regs.tim17) return {true, true, false, false, 1U};
  return {};
}

bool has_break_stage(const TIM_TypeDef* tim) { return features(tim).has_break; }

// Channel index from 0, or 4 if `channel` is no single channel this timer has.
constexpr uint32_t kNoChannel = 4U;
uint32_t channel_index(const TIM_TypeDef* tim, uint32_t channel) {
  const uint32_t index = channel / 4U;
  return (channel % 4U == 0U && index < features(tim).channels) ? index : kNoChannel;
}

constexpr uint32_t kDmaEn = 1U << 0U;
constexpr uint32_t kDmaTcie = 1U << 1U;
constexpr uint32_t kDmaHtie = 1U << 2U;
constexpr uint32_t kDmaCirc = 1U << 5U;
constexpr uint32_t kDierCc1de = 1U << 9U;

// One DMA request of a timer channel: the linked channel moves the next item of
// the PWM buffer into the compare register and flags half and full transfer.
void dma_request(TIM_TypeDef* tim, uint32_t index) {
  auto& s = state();
  const auto handle = s.tim_handles.find(tim);
  if (handle == s.tim_handles.end()) {
    return;
  }
  TIM_HandleTypeDef* htim = handle->second;
  DMA_HandleTypeDef* hdma = htim->hdma[TIM_DMA_ID_CC1 + index];
  const auto rec = s.pwm.find(htim);
  if (hdma == nullptr || rec == s.pwm.end() || rec->second.buffer == nullptr ||
      (hdma->Instance->CCR & kDmaEn) == 0U) {
    return;
  }
  DMA_Channel_TypeDef* ch = hdma->Instance;
  const uint32_t length = rec->second.length;
  (&tim->CCR1)[index] = rec->second.buffer[length - ch->CNDTR];
  ch->CNDTR = ch->CNDTR - 1U;
  const uint32_t shift = hdma->ChannelIndex * 4U;
  uint32_t flags = 0U;
  if (ch->CNDTR == length / 2U) {
    flags = 0x5U;  // GIF, HTIF
  } else if (ch->CNDTR == 0U) {
    flags = 0x3U;  // GIF, TCIF
    if ((ch->CCR & kDmaCirc) != 0U) {
      ch->CNDTR = length;
    } else {
      ch->CCR = ch->CCR & ~kDmaEn;
    }
  }
  regs.dma1.ISR = regs.dma1.ISR | (flags << shift);
  if (((flags & 4U) != 0U && (ch->CCR & kDmaHtie) != 0U) ||
      ((flags & 2U) != 0U && (ch->CCR & kDmaTcie) != 0U)) {
    platform_host::detail::pend_irq_for_dma(hdma->ChannelIndex);
  }
}

HAL_StatusTypeDef init_time_base(TIM_HandleTypeDef* htim) {
  TIM_TypeDef* tim = htim->Instance;
  const TIM_Base_InitTypeDef& init = htim->Init;
  uint32_t cr1 = tim->CR1 & ~((7U << 4U) | (3U << 8U) | kCr1Arpe);
  cr1 |= (init.CounterMode & (7U << 4U)) | (init.ClockDivision & (3U << 8U)) |
         (init.AutoReloadPreload & kCr1Arpe);
  tim->CR1 = cr1;
  tim->ARR = init.Period;
  tim->PSC = init.Prescaler;
  if (has_break_stage(tim)) {
    tim->RCR = init.RepetitionCounter;
  }
  // EGR.UG: buffered registers loaded, counter cleared, UIF set - and cleared
  // again so that no update interrupt follows.
  tim->EGR = 1U;
  tim->CNT = 0U;
  tim->SR = tim->SR & ~kSrUif;
  state().tim_handles[tim] = htim;
  std::fill(std::begin(htim->ChannelState), std::end(htim->ChannelState), HAL_TIM_CHANNEL_STATE_READY);
  std::fill(std::begin(htim->ChannelNState), std::end(htim->ChannelNState), HAL_TIM_CHANNEL_STATE_READY);
  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

}  // namespace

namespace platform_host {

namespace detail {

IRQn_Type timer_update_irq(const TIM_TypeDef* tim) {
  if (tim == &regs.tim7) return TIM7_IRQn;
  if (tim == &regs.tim17) return TIM1_TRG_COM_TIM17_IRQn;
  if (tim == &regs.tim1) return TIM1_UP_TIM16_IRQn;
  if (tim == &regs.tim2) return TIM2_IRQn;
  if (tim == &regs.tim4) return TIM4_IRQn;
  if (tim == &regs.tim8) return TIM8_UP_IRQn;
  return NonMaskableInt_IRQn;
}

void advance_timers(uint64_t us) {
  State& s = state();
  TIM_TypeDef* const timers[] = {&regs.tim1, &regs.tim2, &regs.tim4, &regs.tim7, &regs.tim8, &regs.tim17};
  for (TIM_TypeDef* tim : timers) {
    if ((tim->CR1 & kCr1Cen) == 0U) {
      continue;
    }
    // counts = us * f / (10^6 * (PSC + 1)), carrying the fraction.
    const uint64_t divisor = 1000000ULL * (static_cast<uint64_t>(tim->PSC) + 1U);
    const unsigned __int128 total =
        static_cast<unsigned __int128>(us) * s.sys_clock_hz + s.timer_remainder[tim];
    uint64_t counts = static_cast<uint64_t>(total / divisor);
    s.timer_remainder[tim] = static_cast<uint64_t>(total % divisor);
    const uint64_t period = static_cast<uint64_t>(tim->ARR) + 1U;
    while (counts > 0U) {
      const uint64_t to_wrap = period - (tim->CNT % period);
      if (counts < to_wrap) {
        tim->CNT = static_cast<uint32_t>(tim->CNT + counts);
        break;
      }
      counts -= to_wrap;
      tim->CNT = 0U;
      tim->SR = tim->SR | kSrUif;
      for (uint32_t index = 0; index < 4U; ++index) {
        if ((tim->DIER & (kDierCc1de << index)) != 0U) {
          dma_request(tim, index);  // once per period, as each compare event asks
        }
      }
      if ((tim->DIER & kDierUie) != 0U) {
        pend_irq(timer_update_irq(tim));
        service_interrupts();
      }
    }
  }
}

}  // namespace detail

bool timer_running(TIM_TypeDef* tim) { return (tim->CR1 & kCr1Cen) != 0U; }

bool timer_update_irq_enabled(TIM_TypeDef* tim) { return (tim->DIER & kDierUie) != 0U; }

void set_counter(TIM_TypeDef* tim, uint32_t cnt) { tim->CNT = cnt; }

void wrap_timer(TIM_TypeDef* tim, uint32_t cnt_after, bool hold_interrupt) {
  tim->CNT = cnt_after;
  tim->SR = tim->SR | kSrUif;
  if ((tim->DIER & kDierUie) != 0U) {
    detail::pend_irq(detail::timer_update_irq(tim));
    if (!hold_interrupt) {
      detail::service_interrupts();
    }
  }
}

void deliver_timer_update(TIM_TypeDef* tim) {
  if ((tim->SR & kSrUif) != 0U && (tim->DIER & kDierUie) != 0U) {
    detail::pend_irq(detail::timer_update_irq(tim));
    detail::service_interrupts();
  }
}

void set_timer_read_hook(TimerReadHook hook) { state().timer_read_hook = std::move(hook); }

uint32_t tim_read_counter(TIM_TypeDef* tim) {
  auto& s = state();
  if (s.timer_read_hook && !s.in_read_hook) {
    s.in_read_hook = true;
    s.timer_read_hook(tim, TimerRead::Counter);
    s.in_read_hook = false;
  }
  return tim->CNT;
}

uint32_t tim_read_status(TIM_TypeDef* tim) {
  auto& s = state();
  if (s.timer_read_hook && !s.in_read_hook) {
    s.in_read_hook = true;
    s.timer_read_hook(tim, TimerRead::Status);
    s.in_read_hook = false;
  }
  return tim->SR;
}

PwmDma pwm_dma(const TIM_HandleTypeDef* htim) {
  const auto& pwm = state().pwm;
  const auto it = pwm.find(htim);
  return it == pwm.end() ? PwmDma{} : it->second;
}

}  // namespace platform_host

extern "C" {

HAL_StatusTypeDef HAL_TIM_Base_Init(TIM_HandleTypeDef* htim) {
  if (htim == nullptr || !features(htim->Instance).known) {
    return HAL_ERROR;
  }
  ++state().calls.tim_base_init;
  if (htim->State == HAL_TIM_STATE_RESET) {
    htim->Lock = HAL_UNLOCKED;
    HAL_TIM_Base_MspInit(htim);
  }
  htim->State = HAL_TIM_STATE_BUSY;
  return init_time_base(htim);
}

HAL_StatusTypeDef HAL_TIM_Base_Start(TIM_HandleTypeDef* htim) {
  ++state().calls.tim_base_start;
  if (htim->State != HAL_TIM_STATE_READY) {
    return HAL_ERROR;
  }
  htim->State = HAL_TIM_STATE_BUSY;
  htim->Instance->CR1 = htim->Instance->CR1 | kCr1Cen;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_Base_Stop(TIM_HandleTypeDef* htim) {
  htim->Instance->CR1 = htim->Instance->CR1 & ~kCr1Cen;
  htim->State = HAL_TIM_STATE_READY;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_Base_Start_IT(TIM_HandleTypeDef* htim) {
  ++state().calls.tim_base_start_it;
  if (htim->State != HAL_TIM_STATE_READY) {
    return HAL_ERROR;
  }
  htim->State = HAL_TIM_STATE_BUSY;
  htim->Instance->DIER = htim->Instance->DIER | kDierUie;
  htim->Instance->CR1 = htim->Instance->CR1 | kCr1Cen;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_Base_Stop_IT(TIM_HandleTypeDef* htim) {
  htim->Instance->DIER = htim->Instance->DIER & ~kDierUie;
  return HAL_TIM_Base_Stop(htim);
}

HAL_StatusTypeDef HAL_TIM_ConfigClockSource(TIM_HandleTypeDef* htim,
                                            TIM_ClockConfigTypeDef* sClockSourceConfig) {
  if (htim == nullptr || sClockSourceConfig == nullptr || !features(htim->Instance).slave ||
      sClockSourceConfig->ClockSource != TIM_CLOCKSOURCE_INTERNAL) {
    return HAL_ERROR;
  }
  if (sClockSourceConfig->ClockSource == TIM_CLOCKSOURCE_INTERNAL) {
    htim->Instance->SMCR = htim->Instance->SMCR & ~((7U << 0U) | (1U << 16U) | (1U << 14U));  // SMS, ECE off
  }
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef* htim,
                                                        TIM_MasterConfigTypeDef* sMasterConfig) {
  if (htim == nullptr || sMasterConfig == nullptr || !features(htim->Instance).master) {
    return HAL_ERROR;
  }
  htim->Instance->CR2 =
      (htim->Instance->CR2 & ~(7U << 4U)) | (sMasterConfig->MasterOutputTrigger & (7U << 4U));
  htim->Instance->SMCR = (htim->Instance->SMCR & ~(1U << 7U)) | (sMasterConfig->MasterSlaveMode & (1U << 7U));
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_Init(TIM_HandleTypeDef* htim) {
  if (htim == nullptr || !features(htim->Instance).known) {
    return HAL_ERROR;
  }
  if (htim->State == HAL_TIM_STATE_RESET) {
    htim->Lock = HAL_UNLOCKED;
    HAL_TIM_PWM_MspInit(htim);
  }
  htim->State = HAL_TIM_STATE_BUSY;
  return init_time_base(htim);
}

HAL_StatusTypeDef HAL_TIM_PWM_ConfigChannel(TIM_HandleTypeDef* htim, TIM_OC_InitTypeDef* sConfig,
                                            uint32_t Channel) {
  if (htim == nullptr || sConfig == nullptr) {
    return HAL_ERROR;
  }
  TIM_TypeDef* tim = htim->Instance;
  const uint32_t index = channel_index(tim, Channel);
  if (index == kNoChannel) {
    return HAL_ERROR;
  }
  const uint32_t shift = (index & 1U) * 8U;
  // OCxM, OCxPE (preload on, as the vendor layer does for PWM) and OCxFE.
  const uint32_t ccmr = (sConfig->OCMode & 0x70U) | (1U << 3U) | (sConfig->OCFastMode & (1U << 2U));
  volatile uint32_t& reg = index < 2U ? tim->CCMR1 : tim->CCMR2;
  reg = (reg & ~(0xFFU << shift)) | (ccmr << shift);
  volatile uint32_t* const ccr[4] = {&tim->CCR1, &tim->CCR2, &tim->CCR3, &tim->CCR4};
  *ccr[index] = sConfig->Pulse;
  const uint32_t pol_shift = index * 4U;
  tim->CCER = (tim->CCER & ~(2U << pol_shift)) | ((sConfig->OCPolarity & 2U) << pol_shift);
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIMEx_ConfigBreakDeadTime(TIM_HandleTypeDef* htim,
                                                TIM_BreakDeadTimeConfigTypeDef* sBreakDeadTimeConfig) {
  if (htim == nullptr || sBreakDeadTimeConfig == nullptr || !has_break_stage(htim->Instance)) {
    return HAL_ERROR;
  }
  const auto& c = *sBreakDeadTimeConfig;
  htim->Instance->BDTR = (c.DeadTime & 0xFFU) | c.LockLevel | c.OffStateIDLEMode | c.OffStateRunMode |
                         c.BreakState | c.BreakPolarity | c.AutomaticOutput;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_Start_DMA(TIM_HandleTypeDef* htim, uint32_t Channel, const uint32_t* pData,
                                        uint16_t Length) {
  if (htim == nullptr) {
    return HAL_ERROR;
  }
  const uint32_t index = channel_index(htim->Instance, Channel);
  if (index == kNoChannel) {
    return HAL_ERROR;
  }
  if (htim->ChannelState[index] == HAL_TIM_CHANNEL_STATE_BUSY) {
    return HAL_BUSY;
  }
  if (htim->ChannelState[index] != HAL_TIM_CHANNEL_STATE_READY || pData == nullptr || Length == 0U) {
    return HAL_ERROR;
  }
  DMA_HandleTypeDef* hdma = htim->hdma[TIM_DMA_ID_CC1 + index];
  if (hdma == nullptr || hdma->Instance == nullptr) {
    return HAL_ERROR;
  }
  // The linked channel: memory to the compare register, circular (its Init).
  // Host pointers do not fit CPAR/CMAR: the buffer is kept in the record below.
  platform_shared::link_tim_dma_callbacks(hdma);
  if (HAL_DMA_Start_IT(hdma, 0U, 0U, Length) != HAL_OK) {
    return HAL_ERROR;
  }
  htim->ChannelState[index] = HAL_TIM_CHANNEL_STATE_BUSY;

  auto& rec = state().pwm[htim];
  rec.buffer = reinterpret_cast<const uint8_t*>(pData);
  rec.length = Length;
  rec.channel = Channel;
  rec.running = true;
  ++rec.start_calls;

  TIM_TypeDef* tim = htim->Instance;
  tim->DIER = tim->DIER | (1U << (9U + index));  // CCxDE
  tim->CCER = tim->CCER | (1U << (index * 4U));  // CCxE
  if (has_break_stage(tim)) {
    tim->BDTR = tim->BDTR | kBdtrMoe;
  }
  tim->CR1 = tim->CR1 | kCr1Cen;
  return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_PWM_Stop_DMA(TIM_HandleTypeDef* htim, uint32_t Channel) {
  if (htim == nullptr) {
    return HAL_ERROR;
  }
  TIM_TypeDef* tim = htim->Instance;
  const uint32_t index = channel_index(tim, Channel);
  if (index == kNoChannel) {
    return HAL_ERROR;
  }
  tim->DIER = tim->DIER & ~(1U << (9U + index));
  DMA_HandleTypeDef* hdma = htim->hdma[TIM_DMA_ID_CC1 + index];
  if (hdma != nullptr) {
    (void)HAL_DMA_Abort(hdma);
  }
  tim->CCER = tim->CCER & ~(1U << (index * 4U));
  if ((tim->CCER & 0x1111U) == 0U) {
    if (has_break_stage(tim)) {
      tim->BDTR = tim->BDTR & ~kBdtrMoe;
    }
    tim->CR1 = tim->CR1 & ~kCr1Cen;
  }
  htim->ChannelState[index] = HAL_TIM_CHANNEL_STATE_READY;
  auto& rec = state().pwm[htim];
  rec.running = false;
  ++rec.stop_calls;
  return HAL_OK;
}

void HAL_TIM_IRQHandler(TIM_HandleTypeDef* htim) {
  TIM_TypeDef* tim = htim->Instance;
  for (uint32_t index = 0; index < 4U; ++index) {
    const uint32_t flag = 2U << index;  // CCxIF / CCxIE
    if ((tim->SR & flag) != 0U && (tim->DIER & flag) != 0U) {
      tim->SR = tim->SR & ~flag;
      htim->Channel = 1U << index;
      HAL_TIM_PWM_PulseFinishedCallback(htim);
      htim->Channel = HAL_TIM_ACTIVE_CHANNEL_CLEARED;
    }
  }
  if ((tim->SR & kSrUif) != 0U && (tim->DIER & kDierUie) != 0U) {
    tim->SR = tim->SR & ~kSrUif;
    HAL_TIM_PeriodElapsedCallback(htim);
  }
}

}  // extern "C"
