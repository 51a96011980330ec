#include "applib.h"

// Counter values per TIM7 wrap: auto-reload 65535 plus one.
static constexpr uint64_t kCountsPerWrap = 65536U;

extern "C" {

volatile uint64_t ___tim_count = 0;

uint64_t micros(void) {
  for (;;) {
    const uint64_t wraps = ___tim_count;
    uint32_t counter = __HAL_TIM_GET_COUNTER(&htim7);
    uint64_t counted = wraps;
    // A wrap whose update interrupt has not run yet (we are inside an interrupt
    // of the same priority, or it is just about to be taken) leaves UIF set and
    // the count one short. The flag is read after the counter, so the counter
    // value may lie on either side of that wrap: read it again, now certainly
    // after the wrap, and add the wrap ourselves.
    if (__HAL_TIM_GET_FLAG(&htim7, TIM_FLAG_UPDATE)) {
      counter = __HAL_TIM_GET_COUNTER(&htim7);
      counted = wraps + 1U;
    }
    // An overflow counted while we looked means the counter may belong to either
    // side of it (and the 64-bit snapshot may be torn): look again.
    if (___tim_count == wraps) {
      return counted * kCountsPerWrap + counter;
    }
  }
}

uint32_t millis(void) {
  const double ms = static_cast<double>(micros()) / 1000.0;
  if (ms >= 4294967296.0) {
    return 0xFFFFFFFFU;  // stays at the top from about 49.7 days on
  }
  return static_cast<uint32_t>(ms);
}

void delay(uint32_t ms) { HAL_Delay(ms); }

}  // extern "C"
