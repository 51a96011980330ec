// The platform's empty default hooks and callbacks. Both implementations of the
// API (chip and host) link this file; board code and middleware replace any of
// them with a strong definition of the same name.
#include "stm32g4xx_hal.h"

extern "C" {

__attribute__((weak)) void HAL_MspInit(void) {}
__attribute__((weak)) void HAL_GPIO_EXTI_Callback(uint16_t GPIO_Pin) { (void)GPIO_Pin; }
__attribute__((weak)) void HAL_UART_MspInit(UART_HandleTypeDef* huart) { (void)huart; }
__attribute__((weak)) void HAL_TIM_Base_MspInit(TIM_HandleTypeDef* htim) { (void)htim; }
__attribute__((weak)) void HAL_TIM_PWM_MspInit(TIM_HandleTypeDef* htim) { (void)htim; }
__attribute__((weak)) void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef* htim) { (void)htim; }
__attribute__((weak)) void HAL_TIM_PWM_PulseFinishedCallback(TIM_HandleTypeDef* htim) { (void)htim; }
__attribute__((weak)) void HAL_TIM_PWM_PulseFinishedHalfCpltCallback(TIM_HandleTypeDef* htim) { (void)htim; }
__attribute__((weak)) void HAL_TIM_ErrorCallback(TIM_HandleTypeDef* htim) { (void)htim; }

}  // extern "C"
