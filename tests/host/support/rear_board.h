// Test fixture for the rear firmware's middleware and application on the host
// platform: the board's handles and the parts of its initialisation the code
// under test relies on (PB4/PB5/PB6 inputs with pull-up and both-edge
// interrupts, TIM17 channel 1 in PWM mode 1 linked to DMA1 channel 1 in
// circular byte-to-word mode, TIM7 configured but never started).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "platform_host.h"
#include "stm32g4xx_hal.h"

extern TIM_HandleTypeDef htim7;
extern TIM_HandleTypeDef htim17;
extern DMA_HandleTypeDef hdma_tim17_ch1;

namespace rear_test {

constexpr size_t kFrameBytes = 2036;
using Frame = std::array<uint8_t, kFrameBytes>;

void reset_board();
void drop_application();

// The frame the DMA was last given (its whole 2036-byte record).
Frame dma_frame();

class RearBoard : public ::testing::Test {
 protected:
  void SetUp() override { reset_board(); }
  void TearDown() override { drop_application(); }
};

}  // namespace rear_test
