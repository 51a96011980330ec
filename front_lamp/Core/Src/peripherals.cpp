// Every peripheral the front board uses, set up in the order the board relies
// on; main runs it after the clock set-up, and the host tests run the same.
#include "gpio.h"
#include "main.h"
#include "tim.h"

extern "C" void MX_Peripherals_Init(void) {
  MX_GPIO_Init();  // from here on EXTI0 may fire; the bridge's gate drops it
  MX_TIM1_Init();
  MX_TIM2_Init();
  MX_TIM4_Init();
  MX_TIM8_Init();
  MX_TIM7_Init();
}
