// GPIO pads, SYSCFG routing and EXTI edges; the world's level and pulse sources on pins.
#include "chip/chip_fixture.h"

namespace vboard::chip_test {
namespace {

// ------------------------------------------------------------------ GPIO / EXTI

// `v` with the MODER fields of `pins` set to `mode`.
uint32_t modes(uint32_t v, std::initializer_list<unsigned> pins, uint32_t mode) {
  for (unsigned p : pins) v = gpio::moder::MODERx(p).put(v, mode);
  return v;
}
// `v` with the PUPDR fields of `pins` set to `pull`.
uint32_t pulls(uint32_t v, std::initializer_list<unsigned> pins, uint32_t pull) {
  for (unsigned p : pins) v = gpio::pupdr::PUPDRx(p).put(v, pull);
  return v;
}
constexpr uint32_t kPortB = 1;  // in SYSCFG's EXTICR fields, counted from port A
constexpr uint32_t kGpioAB = rcc::ahb2enr::GPIOAEN | rcc::ahb2enr::GPIOBEN;

TEST_F(Models, GpioOutputsPullsAndIdr) {
  namespace idr = gpio::idr;
  namespace bsrr = gpio::bsrr;
  set_bits(reg("RCC", rcc::AHB2ENR), kGpioAB);
  // Out of reset every pin is analog but the debug pins: PA13..PA15, PB3 and PB4
  // (pulled up) serve the debugger.
  EXPECT_EQ(rd(reg("GPIOA", gpio::MODER)), modes(gpio::moder::kReset, {13, 14, 15}, pin_mode::kAlternate));
  EXPECT_EQ(rd(reg("GPIOB", gpio::MODER)), modes(gpio::moder::kReset, {3, 4}, pin_mode::kAlternate));
  EXPECT_EQ(rd(reg("GPIOB", gpio::PUPDR)), pulls(0, {4}, pin_pull::kUp));
  // PA8/PA9 outputs, PA0 input with pull-up, PA1 input with pull-down.
  wr(reg("GPIOA", gpio::BSRR), bsrr::BRx(8) | bsrr::BRx(9));
  wr(reg("GPIOA", gpio::MODER),
     modes(modes(rd(reg("GPIOA", gpio::MODER)), {0, 1}, pin_mode::kInput), {8, 9}, pin_mode::kOutput));
  wr(reg("GPIOA", gpio::PUPDR),
     pulls(pulls(rd(reg("GPIOA", gpio::PUPDR)), {0}, pin_pull::kUp), {1}, pin_pull::kDown));
  const uint32_t pa0189 = idr::IDRx(0) | idr::IDRx(1) | idr::IDRx(8) | idr::IDRx(9);
  EXPECT_EQ(rd(reg("GPIOA", gpio::IDR)) & pa0189, idr::IDRx(0).mask());
  bus.t = 5000;
  wr(reg("GPIOA", gpio::BSRR), bsrr::BSx(9).mask());
  EXPECT_EQ(rd(reg("GPIOA", gpio::ODR)), gpio::odr::ODRx(9).mask());
  // Set 8 wins over reset 8; reset 9.
  wr(reg("GPIOA", gpio::BSRR), bsrr::BSx(8) | bsrr::BRx(9) | bsrr::BRx(8));
  const uint32_t pa89 = idr::IDRx(8) | idr::IDRx(9);
  EXPECT_EQ(rd(reg("GPIOA", gpio::IDR)) & pa89, idr::IDRx(8).mask());
  wr(reg("GPIOA", gpio::BRR), gpio::brr::BRx(8).mask());
  EXPECT_EQ(rd(reg("GPIOA", gpio::IDR)) & pa89, 0u);
  EXPECT_EQ(rd(reg("GPIOA", gpio::BSRR)), 0u) << "BSRR reads 0";
  // An external driver overrides the pull; -1 releases it.
  board.chip().gpio(0).set_external(0, 0, 6000);
  EXPECT_EQ(idr::IDRx(0).get(rd(reg("GPIOA", gpio::IDR))), 0u);
  board.chip().gpio(0).set_external(0, -1, 7000);
  EXPECT_EQ(idr::IDRx(0).get(rd(reg("GPIOA", gpio::IDR))), 1u);
  // Analog pins read 0 in IDR.
  wr(reg("GPIOA", gpio::MODER), modes(rd(reg("GPIOA", gpio::MODER)), {0}, pin_mode::kAnalog));
  EXPECT_EQ(idr::IDRx(0).get(rd(reg("GPIOA", gpio::IDR))), 0u);

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
  namespace pr1 = exti::pr1;
  set_bits(reg("RCC", rcc::AHB2ENR), kGpioAB);
  set_bits(reg("RCC", rcc::APB2ENR), rcc::apb2enr::SYSCFGEN.mask());
  // PB5, PB6 inputs with pull-up, EXTI lines 5/6 routed to port B, both edges, only line 5 unmasked.
  wr(reg("GPIOB", gpio::MODER), modes(rd(reg("GPIOB", gpio::MODER)), {5, 6}, pin_mode::kInput));
  wr(reg("GPIOB", gpio::PUPDR), pulls(rd(reg("GPIOB", gpio::PUPDR)), {5, 6}, pin_pull::kUp));
  wr(reg("SYSCFG", syscfg::EXTICR2), syscfg::exticr2::EXTIx(5)(kPortB) | syscfg::exticr2::EXTIx(6)(kPortB));
  wr(reg("EXTI", exti::RTSR1), rd(reg("EXTI", exti::RTSR1)) | exti::rtsr1::RTx(5) | exti::rtsr1::RTx(6));
  wr(reg("EXTI", exti::FTSR1), rd(reg("EXTI", exti::FTSR1)) | exti::ftsr1::FTx(5) | exti::ftsr1::FTx(6));
  EXPECT_EQ(rd(reg("EXTI", exti::PR1)), 0u) << "configuration itself makes no edge";
  wr(reg("EXTI", exti::IMR1), rd(reg("EXTI", exti::IMR1)) | exti::imr1::IMx(5));

  LevelSpec low{"PB6", 0, 10'000};
  board.add_level(low);
  run_events_to(20'000);
  EXPECT_EQ(rd(reg("EXTI", exti::PR1)), pr1::PIFx(6).mask()) << "masked line still latches its pending bit";
  EXPECT_FALSE(bus.lines[irq("EXTI", 5)]);

  board.add_level({"PB5", 0, 30'000});
  run_events_to(40'000);
  EXPECT_EQ(rd(reg("EXTI", exti::PR1)), pr1::PIFx(5) | pr1::PIFx(6));
  EXPECT_TRUE(bus.lines[irq("EXTI", 5)]);
  wr(reg("EXTI", exti::PR1), pr1::PIFx(5).mask());  // write 1 clears line 5 only
  EXPECT_EQ(rd(reg("EXTI", exti::PR1)), pr1::PIFx(6).mask());
  EXPECT_FALSE(bus.lines[irq("EXTI", 5)]);

  // A line routed to another port ignores this port's edges.
  wr(reg("SYSCFG", syscfg::EXTICR2), 0u);  // line 5 -> port A
  board.add_level({"PB5", -1, 50'000});
  run_events_to(60'000);
  EXPECT_FALSE(pr1::PIFx(5).test(rd(reg("EXTI", exti::PR1))));
}

TEST_F(Models, LevelBounceAndPulseSourceTiming) {
  set_bits(reg("RCC", rcc::AHB2ENR), rcc::ahb2enr::GPIOAEN.mask());
  wr(reg("GPIOA", gpio::MODER), modes(rd(reg("GPIOA", gpio::MODER)), {0, 1}, pin_mode::kInput));
  wr(reg("GPIOA", gpio::PUPDR), pulls(rd(reg("GPIOA", gpio::PUPDR)), {0, 1}, pin_pull::kUp));
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
