// Conformance case of the NVIC and the tick: priorities and enables, the tick
// rate, HAL_Delay, and re-timing the tick.
#include "cases_common.h"

namespace conformance {

void NvicTickAndDelay(Result& r) {
  CONFORMANCE_CHECK(r, ((SCB->AIRCR >> 8U) & 7U) == NVIC_PRIORITYGROUP_4);
  CONFORMANCE_CHECK(r, (SCB->SHP[11] >> 4U) == TICK_INT_PRIORITY);  // SysTick
  CONFORMANCE_CHECK(r, (SysTick->CTRL & 7U) == 7U);
  HAL_NVIC_SetPriority(TIM7_IRQn, 5, 2);  // group 4 has no sub-priority bits: the 2 is dropped
  CONFORMANCE_CHECK(r, NVIC->IP[TIM7_IRQn] == (5U << 4U));
  HAL_NVIC_EnableIRQ(TIM7_IRQn);
  CONFORMANCE_CHECK(r, (NVIC->ISER[TIM7_IRQn / 32] & (1U << (TIM7_IRQn % 32))) != 0U);
  HAL_NVIC_DisableIRQ(TIM7_IRQn);
  CONFORMANCE_CHECK(r, (NVIC->ISER[TIM7_IRQn / 32] & (1U << (TIM7_IRQn % 32))) == 0U);
  HAL_NVIC_SetPriority(WWDG_IRQn, 3, 0);  // interrupt 0 is a device interrupt too
  CONFORMANCE_CHECK(r, NVIC->IP[WWDG_IRQn] == (3U << 4U));
  HAL_NVIC_SetPriority(WWDG_IRQn, 0, 0);

  uint32_t t0 = HAL_GetTick();
  rig_wait_us(3000);
  CONFORMANCE_CHECK(r, in_window(HAL_GetTick() - t0, 2U, 4U));
  // From just after a tick, HAL_Delay(5) waits 5 + 1 increments.
  t0 = HAL_GetTick();
  while (HAL_GetTick() == t0) {
    rig_wait_us(1);
  }
  const uint32_t start = HAL_GetTick();
  HAL_Delay(5);
  // Read a few instructions after the last increment, far from the next one.
  CONFORMANCE_CHECK(r, HAL_GetTick() - start == 6U);

  // Re-timing the tick mid-period restarts the period: the counter starts again
  // from LOAD, not from where it was (difference 10).
  t0 = HAL_GetTick();
  while (HAL_GetTick() == t0) {
    rig_wait_us(1);
  }
  rig_wait_us(400);
  CONFORMANCE_CHECK(r, HAL_InitTick(TICK_INT_PRIORITY) == HAL_OK);
  const uint32_t val = SysTick->VAL;
  CONFORMANCE_CHECK(r, val == 0U || val > SysTick->LOAD - 1500U);
}

}  // namespace conformance
