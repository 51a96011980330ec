// The polled interval timer: schedule without drift, catching up at most once,
// re-phasing, truncated fractional spans, single-precision targets, disabled
// timers.
#include <gtest/gtest.h>

#include "applib.h"
#include "front_fixture.h"
#include "ts_timer_ms.h"

using front_test::FrontBoard;

namespace {

void set_millis(uint64_t ms) {
  const uint64_t us = ms * 1000U;
  ___tim_count = us / 65536U;
  platform_host::set_counter(TIM7, static_cast<uint32_t>(us % 65536U));
}

struct ProbeTimer : tessel::ts_timer_ms {
  using ts_timer_ms::ts_timer_ms;
  uint32_t target() const { return _m.targetTime; }
  uint32_t now() const { return _m.now; }
  void set_target(uint32_t t) { _m.targetTime = t; }
};

using IntervalTimer = FrontBoard;

TEST_F(IntervalTimer, KeepsItsPhaseWhenLateByLessThanASpanAndRestartsWhenLater) {
  ProbeTimer timer(0.1F);
  set_millis(900);
  ASSERT_TRUE(timer.IsTime());  // first call after construction is due
  ASSERT_EQ(timer.target(), 1000U);

  // At 1830, late by exactly one span, the missed call stays due at once.
  const struct {
    uint32_t at;
    bool due;
    uint32_t next;
  } calls[] = {
      {1000, true, 1100},  {1050, false, 1100}, {1130, true, 1200}, {1205, true, 1300}, {1530, true, 1630},
      {1629, false, 1630}, {1630, true, 1730},  {1830, true, 1830}, {1830, true, 1930},
  };
  for (const auto& c : calls) {
    set_millis(c.at);
    EXPECT_EQ(timer.IsTime(), c.due) << "at " << c.at;
    EXPECT_EQ(timer.target(), c.next) << "at " << c.at;
  }
}

TEST_F(IntervalTimer, FirstCallIsDueAndSchedulesOneSpanAfterZeroIfThatIsStillAhead) {
  set_millis(40);
  ProbeTimer timer(0.1F);
  EXPECT_TRUE(timer.IsTime());
  EXPECT_EQ(timer.target(), 100U);
  EXPECT_FALSE(timer.IsTime());
}

TEST_F(IntervalTimer, DueWhenNowEqualsTheTarget) {
  ProbeTimer timer(0.1F);
  timer.set_target(2000);
  set_millis(2000);
  EXPECT_TRUE(timer.IsTime());
}

TEST_F(IntervalTimer, TargetMoreThanTenSpansAheadRestartsFromNow) {
  for (const uint32_t now : {1U, 3000U}) {
    ProbeTimer timer(0.1F);
    timer.set_target(5000);
    set_millis(now);
    EXPECT_FALSE(timer.IsTime()) << "at " << now;
    EXPECT_EQ(timer.target(), now + 100U) << "at " << now;
  }
}

TEST_F(IntervalTimer, TargetExactlyTenSpansAheadIsKept) {
  ProbeTimer timer(0.1F);
  timer.set_target(4000);
  set_millis(3000);
  EXPECT_FALSE(timer.IsTime());
  EXPECT_EQ(timer.target(), 4000U);
}

TEST_F(IntervalTimer, FractionalSpanAdvancesByItsWholePartOnly) {
  ProbeTimer timer(0.0125F);  // 12.5 ms
  set_millis(0);
  ASSERT_TRUE(timer.IsTime());
  EXPECT_EQ(timer.target(), 12U);
  for (uint32_t step = 1; step <= 5; ++step) {
    set_millis(12U * step);
    EXPECT_TRUE(timer.IsTime());
    EXPECT_EQ(timer.target(), 12U * (step + 1U));
  }
}

TEST_F(IntervalTimer, TargetsAbove2To24MsRoundToTheFloatSpacing) {
  ProbeTimer timer(0.1F);
  // 2^24 + 1 is not a float: it rounds to 2^24 (ties to even) before the span
  // is added, so the target is 16777316, not 16777317.
  timer.set_target(16777217U);
  set_millis(16777217U);
  EXPECT_TRUE(timer.IsTime());
  EXPECT_EQ(timer.target(), 16777316U);
  // From 2^31 ms the spacing is 256 ms: 2^31 + 1100 becomes 2^31 + 1024.
  timer.set_target(2147484648U);
  set_millis(2147484648U);
  EXPECT_TRUE(timer.IsTime());
  EXPECT_EQ(timer.target(), 2147484672U);
}

TEST_F(IntervalTimer, ZeroOrNegativeSpanIsNeverDueAndDoesNotTrackNow) {
  set_millis(10);
  for (const float span : {0.0F, -0.5F}) {
    ProbeTimer timer(span);
    set_millis(5000);
    EXPECT_FALSE(timer.IsTime());
    EXPECT_FALSE(timer.IsTime());
    EXPECT_EQ(timer.now(), 10U);
    set_millis(10);
  }
}

TEST_F(IntervalTimer, AfterMillisSaturatesEveryCallIsDue) {
  ProbeTimer timer(0.1F);
  set_millis(5000000000ULL);  // beyond 2^32 ms: millis() stays at 4294967295
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(timer.IsTime());
    EXPECT_EQ(timer.target(), 4294967295U);
  }
}

TEST_F(IntervalTimer, DefaultTimerIsDisabledUntilGivenASpanInSeconds) {
  ProbeTimer timer;
  set_millis(500);
  EXPECT_FALSE(timer.IsTime());
  timer.SetSpan(0.25F);
  EXPECT_FLOAT_EQ(timer.GetSpan(), 0.25F);
  EXPECT_TRUE(timer.IsTime());
  EXPECT_EQ(timer.target(), 750U);  // kept in milliseconds
}

TEST_F(IntervalTimer, ResetMakesTheNextDueCallOneSpanFromNow) {
  ProbeTimer timer(0.1F);
  set_millis(1234);
  timer.Reset();
  EXPECT_FALSE(timer.IsTime());
  set_millis(1333);
  EXPECT_FALSE(timer.IsTime());
  set_millis(1334);
  EXPECT_TRUE(timer.IsTime());
}

}  // namespace
