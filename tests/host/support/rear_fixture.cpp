#include "rear_fixture.h"

#include <cstring>

#include "dma.h"
#include "gpio.h"
#include "main.h"
#include "ts_middle.h"

namespace rear_test {

void reset_board() {
  drop_application();
  platform_host::reset();
  ___skip = 1U;
  // Handles are zero at power-on, so each first initialisation runs its MSP hook.
  for (TIM_HandleTypeDef* h : {&htim1, &htim4, &htim7, &htim8, &htim17}) {
    *h = TIM_HandleTypeDef{};
  }
  hdma_tim17_ch1 = DMA_HandleTypeDef{};
  hdma_usart3_rx = DMA_HandleTypeDef{};
  huart3 = UART_HandleTypeDef{};
  (void)HAL_Init();
  MX_Peripherals_Init();  // the board's own set-up, in its order
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
