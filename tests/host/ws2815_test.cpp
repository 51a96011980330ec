// WS2815 driver: bit timing from the system clock, the frame against a plain
// bit-by-bit expander, pass length and its cap, ignored positions, and the
// stream's life (start, restart, destruction).
#include <gtest/gtest.h>

#include <memory>

#include "rear_fixture.h"
#include "ts_ws2815.h"

using rear_test::Frame;
using rear_test::RearBoard;
using tessel::ts_ws2815;

namespace {

constexpr uint8_t kHigh150 = 118;
constexpr uint8_t kLow150 = 43;

struct Rgb {
  uint8_t r, g, b;
};

// The obvious encoder: per LED green, red, blue, each bit 7 first, one slot per
// bit; positions without a colour and the reset area stay 0.
Frame expand(const std::vector<Rgb>& leds, uint8_t high, uint8_t low) {
  Frame frame{};
  size_t slot = 0;
  for (const Rgb& led : leds) {
    for (const uint8_t channel : {led.g, led.r, led.b}) {
      for (int bit = 7; bit >= 0; --bit) {
        frame[slot++] = ((channel >> bit) & 1U) != 0U ? high : low;
      }
    }
  }
  return frame;
}

class Ws2815 : public RearBoard {
 protected:
  std::unique_ptr<ts_ws2815> started(uint8_t led_count) {
    auto strip = std::make_unique<ts_ws2815>();
    strip->Setup(&htim17, TIM_CHANNEL_1, led_count);
    strip->Start();
    return strip;
  }
};

TEST_F(Ws2815, TimingAt150MHz) {
  ts_ws2815 strip;
  htim17.Init.AutoReloadPreload = TIM_AUTORELOAD_PRELOAD_ENABLE;
  htim17.Init.Prescaler = 7;  // Setup owns the time base, whatever the board left there
  strip.Setup(&htim17, TIM_CHANNEL_1, 1);
  EXPECT_EQ(htim17.Init.Prescaler, 0U);
  EXPECT_EQ(htim17.Init.Period, 186U);
  EXPECT_EQ(htim17.Init.AutoReloadPreload, TIM_AUTORELOAD_PRELOAD_DISABLE);
  strip.Start();
  EXPECT_EQ(TIM17->ARR, 186U) << "Start applies the time base to the timer";
  EXPECT_EQ(TIM17->PSC, 0U);
  strip.SetColor(0, 0x00, 0xFF, 0x00);  // green: 8 ones, then 16 zeros
  const Frame frame = rear_test::dma_frame();
  EXPECT_EQ(frame[0], kHigh150);
  EXPECT_EQ(frame[8], kLow150);
  EXPECT_EQ(platform_host::pwm_dma(&htim17).length, 240U + 24U);
}

TEST_F(Ws2815, TimingAt170MHz) {
  platform_host::set_sys_clock_hz(170000000);
  auto strip = started(1);
  EXPECT_EQ(htim17.Init.Prescaler, 0U);
  EXPECT_EQ(htim17.Init.Period, 211U);
  strip->SetColor(0, 0xFF, 0x00, 0x00);
  const Frame frame = rear_test::dma_frame();
  EXPECT_EQ(frame[8], 134U);
  EXPECT_EQ(frame[0], 49U);
}

TEST_F(Ws2815, FrameMatchesAPlainBitExpander) {
  auto strip = started(60);
  std::vector<Rgb> colours;
  uint32_t seed = 99;
  for (int i = 0; i < 60; ++i) {
    seed = seed * 1664525U + 1013904223U;
    colours.push_back({static_cast<uint8_t>(seed >> 24), static_cast<uint8_t>(seed >> 16),
                       static_cast<uint8_t>(seed >> 8)});
    strip->SetColor(static_cast<uint8_t>(i), colours.back().r, colours.back().g, colours.back().b);
  }
  EXPECT_EQ(rear_test::dma_frame(), expand(colours, kHigh150, kLow150));
}

TEST_F(Ws2815, SingleBitsLandInTheirSlots) {
  auto strip = started(60);
  strip->SetColor(0, 0x80, 0x01, 0x00);
  const Frame f = rear_test::dma_frame();
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(f[k], k == 7 ? kHigh150 : kLow150) << "g[" << k << "]";
    EXPECT_EQ(f[8 + k], k == 0 ? kHigh150 : kLow150) << "r[" << k << "]";
    EXPECT_EQ(f[16 + k], kLow150) << "b[" << k << "]";
  }
}

TEST_F(Ws2815, StartStreamsABlackStripFollowedByTheLatchGap) {
  auto strip = started(60);
  const platform_host::PwmDma dma = platform_host::pwm_dma(&htim17);
  EXPECT_TRUE(dma.running);
  EXPECT_EQ(dma.length, 1680U);
  EXPECT_EQ(dma.channel, TIM_CHANNEL_1);
  EXPECT_TRUE(platform_host::timer_running(TIM17));
  EXPECT_NE(TIM17->BDTR & (1U << 15), 0U) << "main output enabled";
  EXPECT_EQ(rear_test::dma_frame(), expand(std::vector<Rgb>(60, Rgb{0, 0, 0}), kHigh150, kLow150));
}

TEST_F(Ws2815, PassLengthIsLatchPlusLedsCappedAtTheFrame) {
  const std::pair<uint8_t, uint16_t> cases[] = {{0, 240},   {1, 264},   {60, 1680},
                                                {64, 1776}, {75, 2036}, {255, 2036}};
  for (const auto& [leds, length] : cases) {
    auto strip = started(leds);
    EXPECT_EQ(platform_host::pwm_dma(&htim17).length, length) << int{leds} << " LEDs";
    const size_t painted = leds < 64 ? leds : 64;
    EXPECT_EQ(rear_test::dma_frame(), expand(std::vector<Rgb>(painted, Rgb{0, 0, 0}), kHigh150, kLow150))
        << int{leds} << " LEDs";
  }
}

TEST_F(Ws2815, PositionsAtOrBeyondTheStripLengthOrTheCapacityAreIgnored) {
  // A strip longer than the 64-LED frame holds positions past the capacity,
  // where the latch gap begins.
  const std::pair<uint8_t, std::vector<int>> cases[] = {{60, {60, 61, 63, 64, 200, 255}},
                                                        {255, {64, 65, 254}}};
  for (const auto& [leds, positions] : cases) {
    auto strip = started(leds);
    const Frame before = rear_test::dma_frame();
    for (const int idx : positions) {
      strip->SetColor(static_cast<uint8_t>(idx), 0xFF, 0xFF, 0xFF);
    }
    EXPECT_EQ(rear_test::dma_frame(), before) << int{leds} << " LEDs: the latch gap must stay low";
  }
}

TEST_F(Ws2815, SetColorBeforeSetupChangesNothing) {
  ts_ws2815 strip;
  strip.SetColor(0, 0xFF, 0xFF, 0xFF);
  strip.Setup(&htim17, TIM_CHANNEL_1, 2);
  strip.Start();
  EXPECT_EQ(rear_test::dma_frame(), expand(std::vector<Rgb>(2, Rgb{0, 0, 0}), kHigh150, kLow150));
}

TEST_F(Ws2815, DestroyingAStreamingDriverStopsTheStreamFirst) {
  auto strip = started(60);
  strip.reset();
  const platform_host::PwmDma dma = platform_host::pwm_dma(&htim17);
  EXPECT_FALSE(dma.running);
  EXPECT_EQ(dma.stop_calls, 1U);
  EXPECT_EQ(hdma_tim17_ch1.Instance->CCR & 1U, 0U) << "DMA channel disabled";
}

TEST_F(Ws2815, DestroyingADriverThatNeverStartedTouchesNoTimer) {
  {
    ts_ws2815 strip;
    strip.Setup(&htim17, TIM_CHANNEL_1, 60);
  }
  EXPECT_EQ(platform_host::pwm_dma(&htim17).stop_calls, 0U);
}

TEST_F(Ws2815, SecondStartRestartsTheStreamWithTheCurrentSettings) {
  auto strip = started(10);
  strip->SetColor(3, 1, 2, 3);
  strip->Setup(&htim17, TIM_CHANNEL_1, 60);
  strip->Start();
  const platform_host::PwmDma dma = platform_host::pwm_dma(&htim17);
  EXPECT_EQ(dma.stop_calls, 1U);
  EXPECT_EQ(dma.start_calls, 2U) << "the platform must not have refused the second start as busy";
  EXPECT_TRUE(dma.running);
  EXPECT_EQ(dma.length, 1680U);
  EXPECT_EQ(rear_test::dma_frame(), expand(std::vector<Rgb>(60, Rgb{0, 0, 0}), kHigh150, kLow150));
}

TEST_F(Ws2815, RestartOnAShorterStripLeavesTheOldLedSlotsLowAsLatchGap) {
  auto strip = started(60);
  strip->SetColor(59, 0xFF, 0xFF, 0xFF);
  strip->Setup(&htim17, TIM_CHANNEL_1, 10);
  strip->Start();
  EXPECT_EQ(platform_host::pwm_dma(&htim17).length, 480U);
  EXPECT_EQ(rear_test::dma_frame(), expand(std::vector<Rgb>(10, Rgb{0, 0, 0}), kHigh150, kLow150));
}

}  // namespace
