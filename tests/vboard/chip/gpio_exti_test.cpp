// GPIO pads, SYSCFG routing and EXTI edges; the world's level and pulse sources on pins.
#include "chip/chip_fixture.h"

namespace vboard::chip_test {
namespace {

// ------------------------------------------------------------------ GPIO / EXTI

TEST_F(Models, GpioOutputsPullsAndIdr) {
  set_bits(reg("RCC", rcc::AHB2ENR), 3u);  // GPIOA, GPIOB
  EXPECT_EQ(rd(reg("GPIOA", gpio::MODER)), 0xABFFFFFFu);
  EXPECT_EQ(rd(reg("GPIOB", gpio::MODER)), 0xFFFFFEBFu);
  EXPECT_EQ(rd(reg("GPIOB", gpio::PUPDR)), 0x100u);
  // PA8/PA9 outputs, PA0 input with pull-up, PA1 input with pull-down.
  wr(reg("GPIOA", gpio::BSRR), (1u << 24) | (1u << 25));  // BSRR reset 8, 9
  wr(reg("GPIOA", gpio::MODER),
     (rd(reg("GPIOA", gpio::MODER)) & ~0x000F000Fu & ~(0xFu << 16)) | (1u << 16) | (1u << 18));
  wr(reg("GPIOA", gpio::PUPDR), (rd(reg("GPIOA", gpio::PUPDR)) & ~0xFu) | 0x1u | (0x2u << 2));
  EXPECT_EQ(rd(reg("GPIOA", gpio::IDR)) & 0x303u, 0x001u);
  bus.t = 5000;
  wr(reg("GPIOA", gpio::BSRR), 1u << 9);
  EXPECT_EQ(rd(reg("GPIOA", gpio::ODR)), 1u << 9);
  wr(reg("GPIOA", gpio::BSRR), (1u << 8) | (1u << 25) | (1u << 24));  // set 8 wins over reset 8; reset 9
  EXPECT_EQ(rd(reg("GPIOA", gpio::IDR)) & 0x300u, 0x100u);
  wr(reg("GPIOA", gpio::BRR), 1u << 8);  // BRR
  EXPECT_EQ(rd(reg("GPIOA", gpio::IDR)) & 0x300u, 0u);
  EXPECT_EQ(rd(reg("GPIOA", gpio::BSRR)), 0u) << "BSRR reads 0";
  // An external driver overrides the pull; -1 releases it.
  board.chip().gpio(0).set_external(0, 0, 6000);
  EXPECT_EQ(rd(reg("GPIOA", gpio::IDR)) & 1u, 0u);
  board.chip().gpio(0).set_external(0, -1, 7000);
  EXPECT_EQ(rd(reg("GPIOA", gpio::IDR)) & 1u, 1u);
  // Analog pins read 0 in IDR.
  wr(reg("GPIOA", gpio::MODER), rd(reg("GPIOA", gpio::MODER)) | 3u);
  EXPECT_EQ(rd(reg("GPIOA", gpio::IDR)) & 1u, 0u);

  const auto h = board.pin_history();
  ASSERT_TRUE(h.count("PA9"));
  const auto& pa9 = h.at("PA9");
  ASSERT_EQ(pa9.size(), 3u);
  EXPECT_EQ(pa9[0].t, 0u);
  EXPECT_EQ(pa9[0].level, 0);
  EXPECT_EQ(pa9[1].t, 5000u);
  EXPECT_EQ(pa9[1].level, 1);
  ASSERT_TRUE(h.count("PA0"));
  EXPECT_EQ(h.at("PA0").back().level, 0);
  EXPECT_FALSE(h.count("PA5")) << "untouched pins have no history";
}

TEST_F(Models, ExtiEdgeRoutedBySyscfgPendsAndRaisesSharedLine) {
  set_bits(reg("RCC", rcc::AHB2ENR), 3u);
  set_bits(reg("RCC", rcc::APB2ENR), 1u);
  // PB5, PB6 inputs with pull-up, EXTI lines 5/6 routed to port B, both edges, unmasked.
  wr(reg("GPIOB", gpio::MODER), rd(reg("GPIOB", gpio::MODER)) & ~(0xFu << 10));
  wr(reg("GPIOB", gpio::PUPDR), (rd(reg("GPIOB", gpio::PUPDR)) & ~(0xFu << 10)) | (0x5u << 10));
  wr(reg("SYSCFG", syscfg::EXTICR2), (1u << 4) | (1u << 8));
  wr(reg("EXTI", exti::RTSR1), rd(reg("EXTI", exti::RTSR1)) | 0x60u);
  wr(reg("EXTI", exti::FTSR1), rd(reg("EXTI", exti::FTSR1)) | 0x60u);
  EXPECT_EQ(rd(reg("EXTI", exti::PR1)), 0u) << "configuration itself makes no edge";
  wr(reg("EXTI", exti::IMR1), rd(reg("EXTI", exti::IMR1)) | 0x20u);  // only line 5 unmasked

  LevelSpec low{"PB6", 0, 10'000};
  board.add_level(low);
  run_events_to(20'000);
  EXPECT_EQ(rd(reg("EXTI", exti::PR1)), 0x40u) << "masked line still latches its pending bit";
  EXPECT_FALSE(bus.lines[irq("EXTI", 5)]);

  board.add_level({"PB5", 0, 30'000});
  run_events_to(40'000);
  EXPECT_EQ(rd(reg("EXTI", exti::PR1)), 0x60u);
  EXPECT_TRUE(bus.lines[irq("EXTI", 5)]);
  wr(reg("EXTI", exti::PR1), 0x20u);  // write 1 clears line 5 only
  EXPECT_EQ(rd(reg("EXTI", exti::PR1)), 0x40u);
  EXPECT_FALSE(bus.lines[irq("EXTI", 5)]);

  // A line routed to another port ignores this port's edges.
  wr(reg("SYSCFG", syscfg::EXTICR2), 0u);  // line 5 -> port A
  board.add_level({"PB5", -1, 50'000});
  run_events_to(60'000);
  EXPECT_EQ(rd(reg("EXTI", exti::PR1)) & 0x20u, 0u);
}

TEST_F(Models, LevelBounceAndPulseSourceTiming) {
  set_bits(reg("RCC", rcc::AHB2ENR), 1u);
  wr(reg("GPIOA", gpio::MODER), rd(reg("GPIOA", gpio::MODER)) & ~0xFu);
  wr(reg("GPIOA", gpio::PUPDR), (rd(reg("GPIOA", gpio::PUPDR)) & ~0xFu) | 0x5u);
  board.add_level({"PA1", 0, 1000, 2, 100});
  board.add_pulse({"PA0", 1500'000, 20'000'000, 2'000'000, 45'000'000, 0});
  run_events_to(100'000'000);
  const auto h = board.pin_history();
  const auto& pa1 = h.at("PA1");
  // Pulled up at configuration (t = 0), 0 at 1000, bounces 1,0,1,0 at 100 ns spacing: low at 1400.
  ASSERT_EQ(pa1.size(), 6u);
  EXPECT_EQ(pa1[1].t, 1000u);
  EXPECT_EQ(pa1[2].level, 1);
  EXPECT_EQ(pa1.back().t, 1400u);
  EXPECT_EQ(pa1.back().level, 0);
  const auto& pa0 = h.at("PA0");
  // Driven low when connected, then pulses at 2, 22, 42 ms (stop at 45 ms).
  std::vector<ns_t> rises;
  for (size_t i = 1; i < pa0.size(); ++i)
    if (pa0[i].level == 1) rises.push_back(pa0[i].t);
  EXPECT_EQ(rises, (std::vector<ns_t>{2'000'000, 22'000'000, 42'000'000}));
  EXPECT_EQ(pa0.back().t, 43'500'000u);
}

}  // namespace
}  // namespace vboard::chip_test
