// The response times a board promises (its board file's `margins: promises:`),
// measured from the pads' exact changes and the strip's latched frames as they
// happen, so that no capped list limits them. A sample starts at an edge of a
// `from` pin (the latest one before the response) and ends when every `to`
// pin has switched since, or when the strip has latched a whole frame of one
// colour other than the one it showed at the first edge; an edge that
// switches nothing gives no sample, nor does an edge before the strip showed
// any whole one-colour frame (the firmware setting its pull-ups at start).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "vboard/device.h"
#include "vboard/run_result.h"
#include "world/board.h"
#include "world/strip.h"

namespace vboard::world {

class Promises {
 public:
  // strip_leds and latch: the board's strip, for promises that end on it.
  Promises(const std::vector<BoardPromise>& list, unsigned strip_leds, ns_t latch);
  // Every pin some promise looks at.
  std::vector<std::string> pins() const;
  void pin_changed(const std::string& pin, int level, ns_t t);
  void frame_latched(const StripFrame& f);
  void report(RunResult& r) const;
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  using Rgb = std::array<uint8_t, 3>;
  struct Watch {
    bool armed = false;
    ns_t t0 = 0;
    std::vector<bool> switched;        // per `to` pin, since t0
    std::optional<Rgb> before;         // the strip's colour at the first edge
    std::map<ns_t, uint64_t> samples;  // response time -> how often
  };
  std::vector<BoardPromise> list_;
  std::vector<Watch> watch_;
  std::optional<Rgb> shown_;  // the colour of the last whole one-colour frame
  unsigned leds_;
  ns_t latch_;
};

}  // namespace vboard::world
