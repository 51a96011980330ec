// What the page may ask the server, checked whole (parse_message, fuzzed by
// serve_fuzz_test): one command per message, each with what its kind needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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

}  // namespace vboard::serve
