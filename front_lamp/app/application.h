// The front light controller: switches both light outputs (PA9 left, PA8 right)
// on while the last complete control pulse on PA0 was 1300 us or longer, off
// otherwise, re-deciding about ten times a second.
#pragma once

#include <cstdint>

#include "appbase.h"
#include "ts_digitalPin.h"

namespace aurelis {

class application : public tessel::appbase {
 public:
  application();
  virtual ~application();

  void setup() override;
  void loop() override;

 private:
  struct s_members {
    struct {
      tessel::ts_digitalPin sw;  // registered, never set up: mask 0 matches no event
    } Input;
    struct {
      tessel::ts_digitalPin left;   // PA9 light output
      tessel::ts_digitalPin right;  // PA8 light output
      tessel::ts_digitalPin sw;     // PA0 control-pulse input
    } LED;
    uint32_t dma;  // not used
  };

  s_members _m;
};

// Pulses longer than this (1300 us or more) switch the lights on. Defined in
// application.cpp, beside the decision; named here for the tests' messages.
extern const uint16_t kOnAboveUs;

}  // namespace aurelis
