// How close the firmware runs to its limits, measured while it runs: the
// lowest stack pointer of each context (the thread and each exception), the
// longest run of each handler and the longest time it waited pending, and the
// heap's break as the firmware keeps it.
//
// The stack: each translated block knows from its code how far below its
// starting SP it pushes (core/stack_effect.h); a block that goes deeper reads
// the SP once, at its start. That is exact to the instruction, a leaf
// function's push and pop inside one block included, and costs one register
// read per pushing block; a write hook on the stack would take every store of
// the run off the emulator's fast path (10 to 20 % slower on the rear image's
// long run). Exception entry adds its frame to the handler's own depth.
//
// Handler runs are counted on the machine's cycle clock from the handler's
// first instruction to its exception return; time spent in handlers that
// pre-empted it, with their stacking and unstacking, is left out.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/address_space.h"
#include "core/clock.h"
#include "core/cpu.h"
#include "core/layout.h"
#include "core/nvic.h"
#include "vboard/run_result.h"

namespace vboard::core {

class MarginMeter {
 public:
  MarginMeter(const Cpu& cpu, const VirtualClock& clock, const Nvic& nvic, const AddressSpace& space)
      : cpu_(cpu), clock_(clock), nvic_(nvic), space_(space) {
    lowest_.fill(~0u);
  }
  // The run starts with this SP; the heap's break is the word at break_addr (0: not known).
  void start(uint32_t initial_sp) { initial_sp_ = initial_sp; }
  void watch_heap_break(uint32_t break_addr) { heap_break_addr_ = break_addr; }

  // A block is about to run whose code takes the SP `dip` bytes below its
  // start (dip <= 0), and which writes the SP in a way its code does not tell
  // (`sp_unknown`: the next block reads the SP).
  void before_block(int32_t dip, bool sp_unknown) {
    if (needs_look(dip, sp_unknown)) look(dip, sp_unknown);
  }
  // Whether before_block has anything to do: most blocks leave the SP alone.
  bool needs_look(int32_t dip, bool sp_unknown) const { return dip < 0 || sp_unknown || recheck_; }
  // Whether the last block left the SP unknown: the next block must look.
  bool recheck() const { return recheck_; }
  // before_block's work, out of line so that the block hook's common path
  // stays free of calls.
  [[gnu::noinline]] void look(int32_t dip, bool sp_unknown) {
    if (dip < 0 || recheck_) reach(cpu_.reg(UC_ARM_REG_SP) + static_cast<uint32_t>(dip));
    recheck_ = sp_unknown;
  }
  // The SP went down to `sp` in the context running now.
  void reach(uint32_t sp) {
    const unsigned ctx = nvic_.current();
    if (sp < lowest_[ctx]) {
      lowest_[ctx] = sp;
      nested_[ctx] = nvic_.depth() > 1;
      at_[ctx] = clock_.now();
    }
  }

  // Exception entry: before the core stacks (`entering`), and once the
  // handler is active with its frame at `frame_sp` (`entered`; 0: a
  // tail-chain, no new frame).
  void entering();
  void entered(unsigned e, uint32_t frame_sp);
  // The handler of `e` branched to its exception return.
  void returned(unsigned e);
  // The core is back in the handler that an exception pre-empted (its unstacking done).
  void resumed();

  // What the run measured so far (the heap's start and limit, the promises
  // and the busy time are the machine's to add).
  void fill(Margins& m) const;
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);

 private:
  struct Frame {
    unsigned exc = 0;
    uint64_t cycles0 = 0;  // thousandths of a cycle, as the clock counts
    ns_t ns0 = 0;
    uint64_t nested_cycles = 0;
    ns_t nested_ns = 0;
    uint64_t paused_cycles = 0;  // when a pre-empting exception began its entry
    ns_t paused_ns = 0;
    bool paused = false;
  };
  uint64_t cycles_milli() const { return clock_.total_cycles_milli + clock_.cur_cycles; }
  ns_t now_ns() const { return clock_.now() + mul_div(clock_.cur_cycles, 1000000, clock_.hclk); }
  void sample_heap();

  const Cpu& cpu_;
  const VirtualClock& clock_;
  const Nvic& nvic_;
  const AddressSpace& space_;
  uint32_t initial_sp_ = 0;
  uint32_t heap_break_addr_ = 0;
  uint32_t heap_break_high_ = 0;
  bool recheck_ = false;
  std::array<uint32_t, kNumExc> lowest_{};
  std::array<bool, kNumExc> nested_{};
  std::array<ns_t, kNumExc> at_{};
  std::vector<Frame> frames_;
  std::map<unsigned, HandlerTiming> handlers_;
};

}  // namespace vboard::core
