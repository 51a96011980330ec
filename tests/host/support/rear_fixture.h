// Test fixture for the rear firmware's middleware and application on the host
// platform: the board's own initialisers (Core/Src gpio, dma, tim, usart and the
// MSP hooks) run over the host platform in the order main runs them.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "application_lifetime.h"
#include "platform_host.h"
#include "stm32g4xx_hal.h"
#include "tim.h"
#include "usart.h"

namespace rear_test {

constexpr size_t kFrameBytes = 2036;
using Frame = std::array<uint8_t, kFrameBytes>;

void reset_board();
using board_test::drop_application;

// The frame the DMA was last given (its whole 2036-byte record).
Frame dma_frame();

class RearBoard : public ::testing::Test {
 protected:
  void SetUp() override { reset_board(); }
  void TearDown() override { drop_application(); }
};

}  // namespace rear_test
