// The front controller end to end on the host platform: real edges on PA0
// stamped by the running time base, cpp_setup/cpp_loop, and the light outputs
// as the platform saw them written.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "application.h"
#include "front_fixture.h"
#include "ts_middle.h"

using front_test::FrontBoard;
using platform_host::PinWrite;

namespace {

// What a complete pulse of `width_us` must leave the lights at, beside the
// threshold the firmware has now, so that a changed threshold says so when a
// test fails.
std::string threshold_says(uint64_t width_us, bool on) {
  return "a " + std::to_string(width_us) + " us pulse must leave the lights " + (on ? "on" : "off") +
         " (on from 1300 us; the firmware switches on above kOnAboveUs = " +
         std::to_string(aurelis::kOnAboveUs) + " us)";
}

class FrontApplication : public FrontBoard {
 protected:
  // A complete control pulse of `width_us` on PA0, starting now.
  static void pulse(uint64_t width_us) {
    front_test::drive_pa0(true);
    platform_host::advance_us(width_us);
    front_test::drive_pa0(false);
    platform_host::advance_us(500);
  }
  static bool lights_on() {
    const bool left = platform_host::output_level(GPIOA, GPIO_PIN_9);
    const bool right = platform_host::output_level(GPIOA, GPIO_PIN_8);
    EXPECT_EQ(left, right);
    return left;
  }
  void SetUp() override {
    FrontBoard::SetUp();
    front_test::drive_pa0(false);  // control line idle low
  }
};

TEST_F(FrontApplication, OutputsGoHighInSetupThenLowOnTheFirstPassWithoutAPulse) {
  cpp_setup();
  EXPECT_TRUE(lights_on());
  cpp_loop();
  EXPECT_FALSE(lights_on());
  const std::vector<PinWrite>& log = platform_host::write_log();
  ASSERT_EQ(log.size(), 4U);
  EXPECT_EQ(log[0].level, GPIO_PIN_SET);
  EXPECT_EQ(log[1].level, GPIO_PIN_SET);
  EXPECT_EQ(log[2].level, GPIO_PIN_RESET);
  EXPECT_EQ(log[3].level, GPIO_PIN_RESET);
}

TEST_F(FrontApplication, ThresholdIs1300MicrosecondsMeasuredFromRealEdges) {
  // Each width flips the decision of the one before, so that a stale decision
  // cannot pass; the widths one and two microseconds either side of 1300 catch a
  // threshold moved by one either way.
  struct Case {
    uint64_t width_us;
    bool on;
  };
  const Case cases[] = {{1300, true},  {1299, false}, {1301, true},
                        {1298, false}, {2000, true},  {1000, false}};
  cpp_setup();
  for (const Case& c : cases) {
    SCOPED_TRACE("a pulse of " + std::to_string(c.width_us) + " us");
    pulse(c.width_us);
    cpp_loop();
    EXPECT_EQ(lights_on(), c.on) << threshold_says(c.width_us, c.on);
  }
}

TEST_F(FrontApplication, PulsesStraddlingTim7WrapsAreMeasuredCorrectly) {
  // The widths sit either side of the threshold, so that a width measured a
  // whole wrap off or a microsecond off decides wrongly. One failure sums them
  // up: a moved threshold would otherwise repeat itself twenty times.
  cpp_setup();
  int wrong = 0;
  std::string first;
  for (int i = 0; i < 40; ++i) {
    // Start each pulse just before a wrap of the 65.536 ms counter.
    const uint64_t to_wrap = 65536 - (platform_host::now_us() % 65536);
    platform_host::advance_us(to_wrap > 700 ? to_wrap - 700 : to_wrap + 65536 - 700);
    const bool on = i % 2 == 0;
    const uint64_t width = on ? 1300 : 1299;
    pulse(width);
    cpp_loop();
    if (lights_on() != on && wrong++ == 0) {
      first = "pulse " + std::to_string(i) + ": " + threshold_says(width, on);
    }
  }
  EXPECT_EQ(wrong, 0) << "of 40 pulses across a TIM7 wrap decided wrongly; the first, " << first;
}

TEST_F(FrontApplication, LeftIsWrittenBeforeRightAndBothAlikeOnEveryPass) {
  cpp_setup();
  platform_host::clear_write_log();
  uint32_t seed = 12345;
  for (int pass = 0; pass < 30; ++pass) {
    seed = seed * 1103515245U + 12345U;
    pulse(800 + (seed >> 16) % 1000);
    cpp_loop();
  }
  const std::vector<PinWrite>& log = platform_host::write_log();
  ASSERT_EQ(log.size(), 60U);
  for (size_t i = 0; i < log.size(); i += 2) {
    EXPECT_EQ(log[i].mask, GPIO_PIN_9) << "pass " << i / 2;
    EXPECT_EQ(log[i + 1].mask, GPIO_PIN_8) << "pass " << i / 2;
    EXPECT_EQ(log[i].level, log[i + 1].level) << "pass " << i / 2;
  }
}

TEST_F(FrontApplication, EachPassWaitsAboutOneHundredMilliseconds) {
  cpp_setup();
  const uint64_t start = platform_host::now_us();
  cpp_loop();
  const uint64_t took = platform_host::now_us() - start;
  EXPECT_GE(took, 100000U);
  EXPECT_LE(took, 101000U);
  EXPECT_EQ(platform_host::calls().last_delay_ms, 100U);
}

TEST_F(FrontApplication, WhenTheSignalStopsTheOutputsKeepTheirLastDecision) {
  cpp_setup();
  pulse(1500);
  for (int pass = 0; pass < 20; ++pass) {
    cpp_loop();
    EXPECT_TRUE(lights_on()) << "pass " << pass << ": " << threshold_says(1500, true);
  }
  front_test::drive_pa0(true);  // stuck high: no complete pulse
  for (int pass = 0; pass < 20; ++pass) {
    cpp_loop();
    EXPECT_TRUE(lights_on()) << "stuck-high pass " << pass;
  }
  front_test::drive_pa0(false);  // the long high phase ends: saturated width, still on
  cpp_loop();
  EXPECT_TRUE(lights_on()) << "a high phase of 2 s reads 65535 us: " << threshold_says(65535, true);
  pulse(900);
  for (int pass = 0; pass < 5; ++pass) {
    cpp_loop();
    EXPECT_FALSE(lights_on()) << "pass " << pass << ": " << threshold_says(900, false);
  }
}

TEST_F(FrontApplication, PulseBeforeTheGateOpensIsNotSeen) {
  pulse(1800);
  cpp_setup();
  cpp_loop();
  EXPECT_FALSE(lights_on()) << "the 1800 us pulse came before the gate opened: no width, lights off";
}

TEST_F(FrontApplication, EventsOfOtherLinesDoNotReachTheApplication) {
  cpp_setup();
  pulse(1500);
  cpp_loop();
  ASSERT_TRUE(lights_on()) << threshold_says(1500, true);
  for (const uint16_t mask :
       {uint16_t{0x0000}, uint16_t{0x0002}, uint16_t{0x0100}, uint16_t{0x0200}, uint16_t{0x0301}}) {
    HAL_GPIO_EXTI_Callback(mask);
  }
  cpp_loop();
  EXPECT_TRUE(lights_on());
}

}  // namespace
