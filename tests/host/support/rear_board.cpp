#include "rear_board.h"

#include <cstring>

#include "application.h"
#include "ts_middle.h"

TIM_HandleTypeDef htim7;
TIM_HandleTypeDef htim17;
DMA_HandleTypeDef hdma_tim17_ch1;

extern "C" void HAL_TIM_Base_MspInit(TIM_HandleTypeDef* htim) {
  if (htim->Instance == TIM17) {
    __HAL_RCC_TIM17_CLK_ENABLE();
    hdma_tim17_ch1.Instance = DMA1_Channel1;
    hdma_tim17_ch1.Init.Request = DMA_REQUEST_TIM17_CH1;
    hdma_tim17_ch1.Init.Direction = DMA_MEMORY_TO_PERIPH;
    hdma_tim17_ch1.Init.MemInc = DMA_MINC_ENABLE;
    hdma_tim17_ch1.Init.PeriphDataAlignment = DMA_PDATAALIGN_WORD;
    hdma_tim17_ch1.Init.MemDataAlignment = DMA_MDATAALIGN_BYTE;
    hdma_tim17_ch1.Init.Mode = DMA_CIRCULAR;
    ASSERT_EQ(HAL_DMA_Init(&hdma_tim17_ch1), HAL_OK);
    __HAL_LINKDMA(htim, hdma[TIM_DMA_ID_CC1], hdma_tim17_ch1);
  }
}

namespace rear_test {

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
  std::memset(static_cast<void*>(&htim7), 0, sizeof(htim7));
  std::memset(static_cast<void*>(&htim17), 0, sizeof(htim17));
  std::memset(static_cast<void*>(&hdma_tim17_ch1), 0, sizeof(hdma_tim17_ch1));

  __HAL_RCC_GPIOB_CLK_ENABLE();
  GPIO_InitTypeDef in{};
  in.Pin = GPIO_PIN_4 | GPIO_PIN_5 | GPIO_PIN_6;
  in.Mode = GPIO_MODE_IT_RISING_FALLING;
  in.Pull = GPIO_PULLUP;
  HAL_GPIO_Init(GPIOB, &in);
  HAL_NVIC_SetPriority(EXTI4_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(EXTI4_IRQn);
  HAL_NVIC_SetPriority(EXTI9_5_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(EXTI9_5_IRQn);

  htim7.Instance = TIM7;
  htim7.Init.Prescaler = 149;
  htim7.Init.Period = 65535;
  ASSERT_EQ(HAL_TIM_Base_Init(&htim7), HAL_OK);

  htim17.Instance = TIM17;
  htim17.Init.Period = 65535;
  ASSERT_EQ(HAL_TIM_Base_Init(&htim17), HAL_OK);
  ASSERT_EQ(HAL_TIM_PWM_Init(&htim17), HAL_OK);
  TIM_OC_InitTypeDef oc{};
  oc.OCMode = TIM_OCMODE_PWM1;
  oc.OCPolarity = TIM_OCPOLARITY_HIGH;
  ASSERT_EQ(HAL_TIM_PWM_ConfigChannel(&htim17, &oc, TIM_CHANNEL_1), HAL_OK);
}

Frame dma_frame() {
  Frame frame{};
  const platform_host::PwmDma dma = platform_host::pwm_dma(&htim17);
  if (dma.buffer != nullptr) {
    std::memcpy(frame.data(), dma.buffer, frame.size());
  }
  return frame;
}

}  // namespace rear_test
