// Start-up bridge of the front firmware: creation of the application, the gate
// for pin-change events, the start of the time base and the overflow count.
#include <gtest/gtest.h>

#include "applib.h"
#include "front_fixture.h"
#include "probe_pin.h"
#include "ts_middle.h"

using front_test::FrontBoard;

namespace {

using BridgeFront = FrontBoard;

TEST_F(BridgeFront, EdgesWhileTheGateIsClosedNeverReachThePinsNorAreReplayed) {
  ProbePin pin;
  pin.setup(tessel::PA0, 1);
  ASSERT_EQ(___skip, 1U);

  front_test::drive_pa0(false);
  front_test::drive_pa0(true);
  // The platform did take and clear both events ...
  EXPECT_EQ(platform_host::calls().exti_dispatch, 2U);
  EXPECT_EQ(EXTI->PR1 & GPIO_PIN_0, 0U);
  // ... but the pin object saw none of them.
  EXPECT_EQ(pin.GetUpCounter() + pin.GetDownCounter(), 0U);

  ___skip = 0U;
  EXPECT_EQ(pin.GetUpCounter() + pin.GetDownCounter(), 0U) << "dropped events must not be replayed";
  front_test::drive_pa0(false);
  EXPECT_EQ(pin.GetDownCounter(), 1U);
  EXPECT_EQ(pin.GetUpCounter(), 0U);
}

TEST_F(BridgeFront, SetupCreatesTheApplicationOpensTheGateAndStartsTim7Last) {
  EXPECT_FALSE(platform_host::timer_running(TIM7));
  cpp_setup();
  ASSERT_NE(_app, nullptr);
  EXPECT_EQ(___skip, 0U);
  EXPECT_TRUE(platform_host::timer_running(TIM7));
  EXPECT_TRUE(platform_host::timer_update_irq_enabled(TIM7));
  // setup() ran: both light outputs were driven high, left first.
  const auto& log = platform_host::write_log();
  ASSERT_EQ(log.size(), 2U);
  EXPECT_EQ(log[0].mask, GPIO_PIN_9);
  EXPECT_EQ(log[1].mask, GPIO_PIN_8);
}

TEST_F(BridgeFront, DuringApplicationSetupTheGateIsClosedAndTimeStandsStill) {
  front_test::drive_pa0(false);
  int writes = 0;
  platform_host::set_write_hook([&](const platform_host::PinWrite&) {
    ++writes;
    EXPECT_EQ(___skip, 1U) << "gate open while setup() runs";
    EXPECT_FALSE(platform_host::timer_running(TIM7)) << "time base started before setup() ended";
    // A control pulse arrives while the application sets itself up.
    front_test::drive_pa0(true);
    platform_host::advance_us(1500);
    front_test::drive_pa0(false);
    EXPECT_EQ(micros(), 0U);
  });
  cpp_setup();
  platform_host::set_write_hook(nullptr);
  ASSERT_EQ(writes, 2);
  cpp_loop();
  EXPECT_FALSE(platform_host::output_level(GPIOA, GPIO_PIN_9)) << "a pulse during setup() must be dropped";
}

TEST_F(BridgeFront, TimeBaseReadsZeroUntilSetupHasFinished) {
  platform_host::advance_us(250000);
  EXPECT_EQ(micros(), 0U);
  EXPECT_EQ(millis(), 0U);
  cpp_setup();
  EXPECT_EQ(micros(), 0U);
  platform_host::advance_us(70000);  // across one TIM7 wrap
  EXPECT_EQ(micros(), 70000U);
  EXPECT_EQ(___tim_count, 1U);
}

TEST_F(BridgeFront, EachLoopCallRunsTheApplicationLoopExactlyOnce) {
  cpp_setup();
  for (uint32_t pass = 1; pass <= 3; ++pass) {
    cpp_loop();
    EXPECT_EQ(platform_host::calls().delay, pass);
  }
  EXPECT_EQ(platform_host::write_log().size(), 2U + 3U * 2U);
}

TEST_F(BridgeFront, EveryTim7UpdateAddsOneToTheOverflowCountWithCarryIntoTheHighWord) {
  ASSERT_EQ(HAL_TIM_Base_Start_IT(&htim7), HAL_OK);
  ___tim_count = 0xFFFFFFFEULL;
  platform_host::wrap_timer(TIM7, 0, false);
  EXPECT_EQ(___tim_count, 0xFFFFFFFFULL);
  platform_host::wrap_timer(TIM7, 0, false);
  EXPECT_EQ(___tim_count, 0x100000000ULL);
}

}  // namespace
