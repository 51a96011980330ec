// Exception and interrupt handlers of the rear light controller. Faults stop
// the board in an endless loop; peripheral handlers hand over to the platform's
// dispatchers.
#include "stm32g4xx_it.h"

#include "main.h"
#include "tim.h"
#include "usart.h"

namespace {
// Inlined into every handler, in the debug build too: each handler is its own branch-to-self.
[[noreturn, gnu::always_inline]] inline void halt() {
  for (;;) {
    __asm volatile("" ::: "memory");
  }
}
}  // namespace

extern "C" {

void NMI_Handler(void) { halt(); }
void HardFault_Handler(void) { halt(); }
void MemManage_Handler(void) { halt(); }
void BusFault_Handler(void) { halt(); }
void UsageFault_Handler(void) { halt(); }

void SVC_Handler(void) {}
void DebugMon_Handler(void) {}
void PendSV_Handler(void) {}

// The platform's 1 ms tick.
void SysTick_Handler(void) { HAL_IncTick(); }

// Input lines. PA0, PA1 and PB3 reach the pin registry but match no pin object.
void EXTI0_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_0); }
void EXTI1_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_1); }
void EXTI3_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_3); }
void EXTI4_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_4); }

// Half and end of each pass over the strip frame.
void DMA1_Channel1_IRQHandler(void) { HAL_DMA_IRQHandler(&hdma_tim17_ch1); }

// USART3 receive DMA: never started.
void DMA1_Channel2_IRQHandler(void) { HAL_DMA_IRQHandler(&hdma_usart3_rx); }

// PB5 and PB6 share this line; lines 7 to 9 are not in use.
void EXTI9_5_IRQHandler(void) {
  HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_5);
  HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_6);
}

// Neither TIM1 nor TIM17 enables an interrupt source (TIM17 uses DMA requests
// only), so this line never fires.
void TIM1_TRG_COM_TIM17_IRQHandler(void) {
  HAL_TIM_IRQHandler(&htim1);
  HAL_TIM_IRQHandler(&htim17);
}

// No transfer is ever started: never entered.
void USART3_IRQHandler(void) { HAL_UART_IRQHandler(&huart3); }

// TIM7 never runs on this board: never entered.
void TIM7_IRQHandler(void) { HAL_TIM_IRQHandler(&htim7); }

}  // extern "C"
