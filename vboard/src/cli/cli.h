// The vboard command line. Every option is declared once, in cli.cpp's options
// by family (CLI11), with the function that checks its value whole: numbers with
// their units and ranges, names against what the chip and the image have.
// A bad value ends the parse with one line naming the argument and exit 64.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "vboard/device.h"
#include "vboard/machine.h"
#include "outputs/vcd_timescale.h"
#include "world/values.h"  // limits:: and the value parsers shared with the scenario loader

namespace vboard {

// Exit status of vboard (also in vboard/README.md and --help).
namespace exit_code {
inline constexpr int kOk = 0;                 // ran, no finding
inline constexpr int kModelFault = 1;         // unmodelled register or address, or a model fault
inline constexpr int kHalted = 2;             // the image stopped in a halt loop
inline constexpr int kDiagnostics = 3;        // a rule finding whose kind was not allowed (--allow)
inline constexpr int kExpectationFailed = 4;  // a scenario expectation failed
inline constexpr int kEndedEarly = 5;         // the debugger killed the run before its end
inline constexpr int kUsage = 64;             // bad command line
inline constexpr int kBadImage = 65;          // the image is not a loadable ARM ELF for this chip
inline constexpr int kBadScenario = 65;       // a scenario file was rejected (nothing ran)
inline constexpr int kBadBoard = 65;          // no board could be chosen: a board file rejected, a board
                                              // named that no file has, a scenario's board: that disagrees,
                                              // an image two board files recognise (nothing ran)
inline constexpr int kNoImage = 66;           // the image file cannot be opened
inline constexpr int kNoMemory = 71;          // the system refused memory
inline constexpr int kWriteFailed = 74;       // a report or trace could not be written

// When a run ends with several of the statuses above, the one earliest in this
// list is the exit status: a lost report or memory first (nothing else can be
// trusted whole), then the board's own faults, then verdicts on the image.
inline constexpr int kPrecedence[] = {kNoMemory,          kWriteFailed, kModelFault,  kHalted,
                                      kExpectationFailed, kEndedEarly,  kDiagnostics, kOk};
// The one of a and b that comes first in kPrecedence.
int first_of(int a, int b);
}  // namespace exit_code

// Everything one vboard invocation asks for.
struct Invocation {
  std::string image;
  std::vector<std::string> figures;  // --figures FRONT REAR
  MachineOptions machine;
  std::string vcd;
  std::vector<std::string> vcd_pins;
  ns_t vcd_timescale = kVcdTimescale;  // --vcd-timescale: the VCD's time unit in ns
  bool json = false;
  bool stack_bound = false;  // --stack-bound: the image's static worst-case stack
  bool no_color = false;
  std::set<std::string> allow;         // diagnostic kinds that do not fail the run
  std::optional<uint16_t> gdb_port;    // --gdb PORT: serve a debugger instead of running straight through
  std::optional<uint16_t> gdb_on_fail;  // --gdb-on-fail PORT: a failed scenario waits for a debugger there
  bool run_for_given = false;          // --for was given (a scenario sets its own length)
  std::vector<std::string> scenarios;  // --scenario FILE: the steps drive the run
  std::string junit;                   // --junit FILE: JUnit XML report of the scenarios
  std::string svg;                     // --svg FILE: a timeline picture of the run
  std::string png;                     // --png FILE: the same picture as PNG
  std::string coverage;                // --coverage FILE: lcov tracefile of the lines that ran
  std::string board;                   // --board FILE|NAME ("": the scenarios' board:, else by the image)
  std::string boards;                  // --boards DIR: the folder of board files ("": the default)
  bool serve = false;                  // --serve: the live board in a browser
  std::string serve_address = "127.0.0.1";  // --serve-address ADDR
  bool serve_address_given = false;
  uint16_t serve_port = 8765;     // --serve-port PORT (0: a free one)
  std::optional<ns_t> serve_for;  // --serve-for TIME: wall time, then the server ends
};

struct ParseOutcome {
  bool proceed = false;  // false: exit with `exit` after printing `out` (stdout) and `error` (stderr)
  int exit = exit_code::kOk;
  std::string out;    // --help text
  std::string error;  // one line naming the bad argument
};

ParseOutcome parse_command_line(int argc, const char* const* argv, Invocation* inv);

// Values as the command line takes them; on failure nullopt and *error says why,
// naming the part of a composite value that is wrong ("period: '2ns' is below ...").
// The single values and their limits are those of vboard/values.h.
// "300ms", "1500us", "1.5s", "250ns", "0": a decimal number with a unit, whole
// nanoseconds, at most `max`.
std::optional<ns_t> parse_time(std::string_view text, std::string* error, ns_t max = limits::kMaxTime);
// "PA0=1500us@20ms[,period=20ms][,stop=200ms][,jitter=5us]"
std::optional<PulseSpec> parse_pulse(const std::string& text, std::string* error);
// "PB5=0@10ms[,bounce=5x200us]", "PB5=z@10ms" (also low, high, released)
std::optional<LevelSpec> parse_level(const std::string& text, std::string* error);
// "25@120ms" or "25": IRQ 0..101 enabled and pended at that time.
std::optional<IrqInjection> parse_irq(const std::string& text, std::string* error);
// "1", "1.25": cycles per instruction in thousandths.
std::optional<uint32_t> parse_cpi(const std::string& text, std::string* error);
// "1ns", "10ns", "100ns", "1us", ... "100s": a VCD timescale (1, 10 or 100 of
// a unit), in ns.
std::optional<ns_t> parse_vcd_timescale(const std::string& text, std::string* error);
// "" when no two sources drive one pin at once; otherwise which ones do.
// Sources that follow one another (the first has stopped before the next starts) are fine.
std::string check_sources(const std::vector<PulseSpec>& pulses, const std::vector<LevelSpec>& levels);

// Exit status of a finished run: model faults, then halts, then rule findings not allowed.
int run_exit_status(const RunResult& r, const std::set<std::string>& allowed);

int run_figures(const std::string& front_elf, const std::string& rear_elf);

}  // namespace vboard
