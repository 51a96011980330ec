// The static stack bound on code written out by hand: the stack effect of single
// Thumb-2 instructions, and the bound of a tiny image whose calls, tail calls,
// recursion and alloca are known.
#include <gtest/gtest.h>

#include "chip/chip.h"
#include "outputs/stack_bound_impl.h"

namespace vboard::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct SpCase {
  const char* text;
  Bytes code;
  int32_t reserve;
  bool by_register;
  bool returns;
};

TEST(StackBoundFrames, EachInstructionsStackEffect) {
  const SpCase cases[] = {
      {"push {r4, lr}", {0x10, 0xb5}, 8, false, false},
      {"push.w {r4-r8, lr}", {0x2d, 0xe9, 0xf0, 0x41}, 24, false, false},
      {"vpush {d8}", {0x2d, 0xed, 0x02, 0x8b}, 8, false, false},
      {"sub sp, #8", {0x82, 0xb0}, 8, false, false},
      {"sub.w sp, sp, #256", {0xad, 0xf5, 0x80, 0x7d}, 256, false, false},
      {"subw sp, sp, #291", {0xad, 0xf2, 0x23, 0x1d}, 291, false, false},
      {"str lr, [sp, #-4]!", {0x4d, 0xf8, 0x04, 0xed}, 4, false, false},
      {"add sp, #16", {0x04, 0xb0}, -16, false, false},
      {"vpop {d8}", {0xbd, 0xec, 0x02, 0x8b}, -8, false, false},
      {"pop {r4, pc}", {0x10, 0xbd}, -8, false, true},
      {"ldr.w pc, [sp], #4", {0x5d, 0xf8, 0x04, 0xfb}, -4, false, true},
      {"str r3, [sp, #4]", {0x01, 0x93}, 0, false, false},
      {"add r7, sp, #0", {0x00, 0xaf}, 0, false, false},
      {"sub.w sp, sp, r3", {0xad, 0xeb, 0x03, 0x0d}, 0, true, false},
      {"add sp, r0", {0x85, 0x44}, 0, true, false},
      {"mov sp, r0", {0x85, 0x46}, 0, true, false},
  };
  stack::Decoder dec;
  for (const SpCase& c : cases) {
    SCOPED_TRACE(c.text);
    const cs_insn* insn = dec.decode(c.code.data(), c.code.size(), 0x08000100);
    ASSERT_NE(insn, nullptr);
    const stack::SpEffect e = stack::sp_effect(insn);
    EXPECT_EQ(e.reserve, c.reserve);
    EXPECT_EQ(e.by_register, c.by_register);
    EXPECT_FALSE(e.unknown_write);
    EXPECT_EQ(e.returns, c.returns);
  }
}

// bl (link) or b.w from `at` to `to`, as Thumb-2 encodes them.
Bytes branch(uint32_t at, uint32_t to, bool link) {
  const uint32_t off = to - (at + 4);
  const uint32_t s = (off >> 24) & 1, i1 = (off >> 23) & 1, i2 = (off >> 22) & 1;
  const uint32_t j1 = (~(i1 ^ s)) & 1, j2 = (~(i2 ^ s)) & 1;
  const uint32_t hi = 0xF000 | s << 10 | ((off >> 12) & 0x3FF);
  const uint32_t lo = (link ? 0xD000 : 0x9000) | j1 << 13 | j2 << 11 | ((off >> 1) & 0x7FF);
  return {static_cast<uint8_t>(hi), static_cast<uint8_t>(hi >> 8), static_cast<uint8_t>(lo),
          static_cast<uint8_t>(lo >> 8)};
}

constexpr uint32_t kFlash = 0x08000000;
constexpr uint32_t kReset = kFlash + 0x200, kMiddle = kFlash + 0x208, kLeaf = kFlash + 0x214,
                   kTick = kFlash + 0x21c;

// Reset: push {r4, lr}; bl middle; pop {r4, pc}. Middle: push {lr}; sub sp, #16;
// `inner` (4 bytes); add sp, #16; pop {pc}. Leaf: push {r4-r6, lr}; pop {r4-r6, pc}.
// SysTick's handler: b.w middle (a tail call).
Image tiny_image(const Bytes& inner) {
  Bytes code(0x220, 0);
  const auto put = [&](uint32_t at, const Bytes& b) {
    std::copy(b.begin(), b.end(), code.begin() + (at - kFlash));
  };
  put(kFlash, {0x00, 0x80, 0x00, 0x20, 0x01, 0x02, 0x00, 0x08});  // initial SP 0x20008000, reset
  put(kFlash + 4 * 15, {0x1d, 0x02, 0x00, 0x08});                 // SysTick
  put(kReset, {0x10, 0xb5});
  put(kReset + 2, branch(kReset + 2, kMiddle, true));
  put(kReset + 6, {0x10, 0xbd});
  put(kMiddle, {0x00, 0xb5, 0x84, 0xb0});
  put(kMiddle + 4, inner);
  put(kMiddle + 8, {0x04, 0xb0, 0x00, 0xbd});
  put(kLeaf, {0x70, 0xb5, 0x70, 0xbd});
  put(kTick, branch(kTick, kMiddle, false));
  Image img;
  img.add_segment({kFlash, code});
  for (const auto& [at, size, name] : {std::tuple{kReset, 8u, "reset"}, std::tuple{kMiddle, 12u, "middle"},
                                       std::tuple{kLeaf, 4u, "leaf"}, std::tuple{kTick, 4u, "tick"}})
    img.add_symbol(Symbol{at, size, true, name, name});
  return img;
}

struct TinyCase {
  const char* what;
  Bytes inner;
  bool complete;
  uint32_t thread;     // when complete
  const char* reason;  // in the notes when not
};

TEST(StackBoundGraph, CallsTailCallsRecursionAndAllocaOfATinyImage) {
  const TinyCase cases[] = {
      {"no call", {0x00, 0xbf, 0x00, 0xbf}, true, 8 + 20, ""},
      {"a call to the leaf", branch(kMiddle + 4, kLeaf, true), true, 8 + 20 + 16, ""},
      {"a call back to reset", branch(kMiddle + 4, kReset, true), false, 0,
       "recursion: reset > middle > reset"},
      {"alloca", {0xad, 0xeb, 0x03, 0x0d}, false, 0, "moves SP by a register (alloca"},
  };
  for (const TinyCase& c : cases) {
    SCOPED_TRACE(c.what);
    const StackBound b = bound(tiny_image(c.inner), {{15, 0}});
    EXPECT_EQ(b.complete, c.complete);
    ASSERT_EQ(b.handlers.size(), 1u);
    const StackHandler& tick = b.handlers[0];
    EXPECT_EQ(tick.exception, 15u);
    EXPECT_EQ(tick.name, "tick");
    EXPECT_EQ(tick.bounded, c.complete);
    EXPECT_EQ(b.exception_frame_bytes, 32u);
    if (c.complete) {
      EXPECT_EQ(b.thread_bytes, c.thread);
      // The tail call leaves the handler's own frame (none) before middle's.
      EXPECT_EQ(tick.call_bytes, c.thread - 8);
      EXPECT_EQ(tick.bytes, c.thread - 8 + 32 + 4);
      EXPECT_EQ(b.worst_total_bytes, c.thread + tick.bytes);
      EXPECT_EQ(b.deepest_path.front(), "reset");
      EXPECT_EQ(b.deepest_path.back(), c.thread > 28 ? "leaf" : "middle");
    } else {
      std::string notes;
      for (const std::string& n : b.notes) notes += n + "\n";
      EXPECT_NE(notes.find(c.reason), std::string::npos) << notes;
    }
  }
}

}  // namespace
}  // namespace vboard::test
