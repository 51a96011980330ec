// Host platform: reset, simulated time, NVIC/SysTick, RCC, PWR.
#include <cstring>

#include "hal_shared.h"
#include "host_state.h"

extern "C" {
uint32_t SystemCoreClock = 16000000U;
volatile uint32_t uwTick = 0U;
uint32_t uwTickPrio = 1U << __NVIC_PRIO_BITS;  // invalid until HAL_InitTick
}

namespace platform_host {

RegisterFile regs{};
CoreRegisterFile core{};
bool primask = false;

namespace detail {

State& state() {
  static State s;
  return s;
}

void pend_irq(IRQn_Type irq) {
  if (irq < 0) {
    return;
  }
  const auto n = static_cast<uint32_t>(irq);
  core.nvic.ISPR[n >> 5U] = core.nvic.ISPR[n >> 5U] | (1U << (n & 31U));
}

void service_interrupts() {
  State& s = state();
  if (s.in_handler || primask) {
    return;  // same priority everywhere: nothing nests
  }
  bool ran = true;
  while (ran) {
    ran = false;
    for (uint32_t n = 0; n < 102U; ++n) {
      const uint32_t bit = 1U << (n & 31U);
      if ((core.nvic.ISPR[n >> 5U] & bit) != 0U && (core.nvic.ISER[n >> 5U] & bit) != 0U) {
        core.nvic.ISPR[n >> 5U] = core.nvic.ISPR[n >> 5U] & ~bit;
        s.in_handler = true;
        run_irq_handler(static_cast<int>(n));
        s.in_handler = false;
        ran = true;
        break;  // lowest number first, then look again
      }
    }
  }
}

}  // namespace detail

using detail::state;

void reset() {
  std::memset(static_cast<void*>(&regs), 0, sizeof(regs));
  std::memset(static_cast<void*>(&core), 0, sizeof(core));
  detail::gpio_reset_values();
  regs.rcc.CR = 0x00000500U;    // HSI on and ready
  regs.rcc.CFGR = 0x00000005U;  // HSI is SYSCLK
  regs.rcc.PLLCFGR = 0x00001000U;
  regs.pwr.CR1 = 0x00000200U;  // range 1
  regs.pwr.CR5 = 0x00000100U;  // normal mode
  regs.flash.ACR = 0x00000600U;
  SystemCoreClock = 16000000U;
  uwTick = 0U;
  uwTickPrio = 1U << __NVIC_PRIO_BITS;
  primask = false;
  state() = detail::State{};
}

uint64_t now_us() { return state().now_us; }

uint32_t tick() { return uwTick; }

void advance_us(uint64_t us) {
  detail::State& s = state();
  detail::service_interrupts();
  while (us > 0U) {
    // Step to the next whole millisecond at most, so the tick and the timers
    // move in time order.
    const uint64_t to_tick = 1000U - (s.now_us % 1000U);
    const uint64_t step = us < to_tick ? us : to_tick;
    detail::advance_timers(step);
    s.now_us += step;
    us -= step;
    if (s.now_us % 1000U == 0U) {
      HAL_IncTick();
    }
  }
}

void set_sys_clock_hz(uint32_t hz) { state().sys_clock_hz = hz; }
uint32_t sys_clock_hz() { return state().sys_clock_hz; }
void set_pll_never_locks(bool never) { state().pll_never_locks = never; }

void raise_irq(IRQn_Type irq) {
  detail::pend_irq(irq);
  detail::service_interrupts();
}

bool irq_enabled(IRQn_Type irq) {
  const auto n = static_cast<uint32_t>(irq);
  return irq >= 0 && (core.nvic.ISER[n >> 5U] & (1U << (n & 31U))) != 0U;
}

uint8_t irq_priority(IRQn_Type irq) {
  if (irq < 0) {
    return static_cast<uint8_t>(core.scb.SHP[(static_cast<uint32_t>(irq) & 0xFU) - 4U] >> 4U);
  }
  return static_cast<uint8_t>(core.nvic.IP[static_cast<uint32_t>(irq)] >> 4U);
}

const Calls& calls() { return state().calls; }

}  // namespace platform_host

using platform_host::core;
using platform_host::regs;
using platform_host::detail::state;

extern "C" {

HAL_StatusTypeDef HAL_Init(void) {
  HAL_NVIC_SetPriorityGrouping(NVIC_PRIORITYGROUP_4);
  if (HAL_InitTick(TICK_INT_PRIORITY) != HAL_OK) {
    return HAL_ERROR;
  }
  HAL_MspInit();
  return HAL_OK;
}

HAL_StatusTypeDef HAL_InitTick(uint32_t TickPriority) {
  if (SystemCoreClock < 1000U || TickPriority >= (1U << __NVIC_PRIO_BITS)) {
    return HAL_ERROR;
  }
  core.systick.LOAD = SystemCoreClock / 1000U - 1U;
  core.systick.VAL = 0U;
  core.systick.CTRL = 0x7U;  // core clock, interrupt, enable
  HAL_NVIC_SetPriority(SysTick_IRQn, TickPriority, 0U);
  uwTickPrio = TickPriority;
  return HAL_OK;
}

void HAL_IncTick(void) { uwTick = uwTick + 1U; }

uint32_t HAL_GetTick(void) { return uwTick; }

// Waits like the chip's busy loop (at least Delay + 1 tick increments, except
// for HAL_MAX_DELAY), but by moving simulated time instead of spinning.
void HAL_Delay(uint32_t Delay) {
  auto& s = state();
  ++s.calls.delay;
  s.calls.last_delay_ms = Delay;
  const uint32_t start = HAL_GetTick();
  uint32_t wait = Delay;
  if (wait < HAL_MAX_DELAY) {
    wait += 1U;
  }
  while (HAL_GetTick() - start < wait) {
    platform_host::advance_us(1000U - (s.now_us % 1000U));
  }
}

void HAL_NVIC_SetPriorityGrouping(uint32_t PriorityGroup) {
  core.scb.AIRCR = 0x05FA0000U | ((PriorityGroup & 7U) << 8U);
}

void HAL_NVIC_SetPriority(IRQn_Type IRQn, uint32_t PreemptPriority, uint32_t SubPriority) {
  (void)SubPriority;  // group 4: no sub-priority bits
  const auto value = static_cast<uint8_t>((PreemptPriority & 0xFU) << 4U);
  if (IRQn < 0) {
    core.scb.SHP[(static_cast<uint32_t>(IRQn) & 0xFU) - 4U] = value;
  } else {
    core.nvic.IP[static_cast<uint32_t>(IRQn)] = value;
  }
}

void HAL_NVIC_EnableIRQ(IRQn_Type IRQn) {
  if (IRQn < 0) {
    return;
  }
  const auto n = static_cast<uint32_t>(IRQn);
  core.nvic.ISER[n >> 5U] = core.nvic.ISER[n >> 5U] | (1U << (n & 31U));
  platform_host::detail::service_interrupts();  // a pending line fires now
}

void HAL_NVIC_DisableIRQ(IRQn_Type IRQn) {
  if (IRQn < 0) {
    return;
  }
  const auto n = static_cast<uint32_t>(IRQn);
  core.nvic.ISER[n >> 5U] = core.nvic.ISER[n >> 5U] & ~(1U << (n & 31U));
}

void HAL_PWREx_ControlVoltageScaling(uint32_t VoltageScaling) {
  regs.pwr.CR1 =
      (regs.pwr.CR1 & ~(3U << 9U)) | (VoltageScaling == PWR_REGULATOR_VOLTAGE_SCALE2 ? 2U << 9U : 1U << 9U);
  const uint32_t r1mode = VoltageScaling == PWR_REGULATOR_VOLTAGE_SCALE1 ? 1U << 8U : 0U;
  regs.pwr.CR5 = (regs.pwr.CR5 & ~(1U << 8U)) | r1mode;
}

void HAL_PWREx_DisableUCPDDeadBattery(void) { regs.pwr.CR3 = regs.pwr.CR3 | (1U << 14U); }

}  // extern "C"

namespace {

// CFGR.PPREx: 0xx is /1, 100 /2 up to 111 /16.
uint32_t apb_freq(uint32_t ppre) { return SystemCoreClock >> (ppre < 4U ? 0U : ppre - 3U); }

// HCLK: SYSCLK divided as CFGR.HPRE says (0xxx /1, 1000 /2 .. 1011 /16, then /64 .. /512).
uint32_t hclk_hz() {
  const uint32_t hpre = (regs.rcc.CFGR >> 4U) & 0xFU;
  const uint32_t shift = hpre < 8U ? 0U : (hpre < 12U ? hpre - 7U : hpre - 6U);
  return HAL_RCC_GetSysClockFreq() >> shift;
}

constexpr uint32_t kCrHsiOnRdy = 0x500U;
constexpr uint32_t kCrHseRdy = 1U << 17U;
constexpr uint32_t kCrPllOn = 1U << 24U;
constexpr uint32_t kCrPllRdy = 1U << 25U;

uint32_t sysclk_switch() { return (regs.rcc.CFGR >> 2U) & 3U; }  // SWS

uint32_t pll_register_value(const RCC_PLLInitTypeDef& pll) {
  return (pll.PLLSource & 3U) | (((pll.PLLM - 1U) & 0xFU) << 4U) | ((pll.PLLN & 0x7FU) << 8U) | (1U << 24U) |
         (((pll.PLLR / 2U - 1U) & 3U) << 25U) | ((pll.PLLP & 0x1FU) << 27U);
}

HAL_StatusTypeDef config_hsi(const RCC_OscInitTypeDef& o) {
  if (o.HSIState == RCC_HSI_ON) {
    regs.rcc.CR = regs.rcc.CR | kCrHsiOnRdy;
    return HAL_OK;
  }
  const bool pll_from_hsi =
      sysclk_switch() == RCC_SYSCLKSOURCE_PLLCLK && (regs.rcc.PLLCFGR & 3U) == RCC_PLLSOURCE_HSI;
  if (o.HSIState != RCC_HSI_OFF || sysclk_switch() == RCC_SYSCLKSOURCE_HSI || pll_from_hsi) {
    return HAL_ERROR;  // HSI clocks the system
  }
  regs.rcc.CR = regs.rcc.CR & ~kCrHsiOnRdy;
  return HAL_OK;
}

HAL_StatusTypeDef config_pll(const RCC_PLLInitTypeDef& pll) {
  if (pll.PLLState == RCC_PLL_NONE) {
    return HAL_OK;
  }
  const bool on = pll.PLLState == RCC_PLL_ON;
  if ((!on && pll.PLLState != RCC_PLL_OFF) || (on && !platform_shared::pll_settings_valid(pll))) {
    return HAL_ERROR;
  }
  if (sysclk_switch() == RCC_SYSCLKSOURCE_PLLCLK) {
    // The running system clock may be neither stopped nor re-programmed.
    return on && regs.rcc.PLLCFGR == pll_register_value(pll) ? HAL_OK : HAL_ERROR;
  }
  regs.rcc.CR = regs.rcc.CR & ~(kCrPllOn | kCrPllRdy);
  if (!on) {
    // Outputs (PLLPEN, PLLQEN, PLLREN) off and no source selected, as on the chip.
    regs.rcc.PLLCFGR = regs.rcc.PLLCFGR & ~((1U << 16U) | (1U << 20U) | (1U << 24U) | 3U);
    return HAL_OK;
  }
  regs.rcc.PLLCFGR = pll_register_value(pll);
  regs.rcc.CR = regs.rcc.CR | kCrPllOn;
  if (state().pll_never_locks) {
    // The chip waits out the lock time-out first.
    platform_host::advance_us((platform_shared::kPllLockTimeoutMs + 1U) * 1000U);
    return HAL_TIMEOUT;
  }
  regs.rcc.CR = regs.rcc.CR | kCrPllRdy;
  return HAL_OK;
}

}  // namespace

extern "C" {

// Only the internal oscillator is modelled, as on the chip; the boards use no other.
HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef* RCC_OscInitStruct) {
  if (RCC_OscInitStruct == nullptr || (RCC_OscInitStruct->OscillatorType & ~RCC_OSCILLATORTYPE_HSI) != 0U) {
    return HAL_ERROR;
  }
  const RCC_OscInitTypeDef& o = *RCC_OscInitStruct;
  if ((o.OscillatorType & RCC_OSCILLATORTYPE_HSI) != 0U) {
    const HAL_StatusTypeDef hsi = config_hsi(o);
    if (hsi != HAL_OK) {
      return hsi;
    }
  }
  return config_pll(o.PLL);
}

HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef* RCC_ClkInitStruct, uint32_t FLatency) {
  if (RCC_ClkInitStruct == nullptr || FLatency > 0xFU) {
    return HAL_ERROR;
  }
  const RCC_ClkInitTypeDef& c = *RCC_ClkInitStruct;
  if ((c.ClockType & RCC_CLOCKTYPE_SYSCLK) != 0U) {
    const uint32_t ready = c.SYSCLKSource == RCC_SYSCLKSOURCE_HSI      ? kCrHsiOnRdy
                           : c.SYSCLKSource == RCC_SYSCLKSOURCE_HSE    ? kCrHseRdy
                           : c.SYSCLKSource == RCC_SYSCLKSOURCE_PLLCLK ? kCrPllRdy
                                                                       : 0U;
    if (ready == 0U || (regs.rcc.CR & ready) == 0U) {
      return HAL_ERROR;  // unknown source, or one that is not running
    }
  }
  regs.flash.ACR = (regs.flash.ACR & ~0xFU) | FLatency;
  uint32_t cfgr = regs.rcc.CFGR;
  if ((c.ClockType & RCC_CLOCKTYPE_SYSCLK) != 0U) {
    cfgr = (cfgr & ~0xFU) | (c.SYSCLKSource & 3U) | ((c.SYSCLKSource & 3U) << 2U);  // SW and SWS
  }
  if ((c.ClockType & RCC_CLOCKTYPE_HCLK) != 0U) {
    cfgr = (cfgr & ~(0xFU << 4U)) | ((c.AHBCLKDivider & 0xFU) << 4U);
  }
  if ((c.ClockType & RCC_CLOCKTYPE_PCLK1) != 0U) {
    cfgr = (cfgr & ~(7U << 8U)) | ((c.APB1CLKDivider & 7U) << 8U);
  }
  if ((c.ClockType & RCC_CLOCKTYPE_PCLK2) != 0U) {
    cfgr = (cfgr & ~(7U << 11U)) | ((c.APB2CLKDivider & 7U) << 11U);
  }
  regs.rcc.CFGR = cfgr;
  SystemCoreClock = hclk_hz();
  return HAL_InitTick(uwTickPrio < (1U << __NVIC_PRIO_BITS) ? uwTickPrio : TICK_INT_PRIORITY);
}

// The host has no PLL: SYSCLK is whatever the test set (150 MHz, the boards'
// clock, after reset()).
uint32_t HAL_RCC_GetSysClockFreq(void) { return state().sys_clock_hz; }
uint32_t HAL_RCC_GetHCLKFreq(void) { return SystemCoreClock; }
uint32_t HAL_RCC_GetPCLK1Freq(void) { return apb_freq((regs.rcc.CFGR >> 8U) & 7U); }
uint32_t HAL_RCC_GetPCLK2Freq(void) { return apb_freq((regs.rcc.CFGR >> 11U) & 7U); }

HAL_StatusTypeDef HAL_RCCEx_PeriphCLKConfig(RCC_PeriphCLKInitTypeDef* PeriphClkInit) {
  if (PeriphClkInit == nullptr) {
    return HAL_ERROR;
  }
  constexpr uint32_t kUsart1 = 0x1U;
  constexpr uint32_t kUsart2 = 0x2U;
  if ((PeriphClkInit->PeriphClockSelection & ~(kUsart1 | kUsart2 | RCC_PERIPHCLK_USART3)) != 0U) {
    return HAL_ERROR;  // kernel clocks the chip's layer does not manage either
  }
  // CCIPR: USART1SEL in bits 1:0, USART2SEL in 3:2, USART3SEL in 5:4.
  const auto select = [&](uint32_t which, uint32_t shift, uint32_t source) {
    if ((PeriphClkInit->PeriphClockSelection & which) != 0U) {
      regs.rcc.CCIPR = (regs.rcc.CCIPR & ~(3U << shift)) | ((source & 3U) << shift);
    }
  };
  select(kUsart1, 0U, PeriphClkInit->Usart1ClockSelection);
  select(kUsart2, 2U, PeriphClkInit->Usart2ClockSelection);
  select(RCC_PERIPHCLK_USART3, 4U, PeriphClkInit->Usart3ClockSelection);
  return HAL_OK;
}

}  // extern "C"
