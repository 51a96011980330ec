// The virtual board's machine: a Cortex-M4 core on Unicorn with the core
// peripherals the host has to model (NVIC, SCB, SysTick, FPU registers, DWT),
// deterministic virtual time derived from the clock tree, and the Board's
// peripheral models mapped into the address space. One Machine runs one image
// once; tests build one per scenario.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vboard/coverage.h"
#include "vboard/device.h"
#include "vboard/image.h"
#include "vboard/strip.h"

namespace vboard {

inline constexpr ns_t kUs = 1000;
inline constexpr ns_t kMs = 1000 * kUs;
inline constexpr ns_t kSec = 1000 * kMs;

struct IrqInjection {
  unsigned irq = 0;  // enabled and pended at `at`, as if the image had done it
  ns_t at = 0;
};

struct MachineOptions {
  ns_t run_for = 300 * kMs;
  // Cycles per instruction, in thousandths (1000 = 1.0 cycle per instruction).
  uint32_t cpi_milli = 1000;
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
  std::optional<Halt> halt;
  std::vector<Unmodelled> unmodelled;   // the first 1000
  std::vector<std::string> faults;      // model faults and core faults, in words (the first 1000)
  RunTally tally;                       // how many of each there were in all
  std::vector<std::string> notes;       // observations that do not fail the run
  std::vector<Diagnostic> diagnostics;  // the models' rule findings (exit status 3 unless allowed)
  std::map<std::string, std::vector<PinChange>> pins;  // first entries of each history (capped)
  std::map<std::string, uint64_t> pins_total;          // entries each full history has
  std::map<std::string, PinState> pin_state;           // exact state now of every pin in `pins`
  std::map<std::string, std::string> pin_roles;        // pin -> the role the board gives it (shown in full)
  std::optional<StripReport> strip;                    // when the board carries a LED strip
  std::map<std::string, std::map<std::string, uint32_t>> registers;
  std::map<unsigned, ExceptionStat> exceptions;
  std::vector<ExceptionEntry> exception_trace;  // first 100000 entries
  std::vector<FunctionStat> functions;
  std::map<std::string, ns_t> first_write_ns;  // per device name
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

using BoardFactory = std::function<std::unique_ptr<Board>(Bus&)>;

// Memory the system refused, naming what it was for (the command line turns it
// into one line and its own exit status).
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

class Machine final : public Bus {
 public:
  Machine(const Image& image, MachineOptions options, const BoardFactory& factory);
  ~Machine() override;
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Runs until options.run_for (or a halt when stop_on_halt). Can be called
  // once; use run_until for runs in stages.
  RunResult run();
  // Runs until virtual time t; false once the core has halted.
  bool run_until(ns_t t);
  // Adds an injection (as MachineOptions::inject_irqs) while a run goes on;
  // a time already past is taken as now.
  void inject_irq(const IrqInjection& injection);
  RunResult result() const;
  const RunTally& tally() const;

  Board& board() { return *board_; }
  const Image& image() const { return *image_; }
  // The first 100,000 MMIO writes (a note in the result says when there were more).
  const std::vector<MmioWrite>& mmio_writes() const;
  const std::vector<Device*>& devices() const { return devices_; }
  // Guest memory (flash, alias, SRAM) for checks from tests.
  bool peek(uint32_t addr, void* dst, size_t n) const;
  uint32_t peek32(uint32_t addr) const;
  uint64_t instructions() const;
  const std::optional<Halt>& halt() const;
  std::map<std::string, std::map<std::string, uint32_t>> core_registers() const;
  // Every translated block that ran so far and how often (coverage, vboard/coverage.h).
  std::vector<BlockRun> block_runs() const;

  // Debugger: runs like run_until(t_end) but stops at a breakpoint, a
  // watchpoint hit, after one instruction (step), or when `interrupted`
  // returns true (it is asked between slices of the run).
  DebugStop debug_run(ns_t t_end, bool step, const std::function<bool()>& interrupted);
  bool set_breakpoint(uint32_t addr, bool on);
  bool set_watchpoint(uint32_t addr, uint32_t len, WatchKind kind, bool on);
  void clear_debug_points();
  // Core registers by Unicorn register id (UC_ARM_REG_*), 64 bits for D registers.
  bool cpu_reg(int uc_reg, uint64_t& value) const;
  bool set_cpu_reg(int uc_reg, uint64_t value);
  // Debugger memory access: flash and RAM as bytes, peripherals and core
  // registers as aligned 1/2/4-byte accesses with the same effects as on the chip.
  // Flash takes writes too (a debugger's `load`), which the next reset keeps.
  bool debug_read(uint32_t addr, void* dst, size_t n);
  bool debug_write(uint32_t addr, const void* src, size_t n);
  bool flash_written() const { return flash_written_; }
  // Back to power-on: a new board, world and core from the same options, the
  // symbols of `image` (which has to outlive the machine), and the flash the
  // debugger wrote, if it wrote any. Whoever holds board() has to let go first.
  void reset(const Image& image);

  // Bus
  ns_t now() const override;
  void set_irq_line(unsigned irq, bool high) override;
  bool read_mem(uint32_t addr, void* dst, size_t n) override;
  bool write_mem(uint32_t addr, const void* src, size_t n) override;
  void unmodelled(uint32_t addr, bool is_write, unsigned size, uint32_t value) override;
  void fault(const std::string& what) override;
  bool option(const std::string& name) const override;

  struct Impl;

 private:
  const Image* image_;
  MachineOptions opt_;
  BoardFactory factory_;
  bool flash_written_ = false;
  std::unique_ptr<Board> board_;
  std::vector<Device*> devices_;
  std::unique_ptr<Impl> d_;

  void init();
};

// "300ms", "1500us", "1.5s", "250ns", "0" as the command line takes them
// (parse_time in vboard/cli.h, which also says why a text is refused).
std::optional<ns_t> parse_duration(const std::string& text);
std::string format_ns(ns_t t);  // "12.345 ms" style

}  // namespace vboard
