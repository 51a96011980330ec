// The SP effect of Thumb-2 instructions (ARMv7-M Architecture Reference
// Manual, A5 and A6): the encodings that move the SP by a constant, and those
// that write it otherwise.
#include "core/stack_effect.h"

#include <bit>

namespace vboard::core {

namespace {

constexpr unsigned kSp = 13;

int32_t words(uint32_t list) { return 4 * std::popcount(list); }

// ThumbExpandImm of i:imm3:imm8 for ADD/SUB (modified immediate).
uint32_t expand_imm(uint16_t hw1, uint16_t hw2) {
  const uint32_t imm12 = ((hw1 >> 10) & 1u) << 11 | ((hw2 >> 12) & 7u) << 8 | (hw2 & 0xFFu);
  const uint32_t imm8 = imm12 & 0xFF;
  if ((imm12 >> 10) == 0) {
    switch ((imm12 >> 8) & 3) {
      case 0:
        return imm8;
      case 1:
        return imm8 << 16 | imm8;
      case 2:
        return imm8 << 24 | imm8 << 8;
      default:
        return imm8 << 24 | imm8 << 16 | imm8 << 8 | imm8;
    }
  }
  const uint32_t value = 0x80 | (imm12 & 0x7F);
  return std::rotr(value, static_cast<int>(imm12 >> 7));
}

StackEffect narrow(uint16_t hw) {
  if ((hw & 0xFE00) == 0xB400) return {-words(hw & 0x1FFu), false};  // PUSH
  if ((hw & 0xFE00) == 0xBC00) return {words(hw & 0x1FFu), false};   // POP
  if ((hw & 0xFF80) == 0xB000) return {4 * (hw & 0x7F), false};      // ADD SP, SP, #imm
  if ((hw & 0xFF80) == 0xB080) return {-4 * (hw & 0x7F), false};     // SUB SP, SP, #imm
  // ADD SP, Rm and MOV SP, Rm (high registers).
  const unsigned rdn = ((hw >> 4) & 8u) | (hw & 7u);
  if (((hw & 0xFF00) == 0x4400 || (hw & 0xFF00) == 0x4600) && rdn == kSp) return {0, true};
  return {};
}

StackEffect wide_effect(uint16_t hw1, uint16_t hw2) {
  const unsigned rn = hw1 & 0xFu;
  const bool writeback = (hw1 >> 5) & 1u, up = (hw1 >> 7) & 1u;
  // LDM/STM with writeback to SP (PUSH.W is STMDB SP!, POP.W is LDMIA SP!).
  if ((hw1 & 0xFE00) == 0xE800 && (hw1 & 0x0040) == 0) {
    const unsigned mode = (hw1 >> 7) & 3u;  // 1: increment after, 2: decrement before
    const bool load = (hw1 >> 4) & 1u;
    if (load && (hw2 >> kSp) & 1u) return {0, true};
    if (rn == kSp && writeback && (mode == 1 || mode == 2))
      return {mode == 1 ? words(hw2) : -words(hw2), false};
    return {};
  }
  // STRD/LDRD (immediate) with writeback to SP.
  if ((hw1 & 0xFE40) == 0xE840 && (hw1 & 0x0120) != 0) {
    const bool load = (hw1 >> 4) & 1u;
    if (load && (((hw2 >> 12) & 0xFu) == kSp || ((hw2 >> 8) & 0xFu) == kSp)) return {0, true};
    if (rn == kSp && writeback) return {(up ? 4 : -4) * (hw2 & 0xFF), false};
    return {};
  }
  // VSTM/VLDM (VPUSH/VPOP) with writeback to SP.
  if ((hw1 & 0xFE00) == 0xEC00 && (hw2 & 0x0E00) == 0x0A00 && rn == kSp && writeback)
    return {(up ? 4 : -4) * (hw2 & 0xFF), false};
  // Single loads and stores: the pre- or post-indexed form writes Rn back;
  // a load into SP sets it.
  if ((hw1 & 0xFE00) == 0xF800) {
    const bool load = (hw1 >> 4) & 1u;
    if (load && ((hw2 >> 12) & 0xFu) == kSp) return {0, true};
    const bool indexed = (hw1 & 0x0080) == 0 && (hw2 & 0x0800) != 0 && (hw2 & 0x0100) != 0;
    if (rn == kSp && indexed) return {((hw2 & 0x0200) ? 1 : -1) * (hw2 & 0xFF), false};
    return {};
  }
  const unsigned rd = (hw2 >> 8) & 0xFu;
  // Data processing with an immediate (hw2 bit 15 clear).
  if ((hw1 & 0xF800) == 0xF000 && (hw2 & 0x8000) == 0) {
    if ((hw1 & 0xFBE0) == 0xF100 && rn == kSp && rd == kSp)
      return {static_cast<int32_t>(expand_imm(hw1, hw2)), false};
    if ((hw1 & 0xFBE0) == 0xF1A0 && rn == kSp && rd == kSp)
      return {-static_cast<int32_t>(expand_imm(hw1, hw2)), false};
    const int32_t imm12 =
        static_cast<int32_t>(((hw1 >> 10) & 1u) << 11 | ((hw2 >> 12) & 7u) << 8 | (hw2 & 0xFFu));
    if ((hw1 & 0xFBF0) == 0xF200 && rn == kSp && rd == kSp) return {imm12, false};   // ADDW
    if ((hw1 & 0xFBF0) == 0xF2A0 && rn == kSp && rd == kSp) return {-imm12, false};  // SUBW
    return {0, rd == kSp};
  }
  // MSR MSP or PSP.
  if ((hw1 & 0xFFF0) == 0xF380 && (hw2 & 0xD000) == 0x8000 && ((hw2 & 0xFF) == 8 || (hw2 & 0xFF) == 9))
    return {0, true};
  // Data processing with a (shifted) register, and the register-controlled shifts.
  if (((hw1 & 0xFE00) == 0xEA00 || (hw1 & 0xFF80) == 0xFA00) && rd == kSp) return {0, true};
  return {};
}

}  // namespace

StackEffect stack_effect(uint16_t hw1, uint16_t hw2, bool wide) {
  return wide ? wide_effect(hw1, hw2) : narrow(hw1);
}

}  // namespace vboard::core
