// The machine under a debugger (the GDB server): breakpoints, watchpoints,
// single steps and interrupts of a run, such that a run with debugger stops
// keeps the slice boundaries, and so the pin history, of a run without.
//
// Breakpoints are instruction hooks bound to their one address; while a step
// or a watchpoint is active one instruction hook covers all code, so that a
// stop lands right before the next instruction (each instruction is looked at
// once). Memory and MMIO callbacks only note a watchpoint hit; the stop itself
// comes from the instruction hook. A block a stop splits stays one block for
// the machine: its instructions are counted when the next block starts, its
// accesses see the time of its start (as without the stop), and its rest runs
// without a second round of block-start checks (events, interrupts, idle); the
// slice the stop split goes on from its own start.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include <unicorn/unicorn.h>

#include "vboard/chip_facts.h"
#include "vboard/run_result.h"

namespace vboard::core {

class Debugger {
 public:
  // The chip's code memories (flash, its alias, SRAM): what a changed hook
  // drops the translations of.
  explicit Debugger(const ChipFacts& chip) : flash_(chip.flash), sram_(chip.sram) {}

  // Unicorn callbacks the hooks call with `user` (the machine's, which ask
  // on_insn and on_access and stop the emulation when told to).
  struct Callbacks {
    void* insn;        // uc_cb_hookcode_t for all code
    void* breakpoint;  // uc_cb_hookcode_t for one breakpoint
    void* watch;       // uc_cb_hookmem_t
    void* user;
  };
  void set_callbacks(const Callbacks& cb) { cb_ = cb; }

  bool set_breakpoint(uc_engine* uc, uint32_t addr, bool on);
  bool set_watchpoint(uc_engine* uc, uint32_t addr, uint32_t len, WatchKind kind, bool on);
  void clear(uc_engine* uc);
  bool insn_hook_on() const { return insn_hook_on_; }
  bool breakpoint_at(uint32_t addr) const { return breakpoints_.count(addr & ~1u) != 0; }

  // A debugger run: begin before run_until, end after it.
  void begin(uc_engine* uc, bool step, const std::function<bool()>* interrupted, uint32_t pc);
  std::optional<DebugStop> end(uint32_t pc);
  bool running() const { return interrupted_ != nullptr; }

  // From the instruction hooks: true when the emulation has to stop before addr.
  bool on_insn(uint32_t addr);
  // Every CPU access to memory or a register (not the debugger's own).
  void on_access(uint32_t addr, unsigned size, bool is_write);
  // Between slices of run_until: true when the run has to stop here.
  bool break_now(uint32_t pc);

  // Block starts: true when the block is the rest of one a stop split, whose
  // start checks have been made and whose instructions are counted already.
  bool on_block(uint32_t addr, uint32_t size);
  // Emulation stopped at pc for the debugger.
  void stopped(uint32_t pc);
  // Mid-block nothing may be taken before the block's rest has run.
  bool mid_block() const { return continuation_; }
  // A watchpoint hit waits to be reported at the next instruction.
  bool watch_pending() const { return watch_hit_.has_value(); }
  // Start time of the slice beginning at t: the split slice's own start after a stop.
  ns_t slice_start(ns_t t);
  // The debugger moved the core (wrote PC or xPSR): the next block is checked as usual.
  void core_moved() { continuation_ = false; }
  // The split a stop left (the block's rest, the slice's start): run state a
  // checkpoint at a debugger stop keeps (vboard/state.h).
  void state(StateVisitor& v);

  // Debugger accesses are not the image's: they never count as findings or watch hits.
  void debugger_access(bool on) {
    debugger_access_ = on;
    if (on) debugger_miss_ = false;
  }
  bool debugger_access() const { return debugger_access_; }
  void note_miss() { debugger_miss_ = true; }
  bool missed() const { return debugger_miss_; }

 private:
  struct WatchPoint {
    uint32_t addr, len;
    WatchKind kind;
    std::vector<uc_hook> hooks;
  };
  MemoryRegion flash_, sram_;
  Callbacks cb_{};
  std::map<uint32_t, uc_hook> breakpoints_;
  std::vector<WatchPoint> watches_;
  uc_hook insn_hook_ = 0;
  bool insn_hook_on_ = false;
  const std::function<bool()>* interrupted_ = nullptr;
  bool step_ = false, stepped_ = false, first_ = false;
  uint32_t resume_pc_ = 0;
  std::optional<DebugStop> stop_, watch_hit_;
  uint32_t tb_start_ = 0, tb_size_ = 0;  // the translated block being executed
  bool continuation_ = false;
  uint32_t continuation_pc_ = 0;
  ns_t slice_t0_ = 0;
  bool mid_slice_ = false;
  bool debugger_access_ = false, debugger_miss_ = false;

  void sync_insn_hook(uc_engine* uc, bool want);
  void flush_code(uc_engine* uc) const;
};

}  // namespace vboard::core
