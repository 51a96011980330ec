// What a WS2815 LED strip on a data pin saw: frames with their colours, bit
// timing against the datasheet and against what real parts accept. A strip is a
// part of the board (vboard/part.h) of kind "ws2815-strip": its record goes into
// the run result, and the outputs render it by that kind (src/strip_report.cpp,
// src/strip_svg.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vboard/device.h"
#include "vboard/part.h"
#include "vboard/run_result.h"

namespace vboard {

struct StripViolation {
  ns_t t;
  std::string what;  // e.g. "T0H 287 ns outside 220-380 ns" or "low 6.00 us inside a frame, ..."
  bool datasheet;    // true: against the WS2815 datasheet windows; false: against what real parts accept
};

// The colours of a frame, r, g, b per LED in strip order, held once for all
// the frames that carry them: a firmware repaints the same colours hundreds of
// times a second, and a run keeps up to 100 000 frames (a strip of 60 LEDs
// would hold 24 MB of copies). Read-only once made.
class LedColors {
 public:
  using Rgb = std::array<uint8_t, 3>;
  using value_type = Rgb;
  using const_iterator = std::vector<Rgb>::const_iterator;
  using iterator = const_iterator;

  LedColors() = default;
  // Implicit: a list of colours is a frame's colours.
  // cppcheck-suppress noExplicitConstructor
  LedColors(std::vector<Rgb> c)  // NOLINT(google-explicit-constructor)
      : p_(std::make_shared<const std::vector<Rgb>>(std::move(c))) {}

  const std::vector<Rgb>& list() const { return p_ ? *p_ : empty_list(); }
  size_t size() const { return list().size(); }
  bool empty() const { return list().empty(); }
  const Rgb& operator[](size_t i) const { return list()[i]; }
  const_iterator begin() const { return list().begin(); }
  const_iterator end() const { return list().end(); }
  friend bool operator==(const LedColors& a, const LedColors& b) {
    return a.p_ == b.p_ || a.list() == b.list();
  }

 private:
  static const std::vector<Rgb>& empty_list() {
    static const std::vector<Rgb> none;
    return none;
  }
  std::shared_ptr<const std::vector<Rgb>> p_;
};

struct StripFrame {
  ns_t t;             // latch time (start of the reset gap that ended the frame)
  LedColors colors;   // r, g, b per LED, in strip order
  unsigned bits = 0;  // bits received in this frame
};

// Frames in a row with the same content (bits and colours): how a strip's
// picture over time is told exactly in little memory, since a firmware repaints
// the same colours hundreds of times a second.
struct StripRun {
  uint64_t first_frame = 0;  // 1-based number of its first frame in the run
  uint64_t frames = 0;
  ns_t first_t = 0, last_t = 0;  // latch times of its first and last frame
  unsigned bits = 0;
  LedColors colors;
};

// How many timing violations of one kind there were, when the first and the
// last happened (exact), and how many of them the report lists (capped).
struct StripViolationKind {
  std::string kind;  // "T1L", "low", ...
  uint64_t total = 0;
  uint64_t listed = 0;
  bool datasheet = false;
  ns_t first = 0, last = 0;
  std::string last_what;  // the last one in words: "T1L 460 ns outside 220-420 ns"
};

// Bit timing a WS2815 strip judges its data line by, in ns: the datasheet
// windows (violations of kind strip-datasheet) and what real parts read right.
struct StripTiming {
  struct Window {
    ns_t min, max;
  };
  Window t0h{220, 380}, t1h{580, 1600}, t0l{580, 1600}, t1l{220, 420};
  ns_t latch = 280'000;     // a low line this long ends the frame
  ns_t zero_below = 500;    // a real part reads a shorter high time as 0,
  ns_t one_above = 550;     // a longer one as 1 (between: uncertain)
  ns_t longest_low = 5000;  // a longer low time inside a frame is misread
};

// The kind a board file gives a strip.
inline constexpr const char* kStripKind = "ws2815-strip";

struct StripReport : PartRecord {
  using PartRecord::PartRecord;
  std::vector<StripFrame> frames;                   // the first frames latched (capped)
  uint64_t frames_total = 0;                        // frames latched in all
  std::vector<StripRun> runs;                       // the first runs of equal frames (capped)
  uint64_t runs_total = 0;                          // runs in all
  std::optional<StripRun> current;                  // the run the last latched frame belongs to (exact)
  std::vector<StripViolation> violations;           // the first of each kind (capped)
  std::vector<StripViolationKind> violation_kinds;  // every kind seen, with its real count
  uint64_t violations_total = 0;
  // Bit timing summary in ns: min/max of high and low time for 0 and 1 bits.
  ns_t t0h_min = 0, t0h_max = 0, t1h_min = 0, t1h_max = 0;
  ns_t t0l_min = 0, t0l_max = 0, t1l_min = 0, t1l_max = 0;
  ns_t latch_min = 0;  // shortest reset gap seen
  StripTiming timing;  // the windows the strip judged its line by
  unsigned leds = 0;   // the strip's length on its board
};

// A strip watched while a run goes on, exact however long the run is: frames
// latched so far, the run of equal frames showing now, and the timing
// violations of each kind (the report lists only the first of each kind).
class StripView : public PartView {
 public:
  // The strip's length on its board: LEDs past a shorter frame keep their colours.
  virtual unsigned leds() const = 0;
  virtual uint64_t frames_total() const = 0;
  // The frames in a row equal to the last latched one; nullptr before the first.
  virtual const StripRun* current() const = 0;
  // Against the datasheet windows (true) or against what real parts accept (false).
  virtual uint64_t violation_count(bool datasheet) const = 0;
  // Every kind seen so far with its exact count, first and last time.
  virtual std::vector<StripViolationKind> violation_kinds() const = 0;
  // Calls `f` with every frame as it latches, from now on (an empty f: stop).
  virtual void watch_frames(std::function<void(const StripFrame&)> f) = 0;
};

// The strips among the board's parts, in the order of its description.
std::vector<StripView*> strips(Board& board);
// The record of the run's first strip; nullptr when the board carried none.
const StripReport* strip_record(const RunResult& r);
// Adds an empty strip record (name "strip", pin PA7 unless given) to `r` (tests build results with it).
StripReport& add_strip_record(RunResult& r, const std::string& pin = "PA7");

}  // namespace vboard
