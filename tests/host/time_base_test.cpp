// micros(), millis() and delay(): continuity across TIM7 wraps, wraps whose
// interrupt is still pending, overflows that interrupt a read, rounding and
// saturation of milliseconds, and the tick-based wait.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "applib.h"
#include "front_fixture.h"

using front_test::FrontBoard;
using front_test::kWrap;
using front_test::set_time;
using platform_host::TimerRead;

namespace {

class TimeBase : public FrontBoard {
 protected:
  void SetUp() override {
    FrontBoard::SetUp();
    ___micros_latest = 0;
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
      // The overflow happens between the snapshot of the count and the counter
      // read; its interrupt can run only if micros() left interrupts open.
      EXPECT_TRUE(platform_host::primask) << "micros() reads with interrupts masked";
      platform_host::wrap_timer(tim, 3, platform_host::primask);
    }
  });
  EXPECT_EQ(micros(), (n + 1) * kWrap + 3)
      << "count from before the wrap combined with a counter from after it";
  EXPECT_FALSE(platform_host::primask) << "the mask is restored";
  platform_host::deliver_timer_update(TIM7);
  EXPECT_EQ(micros(), (n + 1) * kWrap + 3) << "the held interrupt must not count the wrap twice";
}

TEST_F(TimeBase, OverflowInterruptAtTheFlagReadIsSeenByTheRecheck) {
  const uint64_t n = 5;
  set_time(n * kWrap + 65535);
  int status_reads = 0;
  platform_host::set_timer_read_hook([&](TIM_TypeDef* tim, TimerRead what) {
    if (what == TimerRead::Status && ++status_reads == 1) {
      platform_host::wrap_timer(tim, 1, platform_host::primask);  // wraps at the flag read
    }
  });
  EXPECT_EQ(micros(), (n + 1) * kWrap + 1);
  platform_host::deliver_timer_update(TIM7);
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

// An edge storm keeps the update interrupt waiting (it has the pin interrupt's
// priority and loses ties) while TIM7 wraps again and again; the pin interrupt
// calls micros() on every edge. The flag holds one wrap; the others must still
// be counted, and the time must never step back.
TEST_F(TimeBase, WrapsLostWhileTheUpdateInterruptIsStarvedAreCountedExactly) {
  for (const uint64_t wraps_starved : {1U, 2U, 3U, 7U}) {
    SCOPED_TRACE(std::to_string(wraps_starved) + " wraps without the update interrupt");
    const uint64_t n = 9;
    set_time(n * kWrap + 60000);
    uint64_t truth = n * kWrap + 60000;
    uint64_t previous = micros();
    ASSERT_EQ(previous, truth);
    // Calls every 5000 us, as edges of a storm would make them (far more often
    // in reality); the counter wraps under the held interrupt.
    while (truth < (n + wraps_starved) * kWrap + 30000) {
      const uint64_t next = truth + 5000;
      if (next / kWrap != truth / kWrap) {
        platform_host::wrap_timer(TIM7, static_cast<uint32_t>(next % kWrap), true);
      } else {
        platform_host::set_counter(TIM7, static_cast<uint32_t>(next % kWrap));
      }
      truth = next;
      const uint64_t t = micros();
      ASSERT_EQ(t, truth);
      ASSERT_GE(t, previous);
      previous = t;
    }
    // The storm ends: the update interrupt runs once, for its one flag, and its
    // callback looks at the time.
    platform_host::deliver_timer_update(TIM7);
    EXPECT_EQ(___tim_count, truth / kWrap);
    EXPECT_EQ(micros(), truth);
  }
}

// The storm ended between a lost wrap and any further call: the update
// interrupt's own look at the time must find the lost wrap.
TEST_F(TimeBase, LostWrapJustBeforeTheStormEndsIsFoundByTheUpdateCallback) {
  const uint64_t n = 4;
  set_time(n * kWrap + 65000);
  platform_host::wrap_timer(TIM7, 10, true);  // first wrap: the flag holds it
  ASSERT_EQ(micros(), (n + 1) * kWrap + 10);
  platform_host::set_counter(TIM7, 65530);
  ASSERT_EQ(micros(), (n + 1) * kWrap + 65530);  // the storm's last edge
  platform_host::wrap_timer(TIM7, 20, true);     // second wrap: lost to the flag
  platform_host::deliver_timer_update(TIM7);
  EXPECT_EQ(___tim_count, n + 2);
  platform_host::set_counter(TIM7, 50000);  // the next call, long after
  EXPECT_EQ(micros(), (n + 2) * kWrap + 50000);
}

// A wrap that nothing could see (no call for longer than a wrap while the
// interrupt was held) cannot be recovered; the time must still not go back.
TEST_F(TimeBase, UnseenLostWrapStillNeverGoesBackwards) {
  set_time(2 * kWrap + 40000);
  const uint64_t before = micros();
  platform_host::wrap_timer(TIM7, 100, true);
  platform_host::wrap_timer(TIM7, 30000, true);  // 2 wraps, no call between
  EXPECT_GE(micros(), before);
}

// A reading below the latest one can only come from wraps seen by no one; the
// fewest that bring it level are added: one count below is a wrap less one
// count later, a whole wrap below is the same time again.
TEST_F(TimeBase, ReadingBelowTheLatestAddsTheFewestLostWraps) {
  const struct {
    uint64_t wraps;
    uint32_t counter;
    uint64_t later;
  } cases[] = {{2, 39999, kWrap - 1}, {1, 40000, 0}};
  for (const auto& c : cases) {
    ___micros_latest = 0;
    set_time(2 * kWrap + 40000);
    const uint64_t before = micros();
    ___tim_count = c.wraps;
    platform_host::set_counter(TIM7, c.counter);
    EXPECT_EQ(micros(), before + c.later) << c.wraps << " wraps, counter " << c.counter;
  }
}

// The millisecond figure as double arithmetic gives it: the conversion this
// time base was first written with, kept here as the reference.
uint32_t millis_by_double(uint64_t us) {
  const double ms = static_cast<double>(us) / 1000.0;
  return ms >= 4294967296.0 ? 0xFFFFFFFFU : static_cast<uint32_t>(ms);
}

// Integer and double conversions agree everywhere: below 2^53 us the double
// is exact, and us / 1000 lies at least 1/1000 below the next integer while
// the double's spacing there is at most 2^-20, so rounding never reaches it;
// from 2^32 ms on both saturate. Checked at the boundaries and on a sample.
TEST_F(TimeBase, MillisEqualsTheDoubleConversionAtBoundariesAndOnARandomSample) {
  std::vector<uint64_t> cases = {0,
                                 1,
                                 999,
                                 1000,
                                 1001,
                                 65535,
                                 65536,
                                 65536000,
                                 (1ULL << 32) - 1,
                                 1ULL << 32,
                                 (1ULL << 39) - 1,
                                 1ULL << 39,
                                 (1ULL << 39) + 7,
                                 1ULL << 42,
                                 1ULL << 53,
                                 (1ULL << 53) + 1,
                                 ~0ULL};
  for (uint64_t k = 1; k < 4294967296ULL; k = k * 3 + 1) {
    for (const int64_t d : {-1, 0, 1, 999, 1000}) cases.push_back(k * 1000 + static_cast<uint64_t>(d));
  }
  for (const int64_t d : {-1001, -1000, -999, -1, 0, 1, 999, 1000}) {
    cases.push_back(static_cast<uint64_t>(4294967296000LL + d));
  }
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 1000000; ++i) {
    // Uniform over magnitudes: every bit length up to 46 equally often.
    const uint64_t v = rng();
    cases.push_back(v >> (18 + v % 46));
  }
  for (const uint64_t us : cases) {
    set_time(us);
    ASSERT_EQ(millis(), millis_by_double(us)) << us << " us";
  }
}

}  // namespace
