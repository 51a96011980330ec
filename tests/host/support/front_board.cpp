#include "front_board.h"

#include "applib.h"
#include "application.h"
#include "ts_middle.h"

TIM_HandleTypeDef htim7;

extern "C" void HAL_TIM_Base_MspInit(TIM_HandleTypeDef* htim) {
  if (htim->Instance == TIM7) {
    __HAL_RCC_TIM7_CLK_ENABLE();
    HAL_NVIC_SetPriority(TIM7_IRQn, 0, 0);
    HAL_NVIC_EnableIRQ(TIM7_IRQn);
  }
}

namespace front_test {

void drop_application() {
  if (_app != nullptr) {
    delete static_cast<aurelis::application*>(static_cast<tessel::appbase*>(_app));
    _app = nullptr;
  }
}

void reset_board() {
  drop_application();
  platform_host::reset();
  ___skip = 1U;
  ___tim_count = 0U;
  ___micros_latest = 0U;
  htim7 = TIM_HandleTypeDef{};

  __HAL_RCC_GPIOA_CLK_ENABLE();
  HAL_GPIO_WritePin(GPIOA, GPIO_PIN_8 | GPIO_PIN_9, GPIO_PIN_RESET);
  GPIO_InitTypeDef out{};
  out.Pin = GPIO_PIN_8 | GPIO_PIN_9;
  out.Mode = GPIO_MODE_OUTPUT_PP;
  HAL_GPIO_Init(GPIOA, &out);
  GPIO_InitTypeDef in{};
  in.Pin = GPIO_PIN_0;
  in.Mode = GPIO_MODE_IT_RISING_FALLING;
  in.Pull = GPIO_PULLUP;
  HAL_GPIO_Init(GPIOA, &in);
  HAL_NVIC_SetPriority(EXTI0_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(EXTI0_IRQn);

  htim7.Instance = TIM7;
  htim7.Init.Prescaler = 149;
  htim7.Init.CounterMode = TIM_COUNTERMODE_UP;
  htim7.Init.Period = 65535;
  htim7.Init.AutoReloadPreload = TIM_AUTORELOAD_PRELOAD_ENABLE;
  ASSERT_EQ(HAL_TIM_Base_Init(&htim7), HAL_OK);
  platform_host::clear_write_log();
}

void drive_pa0(bool high) { platform_host::set_input(GPIOA, GPIO_PIN_0, high); }

}  // namespace front_test
