// Signal sources on input pins: pulse trains (e.g. an RC receiver's control
// pulse) and level lines with optional contact bounce.
#pragma once

#include <string>
#include <vector>

#include "chip/models.h"

namespace vboard::world {

// Pulse trains and level lines driving input pins; one device so the machine
// sees sources added after it has listed the devices.
class SignalSources : public Device {
 public:
  explicit SignalSources(periph::Context& ctx) : ctx_(ctx) {}
  std::string name() const override { return "WORLD"; }
  void add_pulse(const PulseSpec& p, periph::Gpio* gpio, unsigned pin);
  void add_level(const LevelSpec& l, periph::Gpio* gpio, unsigned pin);
  // Disconnects the sources on one pin at `at` (see Board::stop_sources).
  void stop(periph::Gpio* gpio, unsigned pin, ns_t at, bool finish_pulse);
  void advance(ns_t now) override;
  ns_t next_event() const override;
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v) override;

 private:
  struct Source {
    periph::Gpio* gpio;
    unsigned pin;
    bool pulse;
    PulseSpec p;
    LevelSpec l;
    uint64_t index = 0;  // pulse number, or bounce step
    bool high_next = true;
    ns_t next = kNever;
    int next_level = 0;
  };
  void step(Source& s);
  periph::Context& ctx_;
  std::vector<Source> sources_;
};

}  // namespace vboard::world
