// Test fixture for the front firmware's middleware and application on the host
// platform: the board's handles and the parts of its initialisation the code
// under test relies on (PA0 input with both-edge interrupt and pull-up, PA8/PA9
// outputs low, TIM7 at 1 MHz with auto-reload 65535 and its interrupt enabled).
#pragma once

#include <gtest/gtest.h>

#include "platform_host.h"
#include "stm32g4xx_hal.h"

extern TIM_HandleTypeDef htim7;

namespace front_test {

// Brings the platform and every middleware global back to the state after reset
// and runs the front board's initialisation of the pins and TIM7.
void reset_board();
// Frees the application cpp_setup created (if any) and clears _app.
void drop_application();

// Drives PA0 and lets simulated time pass before the next change.
void drive_pa0(bool high);

class FrontBoard : public ::testing::Test {
 protected:
  void SetUp() override { reset_board(); }
  void TearDown() override { drop_application(); }
};

}  // namespace front_test
