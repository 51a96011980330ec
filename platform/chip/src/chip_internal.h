// Helpers shared by the sources of the chip implementation of the platform API:
// bounded waits on hardware flags and clock figures read from the registers.
#pragma once

#include <cstdint>

#include "hal_shared.h"
#include "regbits.h"
#include "stm32g4xx_hal.h"

namespace chip {

// Time-outs of the hardware waits, in milliseconds.
constexpr uint32_t HSI_TIMEOUT_MS = 2U;
constexpr uint32_t PLL_TIMEOUT_MS = platform_shared::kPllLockTimeoutMs;
constexpr uint32_t CLOCKSWITCH_TIMEOUT_MS = 50U;
constexpr uint32_t VOS_TIMEOUT_MS = 2U;

// A poll budget is the fallback for when the tick is not running (interrupts
// masked, or before HAL_Init): it covers the time-out even at the fastest core
// clock the chip allows, with a poll costing no fewer than kMinCyclesPerPoll.
constexpr uint32_t kMaxCoreHz = 170000000U;
constexpr uint32_t kMinCyclesPerPoll = 4U;
constexpr uint32_t kPollsPerMs = kMaxCoreHz / 1000U / kMinCyclesPerPoll;

// Polls `done` until it holds. False once more than `timeout_ms` ticks have
// passed, or once the poll budget is spent: the wait always ends, whether or not
// the tick interrupt can run.
template <typename Done>
bool wait_until(Done done, uint32_t timeout_ms) {
  const uint32_t start = uwTick;
  constexpr uint32_t kLongestBudgetedMs = 0xFFFFFFFFU / kPollsPerMs - 1U;
  uint32_t budget = timeout_ms < kLongestBudgetedMs ? (timeout_ms + 1U) * kPollsPerMs : 0xFFFFFFFFU;
  while (!done()) {
    if ((uwTick - start) > timeout_ms || budget == 0U) {
      return done();  // one last look: the flag may have come with the tick
    }
    --budget;
  }
  return true;
}

// Busy-waits at least one microsecond at any core clock up to kMaxCoreHz.
inline void spin_one_microsecond() {
  for (uint32_t i = 0; i < kMaxCoreHz / 1000000U; ++i) {
    __NOP();  // volatile asm: the loop is kept, one pass takes at least one cycle
  }
}

// Divider shifts of the bus prescaler codes (CFGR HPRE, PPRE1, PPRE2).
uint32_t ahb_shift(uint32_t hpre_code);
uint32_t apb_shift(uint32_t ppre_code);

}  // namespace chip
