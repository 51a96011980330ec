#include "application.h"

#include "stm32g4xx_hal.h"
#include "ts_define.h"

// TIM17 handle, defined and configured by the board (channel 1 PWM on PA7, DMA-fed).
extern TIM_HandleTypeDef htim17;

namespace aurelis {

namespace {

constexpr uint8_t kFull = 255U;

// A line pulled low switches its channel fully on.
uint8_t channel_level(uint8_t line) { return line == 0U ? kFull : 0U; }

}  // namespace

application::application() : _m{} {}

application::~application() = default;

void application::setup() {
  _m.neo.Setup(&htim17, TIM_CHANNEL_1, ___LED_COUNT);
  _m.neo.Start();
#if AURELIS_REAR_SWITCHES == 3
  _m.input.r.setup(tessel::PB4, 1U);
  _m.input.g.setup(tessel::PB5, 1U);
#endif
  _m.input.b.setup(tessel::PB6, 1U);
  // Every pin takes its current level now; later edges keep it up to date.
  tessel::ts_digitalPin::INT_INIT_ALL();
}

void application::loop() {
  // The pin object names do not match the channels they drive.
#if AURELIS_REAR_SWITCHES == 3
  const uint8_t b = _m.input.r.Read(0U);  // PB4
  const uint8_t r = _m.input.g.Read(0U);  // PB5
#else
  const uint8_t b = 1U;  // no blue line: off
  const uint8_t r = 1U;  // no red line: off
#endif
  const uint8_t g = _m.input.b.Read(0U);  // PB6
  if (_m.painted && _m.pre.r == r && _m.pre.g == g && _m.pre.b == b) {
    return;
  }
  _m.painted = true;
  _m.pre.r = r;
  _m.pre.g = g;
  _m.pre.b = b;

  const uint8_t red = channel_level(r);
  const uint8_t green = channel_level(g);
  const uint8_t blue = channel_level(b);
  for (uint8_t i = 0U; i < ___LED_COUNT; ++i) {
    _m.neo.SetColor(i, red, green, blue);
  }
}

}  // namespace aurelis
