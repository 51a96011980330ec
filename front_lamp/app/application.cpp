#include "application.h"

#include "applib.h"
#include "ts_define.h"

namespace aurelis {

// Pulses longer than this (1300 us or more) switch the lights on.
constexpr uint16_t kOnAboveUs = 1299U;

namespace {

// Pause after each decision: about ten decisions a second.
constexpr uint32_t kPassMs = 100U;

}  // namespace

application::application() : _m{} {}

application::~application() = default;

void application::setup() {
  _m.LED.left.setup(tessel::PA9, 1U);
  _m.LED.right.setup(tessel::PA8, 1U);
  _m.LED.left.Write(1U);
  _m.LED.right.Write(1U);
  _m.LED.sw.setup(tessel::PA0, 1U);
}

void application::loop() {
  // One read per pass: the interrupt may store a new width at any time.
  const uint16_t pulse = _m.LED.sw.GetLastPulse();
  const uint8_t on = pulse > kOnAboveUs ? 1U : 0U;
  // Both outputs always at the same level, left first.
  _m.LED.left.Write(on);
  _m.LED.right.Write(on);
  delay(kPassMs);
}

}  // namespace aurelis
