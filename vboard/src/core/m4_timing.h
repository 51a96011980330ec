// Cortex-M4 instruction timing (--timing m4): the cycle counts of the
// Cortex-M4 Technical Reference Manual (r0p1, table 3-1 and the load/store
// pairing rules of 3.3.2; the FPU's table 7-1) per translated block, and the
// flash wait states of a fetch the flash interface cannot serve from its
// prefetch buffer or instruction cache (FLASH_ACR).
//
// A block's cost is worked out once, when the block is decoded; a run of the
// block adds it, the refill of a conditional branch that was taken (seen from
// where the next block starts) and the fetch's wait states.
//
// Where the manual gives a range, the figures below say which value is taken:
//   P, the pipeline refill after a branch (1..3): 2, the middle; after a load
//     into the PC (LDR PC, POP {..pc}, LDM with PC, TBB/TBH): 3, as the
//     manual's own examples count it (LDR PC: 2 + 3, TBB: 2 + 1 + 3).
//   SDIV, UDIV (2..12, early termination by the operands): 12, the longest,
//     so that a margin measured under this timing holds for any operands.
//   MSR, MRS, CPS (1 or 2): 2. Barriers (1 + B): 1, no transfer is pending.
//   Multiplies, multiply-accumulates and long multiplies: 1 (the M4's
//     single-cycle MAC; the 3..7 cycles of the Cortex-M3 do not apply).
//   IT: 0 when it folds onto a 16-bit instruction before it in the block, else 1.
//   LDR/STR and their byte, halfword, exclusive forms: 2; 1 when the one before
//     is a single load (LDR, LDREX, STREX) whose destination the access does not
//     use for its address. Nothing pipelines after a store, nor with LDRD/STRD
//     (3), LDM/STM/PUSH/POP (1 + N) or FP loads and stores.
//   FP: 1; VMLA, VMLS, VNMLA, VNMLS, VFMA, VFMS, VFNMA, VFNMS 3; VDIV, VSQRT 14;
//     VLDR, VSTR 2 (3 for a double); VLDM, VSTM, VPUSH, VPOP 1 + N words; VMOV of
//     two core registers 2.
// Not modelled: unaligned accesses, the extra cycle a literal load may spend
// against the fetch unit, conditional instructions that fail (they cost as if
// they ran), the data cache (literal loads from flash hit), the write buffer
// that finishes a store with an immediate offset in one cycle, ACTLR.DISFOLD.
#pragma once

#include <cstdint>
#include <span>

#include "core/clock.h"
#include "vboard/device.h"

namespace vboard::core::m4 {

inline constexpr uint32_t kRefill = 2;      // P after a branch
inline constexpr uint32_t kLoadRefill = 3;  // P after a load into the PC
inline constexpr uint32_t kDivide = 12;
inline constexpr uint32_t kSqrtDivFp = 14;
inline constexpr uint32_t kFlashLine = 8;  // bytes the flash interface reads at once

// A translated block's timing, from its code alone.
struct BlockCost {
  uint32_t cycles = 0;       // its instructions; a branch that always goes with its refill
  uint32_t taken = 0;        // more when it ends in a conditional branch and that branch goes
  uint32_t later_lines = 0;  // flash lines that begin inside it after its first byte
  bool line_start = false;   // it begins a flash line
  bool flash = false;        // it runs from flash (or its boot alias)
};

// The cost of the Thumb code at addr (halfwords as in memory).
BlockCost block_cost(uint32_t addr, std::span<const uint16_t> code, bool from_flash);

// Wait states of one run of a block. jumped: it was reached by a branch, an
// exception or a return rather than by running on from the block before;
// ran_before: it ran already, so an enabled instruction cache holds it (the
// cache is taken as large enough for all code that ran). A refill from flash
// costs LATENCY unless the cache holds the block; running on within it costs
// LATENCY per further line unless the prefetch buffer (PRFTEN) or the cache
// supplies the line.
inline uint32_t fetch_waits(const BlockCost& c, bool jumped, bool ran_before, FlashFetch f) {
  if (!c.flash || f.latency == 0 || (f.icache && ran_before)) return 0;
  uint32_t lines = jumped ? 1 : 0;
  if (!f.prefetch) lines += c.later_lines + (!jumped && c.line_start ? 1 : 0);
  return lines * f.latency;
}

// A run of the block starts (next: where it falls through to): its cycles in
// thousandths; the clock keeps what a taken branch at its end adds.
inline uint64_t start_block(VirtualClock& clock, const BlockCost& c, uint32_t next, bool jumped,
                            bool ran_before, FlashFetch f) {
  clock.cur_next = next;
  clock.cur_taken = uint64_t{c.taken} * 1000;
  return (uint64_t{c.cycles} + fetch_waits(c, jumped, ran_before, f)) * 1000;
}

}  // namespace vboard::core::m4
