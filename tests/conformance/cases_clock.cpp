// Conformance cases of the clock tree: the PLL and bus clocks, the kernel clock
// choice, the regulator, the refused requests and a PLL that never locks.
#include "cases_common.h"

namespace conformance {

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
  kernel.PeriphClockSelection = 0x1U;  // USART1 alone: USART2's selection in the record is not taken
  kernel.Usart1ClockSelection = 1U;
  kernel.Usart2ClockSelection = 2U;
  CONFORMANCE_CHECK(r, HAL_RCCEx_PeriphCLKConfig(&kernel) == HAL_OK && (RCC->CCIPR & 0xFU) == 1U);
  kernel.Usart1ClockSelection = 0U;
  CONFORMANCE_CHECK(r, HAL_RCCEx_PeriphCLKConfig(&kernel) == HAL_OK && (RCC->CCIPR & 0xFU) == 0U);
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
  // The wait starts within the tick read above; it ends with the tick that
  // makes more than 2 ms of ticks: the third.
  CONFORMANCE_CHECK(r, took == 3U);
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

}  // namespace conformance
