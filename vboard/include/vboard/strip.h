// What a WS2815 LED strip on a data pin saw: frames with their colours, bit
// timing against the datasheet and against what real parts accept. The board
// that carries a strip puts this into the run result; the reports render it with
// the two functions below.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vboard/device.h"

namespace vboard {

struct StripViolation {
  ns_t t;
  std::string what;  // e.g. "T0H 287ns outside 220-380" or "low 6us inside frame"
  bool datasheet;    // true: against the WS2815 datasheet windows; false: against what real parts accept
};

struct StripFrame {
  ns_t t;                                      // latch time (start of the reset gap that ended the frame)
  std::vector<std::array<uint8_t, 3>> colors;  // r, g, b per LED, in strip order
  unsigned bits = 0;                           // bits received in this frame
};

// How many timing violations of one kind there were, and how many of them the
// report lists (lists are capped; the count is not).
struct StripViolationKind {
  std::string kind;  // "T1L", "low", ...
  uint64_t total = 0;
  uint64_t listed = 0;
  bool datasheet = false;
};

struct StripReport {
  std::vector<StripFrame> frames;                   // the first frames latched (capped)
  uint64_t frames_total = 0;                        // frames latched in all
  std::vector<StripViolation> violations;           // the first of each kind (capped)
  std::vector<StripViolationKind> violation_kinds;  // every kind seen, with its real count
  uint64_t violations_total = 0;
  // Bit timing summary in ns: min/max of high and low time for 0 and 1 bits.
  ns_t t0h_min = 0, t0h_max = 0, t1h_min = 0, t1h_max = 0;
  ns_t t0l_min = 0, t0l_max = 0, t1l_min = 0, t1l_max = 0;
  ns_t latch_min = 0;  // shortest reset gap seen
};

// A strip watched while a run goes on: the frames latched so far and how many
// timing violations there were (all of them: the report lists only the first
// of each kind).
class StripView {
 public:
  virtual ~StripView() = default;
  virtual size_t frame_count() const = 0;
  virtual const StripFrame& frame(size_t i) const = 0;
  // Against the datasheet windows (true) or against what real parts accept (false).
  virtual uint64_t violation_count(bool datasheet) const = 0;
};

// The value of the JSON member "strip".
nlohmann::ordered_json strip_json(const StripReport& s);
// The "Strip:" section of the text report; color: the LEDs as coloured blocks.
void strip_text(std::ostream& o, const StripReport& s, bool color);

}  // namespace vboard
