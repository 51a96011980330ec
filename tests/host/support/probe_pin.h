// A pin object whose measurement record the tests can read.
#pragma once

#include "ts_digitalPin.h"

struct ProbePin : tessel::ts_digitalPin {
  uint64_t last_rising() const { return _m.lastRising; }
  uint16_t pwm_count() const { return _m.pwm_count; }
  uint64_t pwm_time() const { return _m.pwm_time; }
  uint8_t state() const { return _m.state; }
  uint8_t interrupt_mode() const { return _m.interrupt_mode; }
};
