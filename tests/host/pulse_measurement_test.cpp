// Pulse measurement on pin-change events: level tracking, high-phase widths
// (saturating), the ten-period frequency window against exact rational
// arithmetic, and stamps taken while a TIM7 wrap is still pending.
#include <gtest/gtest.h>

#include <cstdint>

#include "applib.h"
#include "front_fixture.h"
#include "probe_pin.h"
#include "ts_middle.h"

using front_test::FrontBoard;
using front_test::kWrap;
using front_test::set_time;

namespace {

class PulseMeasurement : public FrontBoard {
 protected:
  void SetUp() override {
    FrontBoard::SetUp();
    ___skip = 0U;
    platform_host::set_input(GPIOA, GPIO_PIN_0, false);  // line low before the pin exists
    pin_.setup(tessel::PA0, 1);
  }
  // A level on PA0 at time `us`, through the real interrupt path.
  void edge(bool high, uint64_t us) {
    set_time(us);
    platform_host::set_input(GPIOA, GPIO_PIN_0, high);
  }
  // `count` rising transitions `period_us` apart from `start`, high for half a period.
  void square(uint64_t start, uint64_t period_us, int count) {
    for (int i = 0; i < count; ++i) {
      edge(true, start + static_cast<uint64_t>(i) * period_us);
      edge(false, start + static_cast<uint64_t>(i) * period_us + period_us / 2);
    }
  }
  ProbePin pin_;
};

TEST_F(PulseMeasurement, HighPhaseWidthIsTheTimeFromRiseToFall) {
  edge(true, 10000);
  edge(false, 11500);
  EXPECT_EQ(pin_.GetLastPulse(), 1500U);
  EXPECT_EQ(pin_.state(), 0U);
}

TEST_F(PulseMeasurement, HighPhaseLongerThan16BitsSaturates) {
  edge(true, 10000);
  edge(false, 80000);
  EXPECT_EQ(pin_.GetLastPulse(), 65535U) << "70000 us must not wrap to 4464";
}

TEST_F(PulseMeasurement, FirstSampleLowLeavesWidthZero) {
  set_time(5000);
  tessel::ts_digitalPin::INT_changed(GPIO_PIN_0);  // the line is low
  EXPECT_EQ(pin_.GetLastPulse(), 0U);
  EXPECT_EQ(pin_.GetDownCounter(), 1U);
  EXPECT_EQ(pin_.state(), 0U);
}

// A second high sample means the line fell and rose again unseen: the high
// phase in progress is timed from that sample, not from the first rise, so a
// storm sampled at one phase cannot add up to a long pulse. The frequency
// window and the counters are left as they were.
TEST_F(PulseMeasurement, RepeatedHighSampleRestartsTheHighPhase) {
  edge(true, 1000);
  set_time(1400);
  tessel::ts_digitalPin::INT_changed(GPIO_PIN_0);  // high again: a fall and rise were missed
  EXPECT_EQ(pin_.GetUpCounter(), 2U);
  EXPECT_EQ(pin_.last_rising(), 1400U);
  EXPECT_EQ(pin_.pwm_count(), 1U);
  edge(false, 2000);
  EXPECT_EQ(pin_.GetLastPulse(), 600U);
  // A thousand high samples 1 us apart, then a low one: only the last
  // stretch between samples counts, never the 1000 us the storm lasted.
  edge(true, 3000);
  for (uint64_t t = 3001; t < 4000; ++t) {
    set_time(t);
    tessel::ts_digitalPin::INT_changed(GPIO_PIN_0);  // the line read high every time
  }
  edge(false, 4001);
  EXPECT_EQ(pin_.GetLastPulse(), 2U);
}

TEST_F(PulseMeasurement, WidthIsExactWhenTheFallComesWhileAWrapIsPending) {
  // Rise shortly before a TIM7 wrap; the fall is stamped from inside the pin
  // interrupt while the wrap's own interrupt is still waiting.
  TIM7->DIER = TIM7->DIER | 1U;
  edge(true, 4 * kWrap + 65000);
  platform_host::wrap_timer(TIM7, 500, true);
  platform_host::set_input(GPIOA, GPIO_PIN_0, false);
  EXPECT_EQ(pin_.GetLastPulse(), 1036U);
  platform_host::deliver_timer_update(TIM7);
  EXPECT_EQ(___tim_count, 5U);
}

// Exact reference: the integer nearest to 10 periods / length, saturated.
bool is_rounded_frequency(uint16_t hz, uint64_t length_us) {
  // exact = 10^7 / length; nearest integer n satisfies |n * length - 10^7| <= length / 2.
  const int64_t exact_num = 10000000;
  const auto len = static_cast<int64_t>(length_us);
  if (exact_num * 2 >= 65535 * 2 * len + len) {  // exact >= 65535.5
    return hz == 65535U;
  }
  const int64_t diff = static_cast<int64_t>(hz) * len - exact_num;
  return 2 * (diff < 0 ? -diff : diff) <= len;
}

TEST_F(PulseMeasurement, FrequencyOfASteadySignalIsTheRoundedTenPeriodAverage) {
  // 16 ms periods: 62.5 Hz exactly, and a half rounds up; 202 us periods:
  // 4950.495 Hz, just under a half, rounds down.
  const std::pair<uint64_t, uint16_t> cases[] = {{2000, 500}, {20000, 50}, {1000, 1000},
                                                 {15, 65535}, {16000, 63}, {202, 4950}};
  uint64_t t = 100000;
  for (const auto& [period, hz] : cases) {
    square(t, period, 11);
    EXPECT_EQ(pin_.GetHZ(), hz) << period << " us periods";
    EXPECT_EQ(pin_.pwm_count(), 0U);
    t += 12 * period + 100000;
  }
}

TEST_F(PulseMeasurement, FrequencyMatchesExactRationalArithmeticOverASweep) {
  uint64_t t = 1000;
  int checked = 0;
  for (uint64_t period = 1; period < 300000; period = period * 5 / 4 + 1) {
    square(t, period, 11);
    EXPECT_TRUE(is_rounded_frequency(pin_.GetHZ(), 10 * period))
        << "period " << period << " gave " << pin_.GetHZ();
    t += 11 * period + 7;
    ++checked;
  }
  // Lengths that are not whole periods: a jittered window.
  for (uint64_t extra = 1; extra < 4000; extra = extra * 3 + 1) {
    edge(true, t);
    edge(false, t + 1);
    for (int i = 1; i <= 10; ++i) {
      edge(true, t + static_cast<uint64_t>(i) * 1000 + (i == 10 ? extra : 0));
      edge(false, t + static_cast<uint64_t>(i) * 1000 + (i == 10 ? extra : 0) + 1);
    }
    EXPECT_TRUE(is_rounded_frequency(pin_.GetHZ(), 10000 + extra)) << "window " << 10000 + extra;
    t += 20000;
    ++checked;
  }
  EXPECT_GT(checked, 50);
}

TEST_F(PulseMeasurement, ZeroLengthWindowSaturates) {
  set_time(777);
  for (int i = 0; i < 11; ++i) {
    platform_host::set_input(GPIOA, GPIO_PIN_0, true);
    platform_host::set_input(GPIOA, GPIO_PIN_0, false);
  }
  EXPECT_EQ(pin_.GetHZ(), 65535U);
}

TEST_F(PulseMeasurement, WindowLongerThan2To32MicrosecondsGivesZeroHertz) {
  edge(true, 1000);
  edge(false, 1500);
  const uint64_t later = 1000 + (1ULL << 32) + 5000;
  square(later, 1000, 10);
  EXPECT_EQ(pin_.GetHZ(), 0U) << "a window of over 71 minutes is below 1 Hz";
  // Exactly 2^32 us, the first length the 32-bit division cannot hold.
  const uint64_t start = later + 100000;
  edge(true, start);
  edge(false, start + 500);
  square(start + (1ULL << 32) - 9000, 1000, 10);
  EXPECT_EQ(pin_.GetHZ(), 0U) << "a window of exactly 2^32 us";
}

TEST_F(PulseMeasurement, TheClosingTransitionDoesNotOpenTheNextWindow) {
  square(10000, 2000, 11);
  ASSERT_EQ(pin_.GetHZ(), 500U);
  // A 5000 us gap, then 1000 us periods: the next window opens after the gap.
  const uint64_t next = 10000 + 10 * 2000 + 5000;
  square(next, 1000, 1);
  EXPECT_EQ(pin_.pwm_count(), 1U);
  EXPECT_EQ(pin_.pwm_time(), next);
  square(next + 1000, 1000, 10);
  EXPECT_EQ(pin_.GetHZ(), 1000U);
}

}  // namespace
