#include "ts_ws2815.h"

#include <cstring>

namespace tessel {

namespace {

uint32_t float_bits(float f) {
  uint32_t bits;
  __builtin_memcpy(&bits, &f, sizeof bits);
  return bits;
}

float float_from_bits(uint32_t bits) {
  float f;
  __builtin_memcpy(&f, &bits, sizeof f);
  return f;
}

// A positive normal float is significand * 2^(exponent field - 150), with the
// significand from 2^23 to 2^24 - 1.
uint64_t significand(uint32_t bits) { return (bits & 0x7FFFFFU) | 0x800000U; }
uint32_t exponent_field(uint32_t bits) { return (bits >> 23U) & 0xFFU; }

constexpr uint64_t kHzPerMHz = 1000000U;
constexpr uint64_t kLowestSignificand = 0x800000U;

// The float nearest to hz / 10^6, which is what (float)((double)hz * 1e-6)
// gives: the double product lies far closer to hz / 10^6 than any float
// rounding boundary. A single-precision estimate is a few units in the last
// place off; exact comparisons with the rounding boundaries on either side
// (midpoints to the neighbours) walk it there. In units of 2^(e - 2), with
// c = m * 2^e: hz / 10^6 is hz * 2^(2 - e) / 10^6; the upper boundary is
// (4m + 2), the lower one (4m - 2), or (4m - 1) at the bottom of a binade,
// where the neighbour below is half as far. For any 32-bit clock every
// product stays below 2^56.
float clock_mhz(uint32_t hz) {
  uint32_t bits = float_bits(static_cast<float>(hz) * 1e-6F);
  for (;;) {
    const uint64_t m = significand(bits);
    const uint64_t x = static_cast<uint64_t>(hz) << (152U - exponent_field(bits));
    const uint64_t below = (m == kLowestSignificand ? 4U * m - 1U : 4U * m - 2U) * kHzPerMHz;
    if (x < below) {
      --bits;
    } else if (x > (4U * m + 2U) * kHzPerMHz) {
      ++bits;
    } else {
      return float_from_bits(bits);
    }
  }
}

// trunc(t * a / b - 1), at least 0 and at most max, where t = 2^k / m is the
// exact value of 1 / tick (tick = m * 2^-k as a float). In double precision
// t * a / b lies at least 1 / (b * m) from any integer it does not equal, far
// beyond the double's rounding, so the double result is the floor of the
// exact ratio, found here from a single-precision estimate by exact
// multiplication (k is 3 to 35 for any 32-bit clock).
uint32_t ticks_less_one(uint32_t tick_bits, uint32_t a, uint32_t b, float estimate, uint32_t max) {
  const uint64_t num = static_cast<uint64_t>(a) << (150U - exponent_field(tick_bits));
  const uint64_t den = b * significand(tick_bits);
  // The estimate is at most about 5400 (a 4.3 GHz clock): a 32-bit conversion
  // holds it (a 64-bit one would call the double library).
  uint64_t whole = static_cast<uint32_t>(estimate);
  while (whole > 0U && whole * den > num) {
    --whole;
  }
  while ((whole + 1U) * den <= num) {
    ++whole;
  }
  if (whole == 0U) {
    return 0U;
  }
  return whole - 1U >= max ? max : static_cast<uint32_t>(whole - 1U);
}

}  // namespace

ws2815_timing ws2815_timing_for(uint32_t hz) {
  ws2815_timing timing{};
  if (hz == 0U) {
    return timing;  // no clock: every count 0, prescaler 0
  }
  const float clock = clock_mhz(hz);
  const float tick = 1.0F / clock;  // one tick in microseconds
  const uint32_t bits = float_bits(tick);
  const float t = 1.0F / tick;  // estimate of the ticks per microsecond
  timing.high = static_cast<uint8_t>(ticks_less_one(bits, 4U, 5U, t * 0.8F, 0xFFU));
  timing.low = static_cast<uint8_t>(ticks_less_one(bits, 3U, 10U, t * 0.3F, 0xFFU));
  timing.period = ticks_less_one(bits, 5U, 4U, t * 1.25F, 0xFFFFFFFFU);
  // Prescaler: ceil(1.25 / (clock * 255)) - 1, which is 0 for any clock above
  // 4.9 kHz (the tick counts above assume one tick per clock cycle).
  const float per_tick = clock * 255.0F;
  if (per_tick < 1.25F) {
    const float ratio = 1.25F / per_tick;
    timing.prescaler = ratio >= 65534.0F ? 65534U : static_cast<uint32_t>(ratio);
  }
  return timing;
}

static_assert(sizeof(ts_ws2815::s_rgb) == 24U, "one LED is 24 one-byte slots");
static_assert(ts_ws2815::kFrameBytes == 2036U, "frame is 64 LEDs plus 500 reset slots");

ts_ws2815::ts_ws2815() { std::memset(static_cast<void*>(&_m), 0, sizeof(_m)); }

ts_ws2815::~ts_ws2815() {
  if (streaming()) {
    HAL_TIM_PWM_Stop_DMA(_m.htim, _m.channel);
  }
}

void ts_ws2815::Setup(TIM_HandleTypeDef* htim, uint32_t channel, uint8_t ledCount) {
  // Computed at run time from the clock Setup finds, so the strip keeps its
  // timing at another clock (150 MHz: period 186, high 118, low 43).
  const ws2815_timing timing = ws2815_timing_for(HAL_RCC_GetSysClockFreq());
  _m.io.high = timing.high;
  _m.io.low = timing.low;
  _m.io.rst = kLatchSlots;

  htim->Init.Prescaler = timing.prescaler;
  htim->Init.Period = timing.period;
  htim->Init.AutoReloadPreload = TIM_AUTORELOAD_PRELOAD_DISABLE;

  _m.htim = htim;
  _m.channel = channel;
  _m.ledCount = ledCount;
}

void ts_ws2815::Start() {
  if (streaming()) {
    HAL_TIM_PWM_Stop_DMA(_m.htim, _m.channel);
  }
  uint16_t size = static_cast<uint16_t>(_m.io.rst + 24U * _m.ledCount);
  if (size >= kFrameBytes) {
    size = kFrameBytes;
  }
  std::memset(static_cast<void*>(&_m.buffer), 0, sizeof(_m.buffer));
  _m.size = size;

  HAL_TIM_Base_Init(_m.htim);
  HAL_TIM_Base_Start(_m.htim);
  // The DMA moves byte items, each written zero-extended into the 32-bit compare
  // register; the platform's word pointer type carries only the address.
  const uint8_t* frame = &_m.buffer.leds[0].g[0];
  HAL_TIM_PWM_Start_DMA(_m.htim, _m.channel, reinterpret_cast<const uint32_t*>(frame), size);
  Clear();
}

void ts_ws2815::SetColor(uint8_t idx, uint8_t r, uint8_t g, uint8_t b) {
  if (idx >= ___max_len || idx >= _m.ledCount) {
    return;
  }
  s_rgb& led = _m.buffer.leds[idx];
  const uint8_t high = _m.io.high;
  const uint8_t low = _m.io.low;
  for (uint8_t k = 0U; k < 8U; ++k) {
    const uint8_t mask = static_cast<uint8_t>(0x80U >> k);
    led.g[k] = (g & mask) != 0U ? high : low;
    led.r[k] = (r & mask) != 0U ? high : low;
    led.b[k] = (b & mask) != 0U ? high : low;
  }
}

void ts_ws2815::Clear() {
  for (uint8_t i = 0U; i < _m.ledCount && i < ___max_len; ++i) {
    SetColor(i, 0U, 0U, 0U);
  }
}

}  // namespace tessel
