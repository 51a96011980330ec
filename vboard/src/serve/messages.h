// The messages between the page and the server: what the page may ask
// (parse_message, fuzzed by serve_fuzz_test), and the updates the server sends
// (Update, merged per client while a tab cannot take them: the latest state
// wins, memory stays bounded).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "serve/live.h"

namespace vboard::serve {

inline constexpr size_t kMaxMessageBytes = 4096;  // a message from the page
inline constexpr double kMinRate = 0.01, kMaxRate = 1000;

// What the page asks for, checked whole: one of these, each with what its
// kind needs.
namespace command {
struct Apply {  // an input, applied at the next slice's virtual time
  Input input;
};
struct Pace {
  double rate = 1;    // virtual seconds per wall second
  bool fast = false;  // as fast as possible (rate unused)
};
struct Pause {};
struct Run {};
struct Step {  // run this much virtual time, then pause
  ns_t span = 0;
};
struct Reset {};
struct Save {        // the session as a scenario
  std::string name;  // "" for the default name
};
struct Trace {  // the pins the logic trace shows
  std::vector<std::string> pins;
};
struct Ping {};
struct Regs {          // the registers panel: a peripheral (and one register) to follow
  std::string periph;  // "" closes the panel: nothing is read for this page
  std::string reg;     // "" for all of the peripheral's registers
};
struct Window {  // the analyser: the kept edges of [from, to] of these pins, and the strip frames there
  ns_t from = 0, to = 0;
  std::vector<std::string> pins;
  bool vcd = false;  // as a VCD file instead
};
struct Drop {  // the record's step `index` (0-based) is dropped
  size_t index = 0;
};
struct Expect {  // after the record's step `index`: an expectation that `pin` is at `level`
  size_t index = 0;
  std::string pin;
  int level = 0;
};
// A scenario loaded into the page, in parts of at most kMaxMessageBytes: the
// last part plays it from power-on, each step at its time, up to `end`.
struct Script {
  bool first = false, last = false;
  ns_t end = 0;
  std::vector<std::pair<ns_t, Input>> steps;  // a mark_pin's expected level in Input::level
};
struct Watch {  // the variables the firmware panel follows: [*]symbol[+offset][:bytes]
  std::vector<std::string> exprs;
};
struct Goto {  // the timeline: the board at an instant already reached (paused there)
  ns_t at = 0;
};
}  // namespace command
using Command =
    std::variant<command::Apply, command::Pace, command::Pause, command::Run, command::Step, command::Reset,
                 command::Save, command::Trace, command::Ping, command::Regs, command::Window, command::Drop,
                 command::Expect, command::Script, command::Watch, command::Goto>;

struct Parsed {
  std::optional<Command> command;
  std::string error;  // why the message was refused ("" when it was not)
};

// One message from the page: a JSON object {"seq": N, "op": ...}. `last_seq`
// is the sequence number of the last message taken from this client (updated
// when this one is taken); a message at or below it is out of order. Never
// throws; every refusal says why in one line.
Parsed parse_message(std::string_view text, int64_t* last_seq);

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
