// The platform API's conformance suite: one set of cases, a file per peripheral
// (cases_<peripheral>.cpp, sharing cases_common.h/.cpp), compiled twice:
// in-process against platform/host and into a test image that runs
// platform/chip on the virtual board. What the two runs cannot share is listed
// in cases_common.h as named differences.
//
// Both sides supply the rig below and wire the same world around the chip:
// output PB0 drives input PA1 (a loop-back wire), and output PB1 high makes the
// PLL never lock (a fault-injection line).
#pragma once

#include <cstdint>

#include "case_list.h"
#include "stm32g4xx_hal.h"

namespace conformance {

// Outcome of one case.
struct Result {
  uint32_t checks = 0;
  uint32_t failures = 0;
  uint32_t first_failure_line = 0;  // line in the file that defines the case
};

struct Case {
  const char* name;
  void (*run)(Result&);
};

extern const Case kCases[];
extern const uint32_t kCaseCount;

// Brings the platform to the state every case starts from: HAL_Init done, the
// system clock at 150 MHz from the PLL, the loop-back wire low. Checked, so a
// case that finds it broken fails.
void baseline(Result& r);

// Handles the interrupt handlers of the test image reach (on the host the
// simulated NVIC finds them itself).
extern TIM_HandleTypeDef tim7;
extern TIM_HandleTypeDef tim17;
extern DMA_HandleTypeDef dma_tim17_ch1;

// ---- The rig: supplied by each side ---------------------------------------------
// Lets `us` microseconds pass with interrupts running.
void rig_wait_us(uint32_t us);

inline void check(Result& r, bool ok, uint32_t line) {
  ++r.checks;
  if (!ok) {
    if (r.failures == 0U) {
      r.first_failure_line = line;
    }
    ++r.failures;
  }
}

}  // namespace conformance

#define CONFORMANCE_CHECK(r, cond) ::conformance::check((r), (cond), __LINE__)
