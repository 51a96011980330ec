// micros(), millis() and delay(): continuity across TIM7 wraps, wraps whose
// interrupt is still pending, overflows that interrupt a read, rounding and
// saturation of milliseconds, and the tick-based wait.
#include <gtest/gtest.h>

#include "applib.h"
#include "front_board.h"

using front_test::FrontBoard;
using platform_host::TimerRead;

namespace {

constexpr uint64_t kWrap = 65536;

// Puts the time base at `us` without running the timer (TIM7 stays stopped,
// so the time only moves when the test says so).
void set_time(uint64_t us) {
  ___tim_count = us / kWrap;
  platform_host::set_counter(TIM7, static_cast<uint32_t>(us % kWrap));
}

class TimeBase : public FrontBoard {
 protected:
  void SetUp() override {
    FrontBoard::SetUp();
    // Update interrupt enabled so that wrap_timer runs the real handler path.
    TIM7->DIER = TIM7->DIER | 1U;
  }
  void TearDown() override {
    platform_host::set_timer_read_hook(nullptr);
    FrontBoard::TearDown();
  }
};

TEST_F(TimeBase, ContinuousAcrossAWrap) {
  const uint64_t n = 7;
  ___tim_count = n;
  platform_host::set_counter(TIM7, 65535);
  EXPECT_EQ(micros(), n * kWrap + 65535);
  platform_host::wrap_timer(TIM7, 0, false);  // one microsecond later
  EXPECT_EQ(___tim_count, n + 1);
  EXPECT_EQ(micros(), (n + 1) * kWrap);
}

TEST_F(TimeBase, RunningTimerGivesElapsedMicroseconds) {
  ASSERT_EQ(HAL_TIM_Base_Start_IT(&htim7), HAL_OK);
  platform_host::advance_us(1234567);
  EXPECT_EQ(micros(), 1234567U);
  EXPECT_EQ(___tim_count, 1234567U / kWrap);
}

TEST_F(TimeBase, WrapWithItsInterruptStillPendingIsCountedOnce) {
  // As seen from the pin-change interrupt: TIM7 has wrapped, its update
  // interrupt (same priority) cannot run yet.
  const uint64_t n = 3;
  ___tim_count = n;
  platform_host::wrap_timer(TIM7, 5, true);
  EXPECT_EQ(micros(), (n + 1) * kWrap + 5) << "a pending wrap must not leave the time 65536 us short";
  platform_host::deliver_timer_update(TIM7);
  EXPECT_EQ(___tim_count, n + 1);
  EXPECT_EQ(micros(), (n + 1) * kWrap + 5) << "once the interrupt ran, the wrap must not count twice";
}

TEST_F(TimeBase, WrapBetweenCounterReadAndFlagReadDoesNotCountTwice) {
  const uint64_t n = 11;
  set_time(n * kWrap + 65535);
  int status_reads = 0;
  platform_host::set_timer_read_hook([&](TIM_TypeDef* tim, TimerRead what) {
    if (what == TimerRead::Status && ++status_reads == 1) {
      platform_host::wrap_timer(tim, 0, true);  // wraps after the counter read 65535
    }
  });
  // Either side of the wrap is a true time (65535 just before it, 0 just after);
  // the counter from before the wrap plus the pending wrap would be a whole
  // period in the future.
  const uint64_t t = micros();
  EXPECT_GE(t, n * kWrap + 65535);
  EXPECT_LE(t, (n + 1) * kWrap);
}

TEST_F(TimeBase, OverflowInterruptJustBeforeTheCounterReadMakesTheCallLookAgain) {
  const uint64_t n = 20;
  set_time(n * kWrap + 65535);
  int counter_reads = 0;
  platform_host::set_timer_read_hook([&](TIM_TypeDef* tim, TimerRead what) {
    if (what == TimerRead::Counter && ++counter_reads == 1) {
      // The overflow happens and its interrupt runs between the snapshot of the
      // count and the counter read.
      platform_host::wrap_timer(tim, 3, false);
    }
  });
  EXPECT_EQ(micros(), (n + 1) * kWrap + 3)
      << "count from before the wrap combined with a counter from after it";
  EXPECT_GE(counter_reads, 2);
}

TEST_F(TimeBase, OverflowInterruptAtTheFlagReadIsSeenByTheRecheck) {
  const uint64_t n = 5;
  set_time(n * kWrap + 65535);
  int status_reads = 0;
  platform_host::set_timer_read_hook([&](TIM_TypeDef* tim, TimerRead what) {
    if (what == TimerRead::Status && ++status_reads == 1) {
      platform_host::wrap_timer(tim, 1, false);  // wraps and its interrupt runs at once
    }
  });
  EXPECT_EQ(micros(), (n + 1) * kWrap + 1);
}

TEST_F(TimeBase, MillisRoundsDown) {
  const std::pair<uint64_t, uint32_t> cases[] = {
      {0, 0}, {999, 0}, {1000, 1}, {1999999, 1999}, {65535999, 65535}, {4294967294999ULL, 4294967294U}};
  for (const auto& [us, ms] : cases) {
    set_time(us);
    EXPECT_EQ(millis(), ms) << us << " us";
  }
}

TEST_F(TimeBase, MillisSaturatesInsteadOfWrapping) {
  for (const uint64_t us : {4294967295999ULL, 4294967296000ULL, 4294967296999ULL, 1ULL << 50, 1ULL << 60}) {
    set_time(us);
    EXPECT_EQ(millis(), 4294967295U) << us << " us";
  }
}

TEST_F(TimeBase, DelayWaitsAtLeastMsAndLessThanMsPlusOneTicks) {
  platform_host::advance_us(400);  // part way into a tick
  const uint64_t start = platform_host::now_us();
  delay(10);
  const uint64_t waited = platform_host::now_us() - start;
  EXPECT_GE(waited, 10000U);
  EXPECT_LT(waited, 11000U);
  EXPECT_EQ(platform_host::calls().last_delay_ms, 10U);
}

TEST_F(TimeBase, DelayZeroReturnsAtTheNextTick) {
  platform_host::advance_us(300);
  const uint32_t tick = platform_host::tick();
  delay(0);
  EXPECT_EQ(platform_host::tick(), tick + 1);
  EXPECT_EQ(platform_host::now_us(), 1000U);
}

TEST_F(TimeBase, DelayWorksBeforeTim7Starts) {
  delay(10);
  EXPECT_EQ(platform_host::tick(), 11U);  // from a tick boundary: ms + 1 ticks
  EXPECT_EQ(micros(), 0U);
}

}  // namespace
