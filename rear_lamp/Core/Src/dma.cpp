// DMA of the rear light controller: DMA1 channel 1 feeds TIM17's compare
// register (the LED strip), channel 2 serves USART3's receiver. Here only the
// clocks and interrupt lines; the channels are set up by the hardware hooks.
#include "dma.h"

extern "C" void MX_DMA_Init(void) {
  // The request multiplexer first, then the controller it feeds.
  __HAL_RCC_DMAMUX1_CLK_ENABLE();
  __HAL_RCC_DMA1_CLK_ENABLE();

  HAL_NVIC_SetPriority(DMA1_Channel1_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(DMA1_Channel1_IRQn);
  HAL_NVIC_SetPriority(DMA1_Channel2_IRQn, 0, 0);
  HAL_NVIC_EnableIRQ(DMA1_Channel2_IRQn);
}
