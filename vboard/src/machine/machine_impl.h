// The machine's inside, shared by its files: Unicorn as the CPU, the core's
// parts from src/core (virtual clock, NVIC, SysTick, SCB, exception entry and
// return, block cache and idle detection, address space, profiler, debugger
// hooks) and the state of the run loop.
//
//   machine.cpp          construction, reset and the end of a machine
//   bus.cpp              the bus side: MMIO to the board's devices, the
//                        private peripheral bus, the Bus the models see
//   run_loop.cpp         the run loop (run_until) in its steps
//   cpu_hooks.cpp        the engine: opening it, its memory map and callbacks
//   emulator_faults.cpp  what an emulator error means for the core: a fault
//   debug.cpp            the debugger's view: runs to a stop, registers, memory
//   result.cpp           what a run reports
//
// Time: every instruction costs cpi_milli/1000 cycles of HCLK. Instructions are
// counted per translated block in the block hook, from a cached decode of the
// block's Thumb instruction lengths. Emulation is stopped from the block hook
// before the first block that would start at or after the next scheduled event
// (device events, SysTick underflow, injections, end of run), so slice
// boundaries and therefore whole runs are exactly repeatable.
#pragma once

#include <unicorn/unicorn.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/address_space.h"
#include "core/blocks.h"
#include "core/clock.h"
#include "core/cpu.h"
#include "core/debugger.h"
#include "core/exceptions.h"
#include "core/layout.h"
#include "core/nvic.h"
#include "core/profiler.h"
#include "core/run_log.h"
#include "core/scb.h"
#include "core/systick.h"
#include "vboard/machine.h"

namespace vboard {

struct Machine::Impl {
  // Why the block hook ended a slice of emulation.
  enum class Stop { none, event, irq, halt, idle, nocp, debug };
  // The longest idle jump at a time: an idle loop is looked at again after it.
  static constexpr ns_t kIdleJumpCap = kMs;

  Machine& m;
  const ChipFacts facts;  // the board's, which the core's parts are built for
  core::Cpu cpu;
  core::VirtualClock clock;
  core::RunLog log;
  core::AddressSpace space{facts};
  core::Nvic nvic;
  core::SysTick systick{clock, nvic};
  core::Scb scb{nvic, clock};
  core::Findings core_findings;  // the core's fields no model implements, when used
  core::MarginMeter margins{cpu, clock, nvic, space};
  core::ExceptionUnit exc;
  core::BlockCache blocks;
  core::IdleDetector idle{cpu, space};
  core::Profiler prof;
  core::Debugger dbg{facts};
  ClockTree* clocks = nullptr;

  ns_t last_advance = kNever;
  uint32_t prev_block = 0;
  Stop stop = Stop::none;
  uint32_t unmapped_addr = 0;
  bool unmapped_fetch = false;
  std::vector<IrqInjection> injections;
  size_t next_injection = 0;
  unsigned gated_writes = 0;
  double wall_s = 0;
  ns_t asked_end = kNever;  // the end the last run_until was given
  // A debugger's run to an exact instruction (Machine::run_to_instruction):
  // the block hook stops before the block in which the count passes stop_instr.
  uint64_t stop_instr = ~uint64_t{0};
  bool instr_stop_hit = false;

  // An idle jump that the end of a run_until cut short. The next run_until
  // finishes it without running the loop again when nothing happened in
  // between (same time, same PC, the same next event, no host access), so
  // that where a run is cut into pieces changes no count.
  struct IdleCut {
    ns_t at = 0;          // where the cut jump ended
    uint32_t pc = 0;      // the loop head the core idles at
    ns_t next_event = 0;  // the next event when the run stopped there
    ns_t target = 0;      // where the jump would have ended
  };
  std::optional<IdleCut> idle_cut;

  // SRAM that devices read lazily (Bus::watch_stores), one range per device.
  struct StoreWatch {
    const void* who;
    uint32_t lo, hi;
  };
  std::vector<StoreWatch> store_watches;
  // Stores into watched SRAM reach on_store without a write hook (any write
  // hook takes every store off the emulator's fast path): the engine pages
  // that hold watched memory are read-only, and the protection hook makes
  // each store there itself. Per page of SRAM: whether it is read-only now.
  uint32_t engine_page = 0;
  std::vector<bool> page_guarded;
  bool in_store_trap = false;  // inside that hook: protection changes wait
  bool guards_stale = false;   // for the next block
  // The slice under way needs no page guards, debugger, profiler or idle
  // detection at block starts, and counts flat time (set when a slice
  // starts, from those).
  bool plain_blocks = false;
  uint64_t flat_cpi_milli = 1000;  // the options' cycles per instruction, kept beside the block hook's state
  bool jumped = false;             // the block starting now was reached by a jump (set at each block start)

  Impl(Machine& mm, const ChipFacts& chip);

  ns_t now() const { return clock.now(); }
  void set_halt(const std::string& reason, uint32_t pc) { log.set_halt(reason, pc, *m.image_, cpu, now()); }

  // cpu_hooks.cpp: the engine with the memory map and the callbacks; false
  // (and a fault in the log) when Unicorn cannot open one.
  bool open_engine();
  void request_stop(Stop s);
  void on_block(uint32_t addr, uint32_t size);
  void on_watched_block(uint32_t addr, uint32_t size);
  [[gnu::noinline]] void on_block_checked(uint32_t addr, uint32_t size);
  void block_checks(uint32_t addr, core::BlockInfo& b);
  void enter_block(uint32_t addr, core::BlockInfo& b);
  void enter_m4_block(uint32_t addr, core::BlockInfo& b);
  void note_halt_loop(const core::BlockInfo& b, uint32_t addr);
  void on_store(uint32_t addr, uint32_t n);
  bool on_guarded_store(uint32_t addr, uint32_t n, uint64_t value);
  void guard_watched_pages();

  // bus.cpp
  void check_clock();
  void advance_devices(ns_t t);
  void before_access();
  uint32_t dev_read(uint32_t addr, unsigned size, bool from_cpu);
  void dev_write(uint32_t addr, uint32_t v, unsigned size);
  bool core_read(uint32_t addr, uint32_t& v);
  bool core_write(uint32_t addr, uint32_t v, unsigned size);
  uint32_t ppb_read(uint32_t addr, unsigned size);
  void ppb_write(uint32_t addr, uint32_t v, unsigned size);

  // run_loop.cpp: the state of one run_until, and its steps.
  struct RunPass {
    ns_t t_end;
    std::optional<IdleCut> resume;  // the cut idle jump this run may finish
    unsigned stalls = 0;            // slices in a row that ran no instruction
  };
  ns_t next_event();
  void jump_idle(ns_t target, ns_t t_end);
  void service_events();
  std::optional<IdleCut> resumable_idle_cut();
  bool run_pass(RunPass& r);
  void keep_idle_cut(RunPass& r);
  ns_t arm_slice(ns_t t, ns_t t_end);
  void sleep_until(ns_t next);
  bool emulate_slice(RunPass& r, ns_t t);
  void after_hook_stop(uint32_t pc, ns_t t_end);

  // emulator_faults.cpp: what Unicorn's return from a slice means at `pc`.
  void after_emulation(uc_err err, uint32_t pc);
};

}  // namespace vboard
