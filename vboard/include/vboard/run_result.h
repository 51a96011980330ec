// What a run is asked for and what it gives back: the options of a run, the
// result it ends with (halts, unmodelled accesses, pins, exceptions, profiles),
// the debugger's stops, and virtual time's units. The machine core (src/core)
// fills these in; vboard/machine.h and everything above it read them. No
// machine, no board and no output format here.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vboard/device.h"
#include "vboard/part.h"

namespace vboard {

inline constexpr ns_t kUs = 1000;
inline constexpr ns_t kMs = 1000 * kUs;
inline constexpr ns_t kSec = 1000 * kMs;

struct IrqInjection {
  unsigned irq = 0;  // enabled and pended at `at`, as if the image had done it
  ns_t at = 0;
};

// A translated block of code and how often it ran (what coverage counts).
struct BlockRun {
  uint32_t addr = 0;
  uint32_t size = 0;  // bytes
  uint64_t runs = 0;
};

// How instructions take time: flat, cpi_milli/1000 cycles each; m4, the
// Cortex-M4's cycle counts per instruction and the flash's wait states.
enum class Timing : uint8_t { flat, m4 };

struct MachineOptions {
  ns_t run_for = 300 * kMs;
  // Cycles per instruction, in thousandths (1000 = 1.0 cycle per instruction).
  uint32_t cpi_milli = 1000;
  Timing timing = Timing::flat;
  std::vector<PulseSpec> pulses;
  std::vector<LevelSpec> levels;
  std::set<std::string> faults;  // Bus::option switches, e.g. "pll_never_locks"
  std::vector<IrqInjection> inject_irqs;
  std::vector<std::string> profile_functions;  // symbol names to count instructions per call
  bool stop_on_halt = true;
  bool idle_skip = true;
  // Flash contents as a debugger left them (its `load`); empty: the image's segments.
  std::vector<uint8_t> flash;
  // Deliberately broken variants, used to show that the tests catch them.
  bool break_no_fp_frame = false;       // never stack the FP context
  bool break_no_flag_restore = false;   // skip the handler-mode flag rebuild
  bool break_tail_chain_order = false;  // equal priorities taken highest number first
};

struct Halt {
  std::string reason;  // "error_handler", "default_handler", "hard_fault", "exit", "lockup", ...
  std::string symbol;  // function the core is stuck in
  bool primask = false;
  unsigned exception = 0;  // IPSR when it stopped
  uint32_t pc = 0;
  ns_t t = 0;
};

struct Unmodelled {
  uint32_t addr = 0;
  bool is_write = false;
  unsigned size = 0;
  uint32_t value = 0;
  uint32_t pc = 0;     // start of the translated block that made the access
  std::string where;   // symbol+offset of pc
  std::string device;  // device whose window holds addr, or "" when none
  ns_t t = 0;
};

struct MmioWrite {
  ns_t t = 0;
  uint64_t seq = 0;
  uint32_t addr = 0;
  uint32_t value = 0;
  uint8_t size = 4;
  int device = -1;  // index into devices(), -1 core or none
};

struct ExceptionStat {
  uint64_t count = 0;
  uint64_t instr_total = 0;  // exclusive of nested exceptions
  uint64_t instr_min = 0, instr_max = 0;
};

struct FunctionStat {
  std::string name;
  std::vector<uint64_t> samples;  // instructions per completed call, nested exceptions excluded
  std::vector<uint64_t> returns;  // r1:r0 at each return, in return order
  std::vector<ns_t> return_ns;    // virtual time of each return
  std::vector<bool> in_handler;   // whether each call was made from an exception handler
};

struct ExceptionEntry {
  ns_t t = 0;
  unsigned exc = 0;
  bool tail_chained = false;               // entered straight from another handler's return
  std::array<uint32_t, 4> irqs_pending{};  // IRQs still pending when it was entered
};

// How close the firmware ran to its limits, measured over the whole run
// (exact, not from the capped lists).
struct StackReach {
  uint32_t lowest_sp = 0;  // the lowest SP the context reached
  bool nested = false;     // it had pre-empted another handler then
  ns_t t = 0;              // when it first got there
};
struct HandlerTiming {
  uint64_t runs = 0;
  uint64_t longest_cycles = 0;  // entry to return, minus the handlers that pre-empted it
  ns_t longest_ns = 0;          // the same run's virtual time
  ns_t longest_wait_ns = 0;     // pended to entered
};
// A promise the board makes about a response time (its board file's `margins:`).
struct PromiseTiming {
  std::string name, from, to;  // what starts and what ends a sample, in words
  uint64_t samples = 0;
  ns_t min = 0, median = 0, max = 0;
};
struct Margins {
  uint32_t initial_sp = 0;
  std::map<unsigned, StackReach> stack;  // per context: 0 the thread, else the exception number
  uint32_t stack_reserve = 0;            // the linker's _Min_Stack_Size, 0 when the image has none
  // The heap: from the end of .bss up to the stack reservation; its break as
  // the board file names it (0: not known).
  uint32_t heap_start = 0, heap_limit = 0, heap_break = 0, heap_break_high = 0;
  std::string heap_break_symbol;
  std::map<unsigned, HandlerTiming> handlers;
  ns_t busy_ns = 0;  // virtual time not spent asleep in WFI or in a skipped idle loop
  std::vector<PromiseTiming> promises;
  // A bound on each context's stack from the image's code (thread 0, else the
  // exception number), when one was computed; empty: none.
  std::map<unsigned, uint32_t> static_bound;
};

// Exact counts of what fails a run (the lists in RunResult keep the first ones),
// cheap to read while a run goes on.
struct RunTally {
  uint64_t unmodelled = 0, faults = 0;
  std::optional<Unmodelled> last_unmodelled;
  std::string last_fault;
};

struct RunResult {
  uint64_t instructions = 0;
  ns_t virtual_ns = 0;
  ns_t idle_ns = 0;  // virtual time skipped while the core was idle or polling
  double wall_s = 0;
  uint32_t cpi_milli = 1000;
  Timing timing = Timing::flat;
  uint64_t cycles = 0;  // core cycles run (instructions, exception entries and returns)
  std::optional<Halt> halt;
  std::vector<Unmodelled> unmodelled;   // the first 1000
  std::vector<std::string> faults;      // model faults and core faults, in words (the first 1000)
  RunTally tally;                       // how many of each there were in all
  std::vector<std::string> notes;       // observations that do not fail the run
  std::vector<Diagnostic> diagnostics;  // the models' rule findings (exit status 3 unless allowed)
  std::map<std::string, std::vector<PinChange>> pins;    // first entries of each history (capped)
  std::map<std::string, uint64_t> pins_total;            // entries each full history has
  std::map<std::string, PinState> pin_state;             // exact state now of every pin in `pins`
  std::map<std::string, std::string> pin_roles;          // pin -> the role the board gives it (shown in full)
  std::vector<std::shared_ptr<const PartRecord>> parts;  // what each part of the board saw
  std::map<std::string, std::map<std::string, uint32_t>> registers;
  std::map<unsigned, ExceptionStat> exceptions;
  std::vector<ExceptionEntry> exception_trace;  // first 100000 entries
  std::vector<FunctionStat> functions;
  std::map<std::string, ns_t> first_write_ns;  // per device name
  Margins margins;
  bool ok() const { return unmodelled.empty() && faults.empty(); }
  // The command's exit status: 1 unmodelled access or model fault, 2 halted, 0 ran.
  int exit_status() const { return !ok() ? 1 : halt ? 2 : 0; }
};

// Debugger support (the GDB server in src/gdb). While the debugger holds the
// core nothing runs: virtual time, the devices and the world stand still.
enum class WatchKind : uint8_t { write = 1, read = 2, access = 3 };

struct DebugStop {
  enum class Kind : uint8_t {
    breakpoint,   // about to execute the instruction at addr
    step,         // one instruction done
    watchpoint,   // the instruction before the PC accessed addr (`watch` says how)
    interrupted,  // the debugger asked for a stop
    halted,       // the image stopped in a halt loop (see halt())
    end           // the end of the run was reached
  };
  Kind kind = Kind::end;
  uint32_t addr = 0;
  WatchKind watch = WatchKind::write;
};

std::string format_ns(ns_t t);  // "12.345 ms" style

}  // namespace vboard
