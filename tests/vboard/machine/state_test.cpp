// The whole board's state saved, restored and compared on both lamp images:
// a run that goes back to a saved point and runs on again ends exactly where
// the first one ended; two machines with the same inputs hold equal state; and
// a single changed field is named.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "chip/stm32g431_regs.h"
#include "outputs/report.h"
#include "support/fake_board.h"
#include "support/firmware.h"
#include "vboard/state.h"
#include "world/described_board.h"

namespace vboard::test {
namespace {

struct Case {
  const char* image;
  bool idle_skip;
  ns_t t1, t2;
  Timing timing = Timing::flat;
};

// Front: the pulse train on its input; rear: its switch opens mid-run.
MachineOptions options(const Case& c) {
  MachineOptions o;
  o.idle_skip = c.idle_skip;
  o.timing = c.timing;
  if (std::string(c.image) == kFront)
    o.pulses.push_back({"PA0", 1500 * kUs, 20 * kMs, 20 * kMs});
  else
    o.levels.push_back({"PB5", 0, 10 * kMs});
  return o;
}

std::unique_ptr<Machine> machine(const Image& img, const Case& c) {
  return std::make_unique<Machine>(img, options(c), board_factory(default_board(img)));
}

// The run's whole JSON document, without the host's wall time.
std::string json(const Machine& m) {
  RunResult r = m.result();
  r.wall_s = 0;
  return to_json(r, ReportInfo{});
}

const Case kCases[] = {
    {kFront, true, 45 * kMs, 90 * kMs},
    {kFront, false, 45 * kMs, 60 * kMs},
    {kRear, true, 7 * kMs, 45 * kMs},
    {kRear, false, 7 * kMs, 25 * kMs},
    {kRear, true, 7 * kMs, 45 * kMs, Timing::m4},
};

std::string name(const Case& c) {
  return std::string(c.image) + (c.idle_skip ? "" : " --no-idle-skip") +
         (c.timing == Timing::m4 ? " --timing m4" : "");
}

TEST(BoardState, RestoredRunEndsInTheSameResultAndState) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(name(c));
    VBOARD_IMAGE(img, c.image);
    auto m = machine(*img, c);
    m->run_until(c.t1);
    const BoardState at_t1 = m->save_state();
    m->run_until(c.t2);
    const std::string first = json(*m);
    const BoardState at_t2 = m->save_state();
    ASSERT_NE(m->compare_state(at_t1), "");

    ASSERT_TRUE(m->restore_state(at_t1));
    EXPECT_EQ(m->compare_state(at_t1), "");
    EXPECT_EQ(m->save_state(), at_t1);
    m->run_until(c.t2);
    EXPECT_EQ(json(*m), first);
    EXPECT_EQ(m->compare_state(at_t2), "");

    // A machine built afresh takes the state too and goes on the same way.
    auto fresh = machine(*img, c);
    ASSERT_TRUE(fresh->restore_state(at_t1));
    fresh->run_until(c.t2);
    EXPECT_EQ(fresh->compare_state(at_t2), "");
    EXPECT_EQ(json(*fresh), first);
  }
}

TEST(BoardState, SameInputsGiveEqualStateAndOneChangeIsNamed) {
  struct Poke {
    const char* what;
    std::function<void(Machine&)> poke;
    const char* named;
  };
  const Poke pokes[] = {
      {"a SRAM byte",
       [](Machine& m) {
         uint8_t b = 0;
         m.debug_read(0x20000100, &b, 1);
         b ^= 0x5A;
         m.debug_write(0x20000100, &b, 1);
       },
       "machine.space.sram[256]"},
      {"a timer register",
       [](Machine& m) {
         auto& timer = dynamic_cast<world::DescribedBoard&>(m.board()).chip().timer("TIM17");
         timer.dma_write(periph::tim::PSC, timer.reg("PSC") ^ 0x11, 4);
       },
       "TIM17.PSC"},
      {"a core register",
       [](Machine& m) {
         uint64_t r7 = 0;
         m.cpu_reg(CoreReg::r7, r7);
         m.set_cpu_reg(CoreReg::r7, r7 ^ 4);
       },
       "machine.cpu.r7"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(name(c));
    VBOARD_IMAGE(img, c.image);
    auto a = machine(*img, c);
    a->run_until(c.t1);
    const BoardState saved = a->save_state();
    for (const Poke& p : pokes) {
      SCOPED_TRACE(p.what);
      auto b = machine(*img, c);
      b->run_until(c.t1);
      EXPECT_EQ(b->save_state(), saved);
      EXPECT_EQ(b->compare_state(saved), "");
      p.poke(*b);
      EXPECT_EQ(b->compare_state(saved), p.named);
    }
  }
}

TEST(BoardState, ArchiveOfAnotherBoardIsRefusedAndChangesNothing) {
  VBOARD_IMAGE(front, kFront);
  VBOARD_IMAGE(rear, kRear);
  auto f = machine(*front, kCases[0]);
  auto r = machine(*rear, kCases[2]);
  f->run_until(2 * kMs);
  r->run_until(2 * kMs);
  const BoardState before = f->save_state();
  BoardState cut = before;
  cut.resize(cut.size() / 2);
  EXPECT_FALSE(f->restore_state(cut));
  EXPECT_FALSE(f->restore_state(r->save_state()));  // the rear board's sources drive another pin
  EXPECT_EQ(f->compare_state(before), "");
}

// The fake board's device (its write log, its schedule of interrupt lines) and
// the board's clock rate go back too, on the self-test image's FP-context
// scenario: an interrupt at 2 ms on a misaligned stack.
TEST(BoardState, FakeBoardTakesItsStateBack) {
  std::string err;
  const auto img = Image::load(SELFTEST_ELF, kChip, &err);
  ASSERT_TRUE(img) << err;
  Machine m(*img, MachineOptions{}, [](Bus& b) { return std::make_unique<FakeBoard>(b); });
  auto& dev = static_cast<FakeBoard&>(m.board()).dev;
  dev.scenario = 1;
  dev.schedule = {{2 * kMs, 0}};
  m.run_until(1 * kMs);
  const BoardState at_t1 = m.save_state();
  m.run_until(20 * kMs);
  const BoardState at_t2 = m.save_state();
  const std::vector<LogEntry> log = dev.log;
  ASSERT_FALSE(log.empty());
  ASSERT_TRUE(m.restore_state(at_t1));
  EXPECT_TRUE(dev.log.empty());
  m.run_until(20 * kMs);
  EXPECT_EQ(m.compare_state(at_t2), "");
  ASSERT_EQ(dev.log.size(), log.size());
  for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(dev.log[i].t, log[i].t);
}

}  // namespace
}  // namespace vboard::test
