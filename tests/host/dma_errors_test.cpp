// A transfer error on the rear board's DMA channels, through the platform's
// interrupt handler: the channel stops, the handle records the error, and the
// channel's flags are acknowledged (the other channel's stay), in both
// directions (CCR.DIR differs, TEIE is what the rule reads); a flag whose
// interrupt is off is not taken, and one whose interrupt is on is.
#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "rear_fixture.h"
#include "ts_ws2815.h"

extern DMA_HandleTypeDef hdma_tim17_ch1;
extern DMA_HandleTypeDef hdma_usart3_rx;

namespace {

using DmaErrors = rear_test::RearBoard;

TEST_F(DmaErrors, AnErrorStopsTheChannelAndOnlyFlagsWithTheirInterruptOnAreTaken) {
  auto strip = std::make_unique<tessel::ts_ws2815>();  // channel 1, memory to timer
  strip->Setup(&htim17, TIM_CHANNEL_1, 60);
  strip->Start();
  // Channel 2, USART3 to memory: no byte comes, so nothing is moved and the
  // addresses (host pointers cut to the registers' 32 bits) are never used.
  std::array<uint8_t, 16> rx{};
  const auto start_rx = [&rx] {
    return HAL_DMA_Start_IT(&hdma_usart3_rx, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&USART3->RDR)),
                            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(rx.data())), rx.size());
  };
  ASSERT_EQ(start_rx(), HAL_OK);
  // A half-transfer flag of a channel whose half-transfer interrupt is off
  // (no half callback was given) is left as it is.
  DMA1->ISR = ((1U << 2) | (1U << 0)) << 4U;  // HTIF2 and GIF2
  HAL_DMA_IRQHandler(&hdma_usart3_rx);
  EXPECT_EQ(DMA1->ISR, ((1U << 2) | (1U << 0)) << 4U) << "a half-transfer flag taken with HTIE off";
  struct Case {
    DMA_HandleTypeDef* hdma;
    DMA_Channel_TypeDef* channel;
    uint32_t shift;  // of the channel's four flags in ISR
  };
  for (const Case& c : {Case{&hdma_tim17_ch1, DMA1_Channel1, 0U}, Case{&hdma_usart3_rx, DMA1_Channel2, 4U}}) {
    ASSERT_NE(c.channel->CCR & 1U, 0U) << "channel at " << c.shift / 4U + 1U << " should be running";
    const uint32_t other = 1U << (4U - c.shift);             // the other channel's global flag
    DMA1->ISR = ((1U << 3) | (1U << 0)) << c.shift | other;  // TEIF and GIF
    HAL_DMA_IRQHandler(c.hdma);
    const unsigned n = c.shift / 4U + 1U;
    EXPECT_NE(c.hdma->ErrorCode & HAL_DMA_ERROR_TE, 0U) << "channel " << n;
    EXPECT_EQ(c.hdma->State, HAL_DMA_STATE_READY) << "channel " << n;
    EXPECT_EQ(c.channel->CCR & 1U, 0U) << "channel " << n << " still runs";
    EXPECT_EQ(DMA1->ISR, other) << "channel " << n << ": its flags not acknowledged, or the other's taken";
  }
  // A transfer-complete flag with its interrupt on is taken: acknowledged, and
  // the circular receive channel goes on.
  ASSERT_EQ(start_rx(), HAL_OK);
  DMA1->ISR = ((1U << 1) | (1U << 0)) << 4U;  // TCIF2 and GIF2
  HAL_DMA_IRQHandler(&hdma_usart3_rx);
  EXPECT_EQ(DMA1->ISR & (0x2U << 4U), 0U) << "the complete flag not acknowledged";
  EXPECT_NE(DMA1_Channel2->CCR & 1U, 0U) << "a circular channel stopped at its pass's end";
}

}  // namespace
