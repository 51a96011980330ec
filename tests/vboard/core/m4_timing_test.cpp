// The Cortex-M4 timing: block costs of hand-encoded Thumb sequences against the
// figures of the manual (and the stated choices where it gives a range), the
// flash wait states of a fetch, and how the clock tells a taken branch.
#include "core/m4_timing.h"

#include <gtest/gtest.h>

#include <vector>

namespace vboard::core::m4 {
namespace {

constexpr uint32_t kAt = 0x08001000;  // a flash line starts here

TEST(M4Timing, BlockCostsFollowTheManual) {
  struct Case {
    std::vector<uint16_t> code;
    uint32_t cycles, taken;
    const char* what;
  };
  const Case cases[] = {
      {{0x6808, 0x6010}, 3, 0, "ldr r0, [r1]; str r0, [r2]: the store pairs after the load"},
      {{0x5948, 0x6811, 0x685A}, 4, 0, "ldr r0, [r1, r5]; ldr r1, [r2]; ldr r2, [r3, #4]: 2 + 1 + 1"},
      {{0x6809, 0x680A}, 4, 0, "ldr r1, [r1]; ldr r2, [r1]: the address needs the load"},
      {{0x6008, 0x681A}, 4, 0, "str r0, [r1]; ldr r2, [r3]: nothing pairs after a store"},
      {{0xE9D0, 0x1200, 0x6811}, 5, 0, "ldrd r1, r2, [r0]; ldr r1, [r2]: LDRD 3, no pairing"},
      {{0x2800, 0xD1FD}, 2, kRefill, "cmp r0, #0; bne: the refill only when it goes"},
      {{0xB108}, 1, kRefill, "cbz r0"},
      {{0xE7FE}, 1 + kRefill, 0, "b ."},
      {{0xF000, 0xF800}, 1 + kRefill, 0, "bl"},
      {{0x4770}, 1 + kRefill, 0, "bx lr"},
      {{0xFB91, 0xF0F2}, kDivide, 0, "sdiv r0, r1, r2"},
      {{0xFBB1, 0xF0F2}, kDivide, 0, "udiv r0, r1, r2"},
      {{0x4348, 0xFB00, 0x2103, 0xFB82, 0x0103}, 3, 0, "muls; mla; smull: one cycle each"},
      {{0xB530}, 4, 0, "push {r4, r5, lr}"},
      {{0xBD30}, 4 + kLoadRefill, 0, "pop {r4, r5, pc}"},
      {{0xE92D, 0x4FF0}, 10, 0, "push.w {r4-r11, lr}"},
      {{0xE8BD, 0x8FF0}, 10 + kLoadRefill, 0, "pop.w {r4-r11, pc}"},
      {{0xF85D, 0xFB04}, 2 + kLoadRefill, 0, "ldr.w pc, [sp], #4"},
      {{0xE8DF, 0xF000}, 3 + kLoadRefill, 0, "tbb [pc, r0]: load, add, refill"},
      {{0x2801, 0xBF08, 0x2002}, 2, 0, "cmp; it eq; moveq: the IT folds"},
      {{0xF1B0, 0x0F01, 0xBF08, 0x2002}, 3, 0, "cmp.w; it eq; moveq: no 16-bit instruction to fold onto"},
      {{0xBF08, 0x4770}, 2, kRefill, "it eq; bxeq lr"},
      {{0xEE80, 0x0A81, 0xEEB1, 0x0AE0}, 2 * kSqrtDivFp, 0, "vdiv.f32; vsqrt.f32"},
      {{0xEE30, 0x0A20, 0xEE00, 0x0A20}, 4, 0, "vadd.f32 1; vmla.f32 3"},
      {{0xED90, 0x0A00, 0xED2D, 0x8A02, 0xECBD, 0x8B02}, 8, 0, "vldr 2; vpush {s16, s17} 3; vpop {d8} 3"},
  };
  for (const Case& c : cases) {
    const BlockCost b = block_cost(kAt, c.code, true);
    EXPECT_EQ(b.cycles, c.cycles) << c.what;
    EXPECT_EQ(b.taken, c.taken) << c.what;
  }
}

TEST(M4Timing, FlashWaitStatesCountTheLinesNoBufferServes) {
  // 24 bytes from a line start: the first line and two more.
  const std::vector<uint16_t> code(12, 0xBF00);
  const BlockCost in_flash = block_cost(kAt, code, true), in_ram = block_cost(0x20000000, code, false);
  ASSERT_EQ(in_flash.later_lines, 2u);
  struct Case {
    bool jumped, ran_before;
    FlashFetch acr;
    uint32_t waits;
    const char* what;
  };
  const Case cases[] = {
      {true, false, {4, true, true}, 4, "a branch into code not yet cached: the refill waits"},
      {true, true, {4, true, true}, 0, "cached"},
      {true, true, {4, true, false}, 4, "ran before but no cache"},
      {false, false, {4, true, false}, 0, "running on: the prefetch buffer keeps up"},
      {false, false, {4, false, false}, 12, "running on without prefetch: each line waits"},
      {true, false, {4, false, false}, 12, "a branch in, then two more lines"},
      {true, false, {0, false, false}, 0, "no wait states"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fetch_waits(in_flash, c.jumped, c.ran_before, c.acr), c.waits) << c.what;
    EXPECT_EQ(fetch_waits(in_ram, c.jumped, c.ran_before, c.acr), 0u) << c.what << ", from SRAM";
  }
  EXPECT_EQ(block_cost(kAt + 6, code, true).later_lines, 3u) << "24 bytes from mid-line touch four lines";
}

TEST(M4Timing, TheClockAddsTheRefillWhenTheNextBlockIsNotTheFallThrough) {
  const std::vector<uint16_t> loop = {0x3801, 0xD1FD};  // subs r0, #1; bne
  const BlockCost c = block_cost(kAt, loop, true);
  for (const bool goes : {false, true}) {
    VirtualClock clock;
    clock.cur_cycles = start_block(clock, c, kAt + 4, true, true, {});
    const uint32_t next = goes ? kAt : kAt + 4;
    EXPECT_EQ(clock.commit_block_before(next), goes);
    EXPECT_EQ(clock.total_cycles_milli, (2 + (goes ? kRefill : 0)) * 1000) << (goes ? "taken" : "not taken");
    // The block after starts fresh: its own end decides, not the one before.
    clock.commit_block_before(kAt + 100);
    EXPECT_EQ(clock.total_cycles_milli, (2 + (goes ? kRefill : 0)) * 1000);
  }
}

}  // namespace
}  // namespace vboard::core::m4
