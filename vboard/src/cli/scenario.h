// Scenario files: a YAML list of steps (drive a line, start a pulse train, wait,
// expect a pin level, a steady pin, a blink, pulse widths or a strip colour,
// expect no violations over a window) that the virtual board plays against an
// image, with a verdict per expectation and a JUnit report for CI servers.
// load() checks the whole file before anything runs; run() drives a Machine
// step by step; to_junit() writes the verdicts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "machine/history.h"
#include "vboard/machine.h"

namespace vboard::scenario {

enum class StepKind {
  delay,
  set,
  pulse,
  expect_pin,
  wait_pin,
  expect_strip,
  expect_no_violations,
  inject_irq,
  expect_stable,
  expect_blink,
  expect_pulses
};
const char* step_name(StepKind k);  // "expect-pin", as written in the file

using Rgb = std::array<uint8_t, 3>;

// One colour expected on a set of LED positions (inclusive ranges; none: every LED).
struct StripCheck {
  std::vector<std::pair<unsigned, unsigned>> leds;
  Rgb color{};
};

// What expect-no-violations looks at. strip: data-line timing that real parts
// would misread; strip-datasheet: timing outside the WS2815 datasheet windows
// (which real parts still read right); unmodelled: register accesses no model
// implements; fault: model and core faults; halt: the image stopped; finding:
// the models' rule findings but the kinds the run allows (--allow); any: every
// one of these. A step may name several, and kinds of finding by name (e.g.
// pin_contention), which it checks even when --allow allows them.
enum class ViolationKind { any, strip, strip_datasheet, unmodelled, fault, halt, finding };
const char* violation_name(ViolationKind k);

// Where the window of an expect-no-violations step opens: the start of the run
// (the default), a virtual time, or the start of a labelled step before it.
struct Since {
  enum class From { run_start, time, step } from = From::run_start;
  ns_t t = 0;        // From::time
  size_t step = 0;   // From::step: index into Scenario::steps
  std::string text;  // as written, for messages ("15 ms", "repaint")
};

// The steps, one struct per kind, each with what only its kind needs.
struct Delay {
  ns_t duration = 0;
};
struct Set {
  std::string pin;
  int level = 0;  // 0, 1 or -1 (released)
  unsigned bounces = 0;
  ns_t bounce_ns = 0;
};
struct Pulse {
  std::string pin;
  bool stop = false;  // disconnect the train instead of starting one
  ns_t width = 0, period = 0, jitter = 0;
};
struct ExpectPin {
  std::string pin;
  int level = 0;
};
struct WaitPin {
  std::string pin;
  int level = 0;
  ns_t timeout = 0;
};
// All checks hold on one frame, latched by `within` from the step (0: the frame showing now).
struct ExpectStrip {
  std::vector<StripCheck> checks;
  ns_t within = 0;
};
struct ExpectNoViolations {
  std::set<ViolationKind> violations{ViolationKind::any};
  std::set<std::string> findings;  // kinds of rule finding named one by one
  Since since;                     // where the window opens
};
struct InjectIrq {
  unsigned irq = 0;
};
// The pin holds `level` for `hold`.
struct ExpectStable {
  std::string pin;
  int level = 0;
  ns_t hold = 0;
};
// `period` and `high` each within `tolerance`, for `count` periods from the
// first rising edge.
struct ExpectBlink {
  std::string pin;
  ns_t period = 0, high = 0, tolerance = 0;
  unsigned count = 0;
  // Waiting for the first rising edge, then `count` periods, each at its longest.
  ns_t longest() const { return (period + tolerance) * (count + 1); }
};
// `count` pulses at `level` from the step on, each `width_min` to `width_max`
// long, all ended within `within`.
struct ExpectPulses {
  std::string pin;
  int level = 1;
  ns_t width_min = 0, width_max = 0;
  unsigned count = 0;
  ns_t within = 0;
};

// In the order of StepKind: the index of the alternative is the kind.
using Action = std::variant<Delay, Set, Pulse, ExpectPin, WaitPin, ExpectStrip, ExpectNoViolations, InjectIrq,
                            ExpectStable, ExpectBlink, ExpectPulses>;

struct Step {
  unsigned line = 0;  // 1-based line of the step in its file
  std::string label;  // optional name of the step (since: LABEL)
  Action what;
  StepKind kind() const { return static_cast<StepKind>(what.index()); }
  // The most virtual time the step can take: a delay, a wait to its timeout, an
  // expectation to the end of its window; 0 for the steps that act at once.
  ns_t longest() const;
};

struct Scenario {
  std::string file;  // as given, for file:line in messages
  std::string name;
  std::string board;        // the board it is for, a board file's name (cli/board_choice.h); "" : any
  unsigned board_line = 0;  // the line of `board:`
  std::vector<Step> steps;
};

// Reads and checks a scenario. On a bad file: nullopt and *error = "FILE:LINE: what".
std::optional<Scenario> load(const std::string& path, std::string* error);
std::optional<Scenario> parse(const std::string& text, const std::string& file, std::string* error);

struct Failure {
  size_t step = 0;    // index into Scenario::steps
  std::string where;  // "FILE:LINE"
  std::string kind;   // step name
  ns_t t = 0;         // virtual time of the verdict
  std::string expected, seen;
  std::string message() const;  // one line: where, step, time, expected, seen
};

struct Outcome {
  std::string file, name;
  size_t steps = 0, steps_run = 0;
  ns_t end = 0;  // virtual time when the last step finished
  std::vector<Failure> failures;
  bool passed() const { return failures.empty(); }
};

// Plays the steps in order against a machine that has not run yet (or has run
// only up to where the scenario should start). Sources in MachineOptions stay.
// `allowed`: kinds of rule finding that do not fail the run (--allow).
// With a `history` (of m) the inputs the steps give are logged in it, and the
// play ends after the first step that fails (--gdb-on-fail debugs it there).
Outcome run(Machine& m, const Scenario& s, const std::set<std::string>& allowed = {},
            History* history = nullptr);

// JUnit XML: one test case per scenario, one failure element per failed step;
// the time attributes are virtual seconds.
std::string to_junit(const std::vector<Outcome>& outcomes, const std::string& image);
bool write_junit(const std::vector<Outcome>& outcomes, const std::string& image, const std::string& path,
                 std::string* error);

// Colour names the files and messages use: dark, red, green, blue, yellow,
// magenta, cyan, white; anything else as #rrggbb.
std::string color_name(const Rgb& c);

}  // namespace vboard::scenario
