// The rear controller end to end on the host platform: real edges on PB4/PB5/
// PB6 through the EXTI path, cpp_setup/cpp_loop, and the strip frame the DMA
// streams.
#include <gtest/gtest.h>

#include <tuple>

#include "rear_fixture.h"
#include "ts_middle.h"

using rear_test::Frame;
using rear_test::RearBoard;

namespace {

constexpr uint8_t kHigh = 118;
constexpr uint8_t kLow = 43;

struct LedSeen {
  int r, g, b;
  bool operator==(const LedSeen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const LedSeen& c) {
  return os << "(" << c.r << "," << c.g << "," << c.b << ")";
}

// Decodes one LED of the frame; -1 in a channel that holds anything but
// complete high/low slots.
LedSeen led(const Frame& f, int i) {
  auto channel = [&](int offset) {
    int value = 0;
    for (int k = 0; k < 8; ++k) {
      const uint8_t slot = f[static_cast<size_t>(24 * i + offset + k)];
      if (slot != kHigh && slot != kLow) {
        return -1;
      }
      value = (value << 1) | (slot == kHigh ? 1 : 0);
    }
    return value;
  };
  return {channel(8), channel(0), channel(16)};
}

// Every LED of the strip shows `c`, the positions beyond it stay empty.
void expect_strip(const LedSeen& c) {
  const Frame f = rear_test::dma_frame();
  for (int i = 0; i < 60; ++i) {
    ASSERT_EQ(led(f, i), c) << "LED " << i;
  }
  for (size_t b = 60 * 24; b < f.size(); ++b) {
    ASSERT_EQ(f[b], 0U) << "byte " << b;
  }
}

// Overwrites one slot of LED 0 behind the application's back: it stays so
// until the application repaints.
void mark_frame() { const_cast<uint8_t*>(platform_host::pwm_dma(&htim17).buffer)[0] = 0; }
bool frame_marked() { return rear_test::dma_frame()[0] == 0; }

void set_lines(bool pb4, bool pb5, bool pb6) {
  platform_host::set_input(GPIOB, GPIO_PIN_4, pb4);
  platform_host::set_input(GPIOB, GPIO_PIN_5, pb5);
  platform_host::set_input(GPIOB, GPIO_PIN_6, pb6);
}

using RearApplication = RearBoard;

TEST_F(RearApplication, EightColoursFollowTheLinesWithTheirCrossedWiring) {
  cpp_setup();
  // PB4, PB5, PB6 levels -> colour; low switches PB5 red, PB6 green, PB4 blue.
  const std::tuple<bool, bool, bool, LedSeen> table[] = {
      {true, true, true, {0, 0, 0}},       {true, false, true, {255, 0, 0}},
      {true, true, false, {0, 255, 0}},    {false, true, true, {0, 0, 255}},
      {true, false, false, {255, 255, 0}}, {false, false, true, {255, 0, 255}},
      {false, true, false, {0, 255, 255}}, {false, false, false, {255, 255, 255}},
  };
  for (const auto& [pb4, pb5, pb6, colour] : table) {
    set_lines(pb4, pb5, pb6);
    cpp_loop();
    SCOPED_TRACE(testing::Message() << "PB4=" << pb4 << " PB5=" << pb5 << " PB6=" << pb6);
    expect_strip(colour);
  }
}

TEST_F(RearApplication, NoRepaintWithoutAChangeOfTheLines) {
  cpp_setup();
  set_lines(true, false, true);
  cpp_loop();
  expect_strip({255, 0, 0});
  mark_frame();
  for (int i = 0; i < 50; ++i) {
    cpp_loop();
  }
  EXPECT_TRUE(frame_marked()) << "repainted although nothing changed";
  set_lines(true, false, false);
  cpp_loop();
  EXPECT_FALSE(frame_marked());
  expect_strip({255, 255, 0});
}

TEST_F(RearApplication, FirstLoopPaintsWhiteWhenAllLinesAreLowFromTheStart) {
  set_lines(false, false, false);
  cpp_setup();
  cpp_loop();
  expect_strip({255, 255, 255});
}

TEST_F(RearApplication, FirstLoopAlwaysPaintsEvenADarkStrip) {
  cpp_setup();  // lines resting high on their pull-ups
  mark_frame();
  cpp_loop();
  EXPECT_FALSE(frame_marked());
  expect_strip({0, 0, 0});
}

TEST_F(RearApplication, SetupStartsTheStripDarkOnTim17AndPrimesThePins) {
  set_lines(true, false, true);
  cpp_setup();
  const platform_host::PwmDma dma = platform_host::pwm_dma(&htim17);
  EXPECT_TRUE(dma.running);
  EXPECT_EQ(dma.length, 1680U);
  EXPECT_EQ(htim17.Init.Period, 186U);
  expect_strip({0, 0, 0});
  // The level seen by INT_INIT_ALL is used without any edge since.
  cpp_loop();
  expect_strip({255, 0, 0});
}

TEST_F(RearApplication, LevelsAreTakenFromInterruptsNotBySamplingInTheLoop) {
  cpp_setup();
  cpp_loop();
  const uint32_t reads = platform_host::calls().gpio_read;
  for (int i = 0; i < 10; ++i) {
    cpp_loop();
  }
  EXPECT_EQ(platform_host::calls().gpio_read, reads);
}

}  // namespace
