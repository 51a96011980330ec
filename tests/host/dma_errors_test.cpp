// A transfer error on the strip's DMA channel, through the platform's interrupt
// handler: the channel stops, the handle records the error, and the channel's
// flags are acknowledged so the interrupt line does not stay pending.
#include <gtest/gtest.h>

#include <memory>

#include "rear_fixture.h"
#include "ts_ws2815.h"

extern DMA_HandleTypeDef hdma_tim17_ch1;

namespace {

using DmaErrors = rear_test::RearBoard;

TEST_F(DmaErrors, ATransferErrorStopsTheChannelAndIsRecordedAndAcknowledged) {
  auto strip = std::make_unique<tessel::ts_ws2815>();
  strip->Setup(&htim17, TIM_CHANNEL_1, 60);
  strip->Start();
  ASSERT_NE(DMA1_Channel1->CCR & 1U, 0U) << "the strip's channel should be running";
  DMA1->ISR = (1U << 3) | (1U << 0) | (1U << 4);  // channel 1: TEIF1 and GIF1; channel 2's GIF stays
  HAL_DMA_IRQHandler(&hdma_tim17_ch1);
  EXPECT_NE(hdma_tim17_ch1.ErrorCode & HAL_DMA_ERROR_TE, 0U);
  EXPECT_EQ(hdma_tim17_ch1.State, HAL_DMA_STATE_READY);
  EXPECT_EQ(DMA1_Channel1->CCR & 1U, 0U) << "the channel still runs";
  EXPECT_EQ(DMA1->ISR, 1U << 4) << "channel 1's flags not acknowledged, or channel 2's taken";
}

}  // namespace
