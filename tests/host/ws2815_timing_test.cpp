// The strip's bit timing in integer and single-precision steps against the
// double-precision derivation it replaces (with ceil for the prescaler), for
// every timer clock from 1 MHz to 170 MHz.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "ts_ws2815.h"

namespace {

// The derivation in double precision, step by step as it was first written.
uint32_t truncate_clamped(double value, uint32_t max) {
  if (!(value > 0.0)) return 0U;
  if (value >= static_cast<double>(max)) return max;
  return static_cast<uint32_t>(value);
}

tessel::ws2815_timing by_double(uint32_t hz) {
  const float clock = static_cast<float>(static_cast<double>(hz) * 1e-6);
  const auto div =
      static_cast<uint16_t>(truncate_clamped(std::ceil(1.25 / static_cast<double>(clock * 255.0F)), 0xFFFFU));
  const float flank_time = 1.0F / clock;
  const double t = 1.0 / static_cast<double>(flank_time);
  tessel::ws2815_timing timing{};
  timing.high = static_cast<uint8_t>(truncate_clamped(t * 0.8 - 1.0, 0xFFU));
  timing.low = static_cast<uint8_t>(truncate_clamped(t * 0.3 - 1.0, 0xFFU));
  timing.prescaler = div > 0U ? div - 1U : 0U;
  timing.period = truncate_clamped(t * 1.25 - 1.0, 0xFFFFFFFFU);
  return timing;
}

// Every clock in hertz; builds under the sanitizers (several times slower)
// take every 997th, which still meets each rounding case many times.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kStepHz = 997U;
#else
constexpr uint32_t kStepHz = 1U;
#endif

TEST(Ws2815Timing, EqualsTheDoubleDerivationForEveryClockFrom1To170MHz) {
  uint64_t checked = 0;
  for (uint32_t hz = 1000000U; hz <= 170000000U; hz += kStepHz) {
    const tessel::ws2815_timing got = tessel::ws2815_timing_for(hz);
    const tessel::ws2815_timing want = by_double(hz);
    if (got.high != want.high || got.low != want.low || got.period != want.period ||
        got.prescaler != want.prescaler) {
      FAIL() << hz << " Hz: high " << +got.high << "/" << +want.high << ", low " << +got.low << "/"
             << +want.low << ", period " << got.period << "/" << want.period << ", prescaler "
             << got.prescaler << "/" << want.prescaler;
    }
    ++checked;
  }
  EXPECT_EQ(checked, (170000000U - 1000000U) / kStepHz + 1U);
}

TEST(Ws2815Timing, BoardClockAndCrossCheck) {
  const tessel::ws2815_timing at150 = tessel::ws2815_timing_for(150000000U);
  EXPECT_EQ(at150.prescaler, 0U);
  EXPECT_EQ(at150.period, 186U);
  EXPECT_EQ(at150.high, 118U) << "t rounds to 149.99999637, not 150";
  EXPECT_EQ(at150.low, 43U);
  const tessel::ws2815_timing at170 = tessel::ws2815_timing_for(170000000U);
  EXPECT_EQ(at170.period, 211U);
  EXPECT_EQ(at170.high, 134U);
  EXPECT_EQ(at170.low, 49U);
}

// Below 1 MHz no strip can be driven; the counts must still come out sane.
TEST(Ws2815Timing, SlowClocksGiveNoUndefinedCounts) {
  for (const uint32_t hz : {0U, 1U, 243U, 244U, 4901U, 4902U, 100000U, 999999U}) {
    const tessel::ws2815_timing got = tessel::ws2815_timing_for(hz);
    EXPECT_EQ(got.high, 0U) << hz;
    EXPECT_EQ(got.low, 0U) << hz;
    EXPECT_LE(got.prescaler, 65534U) << hz;
    if (hz >= 244U) {
      const tessel::ws2815_timing want = by_double(hz);
      EXPECT_EQ(got.period, want.period) << hz;
      EXPECT_EQ(got.prescaler, want.prescaler) << hz;
    }
  }
}

}  // namespace
