// The conformance suite's shared part: the handles, the events and helpers of
// cases_common.h, baseline(), the case table in case_list.h's order, and the
// hooks and callbacks through which the suite plays the board.
#include "cases_common.h"

#include <cstring>

namespace conformance {

TIM_HandleTypeDef tim7;
TIM_HandleTypeDef tim17;
DMA_HandleTypeDef dma_tim17_ch1;

Events ev;

void clear_events() { std::memset(const_cast<Events*>(&ev), 0, sizeof(ev)); }

namespace {

void log_pwm(char what, TIM_HandleTypeDef* htim) {
  if (htim->Channel != HAL_TIM_ACTIVE_CHANNEL_1) {
    ev.wrong_channel = ev.wrong_channel + 1U;
  }
  if (ev.order_len < sizeof(ev.order)) {
    ev.order[ev.order_len] = what;
  }
  ev.order_len = ev.order_len + 1U;
}

}  // namespace

HAL_StatusTypeDef pll(uint32_t state, uint32_t n) {
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

uint32_t pwm_dma_mode = DMA_CIRCULAR;

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
