// What a run of Thumb instructions does to the stack pointer, read from the
// code alone: the deepest the SP goes below its value at the first instruction
// (PUSH, SUB SP, STR with a pre-decrement of SP, STMDB/VPUSH/VSTMDB/STRD on SP,
// and the matching pops), and whether an instruction sets the SP in a way the
// code alone does not tell (MOV SP, Rm; LDR SP; MSR MSP; arithmetic on SP with a
// register). The machine reads the SP at the start of a translated block that
// goes deeper and adds the block's dip: the lowest SP is then known exactly,
// a leaf function's push and pop inside one block included, without a hook on
// every store.
#pragma once

#include <cstdint>

namespace vboard::core {

struct StackEffect {
  int32_t delta = 0;     // bytes the SP moves (negative: the stack grows)
  bool unknown = false;  // the SP is written with a value the code alone does not give
};

// The effect of one instruction: hw2 is the second halfword of a 32-bit one.
StackEffect stack_effect(uint16_t hw1, uint16_t hw2, bool wide);

// Folds instructions in order: the deepest point of the SP below the start,
// and whether the SP was set to an unknown value (the SP is read again after).
struct StackDip {
  int32_t at = 0;   // SP offset now
  int32_t dip = 0;  // the lowest offset so far (<= 0)
  bool unknown = false;
  void add(const StackEffect& e) {
    if (unknown) return;  // offsets after an unknown write mean nothing
    if (e.unknown) {
      unknown = true;
      return;
    }
    at += e.delta;
    if (at < dip) dip = at;
  }
};

}  // namespace vboard::core
