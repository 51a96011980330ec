// Every peripheral the rear board uses, set up in the order the board relies
// on; main runs it after the clock set-up, and the host tests run the same.
#include "dma.h"
#include "gpio.h"
#include "main.h"
#include "tim.h"
#include "usart.h"

extern "C" void MX_Peripherals_Init(void) {
  MX_GPIO_Init();  // from here on the EXTI lines may fire; the bridge's gate drops them
  // The DMA clocks must run before the TIM17 and USART3 hooks set up their channels.
  MX_DMA_Init();
  MX_TIM1_Init();
  MX_TIM17_Init();
  MX_TIM4_Init();
  MX_USART3_UART_Init();
  MX_TIM7_Init();
  MX_TIM8_Init();
}
