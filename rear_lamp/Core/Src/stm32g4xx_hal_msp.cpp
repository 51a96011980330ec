// Board-wide hardware hook, run once by HAL_Init.
#include "main.h"

extern "C" void HAL_MspInit(void) {
  __HAL_RCC_SYSCFG_CLK_ENABLE();
  __HAL_RCC_PWR_CLK_ENABLE();

  // The UCPD1 CC pins act as plain GPIO: no dead-battery pull-downs on them.
  HAL_PWREx_DisableUCPDDeadBattery();
}
