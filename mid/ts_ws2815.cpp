#include "ts_ws2815.h"

#include <cmath>
#include <cstring>

namespace tessel {

namespace {

// double -> unsigned integer, truncating toward zero and clamped to [0, max]
// (a nonsensical clock must not turn into an undefined conversion).
uint32_t truncate_clamped(double value, uint32_t max) {
  if (!(value > 0.0)) {
    return 0U;
  }
  if (value >= static_cast<double>(max)) {
    return max;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

static_assert(sizeof(ts_ws2815::s_rgb) == 24U, "one LED is 24 one-byte slots");
static_assert(ts_ws2815::kFrameBytes == 2036U, "frame is 64 LEDs plus 500 reset slots");

ts_ws2815::ts_ws2815() { std::memset(static_cast<void*>(&_m), 0, sizeof(_m)); }

ts_ws2815::~ts_ws2815() {
  if (streaming()) {
    HAL_TIM_PWM_Stop_DMA(_m.htim, _m.channel);
  }
}

void ts_ws2815::Setup(TIM_HandleTypeDef* htim, uint32_t channel, uint8_t ledCount) {
  // The precision of each step is deliberate: the tick counts come out as the
  // strip's timing tables expect (150 MHz: period 186, high 118, low 43).
  const float clock = static_cast<float>(static_cast<double>(HAL_RCC_GetSysClockFreq()) * 1e-6);  // MHz
  const uint16_t div =
      static_cast<uint16_t>(truncate_clamped(std::ceil(1.25 / static_cast<double>(clock * 255.0F)), 0xFFFFU));
  const float flankTime = 1.0F / clock;                   // one tick in microseconds
  const double t = 1.0 / static_cast<double>(flankTime);  // ticks per microsecond

  _m.io.high = static_cast<uint8_t>(truncate_clamped(t * 0.8 - 1.0, 0xFFU));
  _m.io.low = static_cast<uint8_t>(truncate_clamped(t * 0.3 - 1.0, 0xFFU));
  _m.io.rst = kLatchSlots;

  // The counts above assume one tick per clock cycle: div is 1 for any clock
  // above 4.9 kHz, giving prescaler 0.
  htim->Init.Prescaler = div > 0U ? div - 1U : 0U;
  htim->Init.Period = truncate_clamped(t * 1.25 - 1.0, 0xFFFFFFFFU);
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
