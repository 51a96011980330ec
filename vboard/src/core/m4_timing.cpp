#include "core/m4_timing.h"

#include <bit>

namespace vboard::core::m4 {

namespace {

constexpr uint8_t kNoReg = 0xFF;
constexpr uint8_t kPc = 15, kSp = 13;

// One instruction as the timing sees it (encodings: ARMv7-M ARM A5.2, A5.3, A6.4).
struct Op {
  uint32_t cycles = 1;      // its cost, a refill included
  uint32_t refill = 0;      // the part of cycles that is a pipeline refill
  bool cond = false;        // a conditional branch: the refill only when it goes
  bool single = false;      // a single load or store, which may pair with a load before it
  bool pairs_next = false;  // a single load after which the next single access pairs
  uint8_t dest = kNoReg;    // the register it loads (what the next access must not address by)
  uint16_t addr_regs = 0;   // the registers its address is made from
  unsigned it_count = 0;    // IT: how many instructions it makes conditional
};

uint16_t bit(unsigned reg) { return static_cast<uint16_t>(1u << reg); }
unsigned regs(unsigned list) { return static_cast<unsigned>(std::popcount(list)); }

Op branch(uint32_t refill) { return {.cycles = 1 + refill, .refill = refill}; }
Op cond_branch() { return {.cycles = 1 + kRefill, .refill = kRefill, .cond = true}; }
Op multiple(unsigned n, bool loads_pc) {
  return loads_pc ? Op{.cycles = 1 + n + kLoadRefill, .refill = kLoadRefill} : Op{.cycles = 1 + n};
}
// LDR/STR and their forms; a load into the PC is blocking and refills.
Op single(bool load, unsigned rt, uint16_t addr_regs) {
  if (load && rt == kPc) return {.cycles = 2 + kLoadRefill, .refill = kLoadRefill};
  return {.cycles = 2,
          .single = true,
          .pairs_next = load,
          .dest = load ? static_cast<uint8_t>(rt) : kNoReg,
          .addr_regs = addr_regs};
}

Op classify16(uint16_t hw) {
  const unsigned low3 = hw & 7u, mid3 = (hw >> 3) & 7u;
  if ((hw & 0xFC00) == 0x4400) {  // special data processing, BX, BLX
    const unsigned op = (hw >> 8) & 3u, rd = low3 | ((hw >> 4) & 8u);
    if (op == 3 || (op != 1 && rd == kPc)) return branch(kRefill);
    return {};
  }
  if ((hw & 0xF800) == 0x4800) return single(true, (hw >> 8) & 7u, bit(kPc));  // LDR literal
  if ((hw & 0xF000) == 0x5000)  // register offset: STR STRH STRB | LDRSB LDR LDRH LDRB LDRSH
    return single(((hw >> 9) & 7u) >= 3, low3, static_cast<uint16_t>(bit(mid3) | bit((hw >> 6) & 7u)));
  if ((hw & 0xF000) == 0x6000 || (hw & 0xF000) == 0x7000 || (hw & 0xF000) == 0x8000)
    return single(hw & 0x0800, low3, bit(mid3));  // immediate offset, word, byte, halfword
  if ((hw & 0xF000) == 0x9000) return single(hw & 0x0800, (hw >> 8) & 7u, bit(kSp));
  if ((hw & 0xF500) == 0xB100) return cond_branch();                            // CBZ, CBNZ
  if ((hw & 0xFE00) == 0xB400) return multiple(regs(hw & 0x1FFu), false);       // PUSH
  if ((hw & 0xFE00) == 0xBC00) return multiple(regs(hw & 0x1FFu), hw & 0x100);  // POP
  if ((hw & 0xFFEC) == 0xB660) return {.cycles = 2};                            // CPS
  if ((hw & 0xFF00) == 0xBF00 && (hw & 0xF) != 0)  // IT: 4 - trailing zeros of its mask
    return {.it_count = 4u - static_cast<unsigned>(std::countr_zero(hw & 0xFu))};
  if ((hw & 0xF000) == 0xC000) return multiple(regs(hw & 0xFFu), false);               // LDM, STM
  if ((hw & 0xF000) == 0xD000) return ((hw >> 8) & 0xFu) < 14 ? cond_branch() : Op{};  // B<c>; UDF, SVC
  if ((hw & 0xF800) == 0xE000) return branch(kRefill);                                 // B
  return {};  // shifts, add, subtract, move, compare, logic, MUL, extend, reverse, hints
}

// FP instructions: cp10 (single) and cp11 (double).
Op classify_fp(uint16_t hw1, uint16_t hw2) {
  const bool dbl = hw2 & 0x100;
  if ((hw1 & 0xFFE0) == 0xEC40) return {.cycles = 2};                // VMOV of two core registers
  if ((hw1 & 0xFE00) == 0xEC00) {                                    // loads and stores
    if ((hw1 & 0xFF20) == 0xED00) return {.cycles = dbl ? 3u : 2u};  // VLDR, VSTR
    return {.cycles = 1 + (hw2 & 0xFFu)};                            // VLDM, VSTM, VPUSH, VPOP: N words
  }
  if ((hw1 & 0xFF00) != 0xEE00 || (hw2 & 0x10)) return {};  // VMOV to/from a core register, VMRS, VMSR
  switch ((hw1 >> 4) & 0xBu) {                              // opc1 without D
    case 0x0:                                               // VMLA, VMLS
    case 0x1:                                               // VNMLA, VNMLS
    case 0x9:                                               // VFNMA, VFNMS
    case 0xA:                                               // VFMA, VFMS
      return {.cycles = 3};
    case 0x8:  // VDIV
      return {.cycles = kSqrtDivFp};
    case 0xB:  // VSQRT is opc2 0001, opc3 11; the others here (VMOV, VABS, VNEG, VCMP, VCVT) take 1
      return {.cycles = (hw1 & 0xF) == 1 && (hw2 & 0xC0) == 0xC0 ? kSqrtDivFp : 1u};
    default:  // VMUL, VNMUL, VADD, VSUB
      return {};
  }
}

Op load_store_multiple_dual(uint16_t hw1, uint16_t hw2) {
  const unsigned rn = hw1 & 0xFu;
  if ((hw1 & 0xFE40) == 0xE800)  // LDM, STM, PUSH.W, POP.W
    return multiple(regs(hw2), (hw1 & 0x10) && (hw2 & 0x8000));
  if ((hw1 & 0xFFE0) == 0xE840)  // STREX, LDREX: paired as LDR is; STREX "loads" its status
    return single(true, (hw1 & 0x10) ? hw2 >> 12 : (hw2 >> 8) & 0xFu, bit(rn));
  if ((hw1 & 0xFFE0) == 0xE8C0) {
    const unsigned op3 = (hw2 >> 4) & 0xFu;
    if ((hw1 & 0x10) && op3 <= 1) return {.cycles = 3 + kLoadRefill, .refill = kLoadRefill};  // TBB, TBH
    return single(true, (hw1 & 0x10) ? hw2 >> 12 : hw2 & 0xFu, bit(rn));  // LDREX/STREX B, H, D
  }
  return {.cycles = 3};  // LDRD, STRD
}

Op classify_branch_misc(uint16_t hw1, uint16_t hw2) {
  if (hw2 & 0x5000) return branch(kRefill);  // B.W, BL
  if (((hw1 >> 6) & 0xFu) < 14) return cond_branch();
  if ((hw1 & 0xFFE0) == 0xF380 || (hw1 & 0xFFE0) == 0xF3E0) return {.cycles = 2};  // MSR, MRS
  return {};                                                                       // hints, barriers
}

Op classify32(uint16_t hw1, uint16_t hw2) {
  if ((hw1 & 0xEC00) == 0xEC00 && ((hw2 >> 9) & 7u) == 0b101) return classify_fp(hw1, hw2);
  switch ((hw1 >> 11) & 3u) {
    case 1:
      if ((hw1 & 0xFE00) == 0xE800) return load_store_multiple_dual(hw1, hw2);
      return {};  // data processing (shifted register), other coprocessors
    case 2:
      return (hw2 & 0x8000) ? classify_branch_misc(hw1, hw2) : Op{};  // else data processing (immediate)
    default:
      break;
  }
  if ((hw1 & 0xFE00) == 0xF800) {  // load and store single
    const bool load = hw1 & 0x10;
    const unsigned rt = hw2 >> 12, rn = hw1 & 0xFu;
    uint16_t addr = bit(rn);
    if (!(hw1 & 0x80) && rn != kPc && (hw2 & 0x0FC0) == 0) addr |= bit(hw2 & 0xFu);      // register offset
    if (load && rt == kPc && ((hw1 >> 5) & 3u) != 2) return single(true, kNoReg, addr);  // PLD, PLI
    return single(load, rt, addr);
  }
  if ((hw1 & 0xFFD0) == 0xFB90 && (hw2 & 0xF0) == 0xF0) return {.cycles = kDivide};  // SDIV, UDIV
  return {};  // data processing (register), multiplies, long multiplies
}

}  // namespace

BlockCost block_cost(uint32_t addr, std::span<const uint16_t> code, bool from_flash) {
  BlockCost c;
  c.flash = from_flash;
  const uint32_t end = addr + static_cast<uint32_t>(code.size() * 2);
  c.line_start = addr % kFlashLine == 0;
  c.later_lines = end > addr ? (end - 1) / kFlashLine - addr / kFlashLine : 0;
  Op prev;
  bool prev_narrow = false, first = true;
  unsigned it_left = 0;
  for (size_t i = 0; i < code.size();) {
    const uint16_t hw1 = code[i];
    const bool wide = (hw1 >> 11) >= 0b11101 && i + 1 < code.size();
    Op op = wide ? classify32(hw1, code[i + 1]) : classify16(hw1);
    i += wide ? 2 : 1;
    const bool in_it = it_left > 0;
    if (in_it) --it_left;
    if (op.it_count) {
      it_left = op.it_count;
      if (!first && prev_narrow) op.cycles = 0;  // folded onto the instruction before
    }
    if (op.single && prev.pairs_next && !(prev.dest != kNoReg && (op.addr_regs & bit(prev.dest))))
      op.cycles -= 1;
    if (op.cond || in_it) {  // a conditional branch refills only when it goes: seen at the next block
      op.cycles -= op.refill;
      if (i >= code.size()) c.taken = op.refill;
    }
    c.cycles += op.cycles;
    prev = op;
    prev_narrow = !wide;
    first = false;
  }
  return c;
}

}  // namespace vboard::core::m4
