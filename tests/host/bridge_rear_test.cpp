// Start-up bridge of the rear firmware (built without a time base): TIM7 is
// never started, and pin samples are stamped with 0 while level tracking and
// the counters still work.
#include <gtest/gtest.h>

#include "probe_pin.h"
#include "rear_fixture.h"
#include "ts_middle.h"

using rear_test::RearBoard;

namespace {

using BridgeRear = RearBoard;

TEST_F(BridgeRear, SetupOpensTheGateButNeverStartsTim7) {
  cpp_setup();
  EXPECT_EQ(___skip, 0U);
  EXPECT_FALSE(platform_host::timer_running(TIM7));
  EXPECT_FALSE(platform_host::timer_update_irq_enabled(TIM7));
  EXPECT_EQ(platform_host::calls().tim_base_start_it, 0U);
}

TEST_F(BridgeRear, EdgesBeforeSetupAreDropped) {
  ProbePin pin;
  pin.setup(tessel::PB5, 1);
  platform_host::set_input(GPIOB, GPIO_PIN_5, false);
  platform_host::set_input(GPIOB, GPIO_PIN_5, true);
  EXPECT_EQ(pin.GetUpCounter() + pin.GetDownCounter(), 0U);
}

TEST_F(BridgeRear, SamplesAreStampedWithZeroButLevelsAndCountersWork) {
  ___skip = 0U;
  ProbePin pin;
  pin.setup(tessel::PB5, 1);
  for (int i = 0; i < 3; ++i) {
    platform_host::set_input(GPIOB, GPIO_PIN_5, false);
    platform_host::advance_us(700);
    EXPECT_EQ(pin.state(), 0U);
    platform_host::set_input(GPIOB, GPIO_PIN_5, true);
    platform_host::advance_us(1500);
    EXPECT_EQ(pin.state(), 1U);
  }
  EXPECT_EQ(pin.GetUpCounter(), 3U);
  EXPECT_EQ(pin.GetDownCounter(), 3U);
  EXPECT_EQ(pin.pwm_count(), 3U);
  EXPECT_EQ(pin.GetLastPulse(), 0U);
  EXPECT_EQ(pin.last_rising(), 0U);
  EXPECT_EQ(pin.Read(0), 1U);
}

}  // namespace
