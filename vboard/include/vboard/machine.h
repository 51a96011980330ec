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

#include "vboard/device.h"
#include "vboard/image.h"
#include "vboard/run_result.h"
#include "vboard/state.h"

namespace vboard {

// Memory the system refused, naming what it was for (the command line turns it
// into one line and its own exit status).
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

// The core's registers as a debugger names them: r13 is SP, r14 LR, r15 PC;
// s0-s31 are 32 bits, d0-d15 64 bits (d<n> holds s<2n> and s<2n+1>).
// clang-format off
enum class CoreReg {
  r0, r1, r2, r3, r4, r5, r6, r7, r8, r9, r10, r11, r12, sp, lr, pc,
  xpsr, msp, psp, primask, basepri, faultmask, control,
  s0, s1, s2, s3, s4, s5, s6, s7, s8, s9, s10, s11, s12, s13, s14, s15,
  s16, s17, s18, s19, s20, s21, s22, s23, s24, s25, s26, s27, s28, s29, s30, s31,
  d0, d1, d2, d3, d4, d5, d6, d7, d8, d9, d10, d11, d12, d13, d14, d15,
  fpscr,
};
// clang-format on

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
  // The chip the board carries: its memory map, NVIC lines and reset clock.
  const ChipFacts& chip_facts() const { return board_->chip_facts(); }
  // The first 100,000 MMIO writes (a note in the result says when there were more).
  const std::vector<MmioWrite>& mmio_writes() const;
  const std::vector<Device*>& devices() const { return devices_; }
  // Guest memory (flash, alias, SRAM) for checks from tests.
  bool peek(uint32_t addr, void* dst, size_t n) const;
  uint32_t peek32(uint32_t addr) const;
  uint64_t instructions() const;
  const std::optional<Halt>& halt() const;
  std::map<std::string, std::map<std::string, uint32_t>> core_registers() const;
  // Every translated block that ran so far and how often (what coverage counts).
  std::vector<BlockRun> block_runs() const;
  // Called by every Machine of the process as it ends, with its image and
  // block runs (the coverage writer, outputs/coverage.h); thread-safe.
  using EndObserver = std::function<void(const Image&, const std::vector<BlockRun>&)>;
  static void observe_ends(EndObserver observer);

  // Debugger: runs like run_until(t_end) but stops at a breakpoint, a
  // watchpoint hit, after one instruction (step), or when `interrupted`
  // returns true (it is asked between slices of the run).
  DebugStop debug_run(ns_t t_end, bool step, const std::function<bool()>& interrupted);
  bool set_breakpoint(uint32_t addr, bool on);
  bool set_watchpoint(uint32_t addr, uint32_t len, WatchKind kind, bool on);
  void clear_debug_points();
  // Core registers, 64 bits for D registers; false when the core has no engine.
  // A PC written keeps the Thumb bit set; xPSR takes its flags (N Z C V Q GE).
  bool cpu_reg(CoreReg reg, uint64_t& value) const;
  bool set_cpu_reg(CoreReg reg, uint64_t value);
  // Debugger memory access: flash and RAM as bytes, peripherals and core
  // registers as aligned 1/2/4-byte accesses with the same effects as on the chip.
  // Flash takes writes too (a debugger's `load`), which the next reset keeps.
  bool debug_read(uint32_t addr, void* dst, size_t n);
  bool debug_write(uint32_t addr, const void* src, size_t n);
  bool flash_written() const { return flash_written_; }
  // Time travel (machine/history.h builds on these). The instructions run so
  // far, exact also at a debugger stop inside a block (instructions() counts
  // the block in flight whole).
  uint64_t instruction_count() const;
  // A debugger stop split the block the core is in (the stop lies right
  // before an instruction, with the block's start checks made).
  bool inside_block() const;
  // A debugger's run (breakpoints and watchpoints stop it) to exactly n
  // instructions, or the first instruction boundary after n where the core
  // can stop (never inside an IT block). Stops there as after a step; false
  // when something else stopped it first (*stop says what: a point, the end
  // t_end, a halt, `interrupted`).
  bool run_to_instruction(
      uint64_t n, ns_t t_end, DebugStop* stop = nullptr,
      const std::function<bool()>& interrupted = [] { return false; });
  // Back to power-on: a new board, world and core from the same options, the
  // symbols of `image` (which has to outlive the machine), and the flash the
  // debugger wrote, if it wrote any. Whoever holds board() has to let go first.
  void reset(const Image& image);
  // The same with an image read again after a `load`, which the machine keeps
  // (with every earlier one: halt reports and coverage refer to them).
  void reset(Image&& reread);

  // Bus
  ns_t now() const override;
  void set_irq_line(unsigned irq, bool high) override;
  bool read_mem(uint32_t addr, void* dst, size_t n) override;
  bool write_mem(uint32_t addr, const void* src, size_t n) override;
  void unmodelled(uint32_t addr, bool is_write, unsigned size, uint32_t value) override;
  void fault(const std::string& what) override;
  bool option(const std::string& name) const override;
  void watch_stores(const void* who, uint32_t lo, uint32_t hi) override;

  // The whole board's state between two run_until calls (never inside one):
  // the core's registers, flash and SRAM, the core peripherals, the machine's
  // own run state and every model's (vboard/state.h). A machine built with the
  // same image, options and board takes it back: restore_state returns false
  // (and keeps the state it had) for an archive it cannot take. compare_state
  // names the first field where this machine differs from `saved` ("" when it
  // does not), e.g. "TIM17.ccr_act[0]" or "machine.space.sram[4660]".
  // An archive this machine saved itself (a time-travel checkpoint) can be
  // taken back as trusted: no copy of the present is kept to fall back on,
  // and a load that fails anyway leaves the board half loaded.
  enum class Archive : uint8_t { foreign, own };
  BoardState save_state() const;
  // The same into `into`, whose storage is reused (a history saves the board
  // again and again: fresh storage costs a page fault per 4 KiB).
  void save_state(BoardState& into) const;
  bool restore_state(const BoardState& saved, Archive kind = Archive::foreign);
  std::string compare_state(const BoardState& saved) const;

  struct Impl;

 private:
  const Image* image_;
  std::vector<std::unique_ptr<const Image>> kept_images_;
  MachineOptions opt_;
  BoardFactory factory_;
  bool flash_written_ = false;
  std::unique_ptr<Board> board_;
  std::vector<Device*> devices_;
  std::unique_ptr<Impl> d_;

  void init();
  void list_state(StateVisitor& v);
};

}  // namespace vboard
