// The live session's record: each input the page gave, kept as the scenario
// steps it becomes (text, so that its memory is the saved file's bytes), up to
// what `--scenario` accepts. What the outside drives on each pin now, as the
// session applied it, is kept beside it for the pages.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vboard/machine.h"

namespace vboard::serve {

using Rgb = std::array<uint8_t, 3>;

// One thing the page asks of the world, or an output it marks for an expectation.
struct Input {
  enum class Kind { set, pulse, pulse_stop, mark_pin, mark_strip };
  Kind kind = Kind::set;
  std::string pin;
  int level = 0;  // set: 0, 1, -1 (released)
  unsigned bounces = 0;
  ns_t bounce_ns = 0;
  ns_t width = 0, period = 0;  // pulse
  bool operator==(const Input&) const = default;
};

// An input as it was applied: its virtual time and, for a mark, what the
// output showed then (the expectation the scenario file gets).
struct Applied {
  ns_t t = 0;
  Input input;
  int seen_level = 0;          // mark_pin
  std::vector<Rgb> seen_leds;  // mark_strip: the frame showing (never empty)
  size_t strip_length = 0;     // mark_strip: the LEDs of the strip (a frame may write fewer)
};

// The scenario step (one or more lines) an applied input becomes.
std::string step_lines(const Applied& a);

// What the outside drives on one pin: a level, or a pulse train.
struct Drive {
  std::optional<int> level;         // 0 or 1
  ns_t high_ns = 0, period_ns = 0;  // a pulse train when period_ns > 0
  bool operator==(const Drive&) const = default;
};
using Driven = std::map<std::string, Drive>;  // a pin absent is not driven

// The driven map after `in` (marks change nothing).
void drive(Driven& driven, const Input& in);

// What a save would write, against what `--scenario` accepts (the page's
// `recording`): warn from 80 % of either limit, full once recording stopped.
struct RecordingState {
  uint64_t inputs = 0;
  size_t bytes = 0, limit = 0;
  double seconds = 0, limit_seconds = 0;
  bool warn = false, full = false;
  std::string note;  // one line for the page
  bool operator==(const RecordingState&) const = default;
};

class Recording {
 public:
  // Room kept beyond the header written without a name: the name (at most
  // 200 bytes, escaped), the lines that close the file, the note of a full one.
  static constexpr size_t kRoom = 2048;
  explicit Recording(size_t header_bytes = 0);

  // Appends a step at virtual time t (a delay from the last step first);
  // false when it does not fit, and nothing is recorded from then on.
  bool add(ns_t t, const std::string& lines);
  // The instant a save reaches: now, or where the recording stopped.
  ns_t reach(ns_t now) const;
  // Whether recording stopped before `now` (by bytes, or past the longest time).
  bool full(ns_t now) const;
  // Why it stopped, in words ("" while it has not).
  std::string full_why(ns_t now) const;
  const std::string& steps() const { return steps_; }
  ns_t last() const { return last_; }
  uint64_t inputs() const { return inputs_; }
  RecordingState state(ns_t now) const;

 private:
  size_t header_ = 0, budget_ = 0;
  std::string steps_;
  ns_t last_ = 0;
  uint64_t inputs_ = 0;
  std::optional<ns_t> full_at_;  // by bytes: the time of the first input that did not fit
};

// "  - delay: 20ms\n"
std::string delay_line(ns_t d);
// Times as a scenario file takes them, exactly: "20ms", "1500us", "1234567ns".
std::string scenario_time(ns_t t);

}  // namespace vboard::serve
