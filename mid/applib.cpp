#include "applib.h"

// Counter values per TIM7 wrap: auto-reload 65535 plus one.
static constexpr uint32_t kWrapShift = 16U;
static constexpr uint64_t kCountsPerWrap = uint64_t{1} << kWrapShift;

// From 2^32 ms on, millis() stays at the top instead of wrapping.
static constexpr uint64_t kMillisSaturationUs = 4294967296000ULL;

extern "C" {

volatile uint64_t ___tim_count = 0;
uint64_t ___micros_latest = 0;

uint64_t micros(void) {
  // Masked, the whole call is one step for every other context: the update
  // interrupt cannot count a wrap between the reads below, and a pin-change
  // interrupt cannot move ___micros_latest under a foreground call.
  const uint32_t mask = __get_PRIMASK();
  __disable_irq();
  uint64_t wraps = ___tim_count;
  uint32_t counter = __HAL_TIM_GET_COUNTER(&htim7);
  // A wrap whose update interrupt has not run yet (we are inside an interrupt
  // of the same priority, or masked) leaves UIF set. The flag is read after the
  // counter, so the counter may lie on either side of that wrap: read it again,
  // now certainly after the wrap, and add the wrap ourselves.
  if (__HAL_TIM_GET_FLAG(&htim7, TIM_FLAG_UPDATE)) {
    counter = __HAL_TIM_GET_COUNTER(&htim7);
    ++wraps;
  }
  uint64_t now = (wraps << kWrapShift) | counter;
  // The update flag records one wrap. While pin-change interrupts come back to
  // back (an edge storm), TIM7's interrupt of the same priority is not taken,
  // and every further wrap is lost to the flag: `now` falls whole periods short
  // and below a time already returned. Each lost wrap is added to the count
  // here, as the update interrupt would have done. This is exact whenever the
  // previous call was less than one wrap (65,536 us) ago, which a storm
  // guarantees: it calls micros() on every edge, and TIM7's callback calls it
  // as soon as the storm lets it run. Otherwise (a wrap truly unseen) the time
  // still never goes backwards.
  if (now < ___micros_latest) {
    const uint64_t lost = (___micros_latest - now + (kCountsPerWrap - 1U)) >> kWrapShift;
    ___tim_count = ___tim_count + lost;
    now += lost << kWrapShift;
  }
  ___micros_latest = now;
  __set_PRIMASK(mask);
  return now;
}

uint32_t millis(void) {
  const uint64_t us = micros();
  if (us >= kMillisSaturationUs) {
    return 0xFFFFFFFFU;  // stays at the top from about 49.7 days on
  }
  // us / 1000 without a 64-bit division: us / 1000 == (us / 8) / 125, and the
  // eighths (below 2^39) are divided by 125 in two 32-bit steps of 16 bits
  // each (long division): every partial dividend stays below 125 * 2^16.
  const uint64_t eighths = us >> 3U;
  const auto upper = static_cast<uint32_t>(eighths >> 16U);  // below 2^23
  const auto lower = static_cast<uint32_t>(eighths & 0xFFFFU);
  const uint32_t q_upper = upper / 125U;
  const uint32_t r_upper = upper % 125U;
  return (q_upper << 16U) + (((r_upper << 16U) | lower) / 125U);
}

void delay(uint32_t ms) { HAL_Delay(ms); }

}  // extern "C"
