// Test fixture for the front firmware's middleware and application on the host
// platform: the board's own initialisers (Core/Src gpio, tim and the MSP hooks)
// run over the host platform in the order main runs them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "application_lifetime.h"
#include "platform_host.h"
#include "stm32g4xx_hal.h"
#include "tim.h"

namespace front_test {

// Brings the platform and every middleware global back to the state after reset
// and runs the front board's initialisation (HAL_Init, pins, timers).
void reset_board();
using board_test::drop_application;

// One wrap of TIM7, the time base's 16-bit microsecond counter.
constexpr uint64_t kWrap = 65536;

// Puts the time base at `us` without running the timer (TIM7 stays stopped,
// so the time only moves when the test says so): micros() starts a fresh time
// line there, which may lie below the last test's.
void set_time(uint64_t us);

// Drives PA0 and lets simulated time pass before the next change.
void drive_pa0(bool high);

class FrontBoard : public ::testing::Test {
 protected:
  void SetUp() override { reset_board(); }
  void TearDown() override { drop_application(); }
};

}  // namespace front_test
