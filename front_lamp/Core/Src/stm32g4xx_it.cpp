// Exception and interrupt handlers of the front light controller. Faults stop
// the board in an endless loop; peripheral handlers hand over to the platform's
// dispatchers.
#include "stm32g4xx_it.h"

#include "main.h"
#include "tim.h"

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

// PA0 control pulse, both edges.
void EXTI0_IRQHandler(void) { HAL_GPIO_EXTI_IRQHandler(GPIO_PIN_0); }

// TIM1 never runs, so this line never fires; the handler is there for the
// interrupt line its set-up enables.
void TIM1_TRG_COM_TIM17_IRQHandler(void) { HAL_TIM_IRQHandler(&htim1); }

// TIM7 overflow: the microsecond time base counts it.
void TIM7_IRQHandler(void) { HAL_TIM_IRQHandler(&htim7); }

}  // extern "C"
