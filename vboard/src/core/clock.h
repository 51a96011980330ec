// Virtual time. Every instruction costs cpi_milli/1000 cycles of HCLK; cycles
// are counted in thousandths from base_ns, which moves whenever HCLK changes or
// time jumps over an idle stretch. The clock also holds the next stop: the
// block hook ends a slice before the first block at or after stop_at.
#pragma once

#include <cstdint>

#include "core/layout.h"
#include "vboard/device.h"

namespace vboard::core {

struct VirtualClock {
  uint64_t hclk = 16000000;
  ns_t base_ns = 0;
  uint64_t cycles_milli = 0;  // since base_ns, committed blocks only
  uint64_t total_cycles_milli = 0;
  uint64_t instr_done = 0;
  uint32_t cur_instr = 0;  // the block being executed, committed at the next block
  uint64_t cur_cycles = 0;
  // Where the running block falls through to, and the cycles its closing
  // conditional branch adds when the next block starts anywhere else (Cortex-M4
  // timing; 0 under the flat one). Address 1: no block falls through there.
  uint32_t cur_next = 1;
  uint64_t cur_taken = 0;
  uint64_t stop_cycles = ~0ull;
  ns_t stop_at = kNever;
  ns_t run_end = kNever;
  ns_t min_stop = 0;
  ns_t idle_ns = 0;          // skipped while idle
  bool events_dirty = true;  // the next stop has to be computed again

  ns_t now() const { return base_ns + mul_div(cycles_milli, 1000000, hclk); }
  uint64_t instr_now() const { return instr_done + cur_instr; }

  void set_stop_at(ns_t t) {
    stop_at = t;
    if (t == kNever) {
      stop_cycles = ~0ull;
      return;
    }
    ns_t d = t > base_ns ? t - base_ns : 0;
    stop_cycles = mul_div_ceil(d, hclk, 1000000);
  }
  void rebase() {
    base_ns = now();
    cycles_milli = 0;
    set_stop_at(stop_at);
  }
  // Skips idle time up to t.
  void jump_to(ns_t t) {
    ns_t n = now();
    if (t <= n) return;
    idle_ns += t - n;
    base_ns = t;
    cycles_milli = 0;
    set_stop_at(stop_at);
  }
  void commit_block() {
    instr_done += cur_instr;
    cycles_milli += cur_cycles;
    total_cycles_milli += cur_cycles;
    cur_instr = 0;
    cur_cycles = 0;
    cur_taken = 0;
  }
  // Commits the running block as the block at addr starts; true when addr is
  // not where it falls through to (a branch, an exception or a return).
  bool commit_block_before(uint32_t addr) {
    const bool jumped = addr != cur_next;
    if (jumped) cur_cycles += cur_taken;
    commit_block();
    return jumped;
  }
  // Core cycles outside instructions (exception entry, return, tail-chain).
  void spend_cycles(uint32_t n) {
    cycles_milli += uint64_t{n} * 1000;
    total_cycles_milli += uint64_t{n} * 1000;
  }
  // HCLK changed to h: time so far stays, cycles count at the new rate from now.
  void set_hclk(uint64_t h) {
    rebase();
    hclk = h;
    rebase();
    events_dirty = true;
  }
  // Its mutable state, for saving, loading and comparing (vboard/state.h).
  void state(StateVisitor& v);
};

}  // namespace vboard::core
