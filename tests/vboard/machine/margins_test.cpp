// The margins a run measures: the SP effect read from each instruction, and the
// deepest stack of a run of hand-made code, a leaf function whose push and pop
// lie inside one translated block included.
#include <gtest/gtest.h>

#include <cstring>

#include "core/stack_effect.h"
#include "support/fake_board.h"
#include "vboard/machine.h"

namespace vboard::test {
namespace {

TEST(StackEffect, EachEncodingMovesTheSpByWhatItPushesOrPops) {
  struct Case {
    uint16_t hw1, hw2;
    bool wide;
    int32_t delta;
    bool unknown;
    const char* what;
  };
  const Case cases[] = {
      {0xB510, 0, false, -8, false, "push {r4, lr}"},
      {0xBD10, 0, false, 8, false, "pop {r4, pc}"},
      {0xB084, 0, false, -16, false, "sub sp, #16"},
      {0xB004, 0, false, 16, false, "add sp, #16"},
      {0x4685, 0, false, 0, true, "mov sp, r0"},
      {0x4669, 0, false, 0, false, "mov r1, sp"},
      {0x6001, 0, false, 0, false, "str r1, [r0]"},
      {0xE92D, 0x4FF0, true, -36, false, "push.w {r4-r11, lr}"},
      {0xE8BD, 0x8FF0, true, 36, false, "pop.w {r4-r11, pc}"},
      {0xF84D, 0x4D04, true, -4, false, "str r4, [sp, #-4]!"},
      {0xF85D, 0x4B04, true, 4, false, "ldr r4, [sp], #4"},
      {0xF8CD, 0x4004, true, 0, false, "str.w r4, [sp, #4]"},
      {0xED2D, 0x8B04, true, -16, false, "vpush {d8-d9}"},
      {0xECBD, 0x8B04, true, 16, false, "vpop {d8-d9}"},
      {0xE96D, 0x2302, true, -8, false, "strd r2, r3, [sp, #-8]!"},
      {0xF5AD, 0x7D00, true, -512, false, "sub.w sp, sp, #512"},
      {0xF20D, 0x4D04, true, 1028, false, "addw sp, sp, #1028"},
      {0xF2AD, 0x0D0C, true, -12, false, "subw sp, sp, #12"},
      {0xEBAD, 0x0D00, true, 0, true, "sub.w sp, sp, r0"},
      {0xF8DD, 0xD000, true, 0, true, "ldr.w sp, [sp]"},
      {0xF380, 0x8808, true, 0, true, "msr msp, r0"},
      {0xF100, 0x0D04, true, 0, true, "add.w sp, r0, #4"},
  };
  for (const Case& c : cases) {
    const core::StackEffect e = core::stack_effect(c.hw1, c.hw2, c.wide);
    EXPECT_EQ(e.delta, c.delta) << c.what;
    EXPECT_EQ(e.unknown, c.unknown) << c.what;
  }
}

// Flash with the vector table (SP 0x20008000, reset at 0x40) and at 0x40:
// push {r4, lr}; bl leaf; b .  with the leaf at 0x48.
std::vector<uint8_t> flash_with_leaf(const std::vector<uint16_t>& leaf) {
  std::vector<uint8_t> f(0x100, 0);
  const uint32_t sp = 0x20008000, reset = kChip.flash.base + 0x41;
  std::memcpy(f.data(), &sp, 4);
  std::memcpy(f.data() + 4, &reset, 4);
  const uint16_t main_code[] = {0xB510, 0xF000, 0xF801, 0xE7FE};  // bl: +2 from 0x46
  std::memcpy(f.data() + 0x40, main_code, sizeof main_code);
  std::memcpy(f.data() + 0x48, leaf.data(), 2 * leaf.size());
  return f;
}

TEST(Margins, TheDeepestStackOfTheThreadIsExactToTheInstruction) {
  struct Case {
    std::vector<uint16_t> leaf;
    uint32_t bytes;  // below the initial SP: main's 8, then the leaf's
    const char* what;
  };
  const Case cases[] = {
      {{0xB470, 0xBC70, 0x4770}, 20, "push {r4-r6}; pop {r4-r6}; bx lr: one block"},
      {{0xB090, 0xB010, 0x4770}, 72, "sub sp, #64; add sp, #64; bx lr: one block"},
      {{0xB401, 0xB081, 0xB001, 0xBC01, 0x4770}, 16, "push, sub, add, pop: the deepest point inside"},
      // mov r0, sp; subs r0, #32; mov sp, r0; b next | add sp, #32; bx lr: read at the next block.
      {{0x4668, 0x3820, 0x4685, 0xE7FF, 0xB008, 0x4770}, 40, "the SP set from a register"},
      {{0x4770}, 8, "a leaf that pushes nothing"},
  };
  for (const Case& c : cases) {
    MachineOptions o;
    o.run_for = kMs;
    o.flash = flash_with_leaf(c.leaf);
    std::string err;
    auto image = Image::load(SELFTEST_ELF, kChip, &err);
    ASSERT_TRUE(image) << err;
    Machine m(*image, o, [](Bus& b) { return std::make_unique<FakeBoard>(b); });
    const RunResult r = m.run();
    ASSERT_TRUE(r.margins.stack.count(0)) << c.what;
    EXPECT_EQ(r.margins.initial_sp - r.margins.stack.at(0).lowest_sp, c.bytes) << c.what;
    EXPECT_EQ(r.margins.stack.size(), 1u) << c.what << ": no exception was taken";
  }
}

}  // namespace
}  // namespace vboard::test
