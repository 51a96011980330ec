// Exception and interrupt handlers of the front light controller. Every other
// vector stays at the start-up code's Default_Handler.
#pragma once

extern "C" {
void NMI_Handler(void);
void HardFault_Handler(void);
void MemManage_Handler(void);
void BusFault_Handler(void);
void UsageFault_Handler(void);
void SVC_Handler(void);
void DebugMon_Handler(void);
void PendSV_Handler(void);
void SysTick_Handler(void);
void EXTI0_IRQHandler(void);
void TIM1_TRG_COM_TIM17_IRQHandler(void);
void TIM7_IRQHandler(void);
}
