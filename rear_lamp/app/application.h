// The rear light controller: paints a 60-LED WS2815 strip in one solid colour
// chosen by three input lines, each switching one channel fully on while it is
// pulled low (PB5 red, PB6 green, PB4 blue). Polls continuously and repaints
// only when the combination changes.
#pragma once

#include <cstdint>

#include "appbase.h"
#include "ts_digitalPin.h"
#include "ts_ws2815.h"

namespace aurelis {

// Compile-time settings of the board (a test image sets them from its build):
// the strip length, and how many colour lines are read (3: PB5 red, PB6 green,
// PB4 blue; 1: PB6 green only, the others stay off).
#ifndef AURELIS_REAR_LED_COUNT
#define AURELIS_REAR_LED_COUNT 60U
#endif
#ifndef AURELIS_REAR_SWITCHES
#define AURELIS_REAR_SWITCHES 3
#endif
static_assert(AURELIS_REAR_SWITCHES == 1 || AURELIS_REAR_SWITCHES == 3, "one or three colour lines");

// LEDs on the strip: the driver's strip length and the positions painted.
constexpr uint8_t ___LED_COUNT = AURELIS_REAR_LED_COUNT;

class application : public tessel::appbase {
 public:
  application();
  virtual ~application();

  void setup() override;
  void loop() override;

 private:
  struct {
    tessel::ts_ws2815 neo;
    int32_t led_count;  // not consulted: the strip length is ___LED_COUNT
    struct {
      tessel::ts_digitalPin r;  // PB4, drives blue
      tessel::ts_digitalPin g;  // PB5, drives red
      tessel::ts_digitalPin b;  // PB6, drives green
    } input;
    struct {
      uint8_t r;
      uint8_t g;
      uint8_t b;
    } pre;         // input levels at the last repaint, by the channel they drive
    bool painted;  // false until the first repaint: the first loop() always paints
  } _m;
};

}  // namespace aurelis
