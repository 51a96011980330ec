// Power and clock control: regulator range, internal oscillator and PLL, the
// system clock switch with its flash wait states, bus dividers and kernel clock
// selection. Sequences follow the reference manual's order for raising and
// lowering the clock.
#include "chip_internal.h"
#include "hal_shared.h"

using namespace chip;

namespace chip {

uint32_t ahb_shift(uint32_t hpre_code) {
  // 0xxx: /1; 1000../2, 1001../4, 1010../8, 1011../16, then /64 ../512 (no /32).
  if (hpre_code < 8U) {
    return 0U;
  }
  const uint32_t step = hpre_code - 7U;  // 1 .. 8
  return step <= 4U ? step : step + 1U;
}

uint32_t apb_shift(uint32_t ppre_code) { return ppre_code < 4U ? 0U : ppre_code - 3U; }

}  // namespace chip

namespace {

// PLL settings as the register holds them, from the divisors of the init record.
struct PllCodes {
  uint32_t src, m, n, p, q, r;
};

bool pll_codes(const RCC_PLLInitTypeDef& pll, PllCodes& out) {
  if (!platform_shared::pll_settings_valid(pll)) {
    return false;
  }
  // Field codes, not divisors: M - 1; N itself; R and Q as divisor / 2 - 1;
  // PDIV the divisor itself.
  out = PllCodes{pll.PLLSource == RCC_PLLSOURCE_HSI ? rcc::PLLSRC_HSI : rcc::PLLSRC_HSE,
                 pll.PLLM - 1U,
                 pll.PLLN,
                 pll.PLLP,
                 pll.PLLQ / 2U - 1U,
                 pll.PLLR / 2U - 1U};
  return true;
}

uint32_t pll_config_value(const PllCodes& c) {
  return rcc::PLLCFGR_PLLSRC.val(c.src) | rcc::PLLCFGR_PLLM.val(c.m) | rcc::PLLCFGR_PLLN.val(c.n) |
         rcc::PLLCFGR_PLLPDIV.val(c.p) | rcc::PLLCFGR_PLLQ.val(c.q) | rcc::PLLCFGR_PLLR.val(c.r);
}

constexpr uint32_t kPllConfigMask = rcc::PLLCFGR_PLLSRC.mask() | rcc::PLLCFGR_PLLM.mask() |
                                    rcc::PLLCFGR_PLLN.mask() | rcc::PLLCFGR_PLLPDIV.mask() |
                                    rcc::PLLCFGR_PLLP | rcc::PLLCFGR_PLLQ.mask() | rcc::PLLCFGR_PLLR.mask();
constexpr uint32_t kPllOutputs = rcc::PLLCFGR_PLLPEN | rcc::PLLCFGR_PLLQEN | rcc::PLLCFGR_PLLREN;

uint32_t source_hz(uint32_t pllsrc) {
  if (pllsrc == rcc::PLLSRC_HSI) {
    return HSI_VALUE;
  }
#if defined(HSE_VALUE)
  static_assert(HSE_VALUE <= 48000000U, "pll_r_hz relies on a PLL source of at most 48 MHz");
  if (pllsrc == rcc::PLLSRC_HSE) {
    return HSE_VALUE;
  }
#endif
  return 0U;  // no source, or an oscillator whose frequency the board did not give
}

// PLL R output in Hz for a PLLCFGR value: floor(source * N / (M * R)), in
// 32-bit steps (no 64-bit division in the image). With D = M * R (2 to 128) and
// source = q * D + s: source * N / D = q * N + s * N / D, so the floor is
// q * N + floor(s * N / D). q * N < 48 MHz / 2 * 127 and s * N < 128 * 127, so
// nothing overflows for any source the chip accepts (at most 48 MHz).
uint32_t pll_r_hz(uint32_t pllcfgr) {
  const uint32_t in = source_hz(rcc::PLLCFGR_PLLSRC.get(pllcfgr));
  const uint32_t n = rcc::PLLCFGR_PLLN.get(pllcfgr);
  const uint32_t d = (rcc::PLLCFGR_PLLM.get(pllcfgr) + 1U) * 2U * (rcc::PLLCFGR_PLLR.get(pllcfgr) + 1U);
  return (in / d) * n + (in % d) * n / d;
}

bool sysclk_on_pll_from(uint32_t pllsrc) {
  return rcc::CFGR_SWS.get(RCC->CFGR) == rcc::SW_PLL && rcc::PLLCFGR_PLLSRC.get(RCC->PLLCFGR) == pllsrc;
}

HAL_StatusTypeDef config_hsi(const RCC_OscInitTypeDef& osc) {
  if (osc.HSIState == RCC_HSI_ON) {
    set_bits(RCC->CR, rcc::CR_HSION);
    if (!wait_until([] { return (RCC->CR & rcc::CR_HSIRDY) != 0U; }, HSI_TIMEOUT_MS)) {
      return HAL_TIMEOUT;
    }
    write_field(RCC->ICSCR, rcc::ICSCR_HSITRIM, osc.HSICalibrationValue);
    return HAL_OK;
  }
  if (osc.HSIState != RCC_HSI_OFF) {
    return HAL_ERROR;
  }
  // HSI cannot be stopped while it clocks the system, directly or through the PLL.
  if (rcc::CFGR_SWS.get(RCC->CFGR) == rcc::SW_HSI || sysclk_on_pll_from(rcc::PLLSRC_HSI)) {
    return HAL_ERROR;
  }
  clear_bits(RCC->CR, rcc::CR_HSION);
  return wait_until([] { return (RCC->CR & rcc::CR_HSIRDY) == 0U; }, HSI_TIMEOUT_MS) ? HAL_OK : HAL_TIMEOUT;
}

HAL_StatusTypeDef stop_pll() {
  clear_bits(RCC->CR, rcc::CR_PLLON);
  return wait_until([] { return (RCC->CR & rcc::CR_PLLRDY) == 0U; }, PLL_TIMEOUT_MS) ? HAL_OK : HAL_TIMEOUT;
}

HAL_StatusTypeDef config_pll(const RCC_PLLInitTypeDef& pll) {
  if (pll.PLLState == RCC_PLL_NONE) {
    return HAL_OK;
  }
  if (pll.PLLState != RCC_PLL_ON && pll.PLLState != RCC_PLL_OFF) {
    return HAL_ERROR;
  }
  PllCodes codes{};
  if (pll.PLLState == RCC_PLL_ON && !pll_codes(pll, codes)) {
    return HAL_ERROR;
  }

  if (rcc::CFGR_SWS.get(RCC->CFGR) == rcc::SW_PLL) {
    // The PLL clocks the system: it may be neither stopped nor re-programmed;
    // asking for the settings it already runs with is fine.
    if (pll.PLLState == RCC_PLL_OFF) {
      return HAL_ERROR;
    }
    return (RCC->PLLCFGR & kPllConfigMask) == pll_config_value(codes) ? HAL_OK : HAL_ERROR;
  }

  // Dividers may only be changed while the PLL is off and unlocked.
  const HAL_StatusTypeDef stopped = stop_pll();
  if (stopped != HAL_OK) {
    return stopped;
  }
  if (pll.PLLState == RCC_PLL_OFF) {
    // Outputs off and no source selected: the PLL draws nothing while unused.
    modify(RCC->PLLCFGR, kPllOutputs | rcc::PLLCFGR_PLLSRC.mask(), 0U);
    return HAL_OK;
  }

  modify(RCC->PLLCFGR, kPllConfigMask, pll_config_value(codes));
  // Only the R output (the system clock's input) runs; P and Q stay off.
  modify(RCC->PLLCFGR, kPllOutputs, rcc::PLLCFGR_PLLREN);
  set_bits(RCC->CR, rcc::CR_PLLON);
  // A PLL that does not lock must not hang the start-up: the wait is bounded
  // even if the tick cannot run, so the caller can go to its error path.
  if (!wait_until([] { return (RCC->CR & rcc::CR_PLLRDY) != 0U; }, PLL_TIMEOUT_MS)) {
    return HAL_TIMEOUT;
  }
  return HAL_OK;
}

// Frequency SYSCLK would have on switch code `sw`, from the current settings.
uint32_t sysclk_hz_for(uint32_t sw) {
  switch (sw) {
    case rcc::SW_HSI:
      return HSI_VALUE;
    case rcc::SW_HSE:
      return source_hz(rcc::PLLSRC_HSE);
    case rcc::SW_PLL:
      return pll_r_hz(RCC->PLLCFGR);
    default:
      return 0U;
  }
}

HAL_StatusTypeDef set_flash_latency(uint32_t latency) {
  write_field(FLASH->ACR, flash::ACR_LATENCY, latency);
  // The new wait states must be in force before the clock rises: read back.
  return flash::ACR_LATENCY.get(FLASH->ACR) == latency ? HAL_OK : HAL_ERROR;
}

constexpr uint32_t kSysclkSwitchThresholdHz = 80000000U;

}  // namespace

extern "C" {

void HAL_PWREx_ControlVoltageScaling(uint32_t VoltageScaling) {
  const bool range1 =
      VoltageScaling == PWR_REGULATOR_VOLTAGE_SCALE1 || VoltageScaling == PWR_REGULATOR_VOLTAGE_SCALE1_BOOST;
  if (!range1 && VoltageScaling != PWR_REGULATOR_VOLTAGE_SCALE2) {
    return;
  }
  write_field(PWR->CR1, pwr::CR1_VOS, range1 ? pwr::VOS_RANGE1 : pwr::VOS_RANGE2);
  // The regulator settles on the new range before a faster clock may be used.
  (void)wait_until([] { return (PWR->SR2 & pwr::SR2_VOSF) == 0U; }, VOS_TIMEOUT_MS);
  if (range1) {
    // R1MODE 1 is range 1 normal mode (good for 150 MHz), 0 is boost.
    modify(PWR->CR5, pwr::CR5_R1MODE, VoltageScaling == PWR_REGULATOR_VOLTAGE_SCALE1 ? pwr::CR5_R1MODE : 0U);
  }
}

void HAL_PWREx_DisableUCPDDeadBattery(void) {
  // Releases the dead-battery pull-downs on the UCPD1 CC pins: plain GPIO from now on.
  set_bits(PWR->CR3, pwr::CR3_UCPD1_DBDIS);
}

HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef* RCC_OscInitStruct) {
  if (RCC_OscInitStruct == nullptr) {
    return HAL_ERROR;
  }
  const RCC_OscInitTypeDef& osc = *RCC_OscInitStruct;
  // Only the internal 16 MHz oscillator is driven by this layer; the board
  // configurations use no other.
  if ((osc.OscillatorType & ~RCC_OSCILLATORTYPE_HSI) != 0U) {
    return HAL_ERROR;
  }
  if ((osc.OscillatorType & RCC_OSCILLATORTYPE_HSI) != 0U) {
    const HAL_StatusTypeDef hsi = config_hsi(osc);
    if (hsi != HAL_OK) {
      return hsi;
    }
  }
  return config_pll(osc.PLL);
}

HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef* RCC_ClkInitStruct, uint32_t FLatency) {
  if (RCC_ClkInitStruct == nullptr || FLatency > flash::ACR_LATENCY.mask()) {
    return HAL_ERROR;
  }
  const RCC_ClkInitTypeDef& clk = *RCC_ClkInitStruct;
  const bool want_sysclk = (clk.ClockType & RCC_CLOCKTYPE_SYSCLK) != 0U;
  const bool want_hclk = (clk.ClockType & RCC_CLOCKTYPE_HCLK) != 0U;
  const bool want_pclk1 = (clk.ClockType & RCC_CLOCKTYPE_PCLK1) != 0U;
  const bool want_pclk2 = (clk.ClockType & RCC_CLOCKTYPE_PCLK2) != 0U;

  // More wait states first: flash must keep up before the clock rises.
  if (FLatency > flash::ACR_LATENCY.get(FLASH->ACR) && set_flash_latency(FLatency) != HAL_OK) {
    return HAL_ERROR;
  }

  // Slower buses first: a larger divider is safe at the old and the new clock.
  const uint32_t cfgr = RCC->CFGR;
  if (want_pclk1 && apb_shift(clk.APB1CLKDivider) > apb_shift(rcc::CFGR_PPRE1.get(cfgr))) {
    write_field(RCC->CFGR, rcc::CFGR_PPRE1, clk.APB1CLKDivider);
  }
  if (want_pclk2 && apb_shift(clk.APB2CLKDivider) > apb_shift(rcc::CFGR_PPRE2.get(cfgr))) {
    write_field(RCC->CFGR, rcc::CFGR_PPRE2, clk.APB2CLKDivider);
  }
  if (want_hclk && ahb_shift(clk.AHBCLKDivider) > ahb_shift(rcc::CFGR_HPRE.get(cfgr))) {
    write_field(RCC->CFGR, rcc::CFGR_HPRE, clk.AHBCLKDivider);
  }

  bool halved_for_switch = false;
  if (want_sysclk) {
    const uint32_t sw = clk.SYSCLKSource;
    const uint32_t ready_bit = sw == rcc::SW_HSI   ? rcc::CR_HSIRDY
                               : sw == rcc::SW_HSE ? rcc::CR_HSERDY
                               : sw == rcc::SW_PLL ? rcc::CR_PLLRDY
                                                   : 0U;
    if (ready_bit == 0U || (RCC->CR & ready_bit) == 0U) {
      return HAL_ERROR;  // unknown source, or one that is not running
    }
    // Stepping above 80 MHz in one go is not allowed: pass through HCLK = SYSCLK / 2.
    if (sysclk_hz_for(sw) > kSysclkSwitchThresholdHz && ahb_shift(rcc::CFGR_HPRE.get(RCC->CFGR)) == 0U) {
      write_field(RCC->CFGR, rcc::CFGR_HPRE, rcc::HPRE_DIV2);
      halved_for_switch = true;
    }
    write_field(RCC->CFGR, rcc::CFGR_SW, sw);
    if (!wait_until([sw] { return rcc::CFGR_SWS.get(RCC->CFGR) == sw; }, CLOCKSWITCH_TIMEOUT_MS)) {
      return HAL_TIMEOUT;
    }
    if (halved_for_switch) {
      spin_one_microsecond();  // at least 1 us at HCLK / 2 before the full speed
    }
  }

  if (want_hclk) {
    write_field(RCC->CFGR, rcc::CFGR_HPRE, clk.AHBCLKDivider);
  } else if (halved_for_switch) {
    write_field(RCC->CFGR, rcc::CFGR_HPRE, RCC_SYSCLK_DIV1);
  }
  if (want_pclk1) {
    write_field(RCC->CFGR, rcc::CFGR_PPRE1, clk.APB1CLKDivider);
  }
  if (want_pclk2) {
    write_field(RCC->CFGR, rcc::CFGR_PPRE2, clk.APB2CLKDivider);
  }

  // Fewer wait states only once the clock has come down.
  if (FLatency < flash::ACR_LATENCY.get(FLASH->ACR) && set_flash_latency(FLatency) != HAL_OK) {
    return HAL_ERROR;
  }

  SystemCoreClock = HAL_RCC_GetHCLKFreq();
  return HAL_InitTick(uwTickPrio);
}

uint32_t HAL_RCC_GetSysClockFreq(void) { return sysclk_hz_for(rcc::CFGR_SWS.get(RCC->CFGR)); }

uint32_t HAL_RCC_GetHCLKFreq(void) {
  return HAL_RCC_GetSysClockFreq() >> ahb_shift(rcc::CFGR_HPRE.get(RCC->CFGR));
}

uint32_t HAL_RCC_GetPCLK1Freq(void) {
  return HAL_RCC_GetHCLKFreq() >> apb_shift(rcc::CFGR_PPRE1.get(RCC->CFGR));
}

uint32_t HAL_RCC_GetPCLK2Freq(void) {
  return HAL_RCC_GetHCLKFreq() >> apb_shift(rcc::CFGR_PPRE2.get(RCC->CFGR));
}

HAL_StatusTypeDef HAL_RCCEx_PeriphCLKConfig(RCC_PeriphCLKInitTypeDef* PeriphClkInit) {
  if (PeriphClkInit == nullptr) {
    return HAL_ERROR;
  }
  constexpr uint32_t kUsart1 = 0x1U;
  constexpr uint32_t kUsart2 = 0x2U;
  const uint32_t selection = PeriphClkInit->PeriphClockSelection;
  if ((selection & ~(kUsart1 | kUsart2 | RCC_PERIPHCLK_USART3)) != 0U) {
    return HAL_ERROR;  // kernel clocks this layer does not manage
  }
  if ((selection & kUsart1) != 0U) {
    write_field(RCC->CCIPR, rcc::CCIPR_USART1SEL, PeriphClkInit->Usart1ClockSelection);
  }
  if ((selection & kUsart2) != 0U) {
    write_field(RCC->CCIPR, rcc::CCIPR_USART2SEL, PeriphClkInit->Usart2ClockSelection);
  }
  if ((selection & RCC_PERIPHCLK_USART3) != 0U) {
    write_field(RCC->CCIPR, rcc::CCIPR_USART3SEL, PeriphClkInit->Usart3ClockSelection);
  }
  return HAL_OK;
}

}  // extern "C"
