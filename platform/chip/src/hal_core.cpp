// Core services of the platform on the Cortex-M4: start of the layer (priority
// grouping, 1 kHz SysTick, board hook), the millisecond tick and the NVIC.
#include "chip_internal.h"

using namespace chip;

extern "C" {

// Written by SysTick_Handler (through HAL_IncTick), read by the foreground and by
// the time-outs; a single aligned word, so every read sees a whole value.
volatile uint32_t uwTick = 0U;
// Priority the tick interrupt runs at; written by HAL_InitTick (foreground only).
// Starts at an invalid level until HAL_Init sets the board's priority.
uint32_t uwTickPrio = nvic::PRIO_LEVELS;

HAL_StatusTypeDef HAL_Init(void) {
  // Flash prefetch and caches: act only where the board wants other than the
  // reset state (prefetch off, both caches on); otherwise leave ACR alone.
#if defined(INSTRUCTION_CACHE_ENABLE) && (INSTRUCTION_CACHE_ENABLE == 0U)
  clear_bits(FLASH->ACR, flash::ACR_ICEN);
#endif
#if defined(DATA_CACHE_ENABLE) && (DATA_CACHE_ENABLE == 0U)
  clear_bits(FLASH->ACR, flash::ACR_DCEN);
#endif
#if defined(PREFETCH_ENABLE) && (PREFETCH_ENABLE != 0U)
  set_bits(FLASH->ACR, flash::ACR_PRFTEN);
#endif

  HAL_NVIC_SetPriorityGrouping(NVIC_PRIORITYGROUP_4);
  if (HAL_InitTick(TICK_INT_PRIORITY) != HAL_OK) {
    return HAL_ERROR;
  }
  HAL_MspInit();
  return HAL_OK;
}

// SysTick at 1 kHz from the current core clock (SystemCoreClock), on the
// processor clock, with its interrupt at `TickPriority`.
__attribute__((weak)) HAL_StatusTypeDef HAL_InitTick(uint32_t TickPriority) {
  if (TickPriority >= nvic::PRIO_LEVELS) {
    return HAL_ERROR;
  }
  const uint32_t ticks = SystemCoreClock / 1000U;
  if (ticks == 0U || (ticks - 1U) > systick::LOAD_MAX) {
    return HAL_ERROR;
  }
  // Stop the counter while it is re-timed, so no tick comes from a half-written
  // setting; the current-value write restarts the period from the new LOAD.
  clear_bits(SysTick->CTRL, systick::CTRL_ENABLE);
  SysTick->LOAD = ticks - 1U;
  SysTick->VAL = 0U;
  HAL_NVIC_SetPriority(SysTick_IRQn, TickPriority, 0U);
  uwTickPrio = TickPriority;
  SysTick->CTRL = systick::CTRL_CLKSOURCE | systick::CTRL_TICKINT | systick::CTRL_ENABLE;
  return HAL_OK;
}

void HAL_IncTick(void) { uwTick = uwTick + 1U; }

uint32_t HAL_GetTick(void) { return uwTick; }

// Waits until at least Delay + 1 tick increments have passed: the first tick may
// come at once, so Delay + 1 guarantees no less than Delay whole milliseconds.
void HAL_Delay(uint32_t Delay) {
  const uint32_t start = HAL_GetTick();
  uint32_t wait = Delay;
  if (wait < HAL_MAX_DELAY) {
    wait += 1U;
  }
  while ((HAL_GetTick() - start) < wait) {
  }
}

// ---- NVIC ---------------------------------------------------------------------------

void HAL_NVIC_SetPriorityGrouping(uint32_t PriorityGroup) {
  // AIRCR ignores writes without the key; the key field reads back as 0xFA05,
  // so it is replaced rather than kept.
  modify(SCB->AIRCR, scb::AIRCR_VECTKEY.mask() | scb::AIRCR_PRIGROUP.mask(),
         scb::AIRCR_VECTKEY.val(scb::AIRCR_KEY) | scb::AIRCR_PRIGROUP.val(PriorityGroup));
}

// Priority byte of `IRQn` from pre-emption and sub-priority under the current
// grouping: PRIGROUP g leaves 7 - g pre-emption bits of the 4 implemented ones.
static uint8_t encode_priority(uint32_t preempt, uint32_t sub) {
  const uint32_t group = scb::AIRCR_PRIGROUP.get(SCB->AIRCR);
  const uint32_t preempt_bits = (7U - group) > __NVIC_PRIO_BITS ? __NVIC_PRIO_BITS : 7U - group;
  const uint32_t sub_bits = __NVIC_PRIO_BITS - preempt_bits;
  const uint32_t level =
      ((preempt & ((1U << preempt_bits) - 1U)) << sub_bits) | (sub & ((1U << sub_bits) - 1U));
  return static_cast<uint8_t>(level << nvic::PRIO_SHIFT);
}

void HAL_NVIC_SetPriority(IRQn_Type IRQn, uint32_t PreemptPriority, uint32_t SubPriority) {
  const uint8_t prio = encode_priority(PreemptPriority, SubPriority);
  const int32_t n = static_cast<int32_t>(IRQn);
  if (n >= 0) {
    NVIC->IP[n] = prio;
  } else {
    // System handlers 4..15 (MemManage .. SysTick) have their bytes in SHPR1..3;
    // NMI and HardFault have fixed priorities and no byte.
    const uint32_t exception = static_cast<uint32_t>(n) & 0xFU;
    if (exception >= 4U) {
      SCB->SHP[exception - 4U] = prio;
    }
  }
}

void HAL_NVIC_EnableIRQ(IRQn_Type IRQn) {
  const int32_t n = static_cast<int32_t>(IRQn);
  if (n >= 0) {
    NVIC->ISER[static_cast<uint32_t>(n) >> 5] = bit(static_cast<uint32_t>(n) & 31U);
  }
}

void HAL_NVIC_DisableIRQ(IRQn_Type IRQn) {
  const int32_t n = static_cast<int32_t>(IRQn);
  if (n >= 0) {
    NVIC->ICER[static_cast<uint32_t>(n) >> 5] = bit(static_cast<uint32_t>(n) & 31U);
    // The line must be off before the caller goes on to tear its source down.
    __DSB();
    __ISB();
  }
}

}  // extern "C"
