// The messages the server sends the page: the updates (Update, merged per
// client while a tab cannot take them: the latest state wins, memory stays
// bounded), the hello, answers and errors. What the page may ask is in
// requests.h.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "serve/live.h"
#include "serve/requests.h"

namespace vboard::serve {

// State sent to the page: everything that changed since the last update a
// client took. Updates merge (merge_update): the latest level of a pin, the
// latest strip frame, the latest findings win; trace edges are appended up to
// a bound, beyond which the span is marked busy.
struct TraceEdges {
  std::vector<std::pair<ns_t, int>> edges;
  uint64_t dropped = 0;
  ns_t busy_from = 0, busy_to = 0;
};

// The registers panel's text: `monitor regs PERIPH [REG]` of the GDB server.
struct RegsText {
  std::string periph, reg, text;
  bool operator==(const RegsText&) const = default;
};

// The record as the page lists it: its last rows (time, the step's lines) and how many there are.
struct StepList {
  size_t total = 0, first = 0;  // rows[0] is step `first`
  std::vector<std::pair<ns_t, std::string>> rows;
  static constexpr size_t kMostRows = 200;
};
StepList step_list(const LiveBoard& live);

struct Update {
  ns_t vt = 0;        // virtual time
  double wall_s = 0;  // wall time since the server started
  std::string state;  // running, paused, halted
  double rate = 1;    // pace
  bool fast = false;
  bool lagging = false;             // the machine cannot keep the pace asked (steady: PaceWatch)
  double achieved = 0;              // the pace reached over about the last second
  uint64_t inputs = 0;              // inputs and marks recorded since power-on
  uint64_t generation = 0;          // resets so far (a new power-on)
  std::map<std::string, int> pins;  // pins that changed: name -> level
  std::optional<std::vector<Rgb>> strip;
  uint64_t frames = 0;
  std::optional<Findings> findings;
  std::map<std::string, TraceEdges> trace;
  std::optional<Driven> driven;             // the whole map, when it changed
  std::optional<RecordingState> recording;  // when it changed
  std::optional<RegsText> regs;             // this page's registers panel, when its text changed
  std::optional<StepList> steps;            // the record's list, when it changed
  std::optional<std::string> where;         // the function the core is in, when it changed
  ns_t start = 0, reached = 0;              // the timeline: its first and its latest instant
  std::optional<ns_t> cut;                  // what was kept after this instant was dropped
  bool moved = false;                       // the board went to another instant (a goto)
  std::optional<std::vector<std::pair<std::string, std::string>>> watches;  // expr -> value, when changed
};

inline constexpr size_t kMaxTraceEdgesHeld = 1024;  // per pin, in a client's merged update
void merge_update(Update& into, const Update& from);
std::string update_json(const Update& u);

// The first message a client gets: the board, every pin and the state now,
// and the chip's peripherals with their registers, for the registers panel.
std::string hello_json(const LiveBoard& live, const std::string& image_name, const Update& now,
                       const std::vector<std::string>& trace_pins);
// {"t":"error","text":...}, {"t":"scenario","name":...,"yaml":...}, {"t":"ack",...}
std::string error_json(const std::string& text);
std::string scenario_json(const std::string& name, const std::string& yaml);
std::string ack_json(const std::string& what);
// The analyser's window:
// {"t":"window","from","to","pins":{PIN:{"level","e","more","kept_from"}},"frames":[[start,latch,hex]]}
inline constexpr size_t kMaxWindowEdges = 4000;  // per pin and reply: more than a trace has pixels
inline constexpr size_t kMaxWindowFrames = 2000;
std::string window_json(const LiveBoard& live, const command::Window& w);
// {"t":"vcd","name":...,"text":...}
std::string vcd_json(const std::string& name, const std::string& text);

}  // namespace vboard::serve
