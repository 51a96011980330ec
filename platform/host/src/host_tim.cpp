// Host platform: timers (base, PWM, DMA-fed PWM) and their interrupts.
#include "host_state.h"
#include "tim_port.h"

using platform_host::regs;
using platform_host::detail::state;

namespace {

constexpr uint32_t kCr1Cen = 1U << 0U;
constexpr uint32_t kCr1Arpe = 1U << 7U;
constexpr uint32_t kSrUif = 1U << 0U;
constexpr uint32_t kDierUie = 1U << 0U;
constexpr uint32_t kBdtrMoe = 1U << 15U;
constexpr uint32_t kCcerAllOutputs = 0x1111U;  // CC1E..CC4E

// What a timer of the register file has, as the chip's timers have it.
tim_port::Features features_of(const TIM_TypeDef* tim) {
  // known, break stage, master mode, slave controller, channels
  if (tim == &regs.tim1 || tim == &regs.tim8) return {true, true, true, true, 4U};
  if (tim == &regs.tim2 || tim == &regs.tim4) return {true, false, true, true, 4U};
  if (tim == &regs.tim7) return {true, false, true, false, 0U};
  if (tim == &regs.tim17) return {true, true, false, false, 1U};
  return {};
}

bool has_break_stage(const TIM_TypeDef* tim) { return features_of(tim).has_break; }

// Channels 1..n with a complementary output (CHxN): all four on TIM1 and TIM8.
uint32_t complementary_channels(const TIM_TypeDef* tim) {
  if (tim == &regs.tim1 || tim == &regs.tim8) return 4U;
  return tim == &regs.tim17 ? 1U : 0U;
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

namespace tim_port {

Features features(const TIM_TypeDef* tim) { return features_of(tim); }

void load_time_base(TIM_HandleTypeDef* htim) {
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
  ++state().calls.tim_base_init;
}

void start_counter(TIM_TypeDef* tim, bool update_interrupt) {
  if (update_interrupt) {
    ++state().calls.tim_base_start_it;
    tim->DIER = tim->DIER | kDierUie;
  } else {
    ++state().calls.tim_base_start;
  }
  tim->CR1 = tim->CR1 | kCr1Cen;
}

void stop_counter(TIM_TypeDef* tim, bool update_interrupt) {
  if (update_interrupt) {
    tim->DIER = tim->DIER & ~kDierUie;
  }
  if ((tim->CCER & kCcerAllOutputs) == 0U) {
    tim->CR1 = tim->CR1 & ~kCr1Cen;
  }
}

void select_internal_clock(TIM_TypeDef* tim) {
  tim->SMCR = tim->SMCR & ~((7U << 0U) | (1U << 16U) | (1U << 14U));  // SMS, ECE off
}

void set_master_mode(TIM_TypeDef* tim, const TIM_MasterConfigTypeDef& config) {
  uint32_t field = 7U << 4U;  // MMS
  uint32_t value = config.MasterOutputTrigger & field;
  if (tim == &regs.tim1 || tim == &regs.tim8) {  // TRGO2 too (MMS2)
    field |= 0xFU << 20U;
    value |= config.MasterOutputTrigger2 & (0xFU << 20U);
  }
  tim->CR2 = (tim->CR2 & ~field) | value;
  if (features_of(tim).slave) {
    tim->SMCR = (tim->SMCR & ~(1U << 7U)) | (config.MasterSlaveMode & (1U << 7U));
  }
}

void configure_pwm_channel(TIM_TypeDef* tim, uint32_t index, const TIM_OC_InitTypeDef& config) {
  const uint32_t shift = (index & 1U) * 8U;
  // OCxM, OCxPE (preload on, as the vendor layer does for PWM) and OCxFE.
  const uint32_t ccmr = (config.OCMode & 0x70U) | (1U << 3U) | (config.OCFastMode & (1U << 2U));
  volatile uint32_t& reg = index < 2U ? tim->CCMR1 : tim->CCMR2;
  reg = (reg & ~(0xFFU << shift)) | (ccmr << shift);
  volatile uint32_t* const ccr[4] = {&tim->CCR1, &tim->CCR2, &tim->CCR3, &tim->CCR4};
  *ccr[index] = config.Pulse;
  // Idle levels while the main output is off (OISx, OISxN), on break-stage timers.
  const bool complementary = index < complementary_channels(tim);
  if (has_break_stage(tim)) {
    const uint32_t idle_mask = (1U << (8U + 2U * index)) | (complementary ? 1U << (9U + 2U * index) : 0U);
    tim->CR2 =
        (tim->CR2 & ~idle_mask) | (((config.OCIdleState | config.OCNIdleState) << (2U * index)) & idle_mask);
  }
  // CCxP, and CCxNP with CCxNE off where the channel has a complementary output.
  const uint32_t pol_shift = index * 4U;
  uint32_t pol_mask = 2U << pol_shift;
  uint32_t pol = (config.OCPolarity & 2U) << pol_shift;
  if (complementary) {
    pol_mask |= 0xCU << pol_shift;
    pol |= (config.OCNPolarity & 8U) << pol_shift;
  }
  tim->CCER = (tim->CCER & ~pol_mask) | pol;
}

void set_break_dead_time(TIM_TypeDef* tim, const TIM_BreakDeadTimeConfigTypeDef& c) {
  tim->BDTR = (c.DeadTime & 0xFFU) | c.LockLevel | c.OffStateIDLEMode | c.OffStateRunMode | c.BreakState |
              c.BreakPolarity | c.AutomaticOutput;
}

HAL_StatusTypeDef start_dma(TIM_HandleTypeDef* htim, uint32_t index, const uint32_t* data, uint16_t length) {
  // The linked channel: memory to the compare register, circular (its Init).
  // Host pointers do not fit CPAR/CMAR: the buffer is kept in the record below.
  if (HAL_DMA_Start_IT(htim->hdma[TIM_DMA_ID_CC1 + index], 0U, 0U, length) != HAL_OK) {
    return HAL_ERROR;
  }
  auto& rec = state().pwm[htim];
  rec.buffer = reinterpret_cast<const uint8_t*>(data);
  rec.length = length;
  rec.channel = index * 4U;
  rec.running = true;
  ++rec.start_calls;
  return HAL_OK;
}

void enable_dma_output(TIM_TypeDef* tim, uint32_t index) {
  tim->DIER = tim->DIER | (kDierCc1de << index);
  tim->CCER = tim->CCER | (1U << (index * 4U));  // CCxE
  if (has_break_stage(tim)) {
    tim->BDTR = tim->BDTR | kBdtrMoe;
  }
  tim->CR1 = tim->CR1 | kCr1Cen;
}

void disable_dma_requests(TIM_HandleTypeDef* htim, uint32_t index) {
  htim->Instance->DIER = htim->Instance->DIER & ~(kDierCc1de << index);
  auto& rec = state().pwm[htim];
  rec.running = false;
  ++rec.stop_calls;
}

void disable_output(TIM_TypeDef* tim, uint32_t index) {
  tim->CCER = tim->CCER & ~(1U << (index * 4U));
  if ((tim->CCER & kCcerAllOutputs) == 0U) {
    if (has_break_stage(tim)) {
      tim->BDTR = tim->BDTR & ~kBdtrMoe;
    }
    tim->CR1 = tim->CR1 & ~kCr1Cen;
  }
}

// The register file is plain memory: flags are cleared by clearing their bits.
void clear_flags(TIM_TypeDef* tim, uint32_t flags) { tim->SR = tim->SR & ~flags; }

}  // namespace tim_port
