// Timers on the chip's registers: the register side of the platform API's
// timer functions (tim_port.h; the handle-state rules are shared). One source
// serves basic, general-purpose and advanced timers; what a timer has is looked
// up by its address.
#include "chip_internal.h"
#include "tim_port.h"

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
  if (a == TIM1_BASE || a == TIM8_BASE) {  // on this chip even channel 4 has CH4N
    return {true, false, true, true, true, true, true, 4U, 4U};
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

volatile uint32_t& ccr_of(TIM_TypeDef* tim, uint32_t index) { return (&tim->CCR1)[index]; }
volatile uint32_t& ccmr_of(TIM_TypeDef* tim, uint32_t index) { return index < 2U ? tim->CCMR1 : tim->CCMR2; }

// Counter off, unless a channel output is still enabled (it would freeze).
// Basic timers have no channels (and no CCER to look at).
void stop_counter_if_idle(TIM_TypeDef* tim) {
  if (kind_of(tim).channels == 0U || (tim->CCER & tim::CCER_ALL_OUTPUTS) == 0U) {
    clear_bits(tim->CR1, tim::CR1_CEN);
  }
}

}  // namespace

namespace tim_port {

Features features(const TIM_TypeDef* tim) {
  const TimKind k = kind_of(tim);
  return {k.known, k.has_break, k.master, k.slave, k.channels};
}

void load_time_base(TIM_HandleTypeDef* htim) {
  const TimKind k = kind_of(htim->Instance);
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

void start_counter(TIM_TypeDef* tim, bool update_interrupt) {
  if (update_interrupt) {
    set_bits(tim->DIER, tim::DIER_UIE);
  }
  set_bits(tim->CR1, tim::CR1_CEN);
}

void stop_counter(TIM_TypeDef* tim, bool update_interrupt) {
  if (update_interrupt) {
    clear_bits(tim->DIER, tim::DIER_UIE);
  }
  stop_counter_if_idle(tim);
}

void select_internal_clock(TIM_TypeDef* tim) {
  // Slave mode off and the external trigger path unused: the prescaler runs on
  // the internal timer clock.
  clear_bits(tim->SMCR,
             tim::SMCR_SMS | tim::SMCR_TS | tim::SMCR_ETF | tim::SMCR_ETPS | tim::SMCR_ECE | tim::SMCR_ETP);
}

void set_master_mode(TIM_TypeDef* tim, const TIM_MasterConfigTypeDef& config) {
  const TimKind k = kind_of(tim);
  uint32_t clear = tim::CR2_MMS;
  uint32_t set = config.MasterOutputTrigger & tim::CR2_MMS;
  if (k.has_break2) {
    clear |= tim::CR2_MMS2.mask();
    set |= config.MasterOutputTrigger2 & tim::CR2_MMS2.mask();
  }
  modify(tim->CR2, clear, set);
  if (k.slave) {
    modify(tim->SMCR, tim::SMCR_MSM, config.MasterSlaveMode & tim::SMCR_MSM);
  }
}

void configure_pwm_channel(TIM_TypeDef* tim, uint32_t ch, const TIM_OC_InitTypeDef& config) {
  const TimKind k = kind_of(tim);
  // The channel's mode can only be changed (CCxS back to output) while it is off.
  clear_bits(tim->CCER, tim::ccer_cce(ch));

  // Output compare in the requested PWM mode, compare preload on (the new value
  // takes effect at the next period, never mid-period), fast mode as asked.
  const uint32_t shift = tim::ccmr_shift(ch);
  const uint32_t mode_bits =
      (config.OCMode & tim::CCMR_OCM) | tim::CCMR_OCPE | (config.OCFastMode & tim::CCMR_OCFE);
  modify(ccmr_of(tim, ch), (tim::CCMR_CCS | tim::CCMR_OCM | tim::CCMR_OCPE | tim::CCMR_OCFE) << shift,
         mode_bits << shift);

  // Idle levels of the outputs when the main output is off (break-stage timers).
  if (k.has_break) {
    const uint32_t idle_mask = tim::cr2_ois(ch) | (ch < k.n_channels ? tim::cr2_oisn(ch) : 0U);
    // OCIdleState / OCNIdleState carry OIS1 / OIS1N (bits 8 / 9) for channel 1.
    const uint32_t idle = ((config.OCIdleState | config.OCNIdleState) << (2U * ch)) & idle_mask;
    modify(tim->CR2, idle_mask, idle);
  }

  ccr_of(tim, ch) = config.Pulse;

  // Polarity of the output (and of the complementary output where there is one);
  // the complementary output stays disabled.
  uint32_t pol_mask = tim::ccer_ccp(ch);
  uint32_t pol = (config.OCPolarity << (4U * ch)) & tim::ccer_ccp(ch);
  if (ch < k.n_channels) {
    pol_mask |= tim::ccer_ccnp(ch) | tim::ccer_ccne(ch);
    pol |= (config.OCNPolarity << (4U * ch)) & tim::ccer_ccnp(ch);
  }
  modify(tim->CCER, pol_mask, pol);
}

void set_break_dead_time(TIM_TypeDef* tim, const TIM_BreakDeadTimeConfigTypeDef& c) {
  // The Init values carry their BDTR bits (LockLevel in LOCK, the states and
  // polarities in their bits); dead time and filters are plain numbers.
  uint32_t mask = tim::BDTR_DTG.mask() | tim::BDTR_LOCK.mask() | tim::BDTR_OSSI | tim::BDTR_OSSR |
                  tim::BDTR_BKE | tim::BDTR_BKP | tim::BDTR_AOE | tim::BDTR_BKF.mask() | tim::BDTR_BKBID;
  uint32_t value = tim::BDTR_DTG.val(c.DeadTime) | (c.LockLevel & tim::BDTR_LOCK.mask()) |
                   (c.OffStateIDLEMode & tim::BDTR_OSSI) | (c.OffStateRunMode & tim::BDTR_OSSR) |
                   (c.BreakState & tim::BDTR_BKE) | (c.BreakPolarity & tim::BDTR_BKP) |
                   (c.AutomaticOutput & tim::BDTR_AOE) | tim::BDTR_BKF.val(c.BreakFilter) |
                   (c.BreakAFMode & tim::BDTR_BKBID);
  if (kind_of(tim).has_break2) {
    mask |= tim::BDTR_BK2F.mask() | tim::BDTR_BK2E | tim::BDTR_BK2P | tim::BDTR_BK2BID;
    value |= tim::BDTR_BK2F.val(c.Break2Filter) | (c.Break2State & tim::BDTR_BK2E) |
             (c.Break2Polarity & tim::BDTR_BK2P) | (c.Break2AFMode & tim::BDTR_BK2BID);
  }
  modify(tim->BDTR, mask, value);
}

HAL_StatusTypeDef start_dma(TIM_HandleTypeDef* htim, uint32_t ch, const uint32_t* data, uint16_t length) {
  return HAL_DMA_Start_IT(htim->hdma[TIM_DMA_ID_CC1 + ch], reinterpret_cast<uint32_t>(data),
                          reinterpret_cast<uint32_t>(&ccr_of(htim->Instance, ch)), length);
}

void enable_dma_output(TIM_TypeDef* tim, uint32_t ch) {
  // Each compare event of the channel now asks the DMA for the next value.
  set_bits(tim->DIER, tim::dier_ccde(ch));
  set_bits(tim->CCER, tim::ccer_cce(ch));
  if (kind_of(tim).has_break) {
    set_bits(tim->BDTR, tim::BDTR_MOE);  // outputs of a break-stage timer stay off without it
  }
  set_bits(tim->CR1, tim::CR1_CEN);
}

void disable_dma_requests(TIM_HandleTypeDef* htim, uint32_t ch) {
  clear_bits(htim->Instance->DIER, tim::dier_ccde(ch));
}

void disable_output(TIM_TypeDef* tim, uint32_t ch) {
  clear_bits(tim->CCER, tim::ccer_cce(ch));
  if (kind_of(tim).has_break && (tim->CCER & tim::CCER_ALL_OUTPUTS) == 0U) {
    clear_bits(tim->BDTR, tim::BDTR_MOE);
  }
  stop_counter_if_idle(tim);
}

// Status flags clear when written 0; the others are written 1, which leaves them.
void clear_flags(TIM_TypeDef* tim, uint32_t flags) { tim->SR = ~flags; }

}  // namespace tim_port
